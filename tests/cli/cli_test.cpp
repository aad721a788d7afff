// The headless front end, run as a program on generated clips.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "media/av_entries.h"
#include "media/handles.h"
#include "media/media_probe.h"
#include "media/unicode_io.h"
#include "media/utils.h"
#include "test_media.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace zelvo;

namespace {

struct Result {
  int status = -1;
  std::string out;
};

// Runs the front end; `whileRunning` is polled while it runs (it may signal it).
Result RunCli(const std::vector<std::string>& args, const std::function<void(pid_t)>& whileRunning = {}) {
  const fs::path log = fs::path(test::FixtureDir()) / "cli" / "last-output.txt";
  fs::create_directories(log.parent_path());
  std::vector<std::string> all = {ZELVO_CLI};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  Result r;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return r;
  posix_spawn_file_actions_destroy(&actions);
  if (whileRunning) whileRunning(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::ifstream in(log);
  r.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return r;
}

struct Probed {
  bool ok = false;
  std::string video;
  int width = 0, height = 0;
  double seconds = 0;
  int audioStreams = 0;
};

Probed ProbeOutput(const std::string& path) {
  Probed p;
  MediaProbe probe;
  if (!probe.ProbeFile(path)) return p;
  p.ok = true;
  VideoStreamInfo v;
  probe.GetVideoStreamInfo(-1, v);
  p.video = v.CodecName;
  p.width = v.Width;
  p.height = v.Height;
  FileStreamInfo fi;
  probe.GetFileStreamInfo(fi);
  p.seconds = static_cast<double>(fi.Duration) / 1e6;
  p.audioStreams = probe.AudioStreamCount();
  return p;
}

// The luma of the first picture, scaled to 320x240.
std::vector<std::uint8_t> FirstLuma(const std::string& path) {
  std::vector<std::uint8_t> luma;
  OpenedInput in;
  FormatContextPtr ctx(lib::avformat.avformat_alloc_context());
  if (OpenInputFile(std::move(ctx), LibraryFileNameOf(path), nullptr, nullptr, in) < 0) return luma;
  lib::avformat.avformat_find_stream_info(in.ctx.get(), nullptr);
  const int v = lib::avformat.av_find_best_stream(in.ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (v < 0) return luma;
  const AVCodec* codec = lib::avcodec.avcodec_find_decoder(in.ctx->streams[v]->codecpar->codec_id);
  CodecContextPtr dec(lib::avcodec.avcodec_alloc_context3(codec));
  lib::avcodec.avcodec_parameters_to_context(dec.get(), in.ctx->streams[v]->codecpar);
  lib::avcodec.avcodec_open2(dec.get(), codec, nullptr);
  PacketPtr pkt(lib::avcodec.av_packet_alloc());
  FramePtr frame(lib::avutil.av_frame_alloc());
  bool got = false;
  while (!got && lib::avformat.av_read_frame(in.ctx.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == v) {
      lib::avcodec.avcodec_send_packet(dec.get(), pkt.get());
      got = lib::avcodec.avcodec_receive_frame(dec.get(), frame.get()) >= 0;
    }
    lib::avcodec.av_packet_unref(pkt.get());
  }
  if (!got) return luma;
  luma.resize(320 * 240);
  SwsContextPtr sws(lib::swscale.sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), 320, 240,
                                                AV_PIX_FMT_GRAY8, SWS_BILINEAR, nullptr, nullptr, nullptr));
  std::uint8_t* dst[4] = {luma.data(), nullptr, nullptr, nullptr};
  int stride[4] = {320, 0, 0, 0};
  lib::swscale.sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, dst, stride);
  return luma;
}

double MeanDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int x0, int y0, int x1, int y1) {
  double sum = 0;
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x, ++n) sum += std::abs(a[y * 320 + x] - b[y * 320 + x]);
  return n ? sum / n : 0;
}

// A white 24-bit Windows bitmap.
void WriteWhiteBmp(const std::string& path, int w, int h) {
  const int stride = (w * 3 + 3) & ~3;
  const std::uint32_t size = 54 + static_cast<std::uint32_t>(stride * h);
  std::vector<std::uint8_t> b(size, 0xff);
  auto put16 = [&](size_t at, std::uint16_t v) { b[at] = v & 0xff; b[at + 1] = v >> 8; };
  auto put32 = [&](size_t at, std::uint32_t v) { for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xff; };
  std::fill(b.begin(), b.begin() + 54, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(2, size);
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(w));
  put32(22, static_cast<std::uint32_t>(h));
  put16(26, 1);
  put16(28, 24);
  put32(34, static_cast<std::uint32_t>(stride * h));
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::LoadMediaLibrariesForTests();
    dir = test::FreshTestFolder("cli");
  }
  std::string Dir() const { return dir.string(); }
  // The one output of a source in the output folder.
  std::string OutputOf(const std::string& source, const std::string& ext) const {
    return (dir / (fs::path(source).stem().string() + "_(new)." + ext)).string();
  }
  fs::path dir;
};

TEST_F(CliTest, BatchWithAnUnreadableFile) {
  const Result r = RunCli({"--format", "0", "--output-dir", Dir(), test::VideoAudioMp4(), test::RandomBytesFile(),
                           test::H264Clip()});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("failed   " + test::RandomBytesFile() + ": " + test::RandomBytesFile() +
                       ": Invalid data found when processing input"), std::string::npos) << r.out;
  for (const std::string& src : {test::VideoAudioMp4(), test::H264Clip()}) {
    const Probed p = ProbeOutput(OutputOf(src, "mp4"));
    EXPECT_TRUE(p.ok) << src;
    EXPECT_EQ(p.video.rfind("mpeg4", 0), 0u) << p.video;
    EXPECT_EQ(test::DecodeFile(OutputOf(src, "mp4")).decodeErrors, 0);
  }
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir)) files += e.path().extension() == ".mp4";
  EXPECT_EQ(files, 2u);
}

TEST_F(CliTest, UsageErrorsNameTheOption) {
  const struct { std::vector<std::string> args; const char* text; } kCases[] = {
      {{"--format", "no such format at all", "x.mp4"}, "--format: no format caption contains"},
      {{"--trim-start", "soon", "x.mp4"}, "--trim-start: not a time"},
      {{"--size", "huge", "x.mp4"}, "--size: Frame Size is not a valid value!"},
      {{"--vbitrate", "fast", "x.mp4"}, "--vbitrate: Please enter numerical."},
      {{"--bogus"}, "unknown option --bogus"},
  };
  for (const auto& c : kCases) {
    const Result r = RunCli(c.args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
  }
}

TEST_F(CliTest, TrimKeepsTheAskedRange) {
  const Result r = RunCli({"--format", "0", "--output-dir", Dir(), "--trim-start", "0.4", "--trim-length", "00:00:01.000",
                           test::VideoAudioMp4()});
  ASSERT_EQ(r.status, 0) << r.out;
  const Probed p = ProbeOutput(OutputOf(test::VideoAudioMp4(), "mp4"));
  EXPECT_NEAR(p.seconds, 1.0, 1.0 / 25 + 0.03) << r.out;
}

TEST_F(CliTest, ZoomModesAndCropKeepTheFormatSize) {
  const struct { const char* zoom; const char* crop; } kCases[] = {
      {"full", nullptr}, {"lbox", nullptr}, {"pan", nullptr}, {"center", nullptr}, {"lbox", "20,40,20,40"},
  };
  for (const auto& c : kCases) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::string> args = {"--format", "0", "--size", "320x240", "--output-dir", Dir(), "--zoom", c.zoom};
    if (c.crop) {
      args.push_back("--crop");
      args.push_back(c.crop);
    }
    args.push_back(test::H264Clip());  // 640x360: wider than 4:3
    const Result r = RunCli(args);
    ASSERT_EQ(r.status, 0) << c.zoom << "\n" << r.out;
    const Probed p = ProbeOutput(OutputOf(test::H264Clip(), "mp4"));
    EXPECT_EQ(p.width, 320) << c.zoom;
    EXPECT_EQ(p.height, 240) << c.zoom;
    const std::vector<std::uint8_t> luma = FirstLuma(OutputOf(test::H264Clip(), "mp4"));
    ASSERT_FALSE(luma.empty());
    // Letter box: black bars above and below a 16:9 picture.
    double top = 0;
    for (int x = 0; x < 320; ++x) top += luma[static_cast<size_t>(5 * 320 + x)];
    top /= 320;
    if (std::string(c.zoom) == "lbox" && !c.crop) {
      EXPECT_LT(top, 24) << "letter box bars";
    } else if (std::string(c.zoom) == "full" || std::string(c.zoom) == "pan") {
      EXPECT_GT(top, 24) << c.zoom << ": the picture fills the frame";
    }
  }
}

TEST_F(CliTest, WatermarkChangesOnlyItsRegion) {
  const std::string bmp = (dir / "mark.bmp").string();
  WriteWhiteBmp(bmp, 64, 48);
  const std::string plainDir = (dir / "plain").string(), markedDir = (dir / "marked").string();
  ASSERT_EQ(RunCli({"--format", "0", "--size", "320x240", "--output-dir", plainDir, test::VideoAudioMp4()}).status, 0);
  const Result r = RunCli({"--format", "0", "--size", "320x240", "--output-dir", markedDir, "--watermark", bmp,
                           "--watermark-pos", "200,100", "--watermark-alpha", "255", test::VideoAudioMp4()});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string name = fs::path(test::VideoAudioMp4()).stem().string() + "_(new).mp4";
  const auto plain = FirstLuma(plainDir + "/" + name), marked = FirstLuma(markedDir + "/" + name);
  ASSERT_EQ(plain.size(), marked.size());
  ASSERT_FALSE(plain.empty());
  EXPECT_GT(MeanDifference(plain, marked, 204, 104, 260, 144), 30);  // inside the mark
  EXPECT_LT(MeanDifference(plain, marked, 0, 0, 180, 90), 8);        // away from it: codec noise only
}

TEST_F(CliTest, InterruptKeepsFinishedOutputsAndClosesTheCurrentOne) {
  const std::string longClip = (dir / "long.mkv").string();
  test::ClipOptions o;
  o.path = longClip;
  o.seconds = 20;
  o.width = 640;
  o.height = 480;
  std::string error;
  ASSERT_TRUE(test::WriteClip(o, &error)) << error;
  const std::string second = OutputOf(longClip, "mp4");
  const Result r = RunCli({"--format", "1", "--size", "640x480", "--output-dir", Dir(), test::VideoAudioMp4(), longClip,
                           test::H264Clip()},
                          [&](pid_t pid) {
                            // Once the second file is being written, Ctrl-C.
                            for (int i = 0; i < 3000 && FileSize64(second) < 30000; ++i)
                              std::this_thread::sleep_for(std::chrono::milliseconds(10));
                            kill(pid, SIGINT);
                          });
  EXPECT_EQ(r.status, 130) << r.out;
  EXPECT_NEAR(test::DecodeFile(OutputOf(test::VideoAudioMp4(), "mp4")).videoFrames, 60, 2);  // 2 s at 29.97 fps
  const test::DecodedFacts partial = test::DecodeFile(second);
  EXPECT_EQ(partial.decodeErrors, 0);
  EXPECT_GT(partial.videoFrames, 0);
  EXPECT_LT(partial.videoFrames, 500);
  EXPECT_FALSE(fs::exists(OutputOf(test::H264Clip(), "mp4")));  // never started
  EXPECT_NE(r.out.find("stopped  " + longClip), std::string::npos) << r.out;
}

TEST_F(CliTest, TwoJobsAtOnce) {
  const Result r = RunCli({"--format", "0", "--jobs", "2", "--output-dir", Dir(), test::VideoAudioMp4(), test::H264Clip(),
                           test::AudioOnlyWav()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NEAR(test::DecodeFile(OutputOf(test::VideoAudioMp4(), "mp4")).videoFrames, 60, 2);  // 2 s at 29.97 fps
  EXPECT_NEAR(test::DecodeFile(OutputOf(test::H264Clip(), "mp4")).videoFrames, 60, 2);
  EXPECT_TRUE(ProbeOutput(OutputOf(test::AudioOnlyWav(), "mp4")).ok);
}

}  // namespace
