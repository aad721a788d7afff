#include "media/media_probe.h"

#include <cctype>
#include <cstdlib>
#include <cmath>
#include <mutex>

#include "media/engine_log.h"
#include "media/library_loader.h"
#include "media/utils.h"

namespace zelvo {

namespace {

const AVRational kMicroseconds{1, 1000000};

std::string TrimSpaces(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// Raw tag names (ID3 frames) shown under their common names.
const char* TranslateTag(const char* key) {
  static const struct { const char* raw; const char* shown; } kTags[] = {
      {"TALB", "album"},    {"TAL", "album"},    {"TCOM", "composer"},  {"TCON", "genre"},
      {"TCO", "genre"},     {"TCOP", "copyright"}, {"TDRL", "date"},    {"TENC", "encoder"},
      {"TEN", "encoder"},   {"TIT2", "title"},   {"TT2", "title"},      {"TLAN", "language"},
      {"TPE1", "artist"},   {"TP1", "artist"},   {"TPOS", "disc"},      {"TPUB", "publisher"},
      {"TRCK", "track"},    {"TRK", "track"},    {"TSOA", "albumsort"}, {"TSOP", "authorsort"},
      {"TSOT", "titlesort"}, {"TYER", "year"},
  };
  for (const auto& t : kTags)
    if (std::strcmp(t.raw, key) == 0) return t.shown;
  return key;
}

void AddMetadataBlock(std::vector<std::string>& lines, const AVDictionary* m, const std::string& indent) {
  int count = m ? lib::avutil.av_dict_count(m) : 0;
  if (count == 0) return;
  const AVDictionaryEntry* first = lib::avutil.av_dict_get(m, "", nullptr, AV_DICT_IGNORE_SUFFIX);
  if (count == 1 && first && std::strcmp(first->key, "language") == 0) return;
  lines.push_back(indent + "Metadata:");
  for (const AVDictionaryEntry* e = first; e; e = lib::avutil.av_dict_get(m, "", e, AV_DICT_IGNORE_SUFFIX)) {
    if (std::strcmp(e->key, "language") == 0) continue;
    lines.push_back(Format("%s  %-16s: %s", indent.c_str(), TranslateTag(e->key), e->value));
  }
}

std::string RateText(AVRational q, const char* unit) {
  double x = static_cast<double>(q.num) / q.den;
  auto v = static_cast<std::int64_t>(std::llround(x * 100));
  if (v % 100 != 0) return Format(", %3.2f %s", x, unit);
  if (v % (100 * 1000) != 0) return Format(", %1.0f %s", x, unit);
  return Format(", %1.0fk %s", x / 1000, unit);
}

// "s.uuuuuu"; the sign is written once, also for times between -1 s and 0.
std::string SecondsText(std::int64_t us) {
  const unsigned long long magnitude = us < 0 ? 0ULL - static_cast<unsigned long long>(us) : static_cast<unsigned long long>(us);
  return Format("%s%llu.%.6llu", us < 0 ? "-" : "", magnitude / 1000000, magnitude % 1000000);
}

int LeadingInt(const std::string& s) { return std::atoi(s.c_str()); }

}  // namespace

std::string CodecDescription(const AVCodecParameters* par) {
  if (const AVCodec* dec = lib::avcodec.avcodec_find_decoder(par->codec_id)) {
    std::string name = dec->name ? dec->name : "";
    std::string longName = TrimSpaces(dec->long_name ? dec->long_name : "");
    return longName.empty() ? name : Format("%s(%s)", name.c_str(), longName.c_str());
  }
  if (par->codec_id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
  if (const AVCodecDescriptor* d = lib::avcodec.avcodec_descriptor_get(par->codec_id)) {
    std::string name = TrimSpaces(d->name ? d->name : "");
    if (!name.empty()) return name;
  }
  const std::uint32_t tag = par->codec_tag;
  unsigned char c[4] = {static_cast<unsigned char>(tag & 0xff), static_cast<unsigned char>((tag >> 8) & 0xff),
                        static_cast<unsigned char>((tag >> 16) & 0xff), static_cast<unsigned char>(tag >> 24)};
  bool printable = true;
  for (unsigned char ch : c) printable = printable && ch >= 32 && ch <= 126;
  if (printable) return Format("%c%c%c%c / 0x%04X", c[0], c[1], c[2], c[3], tag);
  return Format("0x%04x", tag);
}

MediaProbe::~MediaProbe() { CloseFile(); }

void MediaProbe::CheckLibraries() {
  const LibraryLoader& loader = LibraryLoader::Instance();
  if (!loader.LibLoaded(MediaLibrary::libAVCodec)) throw MediaError("LibAVCodec not loaded.");
  if (!loader.LibLoaded(MediaLibrary::libAVFormat)) throw MediaError("LibAVFormat not loaded.");
  if (!loader.LibLoaded(MediaLibrary::libAVUtil)) throw MediaError("LibAVUtil not loaded.");
  if (!loader.LibLoaded(MediaLibrary::libSwScale)) throw MediaError("LibSwScale not loaded.");
}

void MediaProbe::ResetValues() {
  ctx_ = nullptr;
  ownsContext_ = false;
  forceFormat_.clear();
  fileSize_ = -1;
  streamCount_ = programCount_ = -1;
  audioCount_ = videoCount_ = subtitleCount_ = -1;
  firstAudio_ = firstVideo_ = firstSubtitle_ = -1;
  primaryStream_ = -1;
  primaryStartTime_ = 0;
}

void MediaProbe::CloseFile() {
  if (codec_) {
    std::lock_guard<std::recursive_mutex> guard(CodecLock());
    codec_.reset();
  }
  if (converter_.Bitmap || converter_.ScaleContext || converter_.ScaleContext2)
    ConverterReset(converter_);
  // The container goes before the file it reads from (a move assignment
  // would release them in the other order).
  opened_.ctx.reset();
  opened_.io.reset();
  ResetValues();
}

bool MediaProbe::ProbeFile(const std::string& fileName, const std::string& forceFormat) {
  CheckLibraries();
  CloseFile();
  const AVInputFormat* format = nullptr;
  if (!forceFormat.empty()) {
    format = lib::avformat.av_find_input_format(forceFormat.c_str());
    if (!format) {
      lastErrMsg_ = Format("Unknown input format: %s", forceFormat.c_str());
      return false;
    }
  }
  FormatContextPtr ic(lib::avformat.avformat_alloc_context());
  int ret = AVERROR(ENOMEM);
  if (ic) {
    ic->flags |= AVFMT_FLAG_NONBLOCK;
    ret = OpenInputFile(std::move(ic), LibraryFileNameOf(fileName), format, nullptr, opened_);
  }
  if (ret < 0) {
    Error(ErrorText(fileName, ret));
    CloseFile();
    return false;
  }
  ctx_ = opened_.ctx.get();
  ownsContext_ = true;
  {
    std::lock_guard<std::recursive_mutex> guard(CodecLock());
    ret = lib::avformat.avformat_find_stream_info(ctx_, nullptr);
  }
  if (ret < 0) {
    lastErrMsg_ = Format("%s: could not find codec parameters", fileName.c_str());
    CloseFile();
    return false;
  }
  ComputeDerived();
  forceFormat_ = forceFormat;
  return true;
}

void MediaProbe::AttachContext(AVFormatContext* context) {
  CheckLibraries();
  CloseFile();
  if (!context) return;
  ctx_ = context;
  ownsContext_ = false;
  ComputeDerived();
}

void MediaProbe::ComputeDerived() {
  std::int64_t size = ctx_->pb ? lib::avformat.avio_size(ctx_->pb) : -1;
  if (size <= 0) {
    std::int64_t fsSize = ctx_->url ? FileSize64(DisplayFileName(ctx_->url)) : -1;
    if (fsSize >= 0) size = fsSize;
  }
  fileSize_ = size;
  streamCount_ = static_cast<int>(ctx_->nb_streams);
  programCount_ = static_cast<int>(ctx_->nb_programs);
  audioCount_ = videoCount_ = subtitleCount_ = 0;
  firstAudio_ = firstVideo_ = firstSubtitle_ = -1;
  for (int i = 0; i < streamCount_; ++i) {
    switch (ctx_->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO: if (videoCount_++ == 0) firstVideo_ = i; break;
      case AVMEDIA_TYPE_AUDIO: if (audioCount_++ == 0) firstAudio_ = i; break;
      case AVMEDIA_TYPE_SUBTITLE: if (subtitleCount_++ == 0) firstSubtitle_ = i; break;
      default: break;
    }
  }
  primaryStream_ = firstVideo_ >= 0 ? firstVideo_ : firstAudio_;
  if (primaryStream_ >= 0) {
    std::int64_t start = ctx_->streams[primaryStream_]->start_time;
    primaryStartTime_ = start == kNoPts ? 0 : start;
  } else {
    primaryStartTime_ = ctx_->start_time == kNoPts ? 0 : ctx_->start_time;
  }
}

void MediaProbe::Error(const std::string& message) {
  lastErrMsg_ = message;
  EngineLog::Logger().Log(this, LogLevel::llError, message);
}

bool MediaProbe::RequireFile() {
  if (ctx_) return true;
  lastErrMsg_ = "file not loaded.";
  EngineLog::Logger().Log(this, LogLevel::llWarning, lastErrMsg_);
  return false;
}

void MediaProbe::GetFileStreamInfo(FileStreamInfo& info) {
  info = FileStreamInfo{};
  if (!RequireFile()) return;
  info.StartTime = ctx_->start_time == kNoPts ? -1 : ctx_->start_time;
  info.Duration = ctx_->duration == kNoPts ? -1 : ctx_->duration;
  info.BitRate = static_cast<std::int32_t>(ctx_->bit_rate);
  const AVDictionary* m = ctx_->metadata;
  std::string created = MetadataValue(m, "creation_time", "");
  std::int64_t us = 0;
  if (!created.empty() && lib::avutil.av_parse_time(&us, created.c_str(), 0) >= 0) info.TimeStamp = us / 1000000;
  info.Year = LeadingInt(MetadataValue(m, "date", MetadataValue(m, "year", "")));
  info.Track = LeadingInt(MetadataValue(m, "track", ""));
  info.Title = MetadataValue(m, "title", "");
  info.Author = MetadataValue(m, "artist", MetadataValue(m, "author", ""));
  info.Copyright = MetadataValue(m, "copyright", "");
  info.Comment = MetadataValue(m, "comment", "");
  info.Album = MetadataValue(m, "album", "");
  info.Genre = MetadataValue(m, "genre", "");
}

AVStream* MediaProbe::ResolveStream(int& index, AVMediaType type, const char* noneText, const char* notText) {
  if (!RequireFile()) return nullptr;
  if (index < 0) {
    index = type == AVMEDIA_TYPE_VIDEO ? firstVideo_ : firstAudio_;
    if (index < 0) {
      Error(noneText);
      return nullptr;
    }
  }
  if (index >= streamCount_) {
    Error(Format("stream index #%d is invalid.", index));
    return nullptr;
  }
  AVStream* st = ctx_->streams[index];
  if (st->codecpar->codec_type != type) {
    Error(Format(notText, index));
    return nullptr;
  }
  return st;
}

void MediaProbe::StreamTimes(AVStream* st, std::int64_t& start, std::int64_t& startUS, std::int64_t& duration,
                             std::int64_t& durationUS) {
  if (st->time_base.den == 0) st->time_base.den = st->time_base.num != 0 ? st->time_base.num : 1;
  start = st->start_time;
  duration = st->duration;
  startUS = start == kNoPts ? -1 : lib::avutil.av_rescale_q(start, st->time_base, kMicroseconds);
  durationUS = duration == kNoPts ? -1 : lib::avutil.av_rescale_q(duration, st->time_base, kMicroseconds);
}

void MediaProbe::GetVideoStreamInfo(int streamIndex, VideoStreamInfo& info) {
  info = VideoStreamInfo{};
  AVStream* st = ResolveStream(streamIndex, AVMEDIA_TYPE_VIDEO, "no video stream.", "stream #%d is not video stream.");
  if (!st) return;
  const AVCodecParameters* par = st->codecpar;
  info.Language = MetadataValue(st->metadata, "language", "");
  info.CodecName = CodecDescription(par);
  StreamTimes(st, info.StartTime, info.StartTimeUS, info.Duration, info.DurationUS);
  info.BitRate = static_cast<std::int32_t>(par->bit_rate);
  info.Height = par->height;
  info.Width = par->width;
  const AVRational sar = par->sample_aspect_ratio;
  info.AspectRatio = (sar.num == 0 || sar.den == 0 || par->height == 0)
                         ? 0.0f
                         : static_cast<float>(static_cast<double>(sar.num) / sar.den * par->width / par->height);
  info.PixelFormat = par->format;
  info.FrameRateNum = st->r_frame_rate.num;
  info.FrameRateDen = st->r_frame_rate.den;
}

void MediaProbe::GetAudioStreamInfo(int streamIndex, AudioStreamInfo& info) {
  info = AudioStreamInfo{};
  AVStream* st = ResolveStream(streamIndex, AVMEDIA_TYPE_AUDIO, "no audio stream.", "stream #%d is not audio stream.");
  if (!st) return;
  const AVCodecParameters* par = st->codecpar;
  info.Language = MetadataValue(st->metadata, "language", "");
  info.CodecName = CodecDescription(par);
  StreamTimes(st, info.StartTime, info.StartTimeUS, info.Duration, info.DurationUS);
  info.BitRate = static_cast<std::int32_t>(par->bit_rate);
  info.Channels = par->ch_layout.nb_channels;
  info.SampleRate = par->sample_rate;
  info.SampleFormat = par->format;
}

bool MediaProbe::IsAudioStream(int streamIndex) {
  if (!RequireFile()) return false;
  if (streamIndex < 0 || streamIndex >= streamCount_) {
    Error(Format("stream index #%d is invalid.", streamIndex));
    return false;
  }
  return ctx_->streams[streamIndex]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
}

bool MediaProbe::IsVideoStream(int streamIndex) {
  if (!RequireFile()) return false;
  if (streamIndex < 0 || streamIndex >= streamCount_) {
    Error(Format("stream index #%d is invalid.", streamIndex));
    return false;
  }
  return ctx_->streams[streamIndex]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
}

std::string MediaProbe::GetFileName() {
  if (!RequireFile()) return "";
  return DisplayFileName(ctx_->url ? ctx_->url : "");
}

std::string MediaProbe::GetFormatName() {
  if (!RequireFile()) return "";
  return ctx_->iformat ? ctx_->iformat->name : (ctx_->oformat ? ctx_->oformat->name : "");
}

std::string MediaProbe::StreamLine(int index) {
  AVStream* st = ctx_->streams[index];
  const AVCodecParameters* par = st->codecpar;
  std::string line = Format("Stream #%d", index);
  if (ctx_->iformat && (ctx_->iformat->flags & AVFMT_SHOW_IDS)) line += Format("[0x%x]", st->id);
  std::string language = MetadataValue(st->metadata, "language", "");
  if (!language.empty()) line += "(" + language + ")";
  if (st->time_base.den == 0) st->time_base.den = st->time_base.num != 0 ? st->time_base.num : 1;
  std::int64_t g = lib::avutil.av_gcd(st->time_base.num, st->time_base.den);
  if (g == 0) g = 1;
  line += Format(", %lld/%lld", static_cast<long long>(st->time_base.num / g), static_cast<long long>(st->time_base.den / g));

  char codecText[256] = "";
  CodecContextPtr described(lib::avcodec.avcodec_alloc_context3(nullptr));
  if (described && lib::avcodec.avcodec_parameters_to_context(described.get(), par) >= 0)
    lib::avcodec.avcodec_string(codecText, sizeof codecText, described.get(), 0);
  line += ": ";
  line += codecText;

  const AVRational sar = st->sample_aspect_ratio;
  if (sar.num != 0 && av_cmp_q(sar, par->sample_aspect_ratio) != 0) {
    int dn = 0, dd = 0;
    lib::avutil.av_reduce(&dn, &dd, static_cast<std::int64_t>(par->width) * sar.num,
                          static_cast<std::int64_t>(par->height) * sar.den, 1024 * 1024);
    line += Format(", PAR %d:%d DAR %d:%d", sar.num, sar.den, dn, dd);
  }
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (st->avg_frame_rate.num && st->avg_frame_rate.den) line += RateText(st->avg_frame_rate, "fps");
    if (st->r_frame_rate.num && st->r_frame_rate.den) line += RateText(st->r_frame_rate, "tbr");
    if (st->time_base.num && st->time_base.den) line += RateText(AVRational{st->time_base.den, st->time_base.num}, "tbn");
  }
  if (st->start_time != kNoPts)
    line += ", StartTime: " + SecondsText(lib::avutil.av_rescale_q(st->start_time, st->time_base, kMicroseconds));
  line += ", Duration: ";
  line += st->duration != kNoPts ? FormatTimeUS(lib::avutil.av_rescale_q(st->duration, st->time_base, kMicroseconds))
                                 : std::string("N/A");
  return line;
}

void MediaProbe::GetInfoText(std::string& text) {
  text.clear();
  if (!RequireFile()) return;
  std::vector<std::string> lines;
  lines.push_back("File Name: " + GetFileName());
  const char* shortName = ctx_->iformat ? ctx_->iformat->name : (ctx_->oformat ? ctx_->oformat->name : "");
  const char* longName = ctx_->iformat ? ctx_->iformat->long_name : (ctx_->oformat ? ctx_->oformat->long_name : "");
  lines.push_back(Format("Format Name: %s", shortName ? shortName : ""));
  lines.push_back(Format("Format Long Name: %s", longName ? longName : ""));
  lines.push_back("File Size: " + FormatFileSize(fileSize_));

  FileStreamInfo fi;
  GetFileStreamInfo(fi);
  lines.push_back(fi.Duration < 0 ? "Duration: N/A" : "Duration: " + FormatTimeUS(fi.Duration));
  if (fi.StartTime >= 0) lines.push_back("StartTime: " + SecondsText(fi.StartTime));
  lines.push_back(fi.BitRate >= 1 ? Format("Bit Rate: %d kb/s", fi.BitRate / 1000) : "Bit Rate: N/A");
  if (fi.TimeStamp > 0) lines.push_back("Time Stamp: " + FormatDateTime(UnixToLocalDateTime(fi.TimeStamp)));
  AddMetadataBlock(lines, ctx_->metadata, "");

  std::vector<bool> written(static_cast<size_t>(streamCount_), false);
  auto addStream = [&](int index) {
    lines.push_back(StreamLine(index));
    AddMetadataBlock(lines, ctx_->streams[index]->metadata, "  ");
    written[static_cast<size_t>(index)] = true;
  };
  for (unsigned p = 0; p < ctx_->nb_programs; ++p) {
    const AVProgram* program = ctx_->programs[p];
    // The MPEG-TS demuxer keeps the service description under service_*.
    const std::string provider = MetadataValue(program->metadata, "service_provider",
                                               MetadataValue(program->metadata, "provider_name", "N/A"));
    const std::string name = MetadataValue(program->metadata, "service_name",
                                           MetadataValue(program->metadata, "name", "N/A"));
    lines.push_back(Format("Program %d %s@%s", program->id, provider.c_str(), name.c_str()));
    AddMetadataBlock(lines, program->metadata, "  ");
    for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
      unsigned index = program->stream_index[k];
      if (index < static_cast<unsigned>(streamCount_)) addStream(static_cast<int>(index));
    }
  }
  for (int i = 0; i < streamCount_; ++i)
    if (!written[static_cast<size_t>(i)]) addStream(i);

  for (const std::string& l : lines) {
    text += l;
    text += "\r\n";
  }
}

}  // namespace zelvo
