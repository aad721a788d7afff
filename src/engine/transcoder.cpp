#include "engine/transcoder.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <unordered_map>

#include "engine/presets.h"
#include "media/av_entries.h"
#include "media/handles.h"
#include "media/utils.h"

namespace zelvo {

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

bool ParseBool(const std::string& v) { return v != "0"; }

int ParseInt(const std::string& v) {
  const std::string t = Trim(v);
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(t.c_str(), &end, 10);
  if (t.empty() || *end != '\0' || errno == ERANGE || n < INT_MIN || n > INT_MAX)
    throw EngineException("'" + v + "' is not a valid integer value");
  return static_cast<int>(n);
}

std::int64_t ParseInt64(const std::string& v) {
  const std::string t = Trim(v);
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(t.c_str(), &end, 10);
  if (t.empty() || *end != '\0' || errno == ERANGE) throw EngineException("'" + v + "' is not a valid integer value");
  return n;
}

double ParseFloat(const std::string& v) {
  const std::string t = Trim(v);
  char* end = nullptr;
  double d = std::strtod(t.c_str(), &end);
  if (t.empty() || *end != '\0') throw EngineException("'" + v + "' is not a valid floating point value");
  return d;
}

std::int64_t ParseTime(const std::string& name, const std::string& value, bool duration) {
  std::int64_t t = 0;
  if (lib::avutil.av_parse_time(&t, value.c_str(), duration ? 1 : 0) < 0)
    throw EngineException(Format("Invalid %s specification for %s: %s", duration ? "duration" : "date", name.c_str(),
                                 value.c_str()));
  return t;
}

std::uint32_t ParseTag(const std::string& v, const char* what) {
  if (v.size() != 4) throw EngineException(std::string(what) + " tag parameter must be 4 chars");
  return static_cast<std::uint32_t>(static_cast<unsigned char>(v[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(v[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(v[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(v[3])) << 24;
}

// 64 comma-separated coefficients; a missing one is reported by its index.
std::vector<std::uint16_t> ParseMatrix(const std::string& v) {
  std::vector<std::uint16_t> m(64);
  const char* p = v.c_str();
  for (int i = 0; i < 64; ++i) {
    if (p == nullptr) throw EngineException(Format("Syntax error in matrix \"%s\" at coeff %d", v.c_str(), i));
    m[static_cast<size_t>(i)] = static_cast<std::uint16_t>(std::atoi(p));
    p = std::strchr(p, ',');
    if (p) ++p;
  }
  return m;
}

std::string ProgramFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1);
}

// Bitstream filters that were renamed keep working under their old names.
std::string PresentBitstreamFilterName(const std::string& name) {
  if (name == "mjpega_dump_header") return "mjpegadump";
  if (name == "imx_dump_header") return "imxdump";
  if (name == "mp3_header_decompress") return "mp3decomp";
  return name;
}

const char* const kIgnored[] = {"L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters", "i", "y",
                                "benchmark"};

}  // namespace

Transcoder::Transcoder() { Reset(); }

// An engine dropped without running (its task removed or the list cleared)
// still closes its outputs and removes those left empty.
Transcoder::~Transcoder() {
  try {
    Cleanup();
  } catch (const std::exception& e) {
    Log(LogLevel::llError, e.what());
  }
}

void Transcoder::Reset() {
  state_ = OptionState{};
  FreeOptionContexts(generic_);
  AllocOptionContexts(generic_, state_.swsFlags);
  outputSlots_.clear();
  outputs_.clear();
  inputs_.clear();
  joinTaken_ = false;
  errorMessage_.clear();
  hooks_.ReleaseHooks();
}

void Transcoder::Log(LogLevel level, const std::string& message) const { EngineLog::Logger().Log(this, level, message); }

void Transcoder::SetEncoder(MediaKind kind, const std::string& name) {
  bool copy = name == "copy";
  switch (kind) {
    case kVideo: state_.videoStreamCopy = copy; if (!copy) state_.videoCodecName = name; break;
    case kAudio: state_.audioStreamCopy = copy; if (!copy) state_.audioCodecName = name; break;
    case kSubtitle: state_.subtitleStreamCopy = copy; if (!copy) state_.subtitleCodecName = name; break;
    default: break;
  }
}

bool Transcoder::SetPrivateOption(const std::string& name, const std::string& value) {
  // Options that live in the named encoders' own tables, validated on a
  // scratch context of that encoder so that opening it later cannot fail on them.
  const std::string* names[] = {&state_.videoCodecName, &state_.audioCodecName, &state_.subtitleCodecName};
  const int types[] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
  for (int k = 0; k < 3; ++k) {
    if (names[k]->empty()) continue;
    const AVCodec* codec = lib::avcodec.avcodec_find_encoder_by_name(names[k]->c_str());
    if (!codec || !codec->priv_class) continue;
    const AVClass* pc = codec->priv_class;
    if (!lib::avutil.av_opt_find(&pc, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ)) continue;
    CodecContextPtr scratch(lib::avcodec.avcodec_alloc_context3(codec));
    if (!scratch || lib::avutil.av_opt_set(scratch->priv_data, name.c_str(), value.c_str(), 0) < 0) {
      lib::avutil.av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(), name.c_str());
      return false;
    }
    generic_.OptNames.push_back(name);
    generic_.Remembered.push_back({name, value, 1u << types[k]});
    return true;
  }
  // Muxer-private options (muxrate, preload, movflags ...) of any muxer; they
  // reach the output through the format options dictionary.
  const AVClass* fc = lib::avformat.avformat_get_class();
  if (lib::avutil.av_opt_find(&fc, name.c_str(), nullptr, AV_OPT_FLAG_ENCODING_PARAM,
                              AV_OPT_SEARCH_FAKE_OBJ | AV_OPT_SEARCH_CHILDREN)) {
    generic_.OptNames.push_back(name);
    generic_.Remembered.push_back({name, value, kFormatHolder});
    return true;
  }
  return false;
}

bool Transcoder::SetGenericOption(const std::string& rawName, const std::string& rawValue) {
  const std::string name = Trim(rawName), value = Trim(rawValue);
  if (name.empty() || value.empty()) return false;
  // A name the named encoder has as its own option is meant for it (libx264's
  // "level" or "profile"): the encoder's table wins, as it does when opening.
  const std::string* encoders[] = {&state_.videoCodecName, &state_.audioCodecName, &state_.subtitleCodecName};
  for (const std::string* enc : encoders) {
    if (enc->empty()) continue;
    const AVCodec* codec = lib::avcodec.avcodec_find_encoder_by_name(enc->c_str());
    const AVClass* pc = codec ? codec->priv_class : nullptr;
    if (pc && lib::avutil.av_opt_find(&pc, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
      return SetPrivateOption(name, value);
  }
  if (OptDefault(generic_, name, value)) return true;
  // Known to the generic tables but with a bad value: already reported.
  const AVClass* cc = lib::avcodec.avcodec_get_class();
  if (lib::avutil.av_opt_find(&cc, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ)) return false;
  return SetPrivateOption(name, value);
}

void Transcoder::SetKindBitRate(MediaKind kind, const std::string& value) {
  AVCodecContext* holder = generic_.CodecOpts[kind].get();
  if (lib::avutil.av_opt_set(holder, "b", value.c_str(), 0) < 0) {
    lib::avutil.av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(), "b");
    return;
  }
  generic_.OptNames.push_back("b");
  generic_.Remembered.push_back({"b", Trim(value), 1u << kind});
  if (holder->bit_rate < 1000)
    Log(LogLevel::llWarning, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
}

void Transcoder::ApplyCodecOptions(AVCodecContext* ctx, int flags) const {
  int type = ctx->codec_type;
  if (type < 0 || type >= kOptionMediaTypes) return;
  int typeFlag = type == AVMEDIA_TYPE_VIDEO ? AV_OPT_FLAG_VIDEO_PARAM
                 : type == AVMEDIA_TYPE_AUDIO ? AV_OPT_FLAG_AUDIO_PARAM
                 : type == AVMEDIA_TYPE_SUBTITLE ? AV_OPT_FLAG_SUBTITLE_PARAM : 0;
  // Private options carry their own flags; only the generic ones are filtered
  // by kind, as the holder they were set on already says which kind they are for.
  for (const RememberedOption& r : generic_.Remembered) {
    if ((r.Holders & (1u << type)) == 0) continue;
    const AVOption* opt = lib::avutil.av_opt_find(ctx, r.Name.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN);
    if (!opt || (opt->flags & flags) != flags) continue;
    if (opt->flags & typeFlag || typeFlag == 0 || (opt->flags & (AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_AUDIO_PARAM |
                                                                  AV_OPT_FLAG_SUBTITLE_PARAM)) == 0)
      lib::avutil.av_opt_set(ctx, r.Name.c_str(), r.Value.c_str(), AV_OPT_SEARCH_CHILDREN);
  }
  // libx264 no longer derives its rate tolerance from "bt"; the older
  // wrapper took bt / b with the values in force when the encoder opened.
  if (ctx->codec && std::strcmp(ctx->codec->name, "libx264") == 0 && ctx->bit_rate > 0 && ctx->bit_rate_tolerance > 0 &&
      std::any_of(generic_.Remembered.begin(), generic_.Remembered.end(),
                  [](const RememberedOption& r) { return r.Name == "bt"; })) {
    std::uint8_t* params = nullptr;
    lib::avutil.av_opt_get(ctx, "x264-params", AV_OPT_SEARCH_CHILDREN, &params);
    std::string text = params ? reinterpret_cast<const char*>(params) : "";
    lib::avutil.av_free(params);
    text += Format("%sratetol=%g", text.empty() ? "" : ":",
                   static_cast<double>(ctx->bit_rate_tolerance) / static_cast<double>(ctx->bit_rate));
    lib::avutil.av_opt_set(ctx, "x264-params", text.c_str(), AV_OPT_SEARCH_CHILDREN);
  }
}

AVDictionary* Transcoder::FormatOptionsDictionary() const {
  AVDictionary* dict = nullptr;
  for (const RememberedOption& r : generic_.Remembered)
    if (r.Holders & kFormatHolder) lib::avutil.av_dict_set(&dict, r.Name.c_str(), r.Value.c_str(), 0);
  return dict;
}

void Transcoder::LoadPreset(const std::string& kindOption, const std::string& value) {
  if (kindOption.empty() || value.empty()) return;
  const char kindLetter = kindOption[0];
  const MediaKind kind = kindLetter == 'a' ? kAudio : kindLetter == 's' ? kSubtitle : kVideo;
  std::string key = value, text;
  bool found = false;
  if (kindLetter != 'f') {
    if (const OptionsPreset* p = FindOptionsPreset(value)) {
      key = p->Name;
      text = p->Options;
      found = true;
    } else {
      std::string encoder = kindLetter == 'v' ? state_.videoCodecName : kindLetter == 'a' ? state_.audioCodecName
                                                                                        : state_.subtitleCodecName;
      if (encoder.empty()) encoder = state_.subtitleCodecName;
      const std::string byEncoder = encoder.empty() ? value : encoder + "-" + value;
      if (const OptionsPreset* q = FindOptionsPreset(byEncoder)) {
        key = q->Name;
        text = q->Options;
        found = true;
      }
    }
  }
  if (!found) {
    AvBuffer data;
    std::int64_t size = 0;
    if (FileSize64(value) < 0 || ReadWholeFile(value, data, size) != 0)
      throw EngineException(Format("Preset \"%s\" not found", value.c_str()));
    text.assign(reinterpret_cast<const char*>(data.get()), static_cast<size_t>(size - 1));
  }
  ApplyPresetText(key, text, kind);
}

void Transcoder::ApplyPresetText(const std::string& key, const std::string& text, MediaKind kind) {
  std::vector<PresetLine> lines;
  std::string rest = Trim(text);
  for (size_t i = 0; i < rest.size(); ++i)
    if (rest[i] == '\r') rest[i] = '\n';
  while (!rest.empty()) {
    std::string line = Trim(SplitFirst(rest, "\n", true));
    if (line.empty()) continue;
    std::string tail = line;
    std::string name = Trim(SplitFirst(tail, "=", true));
    std::string value = Trim(tail);
    if (name.empty() || value.empty() || line.find('=') == std::string::npos)
      throw EngineException(Format("%s: Invalid syntax: \"%s\"", key.c_str(), line.c_str()));
    lines.push_back({line, name, value});
  }
  const bool forX264 = (kind == kVideo && state_.videoCodecName == "libx264") || strncasecmp(key.c_str(), "libx264-", 8) == 0;
  if (forX264 && IsLegacyX264Preset(lines)) lines = TranslateLegacyX264Preset(lines);
  for (const PresetLine& l : lines) {
    if (strcasecmp(l.name.c_str(), "vcodec") == 0) SetEncoder(kVideo, l.value);
    else if (strcasecmp(l.name.c_str(), "acodec") == 0) SetEncoder(kAudio, l.value);
    else if (strcasecmp(l.name.c_str(), "scodec") == 0) SetEncoder(kSubtitle, l.value);
    else if (!SetGenericOption(l.name, l.value))
      throw EngineException(Format("%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"", key.c_str(),
                                   l.line.c_str(), l.name.c_str(), l.value.c_str()));
  }
}

void Transcoder::SetTarget(const std::string& type, const std::string& norm, const std::string& fallbackNorm) {
  enum Norm { PAL, NTSC, FILM } n;
  if (norm == "pal") n = PAL;
  else if (norm == "ntsc") n = NTSC;
  else if (norm == "film") n = FILM;
  else {
    if (state_.frameRate.den == 0) throw EngineException("frame_rate is invalid.");
    auto classify = [](double rate1000, int& out) {
      long r = std::lround(rate1000);
      if (r == 23976 || r == 29970) { out = NTSC; return true; }
      if (r == 25000) { out = PAL; return true; }
      return false;
    };
    int detected = -1;
    bool found = classify(static_cast<double>(state_.frameRate.num) * 1000.0 / state_.frameRate.den, detected);
    // The codec time base of the inputs' video streams is no longer exposed;
    // their frame rate says the same.
    for (const auto& in : inputs_) {
      if (found) break;
      const AVFormatContext* ic = in->opened.ctx.get();
      for (unsigned i = 0; i < ic->nb_streams && !found; ++i) {
        const AVStream* st = ic->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || st->r_frame_rate.den == 0) continue;
        found = classify(static_cast<double>(st->r_frame_rate.num) * 1000.0 / st->r_frame_rate.den, detected);
      }
    }
    if (!found) detected = fallbackNorm == "film" ? FILM : fallbackNorm == "ntsc" ? NTSC : PAL;
    n = static_cast<Norm>(detected);
    if (state_.verbose > 0) Log(LogLevel::llVerbose, Format("Assuming %s for target.", n == PAL ? "PAL" : "NTSC"));
  }
  const bool pal = n == PAL;
  struct Disc {
    const char* type;
    const char* vcodec;
    const char* acodec;
    const char* palSize;
    const char* ntscSize;
    std::vector<std::pair<const char*, const char*>> generic;  // after "g"
    const char* audioBitRate;
    int sampleRate;
    bool forceStereo;    // 2 channels whatever was asked
    bool monoToStereo;   // 1 channel becomes 2
    double preload;      // 0: unchanged
    double aspect;
    const char* aspectMessage;
  };
  // The scan offset of SVCD is an option of the MPEG-2 encoder itself now.
  static const Disc kDiscs[] = {
      {"vcd", "mpeg1video", "mp2", "352x288", "352x240",
       {{"b", "1150000"}, {"maxrate", "1150000"}, {"minrate", "1150000"}, {"bufsize", "327680"},
        {"packetsize", "2324"}, {"muxrate", "1411200"}},
       "224000", 44100, true, false, 0.44, 4.0 / 3.0, "Assuming 4:3 for aspect ratio"},
      {"svcd", "mpeg2video", "mp2", "480x576", "480x480",
       {{"b", "2040000"}, {"maxrate", "2516000"}, {"minrate", "0"}, {"bufsize", "1835008"}, {"scan_offset", "1"},
        {"packetsize", "2324"}},
       "224000", 44100, false, true, 0, 4.0 / 3.0, "Assuming 4:3 for aspect ratio"},
      {"dvd", "mpeg2video", "ac3", "720x576", "720x480",
       {{"b", "6000000"}, {"maxrate", "9000000"}, {"minrate", "0"}, {"bufsize", "1835008"}, {"packetsize", "2048"},
        {"muxrate", "10080000"}},
       "448000", 48000, false, true, 0, 16.0 / 9.0, "Assuming 16:9 for aspect ratio"},
  };
  const Disc* disc = nullptr;
  for (const Disc& d : kDiscs)
    if (type == d.type) disc = &d;
  if (disc) {
    SetEncoder(kVideo, disc->vcodec);
    SetEncoder(kAudio, disc->acodec);
    SetOption("f", disc->type);
    SetOption("s", pal ? disc->palSize : disc->ntscSize);
    SetGenericOption("g", pal ? "15" : "18");
    for (const auto& g : disc->generic) SetGenericOption(g.first, g.second);
    SetOption("ab", disc->audioBitRate);
    state_.audioSampleRate = disc->sampleRate;
    if (disc->forceStereo || (disc->monoToStereo && state_.audioChannels == 1)) state_.audioChannels = 2;
    if (disc->preload > 0) state_.muxPreload = disc->preload;
    if (state_.frameAspectRatio == 0) {
      state_.frameAspectRatio = disc->aspect;
      Log(LogLevel::llInfo, disc->aspectMessage);
    }
  } else if (type == "dv" || type == "dv50") {
    SetOption("f", "dv");
    SetOption("s", pal ? "720x576" : "720x480");
    SetOption("pix_fmt", type == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    state_.audioSampleRate = 48000;
    state_.audioChannels = 2;
  } else {
    throw EngineException("Unknown target type");
  }
  SetOption("r", n == PAL ? "25" : n == NTSC ? "30000/1001" : "24000/1001");
}

void Transcoder::SetOption(const std::string& name, const std::string& value) {
  using Handler = std::function<void(Transcoder&, const std::string&, const std::string&)>;
  static const std::unordered_map<std::string, Handler> kTable = [] {
    std::unordered_map<std::string, Handler> t;
    auto& s = t;
    for (const char* n : kIgnored)
      s[n] = [](Transcoder& e, const std::string& nm, const std::string&) { e.Log(LogLevel::llInfo, "Do nothing: option - " + nm); };
    s["loglevel"] = [](Transcoder&, const std::string&, const std::string& v) { EngineLog::Logger().SetLogLevelByName(v); };
    s["f"] = [](Transcoder& e, const std::string&, const std::string& v) {
      if (v == "pgmyuv") {
        e.state_.forcedFormat = "image2";
        e.state_.pgmyuvCompat = true;
        e.Log(LogLevel::llInfo, "pgmyuv format is deprecated, use image2");
      } else {
        e.state_.forcedFormat = v;
      }
    };
    s["map"] = [](Transcoder& e, const std::string&, const std::string& v) {
      StreamMap m;
      const char* p = v.c_str();
      char* end = nullptr;
      m.file = static_cast<int>(std::strtol(p, &end, 0));
      p = *end ? end + 1 : end;
      m.stream = static_cast<int>(std::strtol(p, &end, 0));
      if (*end) {
        p = end + 1;
        m.syncFile = static_cast<int>(std::strtol(p, &end, 0));
        p = *end ? end + 1 : end;
        m.syncStream = static_cast<int>(std::strtol(p, &end, 0));
      } else {
        m.syncFile = m.file;
        m.syncStream = m.stream;
      }
      e.state_.streamMaps.push_back(m);
    };
    s["map_meta_data"] = [](Transcoder& e, const std::string&, const std::string& v) {
      MetadataMap m;
      const char* p = v.c_str();
      char* end = nullptr;
      m.outFile = static_cast<int>(std::strtol(p, &end, 0));
      p = *end ? end + 1 : end;
      m.inFile = static_cast<int>(std::strtol(p, &end, 0));
      e.state_.metadataMaps.push_back(m);
    };
    s["t"] = [](Transcoder& e, const std::string& nm, const std::string& v) {
      e.state_.recordingTime = ParseTime(nm, v, true);
      e.state_.totalDuration = e.state_.recordingTime;
    };
    s["fs"] = [](Transcoder& e, const std::string&, const std::string& v) { e.state_.limitFileSize = ParseInt64(v); };
    s["ss"] = [](Transcoder& e, const std::string& nm, const std::string& v) { e.state_.startTime = ParseTime(nm, v, true); };
    s["itsoffset"] = [](Transcoder& e, const std::string& nm, const std::string& v) { e.state_.inputTsOffset = ParseTime(nm, v, true); };
    s["itsscale"] = [](Transcoder& e, const std::string&, const std::string& v) {
      char* end = nullptr;
      long index = std::strtol(v.c_str(), &end, 10);
      double scale = *end ? std::strtod(end + 1, nullptr) : 1.0;
      if (index < 0 || index >= kMaxStreams) throw EngineException(Format("stream index over MAX_STREAMS(%d)", kMaxStreams));
      e.state_.tsScale[index] = scale;
    };
    s["timestamp"] = [](Transcoder& e, const std::string& nm, const std::string& v) {
      e.state_.recordingTimestamp = std::llround(static_cast<double>(ParseTime(nm, v, false)) / 1000000.0);
    };
    s["metadata"] = [](Transcoder& e, const std::string&, const std::string& v) {
      size_t eq = v.find('=');
      if (eq == std::string::npos) throw EngineException("Missing =");
      e.state_.metadata.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    };
    s["dframes"] = [](Transcoder& e, const std::string&, const std::string& v) { e.state_.maxFrames[kData] = ParseInt(v); };
    s["vframes"] = [](Transcoder& e, const std::string&, const std::string& v) { e.state_.maxFrames[kVideo] = ParseInt(v); };
    s["aframes"] = [](Transcoder& e, const std::string&, const std::string& v) { e.state_.maxFrames[kAudio] = ParseInt(v); };
    s["timelimit"] = [](Transcoder& e, const std::string&, const std::string&) {
      e.Log(LogLevel::llWarning, "Warning: -timelimit not implemented on Windows");
    };
    auto flag = [&s](const char* n, bool OptionState::*field) {
      s[n] = [field](Transcoder& e, const std::string&, const std::string& v) { e.state_.*field = ParseBool(v); };
    };
    auto integer = [&s](const char* n, int OptionState::*field) {
      s[n] = [field](Transcoder& e, const std::string&, const std::string& v) { e.state_.*field = ParseInt(v); };
    };
    auto real = [&s](const char* n, double OptionState::*field) {
      s[n] = [field](Transcoder& e, const std::string&, const std::string& v) { e.state_.*field = ParseFloat(v); };
    };
    auto text = [&s](const char* n, std::string OptionState::*field) {
      s[n] = [field](Transcoder& e, const std::string&, const std::string& v) { e.state_.*field = v; };
    };
    auto always = [&s](const char* n, bool OptionState::*field) {
      s[n] = [field](Transcoder& e, const std::string&, const std::string&) { e.state_.*field = true; };
    };
    flag("dump", &OptionState::packetDump);
    flag("hex", &OptionState::hexDump);
    flag("re", &OptionState::readAtNativeRate);
    flag("loop_input", &OptionState::loopInput);
    integer("loop_output", &OptionState::loopOutput);
    integer("v", &OptionState::verbose);
    s["target"] = [](Transcoder& e, const std::string&, const std::string& v) {
      std::string t = Trim(v), norm = "auto";
      for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
        if (t.rfind(prefix, 0) == 0) {
          norm = std::string(prefix, std::strlen(prefix) - 1);
          t = t.substr(std::strlen(prefix));
          break;
        }
      }
      e.SetTarget(t, norm, "ntsc");
    };
    s["threads"] = [](Transcoder&, const std::string& nm, const std::string&) { throw EngineException("TODO: option - " + nm); };
    integer("vsync", &OptionState::videoSyncMethod);
    integer("async", &OptionState::audioSyncMethod);
    real("adrift_threshold", &OptionState::audioDriftThreshold);
    integer("vglobal", &OptionState::videoGlobalHeader);
    always("copyts", &OptionState::copyTimestamps);
    flag("shortest", &OptionState::shortest);
    real("dts_delta_threshold", &OptionState::dtsDeltaThreshold);
    integer("programid", &OptionState::programId);
    always("xerror", &OptionState::exitOnError);
    integer("copyinkf", &OptionState::copyInitialNonKeyframes);

    // Video.
    s["b"] = s["vb"] = [](Transcoder& e, const std::string&, const std::string& v) { e.SetKindBitRate(kVideo, v); };
    s["r"] = [](Transcoder& e, const std::string&, const std::string& v) {
      AVRational q{0, 0};
      if (lib::avutil.av_parse_video_rate(&q, v.c_str()) < 0) throw EngineException("Incorrect frame rate");
      e.state_.frameRate = {q.num, q.den};
    };
    s["s"] = [](Transcoder& e, const std::string&, const std::string& v) {
      int w = 0, h = 0;
      if (lib::avutil.av_parse_video_size(&w, &h, v.c_str()) < 0) throw EngineException("Incorrect frame size");
      e.state_.frameWidth = w;
      e.state_.frameHeight = h;
    };
    s["aspect"] = [](Transcoder& e, const std::string&, const std::string& v) {
      double aspect = 0;
      size_t colon = v.find(':');
      if (colon != std::string::npos) {
        double w = std::strtod(v.c_str(), nullptr), h = std::strtod(v.c_str() + colon + 1, nullptr);
        if (h > 0) aspect = w / h;
      } else {
        aspect = std::strtod(v.c_str(), nullptr);
      }
      if (aspect == 0) throw EngineException("Incorrect aspect ratio specification.");
      e.state_.frameAspectRatio = aspect;
    };
    s["pix_fmt"] = [](Transcoder& e, const std::string&, const std::string& v) {
      if (v == "list") {
        for (const AVPixFmtDescriptor* d = lib::avutil.av_pix_fmt_desc_next(nullptr); d; d = lib::avutil.av_pix_fmt_desc_next(d))
          e.Log(LogLevel::llInfo, d->name);
        return;
      }
      int fmt = lib::avutil.av_get_pix_fmt(v.c_str());
      if (fmt < 0) throw EngineException(Format("Unknown pixel format requested: %s", v.c_str()));
      e.state_.pixelFormat = fmt;
    };
    auto crop = [&s](const char* n, int OptionState::*band, bool vertical) {
      s[n] = [band, vertical](Transcoder& e, const std::string&, const std::string& v) {
        int value = ParseInt(v);
        if (value <= 0) return;
        int& size = vertical ? e.state_.frameHeight : e.state_.frameWidth;
        if (value >= size)
          throw EngineException(vertical ? "Vertical crop dimensions are outside the range of the original image.\n"
                                           "Remember to crop first and scale second."
                                         : "Horizontal crop dimensions are outside the range of the original image.\n"
                                           "Remember to crop first and scale second.");
        e.Log(LogLevel::llWarning, "CropXXX is deprecated in favor of the crop avfilter");
        e.state_.*band = value;
        size -= value;
      };
    };
    crop("croptop", &OptionState::cropTop, true);
    crop("cropbottom", &OptionState::cropBottom, true);
    crop("cropleft", &OptionState::cropLeft, false);
    crop("cropright", &OptionState::cropRight, false);
    for (const char* n : {"padtop", "padbottom", "padleft", "padright", "padcolor"})
      s[n] = [](Transcoder&, const std::string&, const std::string&) { throw EngineException("Please use vfilters=pad"); };
    flag("intra", &OptionState::intraOnly);
    flag("vn", &OptionState::videoDisable);
    integer("vdt", &OptionState::videoDiscard);
    s["qscale"] = [](Transcoder& e, const std::string&, const std::string& v) {
      double q = ParseFloat(v);
      if (!(q > 0 && q <= 255)) throw EngineException("qscale must be > 0.0 and <= 255");
      e.state_.videoQScale = q;
    };
    text("rc_override", &OptionState::rcOverride);
    s["vcodec"] = [](Transcoder& e, const std::string&, const std::string& v) { e.SetEncoder(kVideo, v); };
    integer("me_threshold", &OptionState::meThreshold);
    flag("sameq", &OptionState::sameQuality);
    s["pass"] = [](Transcoder& e, const std::string&, const std::string& v) {
      int p = ParseInt(v);
      if (p != 1 && p != 2) throw EngineException("pass number can be only 1 or 2");
      e.state_.pass = p;
    };
    text("passlogfile", &OptionState::passLogFile);
    flag("deinterlace", &OptionState::deinterlace);
    flag("psnr", &OptionState::psnr);
    s["vstats"] = [](Transcoder& e, const std::string&, const std::string&) {
      time_t now = std::time(nullptr);
      struct tm tm{};
      localtime_r(&now, &tm);
      e.state_.vstatsFileName = Format("%svstats_%s.log", ProgramFolder().c_str(),
                                       Format("%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec).c_str());
    };
    text("vstats_file", &OptionState::vstatsFileName);
    s["vhook"] = [](Transcoder& e, const std::string&, const std::string& v) {
      e.hooks_.AddVideoHook(v);
      e.state_.videoHooks.push_back(v);
    };
    text("vfilters", &OptionState::videoFilters);
    text("vf", &OptionState::videoFilters);
    s["intra_matrix"] = [](Transcoder& e, const std::string&, const std::string& v) { e.state_.intraMatrix = ParseMatrix(v); };
    s["inter_matrix"] = [](Transcoder& e, const std::string&, const std::string& v) { e.state_.interMatrix = ParseMatrix(v); };
    integer("top", &OptionState::topFieldFirst);
    integer("dc", &OptionState::intraDcPrecision);
    s["vtag"] = [](Transcoder& e, const std::string&, const std::string& v) { e.state_.videoTag = ParseTag(v, "video"); };
    for (const char* n : {"newvideo", "newaudio", "newsubtitle"})
      s[n] = [](Transcoder& e, const std::string& nm, const std::string&) {
        if (e.outputs_.empty()) throw EngineException("At least one output file must be specified");
        EngineOutput& last = *e.outputs_.back();
        if (nm == "newvideo") e.AddVideoStream(last);
        else if (nm == "newaudio") e.AddAudioStream(last);
        else e.AddSubtitleStream(last);
      };
    text("vlang", &OptionState::videoLanguage);
    flag("qphist", &OptionState::qpHistogram);
    flag("force_fps", &OptionState::forceFps);
    s["streamid"] = [](Transcoder& e, const std::string& nm, const std::string& v) {
      size_t colon = v.find(':');
      if (colon == std::string::npos || colon == 0 || colon + 1 == v.size())
        throw EngineException(Format("Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"",
                                     v.c_str(), nm.c_str()));
      int index = ParseInt(v.substr(0, colon));
      if (index < 0 || index >= kMaxStreams) throw EngineException(Format("stream index over MAX_STREAMS(%d)", kMaxStreams));
      e.state_.streamIds[index] = ParseInt(v.substr(colon + 1));
    };

    // Audio.
    s["ab"] = [](Transcoder& e, const std::string&, const std::string& v) { e.SetKindBitRate(kAudio, v); };
    real("aq", &OptionState::audioQScale);
    s["ar"] = [](Transcoder& e, const std::string&, const std::string& v) {
      int n = ParseInt(v);
      if (n > 0) e.state_.audioSampleRate = n;
    };
    s["ac"] = [](Transcoder& e, const std::string&, const std::string& v) {
      int n = ParseInt(v);
      if (n > 0) e.state_.audioChannels = n;
    };
    flag("an", &OptionState::audioDisable);
    s["acodec"] = [](Transcoder& e, const std::string&, const std::string& v) { e.SetEncoder(kAudio, v); };
    s["atag"] = [](Transcoder& e, const std::string&, const std::string& v) { e.state_.audioTag = ParseTag(v, "audio"); };
    integer("vol", &OptionState::audioVolume);
    text("alang", &OptionState::audioLanguage);
    s["sample_fmt"] = [](Transcoder& e, const std::string&, const std::string& v) {
      if (v == "list") {
        for (int f = 0; f < AV_SAMPLE_FMT_NB; ++f)
          if (const char* n = lib::avutil.av_get_sample_fmt_name(static_cast<AVSampleFormat>(f))) e.Log(LogLevel::llInfo, n);
        return;
      }
      e.state_.sampleFormat = lib::avutil.av_get_sample_fmt(v.c_str());
    };

    // Subtitles, muxing and presets.
    flag("sn", &OptionState::subtitleDisable);
    s["scodec"] = [](Transcoder& e, const std::string&, const std::string& v) { e.SetEncoder(kSubtitle, v); };
    text("slang", &OptionState::subtitleLanguage);
    s["stag"] = [](Transcoder& e, const std::string&, const std::string& v) { e.state_.subtitleTag = ParseTag(v, "subtitle"); };
    integer("vc", &OptionState::videoChannel);
    text("tvstd", &OptionState::videoStandard);
    flag("isync", &OptionState::inputSync);
    real("muxdelay", &OptionState::muxMaxDelay);
    real("muxpreload", &OptionState::muxPreload);
    for (const char* n : {"absf", "vbsf", "sbsf"}) {
      s[n] = [](Transcoder& e, const std::string& nm, const std::string& v) {
        const std::string t = Trim(v);
        if (t.empty() || t[0] == '=') return;
        std::string rest = t;
        const std::string filter = PresentBitstreamFilterName(SplitFirst(rest, "=", true));
        if (!lib::avcodec.av_bsf_get_by_name(filter.c_str()))
          throw EngineException(Format("Unknown bitstream filter %s", t.c_str()));
        const MediaKind kind = nm[0] == 'a' ? kAudio : nm[0] == 'v' ? kVideo : kSubtitle;
        e.state_.bitstreamFilters[kind].push_back(t.find('=') == std::string::npos ? filter : filter + "=" + rest);
      };
    }
    for (const char* n : {"apre", "vpre", "spre", "fpre"})
      s[n] = [](Transcoder& e, const std::string& nm, const std::string& v) { e.LoadPreset(nm, v); };
    return t;
  }();

  auto it = kTable.find(name);
  if (it != kTable.end()) {
    it->second(*this, name, value);
    return;
  }
  SetGenericOption(name, value);  // a rejected name or value is ignored
}

}  // namespace zelvo
