#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>

#include "engine/transcoder.h"
#include "media/av_entries.h"
#include "media/engine_log.h"
#include "media/utils.h"
#include "test_media.h"

namespace fs = std::filesystem;
using namespace zelvo;

namespace {

class EngineSetup : public ::testing::Test {
 protected:
  void SetUp() override {
    test::LoadMediaLibrariesForTests();
    outDir = fs::path(test::FixtureDir()) / "engine-setup";
    fs::create_directories(outDir);
  }
  std::string Out(const std::string& name) const { return (outDir / name).string(); }
  static std::string RaiseOf(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const EngineException& e) {
      return e.what();
    }
    return "(no error)";
  }
  fs::path outDir;
};

TEST_F(EngineSetup, InputFailuresGiveTheirTexts) {
  const std::string missing = Out("missing.mp4");
  const struct { std::string option, value, file, message; } kCases[] = {
      {"", "", missing, missing + ": No such file or directory"},
      {"", "", test::RandomBytesFile(), test::RandomBytesFile() + ": Invalid data found when processing input"},
      {"vcodec", "nosuchcodec", test::VideoAudioMp4(), "Unknown decoder 'nosuchcodec'"},
      {"vcodec", "mp3", test::VideoAudioMp4(), "Invalid decoder type 'mp3'"},
      {"programid", "7", test::TwoProgramTs(), "Specified program id not found"},
  };
  for (const auto& c : kCases) {
    Transcoder t;
    if (!c.option.empty()) t.SetOption(c.option, c.value);
    EXPECT_FALSE(t.OpenInput(c.file)) << c.file;
    EXPECT_EQ(t.ErrorMessage(), c.message);
    EXPECT_EQ(t.InputCount(), 0);
  }
  Transcoder forced;
  forced.SetOption("f", "nosuchformat");
  EXPECT_EQ(RaiseOf([&] { forced.OpenInput(test::VideoAudioMp4()); }), "Unknown input format: \"nosuchformat\"");
}

TEST_F(EngineSetup, OpeningAnInputTakesItsParametersAndConsumesTheInputOptions) {
  Transcoder t;
  t.SetOption("acodec", "aac");  // chooses the decoder, then is used up
  ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4())) << t.ErrorMessage();
  const OptionState& s = t.Options();
  EXPECT_EQ(s.frameWidth, 320);
  EXPECT_EQ(s.frameHeight, 240);
  EXPECT_EQ(s.frameRate.num, 25);
  EXPECT_EQ(s.frameRate.den, 1);
  EXPECT_EQ(s.pixelFormat, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(s.audioSampleRate, 44100);
  EXPECT_EQ(s.audioChannels, 2);
  EXPECT_TRUE(s.audioCodecName.empty());
  EXPECT_NEAR(static_cast<double>(t.TotalDuration()), 2e6, 1e5);
  ASSERT_EQ(t.InputCount(), 1);
  const EngineInput& in = t.Input(0);
  ASSERT_EQ(in.decoders.size(), 2u);
  const int audio = in.opened.ctx->streams[0]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? 0 : 1;
  ASSERT_NE(in.decoders[audio], nullptr);
  EXPECT_STREQ(in.decoders[audio]->name, "aac");
  EXPECT_EQ(in.decoders[1 - audio], nullptr);

  Transcoder program;
  program.SetOption("programid", "2");  // the audio program of the fixture
  ASSERT_TRUE(program.OpenInput(test::TwoProgramTs())) << program.ErrorMessage();
  const AVFormatContext* ts = program.Input(0).opened.ctx.get();
  for (unsigned i = 0; i < ts->nb_streams; ++i)
    EXPECT_EQ(ts->streams[i]->discard == AVDISCARD_ALL, ts->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) << i;
  EXPECT_EQ(program.Options().programId, 0);
}

TEST_F(EngineSetup, OutputStreamsFollowTheFormatAndTheInputs) {
  Transcoder audioOnly;
  ASSERT_TRUE(audioOnly.OpenInput(test::AudioOnlyMp3()));
  ASSERT_EQ(audioOnly.OpenOutput(Out("audio-only.mp4"), false), 0) << audioOnly.ErrorMessage();
  const EngineOutput& out = audioOnly.Output(0);
  ASSERT_EQ(out.streams.size(), 1u);  // mp4 would add video, but no input has any
  EXPECT_EQ(out.streams[0].kind, kAudio);
  EXPECT_STREQ(out.streams[0].encoder->name, "aac");

  Transcoder both;
  ASSERT_TRUE(both.OpenInput(test::VideoAudioMp4()));
  both.SetOption("vcodec", "mpeg4");
  both.SetOption("s", "176x144");
  both.SetOption("metadata", "title=Holiday");
  both.SetOption("alang", "fin");
  ASSERT_EQ(both.OpenOutput(Out("both.avi"), false), 0) << both.ErrorMessage();
  const EngineOutput& avi = both.Output(0);
  ASSERT_EQ(avi.streams.size(), 2u);
  const AVCodecContext* v = avi.streams[0].encoderContext.get();
  EXPECT_EQ(v->width, 176);
  EXPECT_EQ(v->height, 144);
  EXPECT_EQ(v->time_base.den, 25);
  EXPECT_EQ(MetadataValue(avi.ctx->metadata, "title", ""), "Holiday");
  EXPECT_EQ(MetadataValue(avi.streams[1].stream->metadata, "language", ""), "fin");
  EXPECT_TRUE(both.Options().videoCodecName.empty());  // used up by the stream
  both.SetOption("acodec", "libmp3lame");
  both.SetOption("newaudio", "");
  EXPECT_EQ(avi.streams.size(), 3u);
  EXPECT_STREQ(avi.streams[2].encoder->name, "libmp3lame");
}

TEST_F(EngineSetup, OutputFailuresGiveTheirTexts) {
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(test::VideoAudioMp4()));
  EXPECT_EQ(t.OpenOutput(Out("clip.nosuchext"), false), -1);
  EXPECT_EQ(t.ErrorMessage(), "Unable to find a suitable output format for '" + Out("clip.nosuchext") + "'");
  t.SetOption("f", "nosuchmuxer");
  EXPECT_EQ(t.OpenOutput(Out("clip.avi"), false), -1);
  EXPECT_EQ(t.ErrorMessage(), "Requested output format 'nosuchmuxer' is not a suitable output format");
  const std::string unwritable = Out("no-such-folder/clip.avi");
  EXPECT_EQ(t.OpenOutput(unwritable, false), -1);
  EXPECT_EQ(t.ErrorMessage(), unwritable + ": No such file or directory");
  t.SetOption("acodec", "vorbis");
  EXPECT_EQ(t.OpenOutput(Out("clip.ogg"), false), -1);
  EXPECT_EQ(t.ErrorMessage(),
            "new_audio_stream fail: encoder 'vorbis' is experimental and might produce bad results.\r\n"
            "Add '-strict experimental' if you want to use it.\r\nOr use the non experimental encoder 'libvorbis'.");
  EXPECT_EQ(t.OutputCount(), 0);

  Transcoder join;
  ASSERT_TRUE(join.OpenInput(test::VideoAudioMp4()));
  ASSERT_TRUE(join.OpenInput(test::H264Clip()));
  EXPECT_EQ(join.OpenOutput(Out("joined.mp4"), true), 0) << join.ErrorMessage();
  EXPECT_NEAR(static_cast<double>(join.TotalDuration()), 4e6, 2e5);  // the inputs' durations added
  EXPECT_EQ(join.OpenOutput(Out("joined2.mp4"), true), -1);
  EXPECT_EQ(join.ErrorMessage(), "Cannot join more than one output file.");
}

TEST_F(EngineSetup, UnsupportedSampleRateTakesTheClosest) {
  std::mutex lock;
  std::vector<std::string> warnings;
  EngineLog& log = EngineLog::Logger();
  log.SetTriggerEventInMainThread(false);
  log.SetOnLog([&](const void*, std::uint32_t, LogLevel level, const std::string& text) {
    std::lock_guard<std::mutex> g(lock);
    if (level == LogLevel::llWarning) warnings.push_back(text);
  });
  Transcoder t;
  ASSERT_TRUE(t.OpenInput(test::AudioOnlyWav()));
  t.SetOption("ar", "44000");
  ASSERT_EQ(t.OpenOutput(Out("rate.mp3"), false), 0) << t.ErrorMessage();
  log.SetOnLog(nullptr);
  log.SetTriggerEventInMainThread(true);
  EXPECT_EQ(t.Output(0).streams[0].encoderContext->sample_rate, 44100);
  EXPECT_NE(std::find(warnings.begin(), warnings.end(), "Requested sampling rate unsupported using closest supported (44100)"),
            warnings.end());
}

}  // namespace
