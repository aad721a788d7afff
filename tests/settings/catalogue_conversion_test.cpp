// Every format of the delivered catalogue, as a fresh installation converts
// it: options from the option builder with no settings INI (the catalogue's
// default items), a short clip converted through the component, the result
// probed and decoded.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "component/converter.h"
#include "media/av_entries.h"
#include "media/media_probe.h"
#include "settings/format_catalogue.h"
#include "settings/global_object.h"
#include "settings/option_builder.h"
#include "settings/settings_keys.h"
#include "test_media.h"

using namespace zelvo;
namespace fs = std::filesystem;

namespace {

// The container the probe must find, by the section's Format key.
const std::map<std::string, std::string> kDemuxerOfFormat = {
    {"ipod", "mov,mp4,m4a,3gp,3g2,mj2"}, {"psp", "mov,mp4,m4a,3gp,3g2,mj2"}, {"ps3", "mov,mp4,m4a,3gp,3g2,mj2"},
    {"mp4", "mov,mp4,m4a,3gp,3g2,mj2"},  {"mov", "mov,mp4,m4a,3gp,3g2,mj2"}, {"3gp", "mov,mp4,m4a,3gp,3g2,mj2"},
    {"3g2", "mov,mp4,m4a,3gp,3g2,mj2"},  {"asf", "asf"},                     {"avi", "avi"},
    {"flv", "flv"},                      {"swf", "swf"},                     {"vob", "mpeg"},
    {"mpeg", "mpeg"},                    {"mpegts", "mpegts"},               {"matroska", "matroska,webm"},
    {"dv", "dv"},                        {"mp3", "mp3"},                     {"adts", "aac"},
    {"wav", "wav"},                      {"ogg", "ogg"},                     {"ac3", "ac3"},
};

// The encoder whose codec the stream must carry, by the list's display name
// (for "flv" the Flash containers' own default encoder).
const std::map<std::string, std::string> kVideoEncoderOfItem = {
    {"mpeg-4", "mpeg4"}, {"h264", "libx264"},        {"xvid", "libxvid"},          {"wmv2", "wmv2"},
    {"mjpeg", "mjpeg"},  {"h263", "h263"},           {"flv", "flv"},               {"mpeg1video", "mpeg1video"},
    {"dvvideo", "dvvideo"}, {"mpeg2video", "mpeg2video"},
};
const std::map<std::string, std::string> kAudioEncoderOfItem = {
    {"aac", "aac"},       {"mp3", "libmp3lame"},        {"wma2", "wmav2"}, {"pcm_s16", "pcm_s16le"},
    {"amr_nb", "libopencore_amrnb"}, {"ac-3", "ac3"}, {"mp2", "mp2"},   {"ogg", "libvorbis"},
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string DefaultItem(const ParameterList& list) {
  if (!list.Enabled || list.DefaultIndex < 0 || list.DefaultIndex >= static_cast<int>(list.Items.size())) return "";
  return list.Items[static_cast<std::size_t>(list.DefaultIndex)];
}

AVCodecID CodecOfEncoder(const std::string& name) {
  const AVCodec* codec = lib::avcodec.avcodec_find_encoder_by_name(name.c_str());
  return codec != nullptr ? codec->id : AV_CODEC_ID_NONE;
}

// The source: 320x240 at 25 fps with stereo sound, one second, so that 115
// conversions stay quick.
const std::string& SourceClip() {
  static const std::string path = [] {
    const fs::path dir = fs::path(test::FixtureDir()) / "settings";
    fs::create_directories(dir);
    test::ClipOptions o;
    o.path = (dir / "catalogue-source.mp4").string();
    o.seconds = 1.0;
    std::string error;
    if (!test::WriteClip(o, &error)) ADD_FAILURE() << "cannot write the source clip: " << error;
    return o.path;
  }();
  return path;
}

class CatalogueConversion : public ::testing::Test {
 protected:
  void SetUp() override {
    test::LoadMediaLibrariesForTests();
    outDir_ = fs::path(test::FixtureDir()) / "settings" / "catalogue";
    fs::create_directories(outDir_);
  }
  fs::path outDir_;
};

TEST_F(CatalogueConversion, EveryFormatConvertsWithItsDefaults) {
  const IniFile formatIni(ExecutableFolder() + std::string(keys::kFormatIniName));
  const IniFile noSettings((outDir_ / "no-such-settings.ini").string());
  ASSERT_FALSE(fs::exists(noSettings.Path()));
  const std::string& source = SourceClip();
  int converted = 0;

  for (int code : AllFormatCodes()) {
    const CatalogueFormat f = ReadCatalogueFormat(formatIni, code);
    SCOPED_TRACE(FormatSection(code) + " " + FormatCaption(code) + " (Format " + f.Format + ")");
    const std::string videoItem = DefaultItem(f[FormatParameter::VideoEncoder]);
    const std::string audioItem = DefaultItem(f[FormatParameter::AudioEncoder]);
    const std::string output = (outDir_ / (std::to_string(code) + "." + f.FileExt)).string();
    fs::remove(output);

    Converter converter;
    ASSERT_TRUE(converter.Probe().ProbeFile(source)) << converter.Probe().LastErrMsg();
    LvFilesRecord row;
    row.SourceFile = source;
    row.Zoom = RowZoomOf(noSettings, code);
    InputOptions input;
    input.FileName = source;
    OutputOptions options;
    options.FileName = output;
    FixedAnswer no(false);
    BuildConversionOptions(formatIni, noSettings, row, code, options, SourceVideoOf(converter.Probe()), input, no);
    converter.Probe().CloseFile();

    const int task = converter.AddTask(source, &input);
    ASSERT_GE(task, 0) << converter.LastErrMsg();
    if (!converter.SetOutputFile(task, output, &options)) {
      ADD_FAILURE() << "SetOutputFile: " << converter.LastErrMsg();
      continue;
    }
    std::vector<TerminateInfo> ends;
    converter.SetOnTerminate([&ends](Converter&, const TerminateInfo& info) { ends.push_back(info); });
    converter.StartTask(0);
    ASSERT_EQ(ends.size(), 2u);
    if (!ends[0].Finished || ends[0].Exception) {
      ADD_FAILURE() << "conversion failed: " << ends[0].ExceptionMsg;
      continue;
    }

    MediaProbe probe;
    ASSERT_TRUE(probe.ProbeFile(output)) << probe.LastErrMsg();
    const auto demuxer = kDemuxerOfFormat.find(Lower(f.Format));
    ASSERT_NE(demuxer, kDemuxerOfFormat.end()) << "no container known for this Format";
    EXPECT_EQ(probe.GetFormatName(), demuxer->second);

    if (videoItem.empty()) {
      EXPECT_EQ(probe.VideoStreamCount(), 0);
    } else {
      ASSERT_EQ(probe.VideoStreamCount(), 1);
      const auto encoder = kVideoEncoderOfItem.find(videoItem);
      ASSERT_NE(encoder, kVideoEncoderOfItem.end()) << videoItem;
      const AVCodecParameters* par = probe.Context()->streams[probe.FirstVideoStream()]->codecpar;
      EXPECT_EQ(par->codec_id, CodecOfEncoder(encoder->second)) << "video " << videoItem;
      std::string size = DefaultItem(f[FormatParameter::VideoSize]);
      if (size == keys::kAsSource) size = "320x240";
      EXPECT_EQ(std::to_string(par->width) + "x" + std::to_string(par->height), size);
    }
    if (audioItem.empty()) {
      EXPECT_EQ(probe.AudioStreamCount(), 0);
    } else {
      ASSERT_EQ(probe.AudioStreamCount(), 1);
      const auto encoder = kAudioEncoderOfItem.find(audioItem);
      ASSERT_NE(encoder, kAudioEncoderOfItem.end()) << audioItem;
      const AVCodecParameters* par = probe.Context()->streams[probe.FirstAudioStream()]->codecpar;
      EXPECT_EQ(par->codec_id, CodecOfEncoder(encoder->second)) << "audio " << audioItem;
      const std::string rate = DefaultItem(f[FormatParameter::SampleRate]);
      if (rate != keys::kAsSource) {
        EXPECT_EQ(std::to_string(par->sample_rate), rate);
      }
      const std::string channels = ChannelValue(DefaultItem(f[FormatParameter::Channel])).value_or("?");
      if (channels != keys::kAsSource) {
        EXPECT_EQ(std::to_string(par->ch_layout.nb_channels), channels);
      }
    }
    probe.CloseFile();

    // The whole file decodes, with pictures and sound where the format has them.
    const test::DecodedFacts decoded = test::DecodeFile(output);
    EXPECT_EQ(decoded.decodeErrors, 0);
    if (!videoItem.empty()) {
      EXPECT_GT(decoded.videoFrames, 10);
    }
    if (!audioItem.empty()) {
      EXPECT_GT(decoded.audioSamples, 0);
    }
    ++converted;
  }
  EXPECT_EQ(converted, static_cast<int>(AllFormatCodes().size()));
  RecordProperty("FormatsConverted", converted);
}

// The zoom modes and crops of a row through the engine: the filter texts and
// crop fields the builder writes give the format's frame, 320x240 for Flash
// video, from a 640x360 source.
TEST_F(CatalogueConversion, EveryZoomModeFillsTheFrame) {
  const IniFile formatIni(ExecutableFolder() + std::string(keys::kFormatIniName));
  const IniFile noSettings((outDir_ / "no-such-settings.ini").string());
  constexpr int kFlashVideo = 1900;
  const struct Case {
    const char* zoom;
    int left, top, right, bottom;
    int width, height;
  } kCases[] = {
      {"lbox", 0, 0, 0, 0, 320, 240},    {"lbox", 40, 20, 0, 20, 320, 240}, {"full", 0, 0, 0, 0, 320, 240},
      {"full", 0, 10, 0, 0, 320, 240},   {"pan", 0, 0, 0, 0, 320, 240},     {"pan", 0, 20, 0, 20, 320, 240},
      {"center", 0, 0, 0, 0, 320, 240},  {"orig", 0, 0, 0, 0, 640, 360},
  };
  for (const Case& c : kCases) {
    const std::string name = std::string(c.zoom) + "-" + std::to_string(c.left) + "-" + std::to_string(c.top) + "-" +
                             std::to_string(c.right) + "-" + std::to_string(c.bottom);
    SCOPED_TRACE(name);
    const std::string output = (outDir_ / ("zoom-" + name + ".flv")).string();
    fs::remove(output);
    Converter converter;
    ASSERT_TRUE(converter.Probe().ProbeFile(test::H264Clip())) << converter.Probe().LastErrMsg();
    LvFilesRecord row;
    row.Zoom = c.zoom;
    row.CropLeft = c.left;
    row.CropTop = c.top;
    row.CropRight = c.right;
    row.CropBottom = c.bottom;
    InputOptions input;
    OutputOptions options;
    FixedAnswer no(false);
    BuildConversionOptions(formatIni, noSettings, row, kFlashVideo, options, SourceVideoOf(converter.Probe()), input,
                           no);
    converter.Probe().CloseFile();
    const int task = converter.AddTask(test::H264Clip(), &input);
    ASSERT_GE(task, 0) << converter.LastErrMsg();
    ASSERT_TRUE(converter.SetOutputFile(task, output, &options)) << converter.LastErrMsg();
    std::vector<TerminateInfo> ends;
    converter.SetOnTerminate([&ends](Converter&, const TerminateInfo& info) { ends.push_back(info); });
    converter.StartTask(0);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_TRUE(ends[0].Finished && !ends[0].Exception) << ends[0].ExceptionMsg << " (filters " << options.VideoFilters
                                                        << ")";
    const test::DecodedFacts decoded = test::DecodeFile(output);
    EXPECT_EQ(decoded.decodeErrors, 0);
    EXPECT_GT(decoded.videoFrames, 10);
    EXPECT_EQ(decoded.width, c.width);
    EXPECT_EQ(decoded.height, c.height);
  }
}

}  // namespace
