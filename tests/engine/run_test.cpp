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
  const test::DecodedFacts facts = test::DecodeFile(out);
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
  const test::DecodedFacts facts = test::DecodeFile(out);  // the trailer was written: the file plays
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
  const test::DecodedFacts facts = test::DecodeFile(out);
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
  const test::DecodedFacts facts = test::DecodeFile(out);
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
  const test::DecodedFacts facts = test::DecodeFile(out);
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
  const test::DecodedFacts facts = test::DecodeFile(out);
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
    const test::DecodedFacts facts = test::DecodeFile(out);
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
    if (c.hook) t.SetCustomHook([](HookCall&) {});
    if (c.preview) t.SetPreviewSwitches(kPreviewBitmap);
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
  const test::DecodedFacts in = test::DecodeFile(wav);
  for (int volume : {128, 300}) {
    Transcoder t;
    ASSERT_TRUE(t.OpenInput(wav));
    t.SetOption("vol", std::to_string(volume));
    const std::string out = Out("vol" + std::to_string(volume) + ".wav");
    ASSERT_EQ(t.OpenOutput(out, false), 0) << t.ErrorMessage();
    t.Run();
    ASSERT_FALSE(t.ExceptionRaised()) << t.ExceptionMessage();
    const test::DecodedFacts got = test::DecodeFile(out);
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
    EXPECT_EQ(test::DecodeFile(out).videoFrames, 50);
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
  const test::DecodedFacts facts = test::DecodeFile(out);
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
  const test::DecodedFacts facts = test::DecodeFile(out);
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
  const test::DecodedFacts facts = test::DecodeFile(out);
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
  const test::DecodedFacts facts = test::DecodeFile(out);
  EXPECT_EQ(facts.decodeErrors, 0);
  EXPECT_GT(facts.videoFrames, 15);
  EXPECT_LT(facts.videoFrames, 50);
}

}  // namespace
