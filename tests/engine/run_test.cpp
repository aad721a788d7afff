#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "engine/transcoder.h"
#include "media/av_entries.h"
#include "media/engine_log.h"
#include "media/media_probe.h"
#include "media/utils.h"
#include "test_media.h"

namespace fs = std::filesystem;
using namespace zelvo;

namespace {

// A clip written once per process into the fixture folder.
const std::string& MadeClip(const std::string& name, const std::function<void(test::ClipOptions&)>& setup) {
  static std::mutex lock;
  static std::map<std::string, std::string> made;
  std::lock_guard<std::mutex> guard(lock);
  auto it = made.find(name);
  if (it != made.end()) return it->second;
  test::ClipOptions o;
  o.path = (fs::path(test::FixtureDir()) / "engine-run" / name).string();
  fs::create_directories(fs::path(o.path).parent_path());
  setup(o);
  std::string error;
  EXPECT_TRUE(test::WriteClip(o, &error)) << name << ": " << error;
  return made.emplace(name, o.path).first->second;
}

struct StreamFacts {
  int videoFrames = 0;
  int width = 0, height = 0;
  std::int64_t audioSamples = 0;
  int decodeErrors = 0;
  std::vector<std::int16_t> samples;  // interleaved, when the audio is PCM s16
  double firstAudioSeconds = -1;
};

StreamFacts Decode(const std::string& path) {
  StreamFacts facts;
  OpenedInput in;
  FormatContextPtr ctx(lib::avformat.avformat_alloc_context());
  if (OpenInputFile(std::move(ctx), LibraryFileNameOf(path), nullptr, nullptr, in) < 0 ||
      lib::avformat.avformat_find_stream_info(in.ctx.get(), nullptr) < 0) {
    facts.decodeErrors = -1;
    return facts;
  }
  std::vector<CodecContextPtr> decoders(in.ctx->nb_streams);
  for (unsigned i = 0; i < in.ctx->nb_streams; ++i) {
    const AVCodec* c = lib::avcodec.avcodec_find_decoder(in.ctx->streams[i]->codecpar->codec_id);
    if (!c) continue;
    decoders[i].reset(lib::avcodec.avcodec_alloc_context3(c));
    lib::avcodec.avcodec_parameters_to_context(decoders[i].get(), in.ctx->streams[i]->codecpar);
    decoders[i]->pkt_timebase = in.ctx->streams[i]->time_base;
    lib::avcodec.avcodec_open2(decoders[i].get(), c, nullptr);
  }
  PacketPtr pkt(lib::avcodec.av_packet_alloc());
  FramePtr frame(lib::avutil.av_frame_alloc());
  auto drain = [&](AVCodecContext* dec, const AVStream* st) {
    while (lib::avcodec.avcodec_receive_frame(dec, frame.get()) >= 0) {
      if (dec->codec_type == AVMEDIA_TYPE_VIDEO) {
        ++facts.videoFrames;
        facts.width = frame->width;
        facts.height = frame->height;
      } else if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
        if (facts.firstAudioSeconds < 0 && frame->best_effort_timestamp != kNoPts)
          facts.firstAudioSeconds = static_cast<double>(frame->best_effort_timestamp) * av_q2d(st->time_base);
        facts.audioSamples += frame->nb_samples;
        if (frame->format == AV_SAMPLE_FMT_S16) {
          auto* s = reinterpret_cast<const std::int16_t*>(frame->data[0]);
          facts.samples.insert(facts.samples.end(), s, s + frame->nb_samples * frame->ch_layout.nb_channels);
        }
      }
      lib::avutil.av_frame_unref(frame.get());
    }
  };
  while (lib::avformat.av_read_frame(in.ctx.get(), pkt.get()) >= 0) {
    AVCodecContext* dec = decoders[static_cast<size_t>(pkt->stream_index)].get();
    if (dec) {
      if (lib::avcodec.avcodec_send_packet(dec, pkt.get()) < 0) ++facts.decodeErrors;
      drain(dec, in.ctx->streams[pkt->stream_index]);
    }
    lib::avcodec.av_packet_unref(pkt.get());
  }
  for (unsigned i = 0; i < decoders.size(); ++i)
    if (decoders[i]) {
      lib::avcodec.avcodec_send_packet(decoders[i].get(), nullptr);
      drain(decoders[i].get(), in.ctx->streams[i]);
    }
  return facts;
}

double DurationOf(const std::string& path) {
  MediaProbe probe;
  if (!probe.ProbeFile(path)) return -1;
  FileStreamInfo fi;
  probe.GetFileStreamInfo(fi);
  return static_cast<double>(fi.Duration) / 1e6;
}

class EngineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    test::LoadMediaLibrariesForTests();
    outDir = fs::path(test::FixtureDir()) / "engine-run" / "out";
    fs::create_directories(outDir);
  }
  std::string Out(const std::string& name) {
    const std::string p = (outDir / name).string();
    std::error_code ec;
    fs::remove(p, ec);
    return p;
  }
  fs::path outDir;
};

TEST_F(EngineRun, TwentyFiveToNtscRateDuplicatesAboutOneFrameInFive) {
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
  t.SetOption("r", "30000/1001");
  t.SetOption("vsync", "1");
  const std::string out = Out("ntsc.avi");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  t.Run();
  ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
  // 50 pictures in 2 s become about 60: one duplicate per five.
  EXPECT_GE(t.DuplicatedFrames(), 8);
  EXPECT_LE(t.DuplicatedFrames(), 11);
  const StreamFacts facts = Decode(out);
  EXPECT_EQ(facts.videoFrames, 50 + t.DuplicatedFrames() - t.DroppedFrames());
}

TEST_F(EngineRun, StopEndsALongDuplicationRunPromptly) {
  // Two pictures ten minutes apart: at 25 fps the first alone is 15000 frames.
  const std::string& sparse = MadeClip("sparse.mkv", [](test::ClipOptions& o) {
    o.fpsNum = 1;
    o.fpsDen = 600;
    o.seconds = 1200;
    o.audioCodec.clear();
    o.videoCodec = "mpeg4";
  });
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(sparse));
  t.SetOption("r", "25");
  t.SetOption("vsync", "1");
  const std::string out = Out("sparse.avi");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  // Stop once the duplicates of the first picture are being written.
  std::thread stopper([&] {
    while (FileSize64(out) < 20000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    t.RequestStop();
  });
  t.Run();
  stopper.join();
  EXPECT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
  EXPECT_FALSE(t.Finished());
  const StreamFacts facts = Decode(out);  // the trailer was written: the file plays
  EXPECT_GT(facts.videoFrames, 0);
  EXPECT_LT(facts.videoFrames, 14000);
}

TEST_F(EngineRun, RecordingTimeAfterAStartTime) {
  Transcoder t;
  t.SetOption("ss", "0.5");
  ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
  t.SetOption("t", "1");
  const std::string out = Out("trim.mp4");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  t.Run();
  ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
  EXPECT_NEAR(DurationOf(out), 1.0, 0.04 + 0.05);
  const StreamFacts facts = Decode(out);
  EXPECT_NEAR(facts.videoFrames, 25, 1);
}

TEST_F(EngineRun, TimestampJumpBackIsCorrected) {
  // Two transport streams one after the other: the second starts its clock again.
  const std::string& part = MadeClip("part.ts", [](test::ClipOptions& o) {
    o.videoCodec = "mpeg2video";
    o.audioCodec = "mp2";
  });
  const std::string joined = (fs::path(test::FixtureDir()) / "engine-run" / "restart.ts").string();
  {
    std::ifstream a(part, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
    std::ofstream(joined, std::ios::binary) << bytes << bytes;
  }
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(joined));
  const std::string out = Out("restart.avi");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  t.Run();
  ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
  const StreamFacts facts = Decode(out);
  EXPECT_NEAR(facts.videoFrames, 100, 3);  // both halves, not one dropped as "late"
}

TEST_F(EngineRun, ShortestEndsWithTheFirstInput) {
  const std::string& second = MadeClip("one-second.wav", [](test::ClipOptions& o) {
    o.videoCodec.clear();
    o.audioCodec = "pcm_s16le";
    o.seconds = 1.0;
  });
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(second));
  ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
  const AVFormatContext* video = t.Input(1).opened.ctx.get();
  const int videoIndex = video->streams[0]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : 1;
  t.SetOption("map", "1:" + std::to_string(videoIndex));
  t.SetOption("map", "0:0");
  t.SetOption("shortest", "");
  const std::string out = Out("shortest.avi");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  t.Run();
  ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
  const StreamFacts facts = Decode(out);
  EXPECT_LT(facts.videoFrames, 40);  // about 25: the sound ends after one second
}

TEST_F(EngineRun, SetupFailureEndsTheRunAndDeletesTheEmptyOutput) {
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
  t.SetOption("map", "0:9");
  t.SetOption("map", "0:0");
  const std::string out = Out("never.avi");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  EXPECT_TRUE(fs::exists(out));
  bool terminated = false;
  t.SetOnTerminate([&] { terminated = true; });
  t.Run();
  EXPECT_TRUE(t.ExceptionRaised());
  EXPECT_EQ(t.ExceptionMessage(), "Could not find input stream #0.9");
  EXPECT_TRUE(terminated);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(EngineRun, JoinPlaysTheInputsOneAfterAnother) {
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
  ASSERT_TRUE(t.OpenInput(test::H264Clip()));  // 640x360: scaled like the rest
  t.SetOption("s", "320x240");
  t.SetOption("vcodec", "mpeg4");
  t.SetOption("acodec", "libmp3lame");
  const std::string out = Out("joined.avi");
  ASSERT_EQ(t.OpenOutput(out, true), 0) << t.ErrorMessage();
  std::vector<int> files;
  t.SetOnProgress([&](const EngineProgress& p) { files.push_back(p.fileIndex); });
  t.SetProgressInterval(1);
  t.Run();
  ASSERT_FALSE(t.ExceptionRaised()) << "join: " << t.ExceptionMessage();
  EXPECT_NEAR(DurationOf(out), 4.0, 0.2);
  const StreamFacts facts = Decode(out);
  EXPECT_NEAR(facts.videoFrames, 100, 3);
  EXPECT_EQ(facts.width, 320);
  ASSERT_FALSE(files.empty());
  EXPECT_EQ(files.back(), -1);
  EXPECT_NE(std::find(files.begin(), files.end(), 1), files.end());  // the second input was played
}

TEST_F(EngineRun, StreamCopyAndItsRefusals) {
  {
    Transcoder t;
    ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
    t.SetOption("vcodec", "copy");
    t.SetOption("acodec", "copy");
    t.SetOption("vol", "256");
    const std::string out = Out("copy.mkv");
    ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
    t.Run();
    ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
    const StreamFacts facts = Decode(out);
    EXPECT_EQ(facts.videoFrames, 50);
    EXPECT_EQ(facts.decodeErrors, 0);
  }
  const struct { const char* option; const char* value; bool hook; bool preview; const char* message; } kCases[] = {
      {"vcodec", "copy", true, false, "-vcodec copy and CustomHook are incompatible (frames are not decoded)"},
      {"vcodec", "copy", false, true, "-vcodec copy and PostHooks are incompatible (frames are not decoded)"},
      {"acodec", "copy", false, false, "-acodec copy and -vol are incompatible (frames are not decoded)"},
  };
  for (const auto& c : kCases) {
    Transcoder t;
    ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
    t.SetOption(c.option, c.value);
    t.SetOption("vol", "300");
    t.SetFrameConsumers(c.hook, c.preview);
    ASSERT_EQ(t.OpenOutput(Out("refused.mkv"), false), 0) << t.ErrorMessage();
    t.Run();
    EXPECT_EQ(t.ExceptionMessage(), c.message);
  }
}

TEST_F(EngineRun, VolumeScalesSixteenBitSamplesExactly) {
  const std::string& wav = MadeClip("tone.wav", [](test::ClipOptions& o) {
    o.videoCodec.clear();
    o.audioCodec = "pcm_s16le";
    o.seconds = 0.5;
  });
  const StreamFacts in = Decode(wav);
  for (int volume : {128, 300}) {
    Transcoder t;
    ASSERT_TRUE(t.OpenInput(wav));
    t.SetOption("vol", std::to_string(volume));
    const std::string out = Out("vol" + std::to_string(volume) + ".wav");
    ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
    t.Run();
    ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
    const StreamFacts got = Decode(out);
    ASSERT_EQ(got.samples.size(), in.samples.size());
    int wrong = 0;
    for (size_t i = 0; i < in.samples.size(); ++i)
      if (got.samples[i] != Clip((in.samples[i] * volume + 128) >> 8, -32768, 32767)) ++wrong;
    EXPECT_EQ(wrong, 0) << "volume " << volume;
  }
}

TEST_F(EngineRun, TwoPassEncodeReadsItsOwnLog) {
  const std::string prefix = (outDir / "twopass").string();
  for (int pass : {1, 2}) {
    Transcoder t;
    ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
    t.SetOption("vcodec", "mpeg4");
    t.SetOption("b", "200000");
    t.SetOption("pass", std::to_string(pass));
    t.SetOption("passlogfile", prefix);
    t.SetOption("an", "");
    const std::string out = Out("twopass" + std::to_string(pass) + ".avi");
    ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
    t.Run();
    ASSERT_FALSE(t.ExceptionRaised()) << "pass " << pass << ": " << t.ExceptionMessage();
    if (pass == 1) {
      EXPECT_GT(FileSize64(prefix + "-0.log"), 0);
    }
    EXPECT_EQ(Decode(out).videoFrames, 50);
  }
}

TEST_F(EngineRun, FilterGraphCropsAndPads) {
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
  t.SetOption("vf", "crop=160:120:0:0,pad=320:240:80:60:black");
  t.SetOption("an", "");
  const std::string out = Out("padded.avi");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  t.Run();
  ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
  const StreamFacts facts = Decode(out);
  EXPECT_EQ(facts.videoFrames, 50);
  EXPECT_EQ(facts.width, 320);
  EXPECT_EQ(facts.height, 240);

  Transcoder bad;
  ASSERT_TRUE(bad.OpenInput(test::VideoAudioMp4()));
  bad.SetOption("vf", "nosuchfilter=1");
  ASSERT_EQ(bad.OpenOutput(Out("badgraph.avi"), false), 0);
  bad.Run();
  EXPECT_EQ(bad.ExceptionMessage().rfind("Error opening filters", 0), 0u) << bad.ExceptionMessage();
}

TEST_F(EngineRun, PictureSizeChangeMidStreamKeepsTheOutputSize) {
  const std::string& small = MadeClip("small.ts", [](test::ClipOptions& o) {
    o.videoCodec = "mpeg2video";
    o.audioCodec.clear();
  });
  const std::string& large = MadeClip("large.ts", [](test::ClipOptions& o) {
    o.videoCodec = "mpeg2video";
    o.audioCodec.clear();
    o.width = 640;
    o.height = 360;
  });
  const std::string both = (fs::path(test::FixtureDir()) / "engine-run" / "sizes.ts").string();
  {
    std::ifstream a(small, std::ios::binary), b(large, std::ios::binary);
    std::string sa((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
    std::string sb((std::istreambuf_iterator<char>(b)), std::istreambuf_iterator<char>());
    std::ofstream(both, std::ios::binary) << sa << sb;
  }
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(both));
  t.SetOption("croptop", "8");  // crop first, then scale
  t.SetOption("s", "160x120");
  const std::string out = Out("sizes.avi");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  t.Run();
  ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
  const StreamFacts facts = Decode(out);
  EXPECT_EQ(facts.width, 160);
  EXPECT_EQ(facts.height, 120);
  EXPECT_NEAR(facts.videoFrames, 100, 3);
}

TEST_F(EngineRun, AudioStartingLateGetsSilenceWithAsync) {
  const std::string& wav = MadeClip("tone.wav", [](test::ClipOptions& o) {
    o.videoCodec.clear();
    o.audioCodec = "pcm_s16le";
    o.seconds = 0.5;
  });
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
  t.SetOption("itsoffset", "2");
  ASSERT_TRUE(t.OpenInput(wav));
  const AVFormatContext* first = t.Input(0).opened.ctx.get();
  const int videoIndex = first->streams[0]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : 1;
  t.SetOption("map", "0:" + std::to_string(videoIndex));
  t.SetOption("map", "1:0");
  t.SetOption("async", "1");
  const std::string out = Out("late.wav.avi");
  t.SetOption("acodec", "pcm_s16le");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  t.Run();
  ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
  const StreamFacts facts = Decode(out);
  // Two seconds of silence, then the half second of tone.
  EXPECT_NEAR(static_cast<double>(facts.audioSamples) / 44100, 2.5, 0.05);
  ASSERT_GT(facts.samples.size(), 2u * 44100);
  EXPECT_TRUE(std::all_of(facts.samples.begin(), facts.samples.begin() + 2 * 44100, [](std::int16_t s) { return s == 0; }));
  EXPECT_TRUE(std::any_of(facts.samples.end() - 1000, facts.samples.end(), [](std::int16_t s) { return s != 0; }));
}

TEST_F(EngineRun, TruncatedInputConvertsWhatCanBeRead) {
  const std::string& whole = MadeClip("whole.ts", [](test::ClipOptions& o) {
    o.videoCodec = "mpeg2video";
    o.audioCodec = "mp2";
  });
  const std::string cut = (fs::path(test::FixtureDir()) / "engine-run" / "cut.ts").string();
  {
    std::ifstream a(whole, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * 6 / 10 + 77);
  }
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(cut));
  const std::string out = Out("cut.mp4");
  ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
  t.Run();
  ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
  const StreamFacts facts = Decode(out);
  EXPECT_EQ(facts.decodeErrors, 0);
  EXPECT_GT(facts.videoFrames, 15);
  EXPECT_LT(facts.videoFrames, 50);
}

}  // namespace
