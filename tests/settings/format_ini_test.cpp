// The delivered format INI: complete, consistent, and every list value usable
// with the bound media libraries' encoders and muxers.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "media/av_entries.h"
#include "media/handles.h"
#include "settings/app_settings.h"
#include "settings/format_catalogue.h"
#include "settings/global_object.h"
#include "settings/settings_keys.h"
#include "test_media.h"

// libvorbisenc keeps one block of every setup for more than two channels
// (vorbis_encode_setup_init); the leak is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:vorbis_encode_setup_init\n"; }

using namespace zelvo;
using lib::avcodec;
using lib::avformat;
using lib::avutil;

namespace {

std::string FormatIniPath() { return ExecutableFolder() + std::string(keys::kFormatIniName); }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool IsAsSource(const std::string& item) { return item == keys::kAsSource; }

std::optional<std::pair<int, int>> ParseSize(const std::string& text) {
  const std::size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  const std::optional<int> w = ParseInteger(std::string_view(text).substr(0, x));
  const std::optional<int> h = ParseInteger(std::string_view(text).substr(x + 1));
  if (!w || !h) return std::nullopt;
  return std::make_pair(*w, *h);
}

double ParseNumber(const std::string& text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// The five H.264 tuning keys a section offering "h264" carries.
constexpr std::string_view kH264Tuning[] = {keys::kParaLevel, keys::kParaMaxBitrate, keys::kParaBufferSize,
                                            keys::kParaGop, keys::kParaCoder};
// Format values that are no muxer but that the conversion understands.
const std::set<std::string> kNonMuxerFormats = {"ntsc-dvd", "pal-dvd", "ntsc-vcd", "pal-vcd", "ntsc-svcd", "pal-svcd",
                                                "ps3"};

TEST(FormatIni, EveryCatalogueItemHasACompleteConsistentSection) {
  IniFile ini(FormatIniPath());
  ASSERT_TRUE(ini.Read(FormatSection(0), keys::kFormat).has_value()) << "no catalogue at " << FormatIniPath();
  for (int code : AllFormatCodes()) {
    SCOPED_TRACE(FormatSection(code) + " " + FormatCaption(code));
    const std::string section = FormatSection(code);
    for (std::string_view key : {keys::kFormat, keys::kFileExt})
      EXPECT_TRUE(ini.Read(section, key).has_value()) << key;
    for (FormatParameter p : kFormatParameters) {
      EXPECT_TRUE(ini.Read(section, KeysOf(p).List).has_value()) << KeysOf(p).List;
      EXPECT_TRUE(ini.Read(section, KeysOf(p).Index).has_value()) << KeysOf(p).Index;
    }
    const CatalogueFormat f = ReadCatalogueFormat(ini, code);

    // The caption names the extension: "... (*.mp4)".
    const std::string caption = FormatCaption(code);
    const std::size_t star = caption.rfind("(*.");
    ASSERT_NE(star, std::string::npos);
    EXPECT_EQ(caption.substr(star + 3, caption.size() - star - 4), f.FileExt);

    for (FormatParameter p : kFormatParameters) {
      const ParameterList& list = f[p];
      if (!list.Enabled) continue;
      EXPECT_GE(list.DefaultIndex, 0) << KeysOf(p).Index;
      EXPECT_LT(list.DefaultIndex, static_cast<int>(list.Items.size())) << KeysOf(p).Index;
      EXPECT_EQ(std::set<std::string>(list.Items.begin(), list.Items.end()).size(), list.Items.size())
          << "repeated item in " << KeysOf(p).List;
      for (const std::string& item : list.Items) {
        SCOPED_TRACE(std::string(KeysOf(p).List) + " item \"" + item + "\"");
        const bool asSource = IsAsSource(item);
        switch (p) {
          case FormatParameter::VideoSize: {
            const auto size = ParseSize(item);
            EXPECT_TRUE(asSource || (size && size->first > 0 && size->second > 0 && size->first % 2 == 0 &&
                                     size->second % 2 == 0));
            EXPECT_EQ(CheckFrameSize(item).Outcome, asSource ? FrameSizeCheck::AsSource : FrameSizeCheck::Valid);
            break;
          }
          case FormatParameter::VideoBitRate:
          case FormatParameter::SampleRate:
            EXPECT_TRUE(asSource || ParseInteger(item).value_or(0) > 0);
            break;
          case FormatParameter::FrameRate:
          case FormatParameter::AudioBitRate:
            EXPECT_TRUE(asSource || (IsNumberText(item) && ParseNumber(item) > 0));
            break;
          case FormatParameter::VideoEncoder: EXPECT_TRUE(VideoEncoderName(item).has_value()); break;
          case FormatParameter::AudioEncoder: EXPECT_TRUE(AudioEncoderName(item).has_value()); break;
          case FormatParameter::Channel: EXPECT_TRUE(ChannelValue(item).has_value()); break;
          case FormatParameter::Volume: EXPECT_TRUE(VolumeValue(item).has_value()); break;
        }
      }
    }

    const bool video = f[FormatParameter::VideoEncoder].Enabled;
    const bool audio = f[FormatParameter::AudioEncoder].Enabled;
    EXPECT_TRUE(video || audio);
    for (FormatParameter p : {FormatParameter::VideoSize, FormatParameter::FrameRate})
      EXPECT_EQ(f[p].Enabled, video) << KeysOf(p).List;
    if (!video) {
      EXPECT_FALSE(f[FormatParameter::VideoBitRate].Enabled);
    }
    for (FormatParameter p : {FormatParameter::SampleRate, FormatParameter::Channel, FormatParameter::Volume})
      EXPECT_EQ(f[p].Enabled, audio) << KeysOf(p).List;
    if (!audio) {
      EXPECT_FALSE(f[FormatParameter::AudioBitRate].Enabled);
    }
    // A volume of 100% is always on offer and is the default.
    if (audio) {
      EXPECT_EQ(f[FormatParameter::Volume].Items[f[FormatParameter::Volume].DefaultIndex], "100%");
    }

    const auto& encoders = f[FormatParameter::VideoEncoder].Items;
    if (std::find(encoders.begin(), encoders.end(), "h264") != encoders.end()) {
      for (std::string_view key : kH264Tuning) {
        const std::optional<int> value = ParseInteger(ini.Read(section, key).value_or(""));
        EXPECT_TRUE(value && (key == keys::kParaCoder ? *value >= 0 : *value > 0)) << key;
      }
    }
  }
}

TEST(FormatIni, AFreshInstallationShowsAndConvertsTheSameFormat) {
  IniFile format(FormatIniPath());
  const AppSettings defaults = ReadAppSettings(IniFile(ExecutableFolder() + "no-such-settings.ini"));
  EXPECT_EQ(FormatCodeOfCaption(defaults.FormatName), defaults.FormatCode);
  const FormatPanel panel = LoadFormatPanel(format, IniFile(ExecutableFolder() + "no-such-settings.ini"),
                                            defaults.FormatCode);
  EXPECT_TRUE(panel.VideoEnabled && panel.AudioEnabled);
}

// ---------------------------------------------------------------------------
// Against the libraries.

struct AvioDeleter {
  void operator()(AVIOContext* p) const {
    avutil.av_freep(&p->buffer);
    avformat.avio_context_free(&p);
  }
};
using AvioPtr = std::unique_ptr<AVIOContext, AvioDeleter>;

// A seekable in-memory output, so muxers that rewrite their header can run.
struct MemoryOutput {
  std::vector<std::uint8_t> bytes;
  std::int64_t position = 0;

  static int Write(void* opaque, std::uint8_t* data, int size) {
    auto* out = static_cast<MemoryOutput*>(opaque);
    const auto end = static_cast<std::size_t>(out->position) + static_cast<std::size_t>(size);
    if (out->bytes.size() < end) out->bytes.resize(end);
    std::copy(data, data + size, out->bytes.begin() + out->position);
    out->position = static_cast<std::int64_t>(end);
    return size;
  }
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence) {
    auto* out = static_cast<MemoryOutput*>(opaque);
    const auto size = static_cast<std::int64_t>(out->bytes.size());
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE: return size;
      case SEEK_SET: out->position = offset; break;
      case SEEK_CUR: out->position += offset; break;
      case SEEK_END: out->position = size + offset; break;
      default: return -1;
    }
    return out->position;
  }
};

std::string LibraryError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  avutil.av_strerror(code, text, sizeof text);
  return text;
}

std::string RateText(AVRational r) { return std::to_string(r.num) + "/" + std::to_string(r.den); }

// Encoder names the conversion passes on as they are; for any other name the
// output format's own default encoder is used.
const std::set<std::string> kEncodersTakenAsNamed = {
    "mpeg4", "libxvid", "mpeg1video", "msmpeg4", "msmpeg4v1", "msmpeg4v2", "huffyuv", "dvvideo", "rawvideo",
    "h263p", "h263",    "rv10",       "rv20",    "ljpeg",     "mjpeg",     "svq1",    "zlib",    "wmv1",
    "wmv2",  "mpeg2video", "libx264"};
// Output formats named outright; the disc targets bring their own; the rest
// follow the file extension.
const std::set<std::string> kForcedFormats = {"ipod", "3gp", "3g2", "avi", "psp", "mov", "vcd", "flv", "mpegts", "vob"};
const std::map<std::string, std::string> kTargetFormats = {{"ntsc-dvd", "dvd"}, {"pal-dvd", "dvd"},
                                                            {"ntsc-vcd", "vcd"}, {"pal-vcd", "vcd"},
                                                            {"ntsc-svcd", "svcd"}, {"pal-svcd", "svcd"}};

// Sizes some encoders are limited to.
const std::map<std::string, std::set<std::string>> kSizeRestricted = {
    {"h263", {"128x96", "176x144", "352x288", "704x576", "1408x1152"}},
    {"dvvideo", {"720x480", "720x576"}},
};
// Sample rates some muxers are limited to (MP3 and AAC in Flash files).
const std::map<std::string, std::set<int>> kMuxerSampleRates = {
    {"flv", {11025, 22050, 44100}},
    {"swf", {11025, 22050, 44100}},
};

// What an "as source" item stands for: typical sources.
const std::vector<std::pair<int, int>> kSourceSizes = {{640, 360}, {1920, 1080}};
const std::vector<AVRational> kSourceRates = {{25, 1}, {30000, 1001}, {24000, 1001}};
const std::vector<int> kSourceSampleRates = {44100, 48000};
const std::vector<int> kSourceChannels = {1, 2, 6};

struct Opened {
  std::string error;  // empty when the encoder opened
  CodecParametersPtr parameters;
};

class CatalogueAgainstLibraries : public ::testing::Test {
 protected:
  void SetUp() override {
    test::LoadMediaLibrariesForTests();
    logLevel_ = avutil.av_log_get_level();
    avutil.av_log_set_level(AV_LOG_ERROR);  // encoders chat at every open
  }
  void TearDown() override { avutil.av_log_set_level(logLevel_); }

  // The rate the conversion gives an encoder with a list of rates: the
  // nearest listed one (for MPEG-1 among the eight standard rates only).
  static AVRational EngineRate(const AVCodec* codec, AVRational rate) {
    if (codec->supported_framerates == nullptr) return rate;
    std::vector<AVRational> list;
    for (const AVRational* r = codec->supported_framerates; r->num != 0; ++r) list.push_back(*r);
    if (std::string(codec->name) == "mpeg1video" && list.size() > 8) list.resize(8);
    list.push_back({0, 0});
    return list[static_cast<std::size_t>(avutil.av_find_nearest_q_idx(rate, list.data()))];
  }

  const Opened& OpenVideo(const std::string& name, int w, int h, AVRational rate, std::int64_t bitRate,
                          bool globalHeader) {
    const std::string key = name + " " + std::to_string(w) + "x" + std::to_string(h) + " " + RateText(rate) + " " +
                            std::to_string(bitRate) + (globalHeader ? " g" : "");
    auto [it, fresh] = cache_.try_emplace(key);
    if (!fresh) return it->second;
    const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(name.c_str());
    if (codec == nullptr) return it->second = Opened{"no encoder " + name, nullptr};
    const AVRational used = EngineRate(codec, rate);
    if (std::abs(av_q2d(used) / av_q2d(rate) - 1) > 0.001)
      return it->second = Opened{"rate " + RateText(rate) + " becomes " + RateText(used), nullptr};
    // The conversion picks one of the listed pixel formats; one must do.
    std::vector<AVPixelFormat> formats;
    for (const AVPixelFormat* f = codec->pix_fmts; f != nullptr && *f != AV_PIX_FMT_NONE; ++f) formats.push_back(*f);
    if (formats.empty()) formats.push_back(AV_PIX_FMT_YUV420P);
    std::string error;
    for (AVPixelFormat format : formats) {
      CodecContextPtr ctx(avcodec.avcodec_alloc_context3(codec));
      ctx->width = w;
      ctx->height = h;
      ctx->pix_fmt = format;
      ctx->framerate = used;
      ctx->time_base = av_inv_q(used);
      ctx->bit_rate = bitRate;
      ctx->thread_count = 1;
      if (globalHeader) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      const int r = avcodec.avcodec_open2(ctx.get(), codec, nullptr);
      if (r >= 0) {
        CodecParametersPtr parameters(avcodec.avcodec_parameters_alloc());
        avcodec.avcodec_parameters_from_context(parameters.get(), ctx.get());
        return it->second = Opened{"", std::move(parameters)};
      }
      error = LibraryError(r);
    }
    return it->second = Opened{"cannot open: " + error, nullptr};
  }

  const Opened& OpenAudio(const std::string& name, int sampleRate, int channels, std::int64_t bitRate,
                          bool globalHeader) {
    const std::string key = name + " " + std::to_string(sampleRate) + " " + std::to_string(channels) + " " +
                            std::to_string(bitRate) + (globalHeader ? " g" : "");
    auto [it, fresh] = cache_.try_emplace(key);
    if (!fresh) return it->second;
    const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(name.c_str());
    if (codec == nullptr) return it->second = Opened{"no encoder " + name, nullptr};
    if (codec->supported_samplerates != nullptr) {
      bool listed = false;
      for (const int* r = codec->supported_samplerates; *r != 0; ++r) listed = listed || *r == sampleRate;
      if (!listed) return it->second = Opened{"sample rate not listed by the encoder", nullptr};
    }
    CodecContextPtr ctx(avcodec.avcodec_alloc_context3(codec));
    ctx->sample_fmt = codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    ctx->sample_rate = sampleRate;
    avutil.av_channel_layout_default(&ctx->ch_layout, channels);
    ctx->bit_rate = bitRate;
    ctx->time_base = {1, sampleRate};
    if (globalHeader) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int r = avcodec.avcodec_open2(ctx.get(), codec, nullptr);
    if (r < 0) return it->second = Opened{"cannot open: " + LibraryError(r), nullptr};
    CodecParametersPtr parameters(avcodec.avcodec_parameters_alloc());
    avcodec.avcodec_parameters_from_context(parameters.get(), ctx.get());
    return it->second = Opened{"", std::move(parameters)};
  }

  // Writes the header of a file with these streams; empty when it worked.
  static std::string WriteHeader(const AVOutputFormat* muxer, const AVCodecParameters* video, AVRational rate,
                                 const AVCodecParameters* audio) {
    MemoryOutput memory;
    constexpr int kBufferSize = 4096;
    AvioPtr io(avformat.avio_alloc_context(static_cast<unsigned char*>(avutil.av_malloc(kBufferSize)), kBufferSize, 1,
                                           &memory, nullptr, &MemoryOutput::Write, &MemoryOutput::Seek));
    AVFormatContext* raw = nullptr;
    if (avformat.avformat_alloc_output_context2(&raw, muxer, nullptr, "catalogue-check") < 0) return "no context";
    FormatContextPtr output(raw);
    if (video != nullptr) {
      AVStream* st = avformat.avformat_new_stream(output.get(), nullptr);
      avcodec.avcodec_parameters_copy(st->codecpar, video);
      st->time_base = av_inv_q(rate);
    }
    if (audio != nullptr) {
      AVStream* st = avformat.avformat_new_stream(output.get(), nullptr);
      avcodec.avcodec_parameters_copy(st->codecpar, audio);
      st->time_base = {1, audio->sample_rate};
    }
    output->pb = io.get();
    const int r = avformat.avformat_write_header(output.get(), nullptr);
    return r < 0 ? "header refused: " + LibraryError(r) : "";
  }

  std::map<std::string, Opened> cache_;
  int logLevel_ = AV_LOG_INFO;
};

const AVOutputFormat* GuessByExtension(const std::string& ext) {
  return avformat.av_guess_format(nullptr, ("file." + ext).c_str(), nullptr);
}

// The output format a conversion of this format writes with this encoder.
const AVOutputFormat* OutputFormatOf(const CatalogueFormat& f, const std::string& videoEncoder) {
  const std::string name = Lower(f.Format);
  if (videoEncoder.empty()) return GuessByExtension(f.FileExt);
  if (kForcedFormats.count(name) != 0) return avformat.av_guess_format(name.c_str(), nullptr, nullptr);
  if (auto target = kTargetFormats.find(name); target != kTargetFormats.end())
    return avformat.av_guess_format(target->second.c_str(), nullptr, nullptr);
  // The MPEG-2 encoder brings the DVD target, and with it the DVD muxer.
  if (videoEncoder == "mpeg2video") return avformat.av_guess_format("dvd", nullptr, nullptr);
  return GuessByExtension(f.FileExt);
}

// The values a section's items stand for, each list's default first, with
// "as source" expanded to typical sources.
struct SectionValues {
  std::vector<std::pair<int, int>> sizes;
  std::vector<AVRational> rates;
  std::vector<std::int64_t> videoBitRates;  // bit/s
  std::vector<int> sampleRates;
  std::vector<int> channels;
  std::vector<std::int64_t> audioBitRates;
  std::vector<std::string> videoEncoders;  // the encoders a conversion uses
  std::vector<std::string> audioEncoders;
};

std::vector<std::string> DefaultFirst(const ParameterList& list) {
  if (!list.Enabled) return {};
  std::vector<std::string> items = list.Items;
  const auto d = items.begin() + list.DefaultIndex;
  std::rotate(items.begin(), d, d + 1);
  return items;
}

SectionValues ValuesOf(const CatalogueFormat& f) {
  SectionValues v;
  for (const std::string& item : DefaultFirst(f[FormatParameter::VideoSize])) {
    if (IsAsSource(item)) v.sizes.insert(v.sizes.end(), kSourceSizes.begin(), kSourceSizes.end());
    else if (auto size = ParseSize(item)) v.sizes.push_back(*size);
  }
  for (const std::string& item : DefaultFirst(f[FormatParameter::FrameRate])) {
    AVRational r{0, 0};
    if (IsAsSource(item)) v.rates.insert(v.rates.end(), kSourceRates.begin(), kSourceRates.end());
    else if (avutil.av_parse_video_rate(&r, item.c_str()) >= 0) v.rates.push_back(r);
  }
  for (const std::string& item : DefaultFirst(f[FormatParameter::VideoBitRate]))
    v.videoBitRates.push_back(IsAsSource(item) ? 1000000 : std::int64_t{ParseInteger(item).value_or(0)} * 1000);
  // Where the list does not apply, the conversion passes its own default.
  if (v.videoBitRates.empty()) v.videoBitRates.push_back(512000);
  for (const std::string& item : DefaultFirst(f[FormatParameter::SampleRate])) {
    if (IsAsSource(item))
      v.sampleRates.insert(v.sampleRates.end(), kSourceSampleRates.begin(), kSourceSampleRates.end());
    else
      v.sampleRates.push_back(ParseInteger(item).value_or(0));
  }
  for (const std::string& item : DefaultFirst(f[FormatParameter::Channel])) {
    const std::string value = ChannelValue(item).value_or("0");
    if (IsAsSource(value)) v.channels.insert(v.channels.end(), kSourceChannels.begin(), kSourceChannels.end());
    else v.channels.push_back(ParseInteger(value).value_or(0));
  }
  // Kilobits with decimals become whole bits per second, truncated.
  for (const std::string& item : DefaultFirst(f[FormatParameter::AudioBitRate]))
    v.audioBitRates.push_back(IsAsSource(item) ? 128000 : static_cast<std::int64_t>(ParseNumber(item) * 1000));
  if (v.audioBitRates.empty()) v.audioBitRates.push_back(128000);

  for (const std::string& item : DefaultFirst(f[FormatParameter::VideoEncoder])) {
    const std::string named = VideoEncoderName(item).value_or("");
    if (kEncodersTakenAsNamed.count(named) != 0) {
      v.videoEncoders.push_back(named);
      continue;
    }
    const AVOutputFormat* muxer = OutputFormatOf(f, named);
    const AVCodec* codec = muxer != nullptr ? avcodec.avcodec_find_encoder(muxer->video_codec) : nullptr;
    v.videoEncoders.push_back(codec != nullptr ? codec->name : "(no default encoder for " + item + ")");
  }
  for (const std::string& item : DefaultFirst(f[FormatParameter::AudioEncoder]))
    v.audioEncoders.push_back(AudioEncoderName(item).value_or(""));
  return v;
}

TEST_F(CatalogueAgainstLibraries, EveryListValueEncodesAndMuxes) {
  IniFile ini(FormatIniPath());
  for (int code : AllFormatCodes()) {
    SCOPED_TRACE(FormatSection(code) + " " + FormatCaption(code));
    const CatalogueFormat f = ReadCatalogueFormat(ini, code);
    const SectionValues v = ValuesOf(f);
    if (!v.videoEncoders.empty() && (v.sizes.empty() || v.rates.empty())) {
      ADD_FAILURE() << "video without sizes or rates";
      continue;
    }
    if (!v.audioEncoders.empty() && (v.sampleRates.empty() || v.channels.empty())) {
      ADD_FAILURE() << "audio without sample rates or channels";
      continue;
    }

    // Where the conversion follows the extension, the extension's muxer is
    // the one the Format key names.
    const AVOutputFormat* byExtension = GuessByExtension(f.FileExt);
    const std::string format = Lower(f.Format);
    if (kForcedFormats.count(format) == 0 && kTargetFormats.count(format) == 0) {
      ASSERT_NE(byExtension, nullptr) << "no muxer for ." << f.FileExt;
      EXPECT_EQ(format == "ps3" ? "mp4" : format, byExtension->name);
    }

    // Every video encoder at every size, rate and bit rate (the others at
    // their defaults), in a file of this format with each audio encoder.
    for (const std::string& encoder : v.videoEncoders) {
      SCOPED_TRACE("video " + encoder);
      const AVOutputFormat* muxer = OutputFormatOf(f, encoder);
      ASSERT_NE(muxer, nullptr);
      const bool global = (muxer->flags & AVFMT_GLOBALHEADER) != 0;
      const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(encoder.c_str());
      ASSERT_NE(codec, nullptr);
      EXPECT_NE(avformat.avformat_query_codec(muxer, codec->id, FF_COMPLIANCE_NORMAL), 0) << muxer->name;
      if (auto limit = kSizeRestricted.find(encoder); limit != kSizeRestricted.end()) {
        for (const auto& [w, h] : v.sizes)
          EXPECT_EQ(limit->second.count(std::to_string(w) + "x" + std::to_string(h)), 1u) << w << "x" << h;
      }
      const auto [w0, h0] = v.sizes[0];
      for (const auto& [w, h] : v.sizes)
        EXPECT_EQ(OpenVideo(encoder, w, h, v.rates[0], v.videoBitRates[0], global).error, "") << w << "x" << h;
      for (AVRational r : v.rates)
        EXPECT_EQ(OpenVideo(encoder, w0, h0, r, v.videoBitRates[0], global).error, "") << RateText(r);
      for (std::int64_t b : v.videoBitRates)
        EXPECT_EQ(OpenVideo(encoder, w0, h0, v.rates[0], b, global).error, "") << b;

      const AVCodecParameters* audio = nullptr;
      if (!v.audioEncoders.empty())
        audio = OpenAudio(v.audioEncoders[0], v.sampleRates[0], v.channels[0], v.audioBitRates[0], global)
                    .parameters.get();
      for (const auto& [w, h] : v.sizes) {
        if (const Opened& video = OpenVideo(encoder, w, h, v.rates[0], v.videoBitRates[0], global); video.parameters) {
          EXPECT_EQ(WriteHeader(muxer, video.parameters.get(), v.rates[0], audio), "") << w << "x" << h;
        }
      }
      const Opened& video = OpenVideo(encoder, w0, h0, v.rates[0], v.videoBitRates[0], global);
      for (const std::string& a : v.audioEncoders) {
        const Opened& opened = OpenAudio(a, v.sampleRates[0], v.channels[0], v.audioBitRates[0], global);
        if (opened.parameters && video.parameters) {
          EXPECT_EQ(WriteHeader(muxer, video.parameters.get(), v.rates[0], opened.parameters.get()), "") << a;
        }
      }
    }

    // Every audio encoder at every combination of sample rate, channels and
    // bit rate, and in a file with the default video.
    const AVOutputFormat* muxer = v.videoEncoders.empty() ? byExtension : OutputFormatOf(f, v.videoEncoders[0]);
    ASSERT_NE(muxer, nullptr);
    const bool global = (muxer->flags & AVFMT_GLOBALHEADER) != 0;
    const AVRational rate = v.rates.empty() ? AVRational{25, 1} : v.rates[0];
    const AVCodecParameters* video = nullptr;
    if (!v.videoEncoders.empty())
      video = OpenVideo(v.videoEncoders[0], v.sizes[0].first, v.sizes[0].second, rate, v.videoBitRates[0], global)
                  .parameters.get();
    const auto limit = kMuxerSampleRates.find(muxer->name);
    for (const std::string& encoder : v.audioEncoders) {
      SCOPED_TRACE("audio " + encoder);
      const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(encoder.c_str());
      ASSERT_NE(codec, nullptr);
      EXPECT_NE(avformat.avformat_query_codec(muxer, codec->id, FF_COMPLIANCE_NORMAL), 0) << muxer->name;
      for (int sampleRate : v.sampleRates) {
        if (limit != kMuxerSampleRates.end()) {
          EXPECT_EQ(limit->second.count(sampleRate), 1u) << sampleRate << " Hz in " << muxer->name;
        }
        for (int n : v.channels) {
          for (std::int64_t b : v.audioBitRates)
            EXPECT_EQ(OpenAudio(encoder, sampleRate, n, b, global).error, "")
                << sampleRate << " Hz, " << n << " channels, " << b << " bit/s";
          if (const Opened& audio = OpenAudio(encoder, sampleRate, n, v.audioBitRates[0], global); audio.parameters) {
            EXPECT_EQ(WriteHeader(muxer, video, rate, audio.parameters.get()), "")
                << sampleRate << " Hz, " << n << " channels";
          }
        }
      }
    }
  }
}

}  // namespace
