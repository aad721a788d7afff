#include "settings/option_builder.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

#include "settings/format_catalogue.h"
#include "settings/settings_keys.h"

namespace zelvo {

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower;
}

bool IsBlank(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c == ' ' || c == '\t'; });
}

bool IsAsSource(std::string_view text) { return text == keys::kAsSource; }

// A number in the INI's notation; nullopt for anything else (and for the
// infinities and NaN, which no bit rate or frame rate can be).
std::optional<double> ParseNumber(std::string_view text) {
  if (const std::optional<int> i = ParseInteger(text)) return *i;
  if (!IsNumberText(text)) return std::nullopt;
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

// kbit/s given with decimals to whole bit/s. Truncated, but "12.2" must give
// 12200 and not the 12199 that its binary fraction would truncate to.
std::optional<int> KilobitsToBits(double kilobits) {
  const double bits = kilobits * 1000.0;
  if (!(bits > 0) || bits >= static_cast<double>(INT_MAX)) return std::nullopt;
  const double nearest = std::round(bits);
  const double whole = std::abs(bits - nearest) < 1e-6 * std::max(1.0, bits) ? nearest : std::trunc(bits);
  if (whole <= 0) return std::nullopt;
  return static_cast<int>(whole);
}

std::string SizeText(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }
std::string AspectText(int w, int h) { return std::to_string(w) + ":" + std::to_string(h); }

void AppendFilter(OutputOptions& o, const std::string& filter) {
  if (filter.empty()) return;
  o.VideoFilters = o.VideoFilters.empty() ? filter : o.VideoFilters + "," + filter;
}

void AppendOptionLine(std::string& text, const std::string& line) { text = text.empty() ? line : text + "\n" + line; }

// The per-format values: the user's choice, else the catalogue's default item.
class Choices {
 public:
  Choices(const IniStore& formatIni, const IniStore& settingsIni, int code)
      : formatIni_(formatIni), settingsIni_(settingsIni), code_(code) {}
  std::string operator()(std::string_view key, std::string_view def) const {
    return ReadFormatChoice(formatIni_, settingsIni_, code_, key, def);
  }

 private:
  const IniStore& formatIni_;
  const IniStore& settingsIni_;
  int code_;
};

void ApplyAudioBitRate(const std::string& text, OutputOptions& o) {
  if (IsAsSource(text) || IsBlank(text)) return;
  const std::optional<double> kilobits = ParseNumber(text);
  if (!kilobits) return;
  if (const std::optional<int> bits = KilobitsToBits(*kilobits)) o.AudioBitrate = *bits;
}

void ApplyVolume(const std::string& text, OutputOptions& o) {
  if (text == "256") return;
  const std::optional<int> volume = ParseInteger(text);
  if (!volume) throw ConvertError("'" + text + "' is not a valid integer value");
  o.AudioVolume = *volume;
}

void ApplySampleRate(const std::string& text, OutputOptions& o) {
  if (IsAsSource(text)) return;
  if (const std::optional<int> rate = ParseInteger(text); rate && *rate > 0) o.AudioSampleRate = *rate;
}

// Disc targets named by the format: target, norm and the frame size that
// makes the picture wide.
struct DiscFormat {
  std::string_view Format;
  int Target;
  int Norm;
  std::string_view WideSize;  // empty: always 4:3
};
constexpr DiscFormat kDiscFormats[] = {
    {"ntsc-dvd", 3, 2, "720x480"}, {"pal-dvd", 3, 1, "720x576"}, {"ntsc-vcd", 1, 2, ""},
    {"pal-vcd", 1, 1, ""},         {"ntsc-svcd", 2, 2, ""},      {"pal-svcd", 2, 1, ""},
};

// Encoders handed to the engine by name; any other stored name leaves the
// choice to the output format's own default encoder.
constexpr std::string_view kNamedVideoEncoders[] = {
    "mpeg4", "libxvid", "mpeg1video", "msmpeg4", "msmpeg4v1", "msmpeg4v2", "huffyuv", "dvvideo", "rawvideo", "h263p",
    "h263",  "rv10",    "rv20",       "ljpeg",   "mjpeg",     "svq1",      "zlib",    "wmv1",    "wmv2"};

// Output formats named outright; the others follow the file extension.
constexpr std::string_view kForcedFormats[] = {"ipod", "3gp", "3g2", "avi", "psp", "mov", "vcd", "flv", "mpegts", "vob"};

template <std::size_t N>
bool Contains(const std::string_view (&list)[N], std::string_view value) {
  return std::find(std::begin(list), std::end(list), value) != std::end(list);
}

// The picture sizes the H.263 encoder takes, smallest first.
struct Size {
  int W, H;
};
constexpr Size kH263Sizes[] = {{128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}};

// A size the H.263 encoder refuses becomes the smallest standard size at
// least as wide, 704x576 at most.
void FitH263(int& w, int& h) {
  for (const Size& s : kH263Sizes)
    if (s.W == w && s.H == h) return;
  for (const Size& s : kH263Sizes) {
    if (w <= s.W || s.W == 704) {
      w = s.W;
      h = s.H;
      return;
    }
  }
}

// Letterbox bars, in frame pixels on each side, for a picture of pw x ph
// fitted into w x h with its aspect kept: even, and together at most the
// space left over, rounded down to a multiple of 4.
struct Bars {
  int X = 0, Y = 0;
  int Shape = 0;  // > 0 picture relatively wider than the frame, < 0 taller, 0 the same
};
Bars LetterboxBars(int pw, int ph, int w, int h) {
  Bars bars;
  if (pw <= 0 || ph <= 0 || w <= 0 || h <= 0) return bars;
  // pw / w against ph / h, in integers so that equal ratios compare equal.
  const std::int64_t wide = std::int64_t{pw} * h, tall = std::int64_t{ph} * w;
  if (wide > tall) {
    const auto scaledH = static_cast<int>(std::int64_t{ph} * w / pw);
    bars.Y = ((h - 2 * (scaledH / 2)) / 4) * 2;
    bars.Shape = 1;
  } else if (wide < tall) {
    const auto scaledW = static_cast<int>(std::int64_t{pw} * h / ph);
    bars.X = ((w - 2 * (scaledW / 2)) / 4) * 2;
    bars.Shape = -1;
  }
  return bars;
}

int EvenDown(int v) { return v & ~1; }

struct RowCrop {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  bool Any() const { return Left > 0 || Top > 0 || Right > 0 || Bottom > 0; }
};

void ApplyZoom(const std::string& zoom, const RowCrop& crop, int sw, int sh, int w, int h, OutputOptions& o) {
  // The part of the source the row keeps; a crop that leaves nothing is ignored.
  int cw = sw - crop.Left - crop.Right, ch = sh - crop.Top - crop.Bottom;
  const bool cropped = crop.Any() && cw > 0 && ch > 0;
  if (!cropped) {
    cw = sw;
    ch = sh;
  }
  std::string filter;
  if (zoom == "full") {
    if (cropped) {
      o.CropTop = crop.Top;
      o.CropBottom = crop.Bottom;
      o.CropLeft = crop.Left;
      o.CropRight = crop.Right;
    }
    o.FrameSize = SizeText(w, h);
    o.FrameAspectRatio = AspectText(w, h);
  } else if (zoom == "lbox") {
    // The bars fit the part that is kept, so a crop does not distort it.
    const Bars bars = LetterboxBars(cw, ch, w, h);
    const int pw = w - 2 * bars.X, ph = h - 2 * bars.Y;
    o.FrameAspectRatio = AspectText(pw, ph);
    const std::string pad = "pad=" + std::to_string(w) + ":" + std::to_string(h) + ":" + std::to_string(bars.X) + ":" +
                            std::to_string(bars.Y);
    if (!cropped) {
      o.FrameSize = SizeText(pw, ph);
      filter = pad;
    } else {
      // Named crop arguments: the filter's positional order is no longer x:y:w:h.
      filter = "crop=w=" + std::to_string(cw) + ":h=" + std::to_string(ch) + ":x=" + std::to_string(crop.Left) +
               ":y=" + std::to_string(crop.Top) + ",scale=" + std::to_string(pw) + ":" + std::to_string(ph) + "," + pad;
    }
  } else if (zoom == "pan") {
    // Pan and scan: cut the kept part's wider dimension down to the frame's
    // aspect, evenly on both sides, so the picture fills the frame undistorted.
    o.CropTop = cropped ? crop.Top : 0;
    o.CropBottom = cropped ? crop.Bottom : 0;
    o.CropLeft = cropped ? crop.Left : 0;
    o.CropRight = cropped ? crop.Right : 0;
    const std::int64_t wide = std::int64_t{cw} * h, tall = std::int64_t{ch} * w;
    if (w > 0 && h > 0 && wide > tall) {
      const int k = EvenDown(static_cast<int>((cw - std::int64_t{ch} * w / h) / 2));
      o.CropLeft += k;
      o.CropRight += k;
    } else if (w > 0 && h > 0 && wide < tall) {
      const int k = EvenDown(static_cast<int>((ch - std::int64_t{cw} * h / w) / 2));
      o.CropTop += k;
      o.CropBottom += k;
    }
    o.FrameSize = SizeText(w, h);
    o.FrameAspectRatio = AspectText(w, h);
  } else if (zoom == "center") {
    // Pad the source at its own scale to the frame's aspect, then scale the
    // whole to the frame. The engine scales to FrameSize before the chain, so
    // the chain does the scaling itself and FrameSize stays unset.
    std::string pad;
    if (sw > 0 && sh > 0 && w > 0 && h > 0) {
      int padW = sw, padH = sh, x = 0, y = 0;
      const Bars bars = LetterboxBars(sw, sh, w, h);
      if (bars.Shape > 0) {
        padH = std::max(sh, EvenDown(static_cast<int>(std::int64_t{sw} * h / w)));
        y = EvenDown((padH - sh) / 2);
      } else if (bars.Shape < 0) {
        padW = std::max(sw, EvenDown(static_cast<int>(std::int64_t{sh} * w / h)));
        x = EvenDown((padW - sw) / 2);
      }
      char text[96];
      std::snprintf(text, sizeof text, "pad=%d:%d:%d:%d:black,scale=%d:%d", padW, padH, x, y, w, h);
      pad = text;
    }
    o.FrameAspectRatio = AspectText(w, h);
    filter = pad;
  }
  AppendFilter(o, filter);
}

}  // namespace

std::string CurrentAudioEncoderName(std::string_view stored) {
  struct Rename {
    std::string_view Old, New;
  };
  static constexpr Rename kRenames[] = {
      {"libamr_nb", "libopencore_amrnb"},
      {"libfaac", "aac"},       // the native AAC encoder replaced it
      {"libflac", "flac"},      // the native FLAC encoder was always the one
      {"vorbis", "libvorbis"},  // the native one is experimental and refuses to open
  };
  for (const Rename& r : kRenames)
    if (stored == r.Old) return std::string(r.New);
  return std::string(stored);
}

SourceVideo SourceVideoOf(MediaProbe& probe) {
  SourceVideo source;
  source.VideoStreamCount = std::max(0, probe.VideoStreamCount());
  if (source.VideoStreamCount > 0) {
    VideoStreamInfo info;
    probe.GetVideoStreamInfo(probe.FirstVideoStream(), info);
    source.Width = info.Width;
    source.Height = info.Height;
    source.BitRate = info.BitRate;
  }
  return source;
}

void BuildConversionOptions(const IniStore& formatIni, const IniStore& settingsIni, const LvFilesRecord& row,
                            int formatCode, OutputOptions& o, const SourceVideo& source, InputOptions& input,
                            YesNoQuestion& question) {
  const Choices choice(formatIni, settingsIni, formatCode);
  const std::string format = ReadString(formatIni, FormatSection(formatCode), keys::kFormat, keys::kNull);
  const std::string lowerFormat = Lower(format);

  for (const DiscFormat& disc : kDiscFormats) {
    if (lowerFormat != disc.Format) continue;
    o.Target = disc.Target;
    o.TargetNorm = disc.Norm;
    const bool wide = !disc.WideSize.empty() && choice(keys::kParaVideoSize, keys::kNull) == disc.WideSize;
    o.FrameAspectRatio = wide ? "16:9" : "4:3";
  }

  const std::string videoEncoder = choice(keys::kParaVideoEncoder, "");
  if (IsBlank(videoEncoder)) {
    // An audio format: no picture is read at all.
    o.AudioCodec = CurrentAudioEncoderName(choice(keys::kParaAudioEncoder, "aac"));
    const std::string channels = choice(keys::kParaChannel, "2");
    if (const std::optional<int> n = ParseInteger(channels); !IsAsSource(channels) && n && *n > 0)
      o.AudioChannels = *n;
    ApplySampleRate(choice(keys::kParaSampleRate, "44100"), o);
    ApplyAudioBitRate(choice(keys::kParaAudioBitRate, "128"), o);
    ApplyVolume(choice(keys::kParaVolume, "256"), o);
    input.ExtOptions = "vn=1";
    o.DisableVideo = true;
    o.DisableSubtitle = true;
    return;
  }

  if (Contains(kNamedVideoEncoders, videoEncoder)) {
    o.VideoCodec = videoEncoder;
  } else if (videoEncoder == "mpeg2video") {
    o.VideoCodec = videoEncoder;
    o.Target = 3;
  } else if (videoEncoder == "libx264") {
    o.VideoCodec = videoEncoder;
    o.VideoPreset = lowerFormat == "psp"    ? "libx264-psp"
                    : lowerFormat == "ipod" ? "libx264-ipod"
                    : lowerFormat == "ps3"  ? "libx264-ps3"
                                            : "libx264-mp4";
  }

  if (source.VideoStreamCount < 1) {
    o.DisableVideo = true;
  } else {
    const std::string bitRate = choice(keys::kParaVideoBitRate, "512");
    const std::optional<int> kilobits = IsAsSource(bitRate) ? std::nullopt : ParseInteger(bitRate);
    if (kilobits) {
      if (*kilobits > 0 && *kilobits <= INT_MAX / 1000) o.VideoBitrate = *kilobits * 1000;
    } else {
      o.VideoBitrate = source.BitRate;
    }

    const std::string frameRate = choice(keys::kParaFrameRate, "29.97");
    if (const std::optional<double> rate = ParseNumber(frameRate); !IsAsSource(frameRate) && rate && *rate > 0)
      o.FrameRate = frameRate;

    if (Contains(kForcedFormats, lowerFormat)) o.ForceFormat = format;

    const int sw = source.Width, sh = source.Height;
    std::string sizeText = choice(keys::kParaVideoSize, keys::kNull);
    int w = 0, h = 0;
    const std::size_t x = sizeText.find('x');
    bool valid = !IsAsSource(sizeText) && x != std::string::npos && x > 0 && x + 1 < sizeText.size();
    if (valid) {
      w = ParseInteger(std::string_view(sizeText).substr(0, x)).value_or(sw);
      h = ParseInteger(std::string_view(sizeText).substr(x + 1)).value_or(sh);
      // No frame is empty; such a size is as unusable as one without an x.
      valid = w > 0 && h > 0;
    }
    if (valid && Lower(o.VideoCodec) == "h263") FitH263(w, h);
    if (!valid && !IsAsSource(sizeText)) {
      if (question.AskYesNo(kFrameSizeQuestionCaption, kFrameSizeQuestionText)) {
        w = 320;
        h = 240;
      } else {
        sizeText = keys::kAsSource;
      }
    }
    if (IsAsSource(sizeText)) {
      w = sw;
      h = sh;
    }
    for (int* crop : {&o.CropTop, &o.CropBottom, &o.CropLeft, &o.CropRight})
      if (*crop == -1) *crop = 0;

    ApplyZoom(row.Zoom, RowCrop{row.CropLeft, row.CropTop, row.CropRight, row.CropBottom}, sw, sh, w, h, o);

    // NTSC DV (720x480) is 4:1:1; the encoder refuses the 4:2:0 most sources
    // decode to.
    if (o.VideoCodec == "dvvideo" && h == 480) AppendOptionLine(o.ExtOptions, "pix_fmt=yuv411p");
  }

  const std::string audioEncoder = CurrentAudioEncoderName(choice(keys::kParaAudioEncoder, ""));
  o.AudioCodec = audioEncoder;
  if (IsBlank(audioEncoder)) o.DisableAudio = true;
  const std::string channels = choice(keys::kParaChannel, "2");
  if (const std::optional<int> n = ParseInteger(channels); !IsAsSource(channels) && n) o.AudioChannels = *n;
  ApplyVolume(choice(keys::kParaVolume, "256"), o);
  ApplySampleRate(choice(keys::kParaSampleRate, "44100"), o);
  ApplyAudioBitRate(choice(keys::kParaAudioBitRate, "128"), o);
}

void BuildConversionOptions(const GlobalObject& global, const LvFilesRecord& row, int formatCode,
                            OutputOptions& output, MediaProbe& probe, InputOptions& input, YesNoQuestion& question) {
  const IniFile formatIni(global.FormatIniPath());
  const IniFile settingsIni(global.SettingsIniPath());
  BuildConversionOptions(formatIni, settingsIni, row, formatCode, output, SourceVideoOf(probe), input, question);
}

std::string RowZoomOf(const IniStore& settingsIni, int code) {
  return ReadString(settingsIni, FormatSection(code), keys::kParaZoom, "lbox");
}

}  // namespace zelvo
