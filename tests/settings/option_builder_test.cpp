// The conversion option builder on small INI files of the test's own: the
// flash-video example, the frame size and its question, the four zoom modes
// with and without a crop, audio formats and the audio of video formats.
#include "settings/option_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/format_catalogue.h"
#include "settings/settings_keys.h"
#include "temp_folder.h"
#include "test_media.h"

using namespace zelvo;
using zelvo::test::TempFolder;
using zelvo::test::WriteFileBytes;

namespace {

constexpr int kCode = 1900;

// Answers the frame-size question as told and remembers every question.
class RecordingQuestion final : public YesNoQuestion {
 public:
  explicit RecordingQuestion(bool yes) : yes_(yes) {}
  bool AskYesNo(std::string_view caption, std::string_view text) override {
    asked.push_back(std::string(caption) + "|" + std::string(text));
    return yes_;
  }
  std::vector<std::string> asked;

 private:
  bool yes_;
};

struct Built {
  OutputOptions output;
  InputOptions input;
  std::vector<std::string> questions;
};

// The stored choices of the flash-video example.
const std::vector<IniEntry> kFlvChoices = {
    {"paraVideoEncoder", "flv"}, {"paraVideoSize", "320x240"},    {"paraVideoBitRate", "768"},
    {"paraFrameRate", "25"},     {"paraAudioEncoder", "libmp3lame"}, {"paraAudioBitRate", "96"},
    {"paraSampleRate", "44100"}, {"paraChannel", "2"},            {"paraVolume", "256"}};

std::vector<IniEntry> With(std::vector<IniEntry> entries, const std::vector<IniEntry>& changes) {
  for (const IniEntry& change : changes) {
    bool replaced = false;
    for (IniEntry& e : entries)
      if (e.key == change.key) e.value = change.value, replaced = true;
    if (!replaced) entries.push_back(change);
  }
  return entries;
}

class OptionBuilderTest : public ::testing::Test {
 protected:
  // A format INI whose section kCode has only the given Format key (the
  // builder reads nothing else of it) and a settings INI with the choices.
  Built Build(const std::string& format, const std::vector<IniEntry>& choices, const LvFilesRecord& row,
              const SourceVideo& source, bool answerYes = true) {
    WriteFileBytes(folder_.File("f.ini"), "[formatInfo1900]\nFormat=" + format + "\nFileExt=x\n");
    std::string settings = "[formatInfo1900]\n";
    for (const IniEntry& e : choices) settings += e.key + "=" + e.value + "\n";
    WriteFileBytes(folder_.File("s.ini"), settings);
    Built b;
    InitOutputOptions(b.output);
    b.output.FileName = "out.flv";
    InitInputOptions(b.input);
    b.input.FileName = "in.mp4";
    RecordingQuestion question(answerYes);
    BuildConversionOptions(IniFile(folder_.File("f.ini")), IniFile(folder_.File("s.ini")), row, kCode, b.output, source,
                           b.input, question);
    b.questions = question.asked;
    return b;
  }

  static LvFilesRecord Row(const std::string& zoom, int left = 0, int top = 0, int right = 0, int bottom = 0) {
    LvFilesRecord row;
    row.Zoom = zoom;
    row.CropLeft = left;
    row.CropTop = top;
    row.CropRight = right;
    row.CropBottom = bottom;
    return row;
  }

  TempFolder folder_;
};

const SourceVideo k640x360{1, 640, 360, 900000};
const SourceVideo k320x240{1, 320, 240, 400000};

TEST_F(OptionBuilderTest, FlashVideoLetterboxedFromAWideSource) {
  const Built b = Build("flv", kFlvChoices, Row("lbox"), k640x360);
  const OutputOptions& o = b.output;
  EXPECT_EQ(o.ForceFormat, "flv");
  EXPECT_EQ(o.VideoCodec, "");  // the container's own encoder
  EXPECT_EQ(o.VideoPreset, "");
  EXPECT_EQ(o.VideoBitrate, 768000);
  EXPECT_EQ(o.FrameRate, "25");
  EXPECT_EQ(o.FrameSize, "320x180");
  EXPECT_EQ(o.FrameAspectRatio, "320:180");
  EXPECT_EQ(o.VideoFilters, "pad=320:240:0:30");
  EXPECT_EQ(o.AudioCodec, "libmp3lame");
  EXPECT_EQ(o.AudioChannels, 2);
  EXPECT_EQ(o.AudioSampleRate, 44100);
  EXPECT_EQ(o.AudioBitrate, 96000);
  EXPECT_EQ(o.AudioVolume, -1);
  EXPECT_EQ(o.Target, 0);
  EXPECT_EQ(o.TargetNorm, 0);
  EXPECT_EQ(o.CropTop + o.CropBottom + o.CropLeft + o.CropRight, 0);
  EXPECT_FALSE(o.DisableVideo || o.DisableAudio || o.DisableSubtitle);
  EXPECT_EQ(o.ExtOptions, "");
  EXPECT_EQ(o.FileName, "out.flv");
  EXPECT_EQ(b.input.ExtOptions, "");
  EXPECT_TRUE(b.questions.empty());
}

TEST_F(OptionBuilderTest, TheGlobalObjectsFilesAndAProbedSource) {
  test::LoadMediaLibrariesForTests();
  WriteFileBytes(folder_.File("f.ini"), "[formatInfo1900]\nFormat=flv\n");
  std::string settings = "[formatInfo1900]\n";
  for (const IniEntry& e : kFlvChoices) settings += e.key + "=" + e.value + "\n";
  WriteFileBytes(folder_.File("s.ini"), settings);
  GlobalObject global;
  global.SetFormatIniPath(folder_.File("f.ini"));
  global.SetSettingsIniPath(folder_.File("s.ini"));

  MediaProbe probe;
  ASSERT_TRUE(probe.ProbeFile(test::H264Clip())) << probe.LastErrMsg();  // 640x360
  const SourceVideo source = SourceVideoOf(probe);
  EXPECT_EQ(source.VideoStreamCount, 1);
  EXPECT_EQ(source.Width, 640);
  EXPECT_EQ(source.Height, 360);

  OutputOptions o;
  InputOptions in;
  FixedAnswer no(false);
  BuildConversionOptions(global, Row("lbox"), kCode, o, probe, in, no);
  EXPECT_EQ(o.FrameSize, "320x180");
  EXPECT_EQ(o.VideoFilters, "pad=320:240:0:30");
  EXPECT_EQ(o.AudioBitrate, 96000);
}

// The frame size: the stored text, the H.263 sizes, and the question for a
// size that cannot be used. "full" shows W x H as it is.
TEST_F(OptionBuilderTest, FrameSizeFromTheStoredText) {
  const struct Case {
    const char* name;
    std::vector<IniEntry> changes;
    bool answerYes;
    const char* frameSize;
    bool asked;
  } kCases[] = {
      {"plain", {}, true, "320x240", false},
      {"as source", {{"paraVideoSize", "as source"}}, true, "640x360", false},
      {"width not a number", {{"paraVideoSize", "abcx240"}}, true, "640x240", false},
      {"height not a number", {{"paraVideoSize", "400xabc"}}, true, "400x360", false},
      {"x first, Yes", {{"paraVideoSize", "x240"}}, true, "320x240", true},
      {"x first, No", {{"paraVideoSize", "x240"}}, false, "640x360", true},
      {"x last", {{"paraVideoSize", "320x"}}, true, "320x240", true},
      {"no x", {{"paraVideoSize", "big"}}, false, "640x360", true},
      {"empty frame", {{"paraVideoSize", "0x240"}}, true, "320x240", true},
      {"never stored", {{"paraVideoSize", "null"}}, true, "320x240", true},
      {"h263 standard", {{"paraVideoEncoder", "h263"}, {"paraVideoSize", "176x144"}}, true, "176x144", false},
      {"h263 400x300", {{"paraVideoEncoder", "h263"}, {"paraVideoSize", "400x300"}}, true, "704x576", false},
      {"h263 300x200", {{"paraVideoEncoder", "h263"}, {"paraVideoSize", "300x200"}}, true, "352x288", false},
      {"h263 2000x1000", {{"paraVideoEncoder", "h263"}, {"paraVideoSize", "2000x1000"}}, true, "704x576", false},
      {"h263 160x120", {{"paraVideoEncoder", "h263"}, {"paraVideoSize", "160x120"}}, true, "176x144", false},
      {"h263 100x80", {{"paraVideoEncoder", "h263"}, {"paraVideoSize", "100x80"}}, true, "128x96", false},
      {"h263p any size", {{"paraVideoEncoder", "h263p"}, {"paraVideoSize", "400x300"}}, true, "400x300", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Built b = Build("flv", With(kFlvChoices, c.changes), Row("full"), k640x360, c.answerYes);
    EXPECT_EQ(b.output.FrameSize, c.frameSize);
    ASSERT_EQ(b.questions.size(), c.asked ? 1u : 0u);
    if (c.asked) {
      EXPECT_EQ(b.questions[0], "Warning|Error output Video Size.Use the default size 320x240?");
    }
  }
}

TEST_F(OptionBuilderTest, ZoomModesWithAndWithoutACrop) {
  const struct Case {
    const char* name;
    LvFilesRecord row;
    SourceVideo source;
    const char* size;  // paraVideoSize
    const char* frameSize;
    const char* aspect;
    const char* filters;
    int top, bottom, left, right;  // the output record's crop
  } kCases[] = {
      {"lbox, same shape", Row("lbox"), k320x240, "320x240", "320x240", "320:240", "pad=320:240:0:0", 0, 0, 0, 0},
      {"lbox, as source", Row("lbox"), k640x360, "as source", "640x360", "640:360", "pad=640:360:0:0", 0, 0, 0, 0},
      {"lbox, bars left and right", Row("lbox"), k320x240, "480x272", "364x272", "364:272", "pad=480:272:58:0", 0,
       0, 0, 0},
      // The bars fit the kept part: 600x360 into 320x240 is 320x192.
      {"lbox, cropped", Row("lbox", 20, 0, 20, 0), k640x360, "320x240", "", "320:192",
       "crop=w=600:h=360:x=20:y=0,scale=320:192,pad=320:240:0:24", 0, 0, 0, 0},
      {"full", Row("full"), k640x360, "320x240", "320x240", "320:240", "", 0, 0, 0, 0},
      {"full, top cropped", Row("full", 0, 10, 0, 0), k640x360, "320x240", "320x240", "320:240", "", 10, 0, 0, 0},
      {"full, all cropped", Row("full", 2, 4, 6, 8), k640x360, "320x240", "320x240", "320:240", "", 4, 8, 2, 6},
      // Pan and scan cuts to the frame's shape: 640x360 to 4:3 keeps 480x360.
      {"pan, wide source", Row("pan"), k640x360, "320x240", "320x240", "320:240", "", 0, 0, 80, 80},
      {"pan, tall source", Row("pan"), SourceVideo{1, 320, 320, 0}, "320x240", "320x240", "320:240", "", 40, 40, 0, 0},
      {"pan, same shape", Row("pan"), k320x240, "640x480", "640x480", "640:480", "", 0, 0, 0, 0},
      {"pan, cropped", Row("pan", 0, 20, 0, 20), k640x360, "320x240", "320x240", "320:240", "", 20, 20, 106, 106},
      {"pan, to a wide frame", Row("pan"), k320x240, "480x272", "480x272", "480:272", "", 28, 28, 0, 0},
      {"center, wide source", Row("center"), k640x360, "320x240", "", "320:240",
       "pad=640:480:0:60:black,scale=320:240", 0, 0, 0, 0},
      {"center, tall source", Row("center"), k320x240, "480x272", "", "480:272",
       "pad=422:240:50:0:black,scale=480:272", 0, 0, 0, 0},
      {"center, same shape", Row("center"), k320x240, "640x480", "", "640:480", "pad=320:240:0:0:black,scale=640:480",
       0, 0, 0, 0},
      {"other zoom", Row("orig", 10, 10, 10, 10), k640x360, "320x240", "", "", "", 0, 0, 0, 0},
      // A crop that leaves nothing is no crop.
      {"full, crop wider than the picture", Row("full", 400, 0, 400, 0), k640x360, "320x240", "320x240", "320:240",
       "", 0, 0, 0, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Built b = Build("flv", With(kFlvChoices, {{"paraVideoSize", c.size}}), c.row, c.source);
    const OutputOptions& o = b.output;
    EXPECT_EQ(o.FrameSize, c.frameSize);
    EXPECT_EQ(o.FrameAspectRatio, c.aspect);
    EXPECT_EQ(o.VideoFilters, c.filters);
    EXPECT_EQ(o.CropTop, c.top);
    EXPECT_EQ(o.CropBottom, c.bottom);
    EXPECT_EQ(o.CropLeft, c.left);
    EXPECT_EQ(o.CropRight, c.right);
  }
}

TEST_F(OptionBuilderTest, EncodersPresetsTargetsAndContainers) {
  const struct Case {
    const char* format;
    const char* encoder;
    const char* videoCodec;
    const char* preset;
    const char* forceFormat;
    int target;
  } kCases[] = {
      {"mp4", "mpeg4", "mpeg4", "", "", 0},
      {"avi", "libxvid", "libxvid", "", "avi", 0},
      {"asf", "wmv2", "wmv2", "", "", 0},
      {"MOV", "mjpeg", "mjpeg", "", "MOV", 0},  // the text as read
      {"3gp", "h263", "h263", "", "3gp", 0},
      {"psp", "libx264", "libx264", "libx264-psp", "psp", 0},
      {"ipod", "libx264", "libx264", "libx264-ipod", "ipod", 0},
      {"ps3", "libx264", "libx264", "libx264-ps3", "", 0},
      {"matroska", "libx264", "libx264", "libx264-mp4", "", 0},
      {"vob", "mpeg2video", "mpeg2video", "", "vob", 3},
      {"mpegts", "mpeg2video", "mpeg2video", "", "mpegts", 3},
      {"mov", "mov", "", "", "mov", 0},
      {"3g2", "3g2", "", "", "3g2", 0},
      {"swf", "swf", "", "", "", 0},
      {"asf", "wmv3", "", "", "", 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.format) + " " + c.encoder);
    const Built b = Build(c.format, With(kFlvChoices, {{"paraVideoEncoder", c.encoder}}), Row("lbox"), k320x240);
    EXPECT_EQ(b.output.VideoCodec, c.videoCodec);
    EXPECT_EQ(b.output.VideoPreset, c.preset);
    EXPECT_EQ(b.output.ForceFormat, c.forceFormat);
    EXPECT_EQ(b.output.Target, c.target);
  }
}

TEST_F(OptionBuilderTest, DiscTargetsAndTheirAspect) {
  const struct Case {
    const char* format;
    const char* size;
    int target, norm;
    const char* aspect;
  } kCases[] = {
      {"ntsc-dvd", "720x480", 3, 2, "16:9"}, {"ntsc-dvd", "720x576", 3, 2, "4:3"},
      {"NTSC-DVD", "720x480", 3, 2, "16:9"}, {"pal-dvd", "720x576", 3, 1, "16:9"},
      {"pal-dvd", "720x480", 3, 1, "4:3"},   {"ntsc-vcd", "352x240", 1, 2, "4:3"},
      {"pal-vcd", "352x288", 1, 1, "4:3"},   {"ntsc-svcd", "480x480", 2, 2, "4:3"},
      {"pal-svcd", "480x576", 2, 1, "4:3"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.format) + " " + c.size);
    // A zoom the builder does not know keeps the target's aspect.
    const Built b = Build(c.format, With(kFlvChoices, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", c.size}}),
                          Row("orig"), k320x240);
    EXPECT_EQ(b.output.Target, c.target);
    EXPECT_EQ(b.output.TargetNorm, c.norm);
    EXPECT_EQ(b.output.FrameAspectRatio, c.aspect);
    // The zoom modes set the aspect again.
    EXPECT_EQ(Build(c.format, With(kFlvChoices, {{"paraVideoSize", c.size}}), Row("full"), k320x240)
                  .output.FrameAspectRatio,
              std::string(c.size).replace(std::string(c.size).find('x'), 1, ":"));
  }
}

TEST_F(OptionBuilderTest, VideoRatesAndTheDvPixelFormat) {
  const struct Case {
    const char* name;
    std::vector<IniEntry> changes;
    int videoBitrate;
    const char* frameRate;
    const char* extOptions;
  } kCases[] = {
      {"stored", {}, 768000, "25", ""},
      {"bit rate as source", {{"paraVideoBitRate", "as source"}}, 900000, "25", ""},
      {"bit rate no integer", {{"paraVideoBitRate", "fast"}}, 900000, "25", ""},
      {"bit rate 0", {{"paraVideoBitRate", "0"}}, -1, "25", ""},
      {"bit rate too large", {{"paraVideoBitRate", "3000000"}}, -1, "25", ""},
      {"frame rate with decimals", {{"paraFrameRate", "29.97"}}, 768000, "29.97", ""},
      {"frame rate as source", {{"paraFrameRate", "as source"}}, 768000, "", ""},
      {"frame rate 0", {{"paraFrameRate", "0"}}, 768000, "", ""},
      {"frame rate no number", {{"paraFrameRate", "film"}}, 768000, "", ""},
      {"NTSC DV", {{"paraVideoEncoder", "dvvideo"}, {"paraVideoSize", "720x480"}}, 768000, "25", "pix_fmt=yuv411p"},
      {"PAL DV", {{"paraVideoEncoder", "dvvideo"}, {"paraVideoSize", "720x576"}}, 768000, "25", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Built b = Build("flv", With(kFlvChoices, c.changes), Row("lbox"), k640x360);
    EXPECT_EQ(b.output.VideoBitrate, c.videoBitrate);
    EXPECT_EQ(b.output.FrameRate, c.frameRate);
    EXPECT_EQ(b.output.ExtOptions, c.extOptions);
  }
}

TEST_F(OptionBuilderTest, AudioOfVideoAndOfAudioFormats) {
  const struct Case {
    const char* name;
    std::vector<IniEntry> choices;  // replaces the example's when audioOnly
    bool audioOnly;
    const char* codec;
    bool disabled;
    int channels, sampleRate, bitRate, volume;
  } kCases[] = {
      {"example", {}, false, "libmp3lame", false, 2, 44100, 96000, -1},
      {"kilobits with decimals", {{"paraAudioBitRate", "96.5"}}, false, "libmp3lame", false, 2, 44100, 96500, -1},
      {"AMR's 12.2 kbit/s", {{"paraAudioBitRate", "12.2"}}, false, "libmp3lame", false, 2, 44100, 12200, -1},
      {"bit rate as source", {{"paraAudioBitRate", "as source"}}, false, "libmp3lame", false, 2, 44100, -1, -1},
      {"bit rate blank", {{"paraAudioBitRate", " "}}, false, "libmp3lame", false, 2, 44100, -1, -1},
      {"volume doubled", {{"paraVolume", "512"}}, false, "libmp3lame", false, 2, 44100, 96000, 512},
      {"mono", {{"paraChannel", "1"}}, false, "libmp3lame", false, 1, 44100, 96000, -1},
      {"channels as source", {{"paraChannel", "as source"}}, false, "libmp3lame", false, -1, 44100, 96000, -1},
      {"sample rate as source", {{"paraSampleRate", "as source"}}, false, "libmp3lame", false, 2, -1, 96000, -1},
      {"sample rate 0", {{"paraSampleRate", "0"}}, false, "libmp3lame", false, 2, -1, 96000, -1},
      {"no audio encoder", {{"paraAudioEncoder", ""}}, false, "", true, 2, 44100, 96000, -1},
      {"AMR by its old name", {{"paraAudioEncoder", "libamr_nb"}}, false, "libopencore_amrnb", false, 2, 44100, 96000,
       -1},
      {"AAC by its old name", {{"paraAudioEncoder", "libfaac"}}, false, "aac", false, 2, 44100, 96000, -1},
      // No video encoder stored: an audio format, with its own defaults.
      {"audio format, nothing stored", {}, true, "aac", false, 2, 44100, 128000, -1},
      {"audio format",
       {{"paraAudioEncoder", "libvorbis"}, {"paraChannel", "1"}, {"paraSampleRate", "48000"},
        {"paraAudioBitRate", "160"}, {"paraVolume", "128"}},
       true, "libvorbis", false, 1, 48000, 160000, 128},
      {"audio format, Vorbis by its old name", {{"paraAudioEncoder", "vorbis"}}, true, "libvorbis", false, 2, 44100,
       128000, -1},
      {"audio format, FLAC by its old name", {{"paraAudioEncoder", "libflac"}}, true, "flac", false, 2, 44100, 128000,
       -1},
      {"audio format, channels 0", {{"paraChannel", "0"}}, true, "aac", false, -1, 44100, 128000, -1},
      {"audio format, blank video encoder", {{"paraVideoEncoder", "  "}}, true, "aac", false, 2, 44100, 128000, -1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Built b = Build(c.audioOnly ? "mp3" : "flv", c.audioOnly ? c.choices : With(kFlvChoices, c.choices),
                          Row("lbox"), k640x360);
    const OutputOptions& o = b.output;
    EXPECT_EQ(o.AudioCodec, c.codec);
    EXPECT_EQ(o.DisableAudio, c.disabled);
    EXPECT_EQ(o.AudioChannels, c.channels);
    EXPECT_EQ(o.AudioSampleRate, c.sampleRate);
    EXPECT_EQ(o.AudioBitrate, c.bitRate);
    EXPECT_EQ(o.AudioVolume, c.volume);
    // An audio format reads no picture and sets nothing of the video.
    EXPECT_EQ(b.input.ExtOptions, c.audioOnly ? "vn=1" : "");
    EXPECT_EQ(o.DisableVideo, c.audioOnly);
    EXPECT_EQ(o.DisableSubtitle, c.audioOnly);
    if (c.audioOnly) {
      EXPECT_EQ(o.VideoCodec, "");
      EXPECT_EQ(o.FrameSize, "");
      EXPECT_EQ(o.VideoBitrate, -1);
      EXPECT_EQ(o.CropTop, -1);
    }
  }
}

TEST_F(OptionBuilderTest, ASourceWithoutVideoGetsOnlyTheAudioSettings) {
  const Built b = Build("flv", kFlvChoices, Row("lbox", 10, 10, 10, 10), SourceVideo{});
  const OutputOptions& o = b.output;
  EXPECT_TRUE(o.DisableVideo);
  EXPECT_FALSE(o.DisableSubtitle);
  EXPECT_EQ(b.input.ExtOptions, "");
  EXPECT_EQ(o.FrameSize, "");
  EXPECT_EQ(o.FrameRate, "");
  EXPECT_EQ(o.VideoBitrate, -1);
  EXPECT_EQ(o.VideoFilters, "");
  EXPECT_EQ(o.ForceFormat, "");
  EXPECT_EQ(o.CropLeft, -1);
  EXPECT_EQ(o.AudioCodec, "libmp3lame");
  EXPECT_EQ(o.AudioBitrate, 96000);
  EXPECT_TRUE(b.questions.empty());
}

TEST_F(OptionBuilderTest, AVolumeThatIsNoIntegerIsAConversionError) {
  for (bool audioOnly : {false, true}) {
    SCOPED_TRACE(audioOnly ? "audio format" : "video format");
    std::vector<IniEntry> choices = With(kFlvChoices, {{"paraVolume", "loud"}});
    if (audioOnly) choices = {{"paraVolume", "loud"}};
    try {
      Build(audioOnly ? "mp3" : "flv", choices, Row("lbox"), k640x360);
      ADD_FAILURE() << "no error";
    } catch (const ConvertError& e) {
      EXPECT_STREQ(e.what(), "'loud' is not a valid integer value");
    }
  }
}

TEST_F(OptionBuilderTest, UnstoredChoicesAreTheCataloguesDefaultItems) {
  WriteFileBytes(folder_.File("f.ini"),
                 "[formatInfo1900]\nFormat=ipod\nFileExt=mp4\n"
                 "VideoSize=320x240,640x480\niVideoSize=1\n"
                 "VideoBitRate=512,1500\niVideoBitRate=1\n"
                 "FrameRate=25,29.97\niFrameRate=0\n"
                 "VideoEncoder=mpeg-4,h264\niVideoEncoder=1\n"
                 "AudioBitRate=96,160\niAudioBitRate=1\n"
                 "SampleRate=44100,48000\niSampleRate=1\n"
                 "AudioEncoder=aac\niAudioEncoder=0\n"
                 "Channel=stereo 2 channels,mono 1 channel\niChannel=1\n"
                 "Volume=100%,200%\niVolume=1\n");
  // A stored choice wins over the catalogue's.
  WriteFileBytes(folder_.File("s.ini"), "[formatInfo1900]\nparaSampleRate=22050\n");
  OutputOptions o;
  InputOptions in;
  FixedAnswer yes(true);
  BuildConversionOptions(IniFile(folder_.File("f.ini")), IniFile(folder_.File("s.ini")), Row("full"), kCode, o,
                         k640x360, in, yes);
  EXPECT_EQ(o.VideoCodec, "libx264");
  EXPECT_EQ(o.VideoPreset, "libx264-ipod");
  EXPECT_EQ(o.ForceFormat, "ipod");
  EXPECT_EQ(o.FrameSize, "640x480");
  EXPECT_EQ(o.VideoBitrate, 1500000);
  EXPECT_EQ(o.FrameRate, "25");
  EXPECT_EQ(o.AudioCodec, "aac");
  EXPECT_EQ(o.AudioBitrate, 160000);
  EXPECT_EQ(o.AudioSampleRate, 22050);
  EXPECT_EQ(o.AudioChannels, 1);
  EXPECT_EQ(o.AudioVolume, 512);

  // A code with no section anywhere is an audio format.
  OutputOptions none;
  InputOptions noneIn;
  BuildConversionOptions(IniFile(folder_.File("f.ini")), IniFile(folder_.File("s.ini")), Row("full"), 4242, none,
                         k640x360, noneIn, yes);
  EXPECT_EQ(none.AudioCodec, "aac");
  EXPECT_TRUE(none.DisableVideo);
  EXPECT_EQ(noneIn.ExtOptions, "vn=1");
}

TEST(FilesRecord, ANewRowsValuesAndZoom) {
  const LvFilesRecord row;
  EXPECT_EQ(row.Zoom, "lbox");
  EXPECT_EQ(row.TrimStart, 0);
  EXPECT_EQ(row.TrimLength, 0);
  EXPECT_EQ(row.CropTop + row.CropLeft + row.CropBottom + row.CropRight, 0);
  EXPECT_EQ(row.WatermarkFont.Name, "MS Sans Serif");
  EXPECT_EQ(row.WatermarkFont.Size, 8);
  EXPECT_EQ(row.WatermarkFont.Color, 0u);
  EXPECT_EQ(row.PictureAlpha, 168);
  EXPECT_EQ(row.PictureBlend, 1);
  EXPECT_EQ(row.Brightness, 255);
  EXPECT_EQ(row.Contrast, 0);
  EXPECT_EQ(row.Saturation, 255);
  EXPECT_EQ(row.Exposure, 0);
  EXPECT_FALSE(row.ProcessText || row.ProcessPicture);

  TempFolder folder;
  WriteFileBytes(folder.File("s.ini"), "[formatInfo5]\nparaZoom=pan\n");
  EXPECT_EQ(RowZoomOf(IniFile(folder.File("s.ini")), 5), "pan");
  EXPECT_EQ(RowZoomOf(IniFile(folder.File("s.ini")), 6), "lbox");
  EXPECT_EQ(RowZoomOf(IniFile(folder.File("none.ini")), 5), "lbox");
}

}  // namespace
