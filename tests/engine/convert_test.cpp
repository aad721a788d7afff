#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "engine/transcoder.h"
#include "media/av_entries.h"
#include "media/engine_log.h"
#include "media/media_probe.h"
#include "media/utils.h"
#include "test_media.h"

namespace fs = std::filesystem;
using namespace zelvo;

namespace {

struct Expected {
  std::string format;       // probed container short name (prefix match)
  std::string videoCodec;   // decoder name of the video stream; empty: no video
  int width = 0, height = 0;
  double fps = 0;
  std::string audioCodec;   // empty: no audio
  int sampleRate = 0, channels = 0;
};

class EngineConvert : public ::testing::Test {
 protected:
  void SetUp() override {
    test::LoadMediaLibrariesForTests();
    outDir = fs::path(test::FixtureDir()) / "engine-convert";
    fs::create_directories(outDir);
  }
  // Converts `input` with the options (name, value) given before the output.
  std::string Convert(const std::string& input, const std::string& outName,
                      const std::vector<std::pair<std::string, std::string>>& options, Transcoder& t) {
    const std::string out = (outDir / outName).string();
    std::error_code ec;
    fs::remove(out, ec);
    EXPECT_TRUE(t.OpenInput(input)) << t.ErrorMessage();
    for (const auto& o : options) t.SetOption(o.first, o.second);
    EXPECT_GE(t.OpenOutput(out, false), 0) << t.ErrorMessage();
    t.Run();
    EXPECT_FALSE(t.ExceptionRaised()) << outName << ": " << t.ExceptionMessage();
    EXPECT_TRUE(t.Finished());
    return out;
  }
  fs::path outDir;
};

void CheckOutput(const std::string& path, const Expected& e, double seconds) {
  MediaProbe probe;
  ASSERT_TRUE(probe.ProbeFile(path)) << path << ": " << probe.LastErrMsg();
  EXPECT_EQ(probe.GetFormatName().rfind(e.format, 0), 0u) << path << " is " << probe.GetFormatName();
  FileStreamInfo fi;
  probe.GetFileStreamInfo(fi);
  if (!e.videoCodec.empty()) {
    ASSERT_EQ(probe.VideoStreamCount(), 1) << path;
    VideoStreamInfo v;
    probe.GetVideoStreamInfo(-1, v);
    EXPECT_EQ(v.CodecName.rfind(e.videoCodec, 0), 0u) << path << ": " << v.CodecName;
    EXPECT_EQ(v.Width, e.width) << path;
    EXPECT_EQ(v.Height, e.height) << path;
    if (e.fps > 0) {
      EXPECT_NEAR(static_cast<double>(v.FrameRateNum) / v.FrameRateDen, e.fps, 0.02) << path;
    }
  } else {
    EXPECT_EQ(probe.VideoStreamCount(), 0) << path;
  }
  if (!e.audioCodec.empty()) {
    ASSERT_EQ(probe.AudioStreamCount(), 1) << path;
    AudioStreamInfo a;
    probe.GetAudioStreamInfo(-1, a);
    EXPECT_EQ(a.CodecName.rfind(e.audioCodec, 0), 0u) << path << ": " << a.CodecName;
    EXPECT_EQ(a.SampleRate, e.sampleRate) << path;
    EXPECT_EQ(a.Channels, e.channels) << path;
  } else {
    EXPECT_EQ(probe.AudioStreamCount(), 0) << path;
  }
  const double frame = e.fps > 0 ? 1.0 / e.fps : 0.05;
  const test::DecodedFacts decoded = test::DecodeFile(path);
  const int frames = decoded.videoFrames;
  EXPECT_EQ(decoded.decodeErrors, 0) << path;
  // Containers that do not store a duration are measured by their pictures.
  const double duration = fi.Duration >= 0 ? static_cast<double>(fi.Duration) / 1e6 : frames * frame;
  EXPECT_NEAR(duration, seconds, frame + 0.08) << path;
}

TEST_F(EngineConvert, ContainerAndEncoderPairs) {
  using Options = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* name;
    Options options;
    Expected expected;
  } kCases[] = {
      {"ipod.mp4", {{"f", "ipod"}, {"vcodec", "mpeg4"}, {"s", "320x240"}, {"r", "29.97"}, {"acodec", "aac"}, {"ab", "128000"}},
       {"mov", "mpeg4", 320, 240, 29.97, "aac", 44100, 2}},
      {"xvid.avi", {{"vcodec", "libxvid"}, {"s", "320x240"}, {"acodec", "libmp3lame"}, {"ar", "44100"}},
       {"avi", "mpeg4", 320, 240, 25, "mp3", 44100, 2}},
      {"clip.flv", {{"vcodec", "flv"}, {"s", "320x240"}, {"acodec", "libmp3lame"}, {"ar", "22050"}},
       {"flv", "flv", 320, 240, 25, "mp3", 22050, 2}},
      {"phone.3gp", {{"vcodec", "h263"}, {"s", "176x144"}, {"acodec", "libopencore_amrnb"}, {"ar", "8000"}, {"ac", "1"}, {"ab", "12200"}},
       {"mov", "h263", 176, 144, 25, "amrnb", 8000, 1}},
      {"clip.wmv", {{"vcodec", "wmv2"}, {"acodec", "wmav2"}}, {"asf", "wmv2", 320, 240, 25, "wmav2", 44100, 2}},
      {"clip.mkv", {{"vcodec", "libx264"}, {"vpre", "libx264-ultrafast"}, {"acodec", "libvorbis"}},
       {"matroska", "h264", 320, 240, 25, "vorbis", 44100, 2}},
      {"sound.mp3", {{"vn", ""}, {"acodec", "libmp3lame"}, {"ab", "96000"}}, {"mp3", "", 0, 0, 0, "mp3", 44100, 2}},
      {"sound.wav", {{"vn", ""}, {"ar", "22050"}, {"ac", "1"}}, {"wav", "", 0, 0, 0, "pcm_s16le", 22050, 1}},
      {"sound.ac3", {{"vn", ""}, {"ar", "48000"}}, {"ac3", "", 0, 0, 0, "ac3", 48000, 2}},
      {"psp.mp4", {{"f", "psp"}, {"vcodec", "libx264"}, {"vpre", "psp"}, {"s", "320x240"}, {"b", "768000"}, {"acodec", "aac"}},
       {"mov", "h264", 320, 240, 25, "aac", 44100, 2}},
      {"phone.3g2", {{"vcodec", "h263"}, {"s", "176x144"}, {"acodec", "aac"}, {"ar", "22050"}, {"ac", "1"}},
       {"mov", "h263", 176, 144, 25, "aac", 22050, 1}},
      {"msmpeg4.avi", {{"vcodec", "msmpeg4"}, {"acodec", "libmp3lame"}}, {"avi", "msmpeg4", 320, 240, 25, "mp3", 44100, 2}},
      {"wmv1.asf", {{"vcodec", "wmv1"}, {"acodec", "wmav2"}}, {"asf", "wmv1", 320, 240, 25, "wmav2", 44100, 2}},
      {"mpeg1.mpg", {{"f", "mpeg"}, {"vcodec", "mpeg1video"}, {"acodec", "mp2"}}, {"mpeg", "mpeg1video", 320, 240, 25, "mp2", 44100, 2}},
      {"mpeg2.vob", {{"f", "vob"}, {"vcodec", "mpeg2video"}, {"acodec", "mp2"}, {"ar", "48000"}},
       {"mpeg", "mpeg2video", 320, 240, 25, "mp2", 48000, 2}},
      {"vcd.mpg", {{"target", "pal-vcd"}}, {"mpeg", "mpeg1video", 352, 288, 25, "mp2", 44100, 2}},
      {"svcd.mpg", {{"target", "ntsc-svcd"}}, {"mpeg", "mpeg2video", 480, 480, 29.97, "mp2", 44100, 2}},
      {"dvd.vob", {{"target", "pal-dvd"}}, {"mpeg", "mpeg2video", 720, 576, 25, "ac3", 48000, 2}},
      {"clip.dv", {{"target", "pal-dv"}}, {"dv", "dvvideo", 720, 576, 25, "pcm_s16le", 48000, 2}},
      {"clip.mov", {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, {"mov", "mpeg4", 320, 240, 25, "aac", 44100, 2}},
      {"clip.swf", {{"vcodec", "flv"}, {"acodec", "libmp3lame"}, {"ar", "22050"}}, {"swf", "flv", 320, 240, 25, "mp3", 22050, 2}},
      {"clip.ts", {{"vcodec", "mpeg2video"}, {"acodec", "mp2"}}, {"mpegts", "mpeg2video", 320, 240, 25, "mp2", 44100, 2}},
      {"sound.aac", {{"vn", ""}, {"acodec", "aac"}}, {"aac", "", 0, 0, 0, "aac", 44100, 2}},
      {"sound.m4a", {{"vn", ""}, {"acodec", "aac"}}, {"mov", "", 0, 0, 0, "aac", 44100, 2}},
      {"sound.wma", {{"vn", ""}, {"acodec", "wmav2"}}, {"asf", "", 0, 0, 0, "wmav2", 44100, 2}},
      {"sound.ogg", {{"vn", ""}, {"acodec", "libvorbis"}}, {"ogg", "", 0, 0, 0, "vorbis", 44100, 2}},
  };
  for (const auto& c : kCases) {
    Transcoder t;
    const std::string out = Convert(test::VideoAudioMp4(), c.name, c.options, t);
    CheckOutput(out, c.expected, 2.0);
  }
}

}  // namespace
