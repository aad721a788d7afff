#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>

#include "engine/presets.h"
#include "engine/transcoder.h"
#include "media/av_entries.h"
#include "media/engine_log.h"
#include "media/utils.h"
#include "test_media.h"

namespace fs = std::filesystem;
using namespace zelvo;

namespace {

// Collects the engine log's lines (in the logging thread) for the test's duration.
class LogCapture {
 public:
  LogCapture() {
    EngineLog& log = EngineLog::Logger();
    log.SetTriggerEventInMainThread(false);
    log.SetLogLevel(LogLevel::llVerbose);
    log.SetOnLog([this](const void*, std::uint32_t, LogLevel level, const std::string& text) {
      std::lock_guard<std::mutex> g(lock_);
      lines_.push_back({level, text});
    });
  }
  ~LogCapture() {
    EngineLog& log = EngineLog::Logger();
    log.SetOnLog(nullptr);
    log.SetTriggerEventInMainThread(true);
    log.SetLogLevel(LogLevel::llInfo);
  }
  bool Has(LogLevel level, const std::string& text) {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& l : lines_)
      if (l.first == level && l.second == text) return true;
    return false;
  }
  std::vector<std::string> AtLeast(LogLevel level) {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::string> out;
    for (const auto& l : lines_)
      if (l.first <= level) out.push_back(l.second);
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(lock_);
    lines_.clear();
  }

 private:
  std::mutex lock_;
  std::vector<std::pair<LogLevel, std::string>> lines_;
};

class EngineOptions : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadMediaLibrariesForTests(); }
  std::string ErrorOf(Transcoder& t, const std::string& name, const std::string& value) {
    try {
      t.SetOption(name, value);
    } catch (const EngineException& e) {
      return e.what();
    }
    return "(no error)";
  }
  static std::string Remembered(const Transcoder& t, const std::string& name) {
    std::string value;
    for (const auto& r : t.GenericOptions().Remembered)
      if (r.Name == name) value = r.Value;
    return value;
  }
};

TEST_F(EngineOptions, BooleansAreTrueForAnythingButZero) {
  const struct { const char* value; bool disabled; } kCases[] = {{"0", false}, {"", true}, {"1", true}, {"no", true}, {" 0", true}};
  for (const auto& c : kCases) {
    Transcoder t;
    t.SetOption("an", c.value);
    EXPECT_EQ(t.Options().audioDisable, c.disabled) << "'" << c.value << "'";
  }
}

TEST_F(EngineOptions, EachOptionChangesItsState) {
  using Check = std::function<bool(const OptionState&)>;
  const struct { const char* name; const char* value; Check check; } kCases[] = {
      {"f", "avi", [](const OptionState& s) { return s.forcedFormat == "avi"; }},
      {"f", "pgmyuv", [](const OptionState& s) { return s.forcedFormat == "image2" && s.pgmyuvCompat; }},
      {"s", "640x480", [](const OptionState& s) { return s.frameWidth == 640 && s.frameHeight == 480; }},
      {"s", "hd720", [](const OptionState& s) { return s.frameWidth == 1280 && s.frameHeight == 720; }},
      {"r", "29.97", [](const OptionState& s) { return s.frameRate.num == 2997 && s.frameRate.den == 100; }},
      {"r", "ntsc", [](const OptionState& s) { return s.frameRate.num == 30000 && s.frameRate.den == 1001; }},
      {"aspect", "16:9", [](const OptionState& s) { return std::abs(s.frameAspectRatio - 16.0 / 9) < 1e-9; }},
      {"aspect", "1.5", [](const OptionState& s) { return s.frameAspectRatio == 1.5; }},
      {"pix_fmt", "yuv422p", [](const OptionState& s) { return s.pixelFormat == AV_PIX_FMT_YUV422P; }},
      {"t", "00:01:02.5", [](const OptionState& s) { return s.recordingTime == 62500000 && s.totalDuration == 62500000; }},
      {"ss", "90", [](const OptionState& s) { return s.startTime == 90000000; }},
      {"itsoffset", "-5", [](const OptionState& s) { return s.inputTsOffset == -5000000; }},
      {"itsscale", "3:0.5", [](const OptionState& s) { return s.tsScale[3] == 0.5; }},
      {"timestamp", "2010-06-15T12:00:00Z", [](const OptionState& s) { return s.recordingTimestamp == 1276603200; }},
      {"metadata", "title=A=B", [](const OptionState& s) { return s.metadata.size() == 1 && s.metadata[0].first == "title" && s.metadata[0].second == "A=B"; }},
      {"map", "0:1", [](const OptionState& s) { return s.streamMaps.size() == 1 && s.streamMaps[0].stream == 1 && s.streamMaps[0].syncStream == 1; }},
      {"map", "0x1.2:0.0", [](const OptionState& s) { return s.streamMaps[0].file == 1 && s.streamMaps[0].stream == 2 && s.streamMaps[0].syncFile == 0; }},
      {"map_meta_data", "0:1", [](const OptionState& s) { return s.metadataMaps.size() == 1 && s.metadataMaps[0].inFile == 1; }},
      {"vframes", "100", [](const OptionState& s) { return s.maxFrames[kVideo] == 100; }},
      {"qscale", "3.5", [](const OptionState& s) { return s.videoQScale == 3.5; }},
      {"vcodec", "copy", [](const OptionState& s) { return s.videoStreamCopy && s.videoCodecName.empty(); }},
      {"acodec", "libmp3lame", [](const OptionState& s) { return s.audioCodecName == "libmp3lame" && !s.audioStreamCopy; }},
      {"vtag", "XVID", [](const OptionState& s) { return s.videoTag == 0x44495658u; }},
      {"intra_matrix", "8,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,99",
       [](const OptionState& s) { return s.intraMatrix.size() == 64 && s.intraMatrix[0] == 8 && s.intraMatrix[63] == 99; }},
      {"ar", "22050", [](const OptionState& s) { return s.audioSampleRate == 22050; }},
      {"ar", "0", [](const OptionState& s) { return s.audioSampleRate == 44100; }},
      {"ac", "1", [](const OptionState& s) { return s.audioChannels == 1; }},
      {"vol", "512", [](const OptionState& s) { return s.audioVolume == 512; }},
      {"sample_fmt", "s16", [](const OptionState& s) { return s.sampleFormat == AV_SAMPLE_FMT_S16; }},
      {"pass", "2", [](const OptionState& s) { return s.pass == 2; }},
      {"copyts", "0", [](const OptionState& s) { return s.copyTimestamps; }},
      {"xerror", "0", [](const OptionState& s) { return s.exitOnError; }},
      {"async", "1", [](const OptionState& s) { return s.audioSyncMethod == 1; }},
      {"muxpreload", "0.44", [](const OptionState& s) { return s.muxPreload == 0.44; }},
      {"vbsf", "h264_mp4toannexb", [](const OptionState& s) { return s.bitstreamFilters[kVideo] == std::vector<std::string>{"h264_mp4toannexb"}; }},
      {"absf", "=x", [](const OptionState& s) { return s.bitstreamFilters[kAudio].empty(); }},
      {"vbsf", "mjpega_dump_header", [](const OptionState& s) { return s.bitstreamFilters[kVideo] == std::vector<std::string>{"mjpegadump"}; }},
      {"streamid", "2:301", [](const OptionState& s) { return s.streamIds[2] == 301; }},
      {"vstats", "", [](const OptionState& s) { return s.vstatsFileName.find("vstats_") != std::string::npos && s.vstatsFileName.size() > 14; }},
  };
  for (const auto& c : kCases) {
    Transcoder t;
    t.SetOption(c.name, c.value);
    EXPECT_TRUE(c.check(t.Options())) << c.name << " " << c.value;
  }
}

TEST_F(EngineOptions, BadValuesRaiseTheirTexts) {
  const struct { const char* name; const char* value; const char* message; } kCases[] = {
      {"threads", "2", "TODO: option - threads"},
      {"r", "fast", "Incorrect frame rate"},
      {"s", "x240", "Incorrect frame size"},
      {"aspect", "0", "Incorrect aspect ratio specification."},
      {"aspect", "4:0", "Incorrect aspect ratio specification."},
      {"pix_fmt", "bogus", "Unknown pixel format requested: bogus"},
      {"padtop", "10", "Please use vfilters=pad"},
      {"qscale", "0", "qscale must be > 0.0 and <= 255"},
      {"qscale", "256", "qscale must be > 0.0 and <= 255"},
      {"pass", "3", "pass number can be only 1 or 2"},
      {"t", "soon", "Invalid duration specification for t: soon"},
      {"timestamp", "2010-06-15", "Invalid date specification for timestamp: 2010-06-15"},
      {"metadata", "title", "Missing ="},
      {"itsscale", "20:1", "stream index over MAX_STREAMS(20)"},
      {"vtag", "XVI", "video tag parameter must be 4 chars"},
      {"atag", "mp3ab", "audio tag parameter must be 4 chars"},
      {"stag", "", "subtitle tag parameter must be 4 chars"},
      {"intra_matrix", "1,2,3", "Syntax error in matrix \"1,2,3\" at coeff 3"},
      {"newvideo", "", "At least one output file must be specified"},
      {"streamid", "2", "Invalid value \"2\" for option \"streamid\", required syntax is \"index:value\""},
      {"vbsf", "no_such_filter=1", "Unknown bitstream filter no_such_filter=1"},
      {"target", "pal-bluray", "Unknown target type"},
      {"target", "pal-laserdisc", "Unknown target type"},
      {"target", "vcd", "frame_rate is invalid."},
      {"vpre", "no-such-preset", "Preset \"no-such-preset\" not found"},
      {"vhook", "/nonexistent/hook.so -x", "Failed to add video hook function: /nonexistent/hook.so -x"},
      {"vframes", "many", "'many' is not a valid integer value"},
  };
  for (const auto& c : kCases) {
    Transcoder t;
    EXPECT_EQ(ErrorOf(t, c.name, c.value), c.message) << c.name << " " << c.value;
  }
}

TEST_F(EngineOptions, AFailingOptionUndoesNothingBeforeIt) {
  Transcoder t;
  t.SetOption("s", "640x480");
  t.SetOption("b", "800000");
  EXPECT_EQ(ErrorOf(t, "r", "bad"), "Incorrect frame rate");
  EXPECT_EQ(t.Options().frameWidth, 640);
  EXPECT_EQ(t.GenericOptions().CodecOpts[0]->bit_rate, 800000);
  t.SetOption("nosuchoption", "1");  // unknown generic names are ignored
  t.SetOption("g", "nonsense");      // and so are rejected values
  EXPECT_EQ(t.Options().frameWidth, 640);
}

TEST_F(EngineOptions, LogsOfIgnoredOptionsAndTheLowBitRateWarning) {
  LogCapture log;
  Transcoder t;
  t.SetOption("y", "");
  EXPECT_TRUE(log.Has(LogLevel::llInfo, "Do nothing: option - y"));
  const std::string warning = "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
  t.SetOption("vb", "800");
  EXPECT_TRUE(log.Has(LogLevel::llWarning, warning));
  EXPECT_EQ(t.GenericOptions().CodecOpts[kVideo]->bit_rate, 800);
  EXPECT_NE(t.GenericOptions().CodecOpts[kAudio]->bit_rate, 800);  // "vb" is the video rate only
  log.Clear();
  t.SetOption("vb", "1150000");
  t.SetOption("ab", "128k");
  EXPECT_FALSE(log.Has(LogLevel::llWarning, warning));
  EXPECT_EQ(t.GenericOptions().CodecOpts[kAudio]->bit_rate, 128000);
  t.SetOption("g", "nonsense");
  EXPECT_TRUE(log.Has(LogLevel::llError, "Invalid value \"nonsense\" for option \"g\""));
}

TEST_F(EngineOptions, CropBandsAreCheckedAgainstTheFrame) {
  LogCapture log;
  Transcoder t;
  t.SetOption("s", "320x240");
  t.SetOption("croptop", "0");
  EXPECT_EQ(t.Options().frameHeight, 240);
  EXPECT_TRUE(log.AtLeast(LogLevel::llWarning).empty());
  EXPECT_EQ(ErrorOf(t, "croptop", "240"),
            "Vertical crop dimensions are outside the range of the original image.\nRemember to crop first and scale second.");
  t.SetOption("croptop", "16");
  t.SetOption("cropleft", "8");
  EXPECT_EQ(t.Options().frameHeight, 224);
  EXPECT_EQ(t.Options().frameWidth, 312);
  EXPECT_EQ(t.Options().cropTop, 16);
  EXPECT_TRUE(log.Has(LogLevel::llWarning, "CropXXX is deprecated in favor of the crop avfilter"));
  EXPECT_EQ(ErrorOf(t, "cropright", "312"),
            "Horizontal crop dimensions are outside the range of the original image.\nRemember to crop first and scale second.");
}

TEST_F(EngineOptions, DiscTargets) {
  const struct {
    const char* value; int w, h, rateNum, rateDen, gop; const char* format; const char* vcodec; const char* acodec;
    int sampleRate;
  } kCases[] = {
      {"pal-vcd", 352, 288, 25, 1, 15, "vcd", "mpeg1video", "mp2", 44100},
      {"ntsc-dvd", 720, 480, 30000, 1001, 18, "dvd", "mpeg2video", "ac3", 48000},
      {"film-svcd", 480, 480, 24000, 1001, 18, "svcd", "mpeg2video", "mp2", 44100},
      {"pal-dv", 720, 576, 25, 1, 12, "dv", "", "", 48000},
  };
  for (const auto& c : kCases) {
    Transcoder t;
    t.SetOption("target", c.value);
    const OptionState& s = t.Options();
    EXPECT_EQ(s.frameWidth, c.w) << c.value;
    EXPECT_EQ(s.frameHeight, c.h) << c.value;
    EXPECT_EQ(s.frameRate.num, c.rateNum) << c.value;
    EXPECT_EQ(s.frameRate.den, c.rateDen) << c.value;
    EXPECT_EQ(t.GenericOptions().CodecOpts[kVideo]->gop_size, c.gop) << c.value;
    EXPECT_EQ(s.forcedFormat, c.format);
    EXPECT_EQ(s.videoCodecName, c.vcodec);
    EXPECT_EQ(s.audioCodecName, c.acodec);
    EXPECT_EQ(s.audioSampleRate, c.sampleRate);
  }
  Transcoder vcd;
  vcd.SetOption("target", "pal-vcd");
  EXPECT_EQ(vcd.GenericOptions().CodecOpts[kVideo]->bit_rate, 1150000);
  EXPECT_EQ(vcd.GenericOptions().CodecOpts[kAudio]->bit_rate, 224000);
  EXPECT_EQ(vcd.GenericOptions().FormatOpts->packet_size, 2324u);
  EXPECT_EQ(Remembered(vcd, "muxrate"), "1411200");
  EXPECT_DOUBLE_EQ(vcd.Options().muxPreload, 0.44);
  EXPECT_DOUBLE_EQ(vcd.Options().frameAspectRatio, 4.0 / 3.0);
  Transcoder svcd;
  EXPECT_EQ(ErrorOf(svcd, "target", "svcd"), "frame_rate is invalid.");  // no rate to detect the norm from
  svcd.SetOption("target", "ntsc-svcd");
  EXPECT_EQ(Remembered(svcd, "scan_offset"), "1");  // the MPEG-2 encoder's own option now
}

TEST_F(EngineOptions, TargetNormIsDetectedFromTheFrameRate) {
  LogCapture log;
  const struct { const char* rate; int height; const char* said; } kCases[] = {
      {"25", 288, "Assuming PAL for target."},
      {"29.97", 240, "Assuming NTSC for target."},
      {"23.976", 240, "Assuming NTSC for target."},
      {"15", 240, "Assuming NTSC for target."},  // nothing matches: the option's fallback, NTSC
  };
  for (const auto& c : kCases) {
    log.Clear();
    Transcoder t;
    t.SetOption("r", c.rate);
    t.SetOption("target", "vcd");
    EXPECT_EQ(t.Options().frameHeight, c.height) << c.rate;
    EXPECT_TRUE(log.Has(LogLevel::llVerbose, c.said)) << c.rate;
    EXPECT_TRUE(log.Has(LogLevel::llInfo, "Assuming 4:3 for aspect ratio"));
  }
  Transcoder t;
  t.SetOption("r", "15");
  t.SetTarget("dvd", "auto", "pal");  // the component's call, with its own fallback
  EXPECT_EQ(t.Options().frameHeight, 576);
}

// Presets: lookup, file presets and their errors.
TEST_F(EngineOptions, PresetLookupAndErrors) {
  Transcoder t;
  t.SetOption("vcodec", "libx264");
  t.SetOption("vpre", "ipod");  // by encoder name + "-" + value
  EXPECT_EQ(Remembered(t, "coder"), "0");
  EXPECT_EQ(Remembered(t, "bf"), "0");  // the old wrapper's default, stated
  Transcoder caps;
  caps.SetOption("vcodec", "libx264");
  caps.SetOption("vpre", "LIBX264-PSP");
  EXPECT_EQ(Remembered(caps, "bf"), "3");
  EXPECT_EQ(Remembered(caps, "partitions"), "i4x4,i8x8,p8x8,b8x8");
  EXPECT_EQ(caps.GenericOptions().CodecOpts[kVideo]->bit_rate, 1250000);

  const fs::path dir = fs::path(test::FixtureDir()) / "presets";
  fs::create_directories(dir);
  const std::string good = (dir / "good.ffpreset").string();
  std::ofstream(good) << "  vcodec=mpeg4 \r\n\r\n g = 30\r\nqmin=3\n";
  Transcoder file;
  file.SetOption("fpre", good);
  EXPECT_EQ(file.Options().videoCodecName, "mpeg4");
  EXPECT_EQ(file.GenericOptions().CodecOpts[kVideo]->gop_size, 30);
  EXPECT_EQ(file.GenericOptions().CodecOpts[kVideo]->qmin, 3);

  const std::string noValue = (dir / "novalue.ffpreset").string();
  std::ofstream(noValue) << "g=30\nqmin\n";
  EXPECT_EQ(ErrorOf(file, "fpre", noValue), noValue + ": Invalid syntax: \"qmin\"");
  const std::string unknown = (dir / "unknown.ffpreset").string();
  std::ofstream(unknown) << "g=30\nnosuch=1\n";
  EXPECT_EQ(ErrorOf(file, "vpre", unknown), unknown + ": Invalid option or argument: \"nosuch=1\", parsed as \"nosuch\" = \"1\"");
  EXPECT_EQ(ErrorOf(file, "fpre", "libx264-ipod"), "Preset \"libx264-ipod\" not found");  // fpre reads files only
  Transcoder none;
  none.SetOption("vpre", "");  // nothing happens
  EXPECT_TRUE(none.GenericOptions().Remembered.empty());
}

// Every row, applied for libx264, opens the encoder; the device presets give
// the profiles the devices play.
TEST_F(EngineOptions, EveryPresetOpensTheX264Encoder) {
  const AVCodec* x264 = lib::avcodec.avcodec_find_encoder_by_name("libx264");
  ASSERT_NE(x264, nullptr);
  LogCapture log;
  for (const OptionsPreset& row : OptionsPresets()) {
    log.Clear();
    Transcoder t;
    t.SetOption("vcodec", "libx264");
    ASSERT_NO_THROW(t.SetOption("vpre", row.Name)) << row.Name;
    CodecContextPtr ctx(lib::avcodec.avcodec_alloc_context3(x264));
    ctx->width = 320;
    ctx->height = 240;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = {1, 25};
    ctx->framerate = {25, 1};
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    t.ApplyCodecOptions(ctx.get(), AV_OPT_FLAG_ENCODING_PARAM);
    if (std::string(row.Name) == "libx264-psp") {
      std::uint8_t* params = nullptr;
      lib::avutil.av_opt_get(ctx.get(), "x264-params", AV_OPT_SEARCH_CHILDREN, &params);
      EXPECT_STREQ(reinterpret_cast<const char*>(params), "ratetol=0.2048");  // bt 256000 / b 1250000
      lib::avutil.av_free(params);
    }
    ASSERT_EQ(lib::avcodec.avcodec_open2(ctx.get(), x264, nullptr), 0) << row.Name;
    EXPECT_TRUE(log.AtLeast(LogLevel::llError).empty()) << row.Name << ": " << log.AtLeast(LogLevel::llError).front();
    // profile_idc follows the SPS start code in the global header.
    const std::uint8_t* x = ctx->extradata;
    int profile = -1;
    for (int i = 0; x && i + 5 < ctx->extradata_size; ++i)
      if (x[i] == 0 && x[i + 1] == 0 && x[i + 2] == 1 && (x[i + 3] & 0x1f) == 7) { profile = x[i + 4]; break; }
    const std::string name = row.Name;
    EXPECT_NE(profile, -1) << name << ": no SPS in the global header";
    if (name == "libx264-baseline" || name.rfind("libx264-ipod", 0) == 0) {
      EXPECT_EQ(profile, 66) << name;
    } else if (name == "libx264-psp" || name == "libx264-ps3" || name == "libx264-mp4" || name == "libx264-main") {
      EXPECT_EQ(profile, 77) << name;
    } else if (name.find("lossless") != std::string::npos) {
      EXPECT_EQ(profile, 244) << name;
    }
  }
}

TEST(LegacyX264Text, StatesTheOldDefaultsAndRenames) {
  const std::vector<PresetLine> text = {
      {"flags2=+dct8x8+wpred-fastpskip+fast", "flags2", "+dct8x8+wpred-fastpskip+fast"},
      {"partitions=+parti8x8+partp4x4", "partitions", "+parti8x8+partp4x4"},
      {"directpred=3", "directpred", "3"},
      {"me_method=full", "me_method", "full"},
      {"cqp=0", "cqp", "0"},
      {"psy_rd=0.8", "psy_rd", "0.8"},
      {"subq=6", "subq", "6"},
  };
  ASSERT_TRUE(IsLegacyX264Preset(text));
  std::map<std::string, std::string> got;
  for (const PresetLine& l : TranslateLegacyX264Preset(text)) got[l.name] = l.value;
  const std::map<std::string, std::string> expected = {
      {"flags2", "+fast"}, {"partitions", "i8x8,p4x4"}, {"direct-pred", "3"}, {"me_method", "esa"}, {"qp", "0"},
      {"psy-rd", "0.8:0.0"}, {"subq", "6"}, {"8x8dct", "1"}, {"weightb", "1"}, {"fast-pskip", "0"},
      {"b-pyramid", "none"}, {"mixed-refs", "0"}, {"mbtree", "1"}, {"bf", "0"}, {"coder", "0"}, {"refs", "1"},
      {"trellis", "0"}, {"cmp", "0"}, {"weightp", "0"}, {"x264-params", "no-deblock=1"},
      {"psy", "1"}, {"aud", "0"}, {"ssim", "0"},
  };
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(IsLegacyX264Preset({{"preset=fast", "preset", "fast"}, {"partitions=i4x4", "partitions", "i4x4"}}));
}

}  // namespace
