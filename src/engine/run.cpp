// One run of the engine: run preparation, the packet loop, re-encoding of
// video, audio and subtitles, progress reports and cleanup.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "engine/transcoder.h"
#include "media/av_entries.h"
#include "media/library_loader.h"
#include "media/utils.h"

namespace zelvo {

namespace {

constexpr AVRational kUs{1, 1000000};

const char* KindName(AVMediaType t) {
  switch (t) {
    case AVMEDIA_TYPE_VIDEO: return "video";
    case AVMEDIA_TYPE_AUDIO: return "audio";
    case AVMEDIA_TYPE_SUBTITLE: return "subtitle";
    case AVMEDIA_TYPE_DATA: return "data";
    default: return "unknown";
  }
}

std::int64_t Now() { return lib::avutil.av_gettime(); }

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct BsfDeleter {
  void operator()(AVBSFContext* c) const { lib::avcodec.av_bsf_free(&c); }
};
using BsfPtr = std::unique_ptr<AVBSFContext, BsfDeleter>;

struct InputStream {
  int file = 0;
  int index = 0;
  AVStream* st = nullptr;
  bool discard = true;
  bool decoding = false;
  const AVCodec* decoder = nullptr;
  CodecContextPtr dec;
  bool drained = false;  // the decoder was sent its end of stream
  std::int64_t startWall = 0;
  std::int64_t nextPts = kNoPts;  // microseconds
  std::int64_t pts = 0;           // microseconds
  bool isStart = true;
  bool pastRecording = false;
  bool ended = false;
  bool warnedMultipleFrames = false;
};

struct OutputStream {
  int slot = 0;   // output slot (the output file number the mapping and reports use)
  int index = 0;  // stream index in its output
  int source = -1, syncSource = -1;  // input stream records
  EngineOutputStream* es = nullptr;
  AVStream* st = nullptr;
  AVCodecContext* enc = nullptr;
  bool encoding = false;
  bool active = true;  // counts for progress
  std::int64_t frameNumber = 0;
  std::int64_t syncOpts = 0;  // frames or samples written, encoder time base
  float quality = 0;
  // Video without a filter graph.
  bool cropNeeded = false;
  int cropTop = 0, cropBottom = 0, cropLeft = 0, cropRight = 0;
  bool resampleNeeded = false;
  SwsContextPtr sws;
  FramePtr scaled;
  int preWidth = 0, preHeight = 0;                        // before cropping
  int resampleWidth = 0, resampleHeight = 0, resampleFormat = -1;  // cropped input last seen
  // Video with a filter graph.
  FilterGraphPtr graph;
  AVFilterContext* graphSource = nullptr;
  AVFilterContext* graphSink = nullptr;
  // Audio.
  SwrContextPtr swr;
  AudioFifoPtr fifo;
  FramePtr converted;
  bool audioResample = false;
  // Two-pass statistics.
  FilePtr passLog;
  AvBuffer statsIn;
  std::vector<BsfPtr> bsfs;
};

}  // namespace

class Runner {
 public:
  explicit Runner(Transcoder& t) : t_(t), s_(t.state_) {}
  ~Runner() {
    std::lock_guard<std::recursive_mutex> guard(CodecLock());
    for (InputStream& ist : ist_) ist.dec.reset();
  }
  void Transcode();
  // After a failure: finishes the outputs whose header was written, so what
  // was converted so far stays a playable file.
  void FinishAfterFailure();

 private:
  void Log(LogLevel level, const std::string& text) { t_.Log(level, text); }
  AVFormatContext* OutputContext(int slot) { return t_.outputs_[static_cast<size_t>(t_.outputSlots_[static_cast<size_t>(slot)])]->ctx.get(); }
  EngineOutput& Output(int slot) { return *t_.outputs_[static_cast<size_t>(t_.outputSlots_[static_cast<size_t>(slot)])]; }
  std::string StreamName(const OutputStream& o) const { return KindName(o.st->codecpar->codec_type); }

  void Prepare();
  void MapStreams();
  void SetUpCodecParameters(OutputStream& ost);
  void BuildFilterGraph(OutputStream& ost, const InputStream& ist);
  void OpenCodecs();
  void WriteHeaders();
  void LogStreamMapping();
  int OutputPacket(InputStream& ist, const AVPacket* pkt);
  void HandleDecodedFrame(InputStream& ist, AVFrame* frame);
  void CopyPacket(OutputStream& ost, InputStream& ist, const AVPacket* pkt);
  void EncodeVideo(OutputStream& ost, InputStream& ist, AVFrame* frame);
  void EncodeAudio(OutputStream& ost, InputStream& ist, AVFrame* frame);
  void EncodeSubtitle(OutputStream& ost, InputStream& ist, AVSubtitle* sub, std::int64_t pts);
  void SendAudioFromFifo(OutputStream& ost, bool flush);
  void SendToEncoder(OutputStream& ost, AVFrame* frame);
  void WriteFrame(OutputStream& ost, AVPacket* pkt);
  void FlushEncoders(InputStream* onlyFrom);
  void DrainResampler(OutputStream& ost);
  void ApplyVolume(AVFrame* frame, int samples);
  void WriteVstats(OutputStream& ost, int frameSize, int pictType);
  void ReportProgress(bool final);
  double SyncInputTime(const OutputStream& ost) const {
    return static_cast<double>(ist_[static_cast<size_t>(ost.syncSource)].pts - s_.startTime) / 1000000.0;
  }
  double WrittenTime(const OutputStream& ost) const {
    if (ost.encoding && ost.enc) return static_cast<double>(ost.syncOpts) * av_q2d(ost.enc->time_base);
    return static_cast<double>(writtenPts_[&ost - ost_.data()]) * av_q2d(ost.st->time_base);
  }

  Transcoder& t_;
  OptionState& s_;
  std::vector<InputStream> ist_;
  std::vector<int> istBase_;  // first record of each input
  std::vector<OutputStream> ost_;
  std::vector<std::int64_t> writtenPts_;  // last packet end per output stream (stream time base)
  bool join_ = false;
  int fileIndex_ = 0;
  std::int64_t startWall_ = 0, lastReport_ = 0;
  std::int64_t videoSize_ = 0, audioSize_ = 0, headerSize_ = 0;
  int dupFrames_ = 0, dropFrames_ = 0;
  bool dupOrDrop_ = false;
  bool noPacket_[kMaxFiles] = {};
  int noPacketCount_ = 0;
  bool eof_[kMaxFiles] = {};
  int qpHistogram_[52] = {};
  PacketPtr packet_;
  PacketPtr encoded_;
  FramePtr decoded_;
  FramePtr filtered_;
  FramePtr sending_;
  FilePtr vstats_;
  bool headersWritten_ = false;
  bool trailersWritten_ = false;
};

// ---------------------------------------------------------------- preparation

void Runner::Prepare() {
  for (size_t f = 0; f < t_.inputs_.size(); ++f) {
    istBase_.push_back(static_cast<int>(ist_.size()));
    AVFormatContext* ic = t_.inputs_[f]->opened.ctx.get();
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
      InputStream ist;
      ist.file = static_cast<int>(f);
      ist.index = static_cast<int>(i);
      ist.st = ic->streams[i];
      ist.decoder = i < t_.inputs_[f]->decoders.size() ? t_.inputs_[f]->decoders[i] : nullptr;
      if (s_.readAtNativeRate) ist.startWall = Now();
      ist_.push_back(std::move(ist));
    }
  }

  join_ = std::any_of(t_.outputs_.begin(), t_.outputs_.end(), [](const auto& o) { return o->join; }) &&
          t_.outputSlots_.size() > t_.outputs_.size();
  for (size_t slot = 0; slot < t_.outputSlots_.size(); ++slot) {
    EngineOutput& out = Output(static_cast<int>(slot));
    if (out.streams.empty()) {
      lib::avformat.av_dump_format(out.ctx.get(), static_cast<int>(slot), out.ctx->url, 1);
      throw EngineException(Format("Output file #%d does not contain any stream", static_cast<int>(slot)));
    }
    for (size_t i = 0; i < out.streams.size(); ++i) {
      OutputStream ost;
      ost.slot = static_cast<int>(slot);
      ost.index = static_cast<int>(i);
      ost.es = &out.streams[i];
      ost.st = out.streams[i].stream;
      ost.enc = out.streams[i].encoderContext.get();
      ost.encoding = !out.streams[i].copy;
      ost_.push_back(std::move(ost));
    }
  }
  writtenPts_.assign(ost_.size(), 0);
  MapStreams();
  for (OutputStream& ost : ost_) SetUpCodecParameters(ost);
  OpenCodecs();
  for (InputStream& ist : ist_) {
    ist.pts = 0;
    if (ist.dec && ist.st->avg_frame_rate.num && ist.st->avg_frame_rate.den && ist.dec->has_b_frames)
      ist.pts = -std::llround(static_cast<double>(ist.dec->has_b_frames) * 1000000.0 / av_q2d(ist.st->avg_frame_rate));
    ist.nextPts = kNoPts;
    ist.isStart = true;
  }
  for (const MetadataMap& m : s_.metadataMaps) {
    if (m.outFile < 0 || m.outFile >= t_.OutputCount())
      throw EngineException(Format("Invalid output file index %d map_meta_data(%d,%d)", m.outFile, m.outFile, m.inFile));
    if (m.inFile < 0 || m.inFile >= t_.InputCount())
      throw EngineException(Format("Invalid input file index %d map_meta_data(%d,%d)", m.inFile, m.outFile, m.inFile));
    lib::avutil.av_dict_copy(&t_.outputs_[static_cast<size_t>(m.outFile)]->ctx->metadata,
                             t_.inputs_[static_cast<size_t>(m.inFile)]->opened.ctx->metadata, AV_DICT_DONT_OVERWRITE);
  }
  WriteHeaders();
  if (s_.verbose >= 0) LogStreamMapping();
}

void Runner::MapStreams() {
  const auto& maps = s_.streamMaps;
  if (!maps.empty()) {
    if (maps.size() != ost_.size()) throw EngineException("Number of stream maps must match number of output streams");
    for (const StreamMap& m : maps) {
      auto exists = [&](int file, int stream) {
        return file >= 0 && file < t_.InputCount() && stream >= 0 &&
               stream < static_cast<int>(t_.inputs_[static_cast<size_t>(file)]->opened.ctx->nb_streams);
      };
      if (!exists(m.file, m.stream)) throw EngineException(Format("Could not find input stream #%d.%d", m.file, m.stream));
      if (!exists(m.syncFile, m.syncStream))
        throw EngineException(Format("Could not find sync stream #%d.%d", m.syncFile, m.syncStream));
    }
  }
  std::vector<bool> used(ist_.size(), false);
  for (size_t o = 0; o < ost_.size(); ++o) {
    OutputStream& ost = ost_[o];
    const AVMediaType kind = ost.es->kind == kVideo ? AVMEDIA_TYPE_VIDEO : ost.es->kind == kAudio ? AVMEDIA_TYPE_AUDIO
                                                                                                   : AVMEDIA_TYPE_SUBTITLE;
    int chosen = -1, sync = -1;
    if (!maps.empty()) {
      const StreamMap& m = maps[o];
      chosen = istBase_[static_cast<size_t>(m.file)] + m.stream;
      sync = istBase_[static_cast<size_t>(m.syncFile)] + m.syncStream;
      const AVMediaType inKind = ist_[static_cast<size_t>(chosen)].st->codecpar->codec_type;
      if (inKind != kind) {
        lib::avformat.av_dump_format(OutputContext(ost.slot), ost.slot, OutputContext(ost.slot)->url, 1);
        throw EngineException(Format("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", m.file, m.stream,
                                     KindName(inKind), ost.slot, ost.index, KindName(kind)));
      }
    } else {
      // The unused stream of the kind with the most analysed frames; the
      // frame count of the analysis is not public any more, so the
      // container's declared count stands in for it (the first of equals).
      std::int64_t best = -1;
      for (size_t i = 0; i < ist_.size(); ++i) {
        const InputStream& ist = ist_[i];
        if (ist.st->codecpar->codec_type != kind || used[i] || ist.st->discard == AVDISCARD_ALL) continue;
        if (join_ && ist.file != ost.slot) continue;
        if (ist.st->nb_frames > best) {
          best = ist.st->nb_frames;
          chosen = static_cast<int>(i);
        }
      }
      if (chosen < 0 && !join_)
        for (size_t i = 0; i < ist_.size(); ++i)
          if (ist_[i].st->codecpar->codec_type == kind && ist_[i].st->discard != AVDISCARD_ALL) chosen = static_cast<int>(i);
      if (chosen < 0)
        throw EngineException(Format("Could not find input stream matching output stream #%d.%d (%s)", ost.slot, ost.index,
                                     KindName(kind)));
      sync = chosen;
    }
    used[static_cast<size_t>(chosen)] = true;
    ist_[static_cast<size_t>(chosen)].discard = false;
    ost.source = chosen;
    ost.syncSource = sync;
  }
}

void Runner::SetUpCodecParameters(OutputStream& ost) {
  InputStream& ist = ist_[static_cast<size_t>(ost.source)];
  const AVCodecParameters* ipar = ist.st->codecpar;
  AVStream* st = ost.st;
  lib::avutil.av_dict_copy(&st->metadata, ist.st->metadata, AV_DICT_DONT_OVERWRITE);
  st->disposition = ist.st->disposition;

  if (!ost.encoding) {
    if (ipar->extradata_size > INT_MAX - 8) throw EngineException("icodec.extradata_size is invalid (too large)");
    if (ipar->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (t_.hooks_.HasCustomHook()) throw EngineException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
      if (!s_.videoHooks.empty()) throw EngineException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
      if (t_.hooks_.PreviewSwitches() != 0) throw EngineException("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
    } else if (ipar->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (s_.audioVolume != 256) throw EngineException("-acodec copy and -vol are incompatible (frames are not decoded)");
    } else if (ipar->codec_type != AVMEDIA_TYPE_SUBTITLE) {
      throw EngineException("invalid codec_type of output stream");
    }
    const std::uint32_t tag = st->codecpar->codec_tag;
    const AVRational sar = st->sample_aspect_ratio;
    lib::avcodec.avcodec_parameters_copy(st->codecpar, ipar);
    const AVOutputFormat* ofmt = OutputContext(ost.slot)->oformat;
    std::uint32_t inTag = ipar->codec_tag;
    bool keepTag = !ofmt->codec_tag || lib::avformat.av_codec_get_id(ofmt->codec_tag, inTag) == ipar->codec_id ||
                   lib::avformat.av_codec_get_tag(ofmt->codec_tag, ipar->codec_id) <= 0;
    st->codecpar->codec_tag = tag ? tag : (keepTag ? inTag : 0);
    if (ipar->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (ipar->codec_id == AV_CODEC_ID_AC3 || (ipar->codec_id == AV_CODEC_ID_MP3 && ipar->block_align == 1))
        st->codecpar->block_align = 0;
    }
    if (ipar->codec_type == AVMEDIA_TYPE_VIDEO && sar.num) st->sample_aspect_ratio = sar;
    else st->sample_aspect_ratio = ist.st->sample_aspect_ratio;
    st->time_base = ist.st->time_base;
    st->avg_frame_rate = ist.st->avg_frame_rate;
    st->r_frame_rate = ist.st->r_frame_rate;
    return;
  }

  ist.decoding = true;
  AVCodecContext* enc = ost.enc;
  if (!enc) throw EngineException("invalid codec_type of output stream");
  if (ipar->codec_type == AVMEDIA_TYPE_AUDIO) {
    ost.audioResample = enc->ch_layout.nb_channels != ipar->ch_layout.nb_channels || s_.audioSyncMethod > 1;
  } else if (ipar->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (enc->pix_fmt == AV_PIX_FMT_NONE) throw EngineException("Video pixel format is unknown, stream cannot be encoded");
    ost.cropTop = s_.cropTop;
    ost.cropBottom = s_.cropBottom;
    ost.cropLeft = s_.cropLeft;
    ost.cropRight = s_.cropRight;
    ost.cropNeeded = ost.cropTop || ost.cropBottom || ost.cropLeft || ost.cropRight;
    const int croppedW = ipar->width - ost.cropLeft - ost.cropRight;
    const int croppedH = ipar->height - ost.cropTop - ost.cropBottom;
    ost.resampleNeeded = croppedW != enc->width || croppedH != enc->height || ipar->format != enc->pix_fmt;
    ost.resampleWidth = croppedW;
    ost.resampleHeight = croppedH;
    ost.resampleFormat = ipar->format;
    ost.preWidth = ipar->width;
    ost.preHeight = ipar->height;
    if (!s_.videoFilters.empty()) {
      BuildFilterGraph(ost, ist);
    } else if (ost.resampleNeeded) {
      ost.scaled.reset(lib::avutil.av_frame_alloc());
      ost.scaled->width = enc->width;
      ost.scaled->height = enc->height;
      ost.scaled->format = enc->pix_fmt;
      if (!ost.scaled || lib::avutil.av_frame_get_buffer(ost.scaled.get(), 0) < 0)
        throw EngineException("Cannot allocate temp picture, check pix fmt");
      std::int64_t flags = 0;
      lib::avutil.av_opt_get_int(t_.generic_.SwsOpts.get(), "sws_flags", 0, &flags);
      ost.sws.reset(lib::swscale.sws_getContext(croppedW, croppedH, static_cast<AVPixelFormat>(ipar->format), enc->width,
                                                enc->height, enc->pix_fmt, static_cast<int>(flags), nullptr, nullptr, nullptr));
      if (!ost.sws) throw EngineException("Cannot get resampling context");
      enc->bits_per_raw_sample = 0;
    }
  } else if (ipar->codec_type != AVMEDIA_TYPE_SUBTITLE) {
    throw EngineException("invalid codec_type of output stream");
  }

  // Two-pass statistics.
  if (s_.pass != 0 && enc->codec_type == AVMEDIA_TYPE_VIDEO) {
    std::string name = Format("%s-%d.log", s_.passLogFile.empty() ? "ffmpeg2pass" : s_.passLogFile.c_str(),
                              static_cast<int>(&ost - ost_.data()));
    if (name.size() > 1023) name.resize(1023);
    if (ost.es->encoder && std::strcmp(ost.es->encoder->name, "libx264") == 0) {
      // libx264 keeps its own statistics file; give it ours.
      lib::avutil.av_opt_set(enc, "stats", name.c_str(), AV_OPT_SEARCH_CHILDREN);
    } else if (s_.pass == 1) {
      ost.passLog.reset(std::fopen(name.c_str(), "wb"));
      if (!ost.passLog) throw EngineException(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
    } else {
      std::int64_t size = 0;
      int ret = ReadWholeFile(name, ost.statsIn, size);
      if (ret == -12) throw EngineException(Format("Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
      if (ret != 0) throw EngineException(Format("Cannot read file: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
      enc->stats_in = reinterpret_cast<char*>(ost.statsIn.get());
    }
  }
}

void Runner::BuildFilterGraph(OutputStream& ost, const InputStream& ist) {
  const AVCodecParameters* ipar = ist.st->codecpar;
  AVCodecContext* enc = ost.enc;
  ost.graph.reset(lib::avfilter.avfilter_graph_alloc());
  AVFilterGraph* graph = ost.graph.get();
  std::string error;
  auto fail = [&](int ret) {
    char text[256] = "";
    if (ret < 0) lib::avutil.av_strerror(ret, text, sizeof text);
    throw EngineException(text[0] ? std::string("Error opening filters: ") + text : std::string("Error opening filters!"));
  };
  if (!graph) fail(AVERROR(ENOMEM));
  const AVRational sar = ist.st->sample_aspect_ratio.num ? ist.st->sample_aspect_ratio
                                                         : (ipar->sample_aspect_ratio.num ? ipar->sample_aspect_ratio : AVRational{1, 1});
  // Named arguments: the buffer source needs a time base now, and the crop
  // filter's positional order is width, height, x, y today.
  const std::string srcArgs = Format("video_size=%dx%d:pix_fmt=%d:time_base=1/1000000:pixel_aspect=%d/%d", ipar->width,
                                     ipar->height, ipar->format, sar.num, sar.den);
  int ret = lib::avfilter.avfilter_graph_create_filter(&ost.graphSource, lib::avfilter.avfilter_get_by_name("buffer"), "src",
                                                       srcArgs.c_str(), nullptr, graph);
  if (ret < 0) fail(ret);
  ret = lib::avfilter.avfilter_graph_create_filter(&ost.graphSink, lib::avfilter.avfilter_get_by_name("buffersink"), "out",
                                                   nullptr, nullptr, graph);
  if (ret < 0) fail(ret);
  const int formats[] = {enc->pix_fmt, AV_PIX_FMT_NONE};
  ret = lib::avutil.av_opt_set_bin(ost.graphSink, "pix_fmts", reinterpret_cast<const std::uint8_t*>(formats),
                                   sizeof(formats[0]), AV_OPT_SEARCH_CHILDREN);
  if (ret < 0) fail(ret);
  AVFilterContext* last = ost.graphSource;
  std::int64_t swsFlags = 0;
  lib::avutil.av_opt_get_int(t_.generic_.SwsOpts.get(), "sws_flags", 0, &swsFlags);
  const int croppedW = ipar->width - ost.cropLeft - ost.cropRight, croppedH = ipar->height - ost.cropTop - ost.cropBottom;
  auto append = [&](const char* filter, const std::string& args, const char* name) {
    AVFilterContext* f = nullptr;
    int r = lib::avfilter.avfilter_graph_create_filter(&f, lib::avfilter.avfilter_get_by_name(filter), name, args.c_str(), nullptr, graph);
    if (r < 0) fail(r);
    r = lib::avfilter.avfilter_link(last, 0, f, 0);
    if (r < 0) fail(r);
    last = f;
  };
  if (ost.cropNeeded) append("crop", Format("w=%d:h=%d:x=%d:y=%d", croppedW, croppedH, ost.cropLeft, ost.cropTop), "crop");
  if (croppedW != enc->width || croppedH != enc->height)
    append("scale", Format("%d:%d:sws_flags=%d", enc->width, enc->height, static_cast<int>(swsFlags)), "scale");
  graph->scale_sws_opts = lib::avutil.av_strdup(Format("flags=0x%X", static_cast<unsigned>(swsFlags)).c_str());

  AVFilterInOut* outputs = lib::avfilter.avfilter_inout_alloc();
  AVFilterInOut* inputs = lib::avfilter.avfilter_inout_alloc();
  if (!outputs || !inputs) {
    lib::avfilter.avfilter_inout_free(&outputs);
    lib::avfilter.avfilter_inout_free(&inputs);
    fail(AVERROR(ENOMEM));
  }
  outputs->name = lib::avutil.av_strdup("in");
  outputs->filter_ctx = last;
  outputs->pad_idx = 0;
  outputs->next = nullptr;
  inputs->name = lib::avutil.av_strdup("out");
  inputs->filter_ctx = ost.graphSink;
  inputs->pad_idx = 0;
  inputs->next = nullptr;
  ret = lib::avfilter.avfilter_graph_parse_ptr(graph, s_.videoFilters.c_str(), &inputs, &outputs, nullptr);
  lib::avfilter.avfilter_inout_free(&outputs);
  lib::avfilter.avfilter_inout_free(&inputs);
  if (ret < 0) fail(ret);
  ret = lib::avfilter.avfilter_graph_config(graph, nullptr);
  if (ret < 0) fail(ret);
  enc->width = lib::avfilter.av_buffersink_get_w(ost.graphSink);
  enc->height = lib::avfilter.av_buffersink_get_h(ost.graphSink);
  const AVRational sinkSar = lib::avfilter.av_buffersink_get_sample_aspect_ratio(ost.graphSink);
  if (sinkSar.num) {
    enc->sample_aspect_ratio = sinkSar;
    ost.st->sample_aspect_ratio = sinkSar;
  }
}

void Runner::OpenCodecs() {
  auto failLater = [this](const std::string& text) {
    if (s_.verbose >= 0) LogStreamMapping();
    Log(LogLevel::llError, text);
    throw EngineException(text);
  };
  for (OutputStream& ost : ost_) {
    if (!ost.encoding || (join_ && ost.slot != 0)) continue;
    const AVCodec* codec = ost.es->encoder ? ost.es->encoder : lib::avcodec.avcodec_find_encoder(ost.enc->codec_id);
    if (!codec)
      failLater(Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)", ost.enc->codec_id, ost.slot, ost.index,
                       StreamName(ost).c_str()));
    // Rate tolerance and the other derived options need the final values.
    t_.ApplyCodecOptions(ost.enc, AV_OPT_FLAG_ENCODING_PARAM);
    if (ost.enc->codec_type == AVMEDIA_TYPE_VIDEO && ost.enc->sample_aspect_ratio.num)
      ost.st->sample_aspect_ratio = ost.enc->sample_aspect_ratio;
    int ret;
    {
      std::lock_guard<std::recursive_mutex> guard(CodecLock());
      ret = lib::avcodec.avcodec_open2(ost.enc, codec, nullptr);
    }
    if (ret < 0)
      failLater(Format("Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters such as "
                       "bit_rate, rate, width or height. Please check error log message to find out more detail information.",
                       ost.slot, ost.index, StreamName(ost).c_str()));
    lib::avcodec.avcodec_parameters_from_context(ost.st->codecpar, ost.enc);
    ost.st->time_base = ost.enc->time_base;
    if (ost.enc->codec_type == AVMEDIA_TYPE_VIDEO) ost.st->avg_frame_rate = ost.enc->framerate;
    headerSize_ += ost.enc->extradata_size;
  }
  // Every audio output record gets its sample FIFO, also the later slots of
  // a join output that share the first slot's encoder.
  for (OutputStream& ost : ost_) {
    if (!ost.encoding || ost.enc->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    ost.fifo.reset(lib::avutil.av_audio_fifo_alloc(ost.enc->sample_fmt, ost.enc->ch_layout.nb_channels, 1024));
    if (!ost.fifo) throw EngineException("av_fifo_alloc fail");
  }
  for (InputStream& ist : ist_) {
    if (!ist.decoding) continue;
    const AVCodec* codec = ist.decoder ? ist.decoder : lib::avcodec.avcodec_find_decoder(ist.st->codecpar->codec_id);
    const std::string kind = KindName(ist.st->codecpar->codec_type);
    if (!codec)
      failLater(Format("Decoder (codec id %d) not found for input stream #%d.%d (%s)", ist.st->codecpar->codec_id, ist.file,
                       ist.index, kind.c_str()));
    ist.dec.reset(lib::avcodec.avcodec_alloc_context3(codec));
    int ret = ist.dec ? lib::avcodec.avcodec_parameters_to_context(ist.dec.get(), ist.st->codecpar) : AVERROR(ENOMEM);
    if (ret >= 0) {
      ist.dec->pkt_timebase = ist.st->time_base;
      ist.dec->thread_count = s_.decodingThreads;
      t_.ApplyCodecOptions(ist.dec.get(), AV_OPT_FLAG_DECODING_PARAM);
      std::lock_guard<std::recursive_mutex> guard(CodecLock());
      ret = lib::avcodec.avcodec_open2(ist.dec.get(), codec, nullptr);
    }
    if (ret < 0)
      failLater(Format("Error while opening decoder for input stream #%d.%d (%s)", ist.file, ist.index, kind.c_str()));
  }
}

void Runner::WriteHeaders() {
  for (size_t i = 0; i < t_.outputs_.size(); ++i) {
    EngineOutput& out = *t_.outputs_[i];
    AVDictionary* options = nullptr;
    lib::avutil.av_dict_copy(&options, out.muxerOptions.get(), 0);
    int ret = lib::avformat.avformat_write_header(out.ctx.get(), &options);
    lib::avutil.av_dict_free(&options);
    if (ret < 0) {
      const std::string text = Format("Could not write header for output file #%d (incorrect codec parameters ?)", static_cast<int>(i));
      if (s_.verbose >= 0) LogStreamMapping();
      Log(LogLevel::llError, text);
      throw EngineException(text);
    }
  }
  headersWritten_ = true;
  // Bitstream filters work in the stream time base the muxer settled on.
  for (OutputStream& ost : ost_) {
    if (ost.slot != 0 && join_) continue;
    for (const std::string& spec : ost.es->bitstreamFilters) {
      AVBSFContext* raw = nullptr;
      if (lib::avcodec.av_bsf_list_parse_str(spec.c_str(), &raw) < 0) throw EngineException(Format("Unknown bitstream filter %s", spec.c_str()));
      BsfPtr bsf(raw);
      lib::avcodec.avcodec_parameters_copy(bsf->par_in, ost.st->codecpar);
      bsf->time_base_in = ost.st->time_base;
      if (lib::avcodec.av_bsf_init(bsf.get()) < 0) throw EngineException(Format("Unknown bitstream filter %s", spec.c_str()));
      ost.bsfs.push_back(std::move(bsf));
    }
  }
  bool allRtp = !t_.outputs_.empty();
  for (const auto& out : t_.outputs_) allRtp = allRtp && std::strcmp(out->ctx->oformat->name, "rtp") == 0;
  if (allRtp) {
    std::vector<AVFormatContext*> contexts;
    for (const auto& out : t_.outputs_) contexts.push_back(out->ctx.get());
    char sdp[2048] = "";
    lib::avformat.av_sdp_create(contexts.data(), static_cast<int>(contexts.size()), sdp, sizeof sdp);
    Log(LogLevel::llInfo, std::string("SDP:\r\n") + sdp);
  }
}

void Runner::LogStreamMapping() {
  Log(LogLevel::llInfo, "Stream mapping:");
  for (const OutputStream& ost : ost_) {
    const InputStream& src = ist_[static_cast<size_t>(ost.source)];
    std::string line = Format("  Stream #%d.%d -> #%d.%d (%s)", src.file, src.index, ost.slot, ost.index, StreamName(ost).c_str());
    if (ost.syncSource != ost.source) {
      const InputStream& sync = ist_[static_cast<size_t>(ost.syncSource)];
      line += Format(" [sync #%d.%d (%s)]", sync.file, sync.index, KindName(sync.st->codecpar->codec_type));
    }
    Log(LogLevel::llInfo, line);
  }
}

// ---------------------------------------------------------------- the loop

void Runner::Transcode() {
  packet_.reset(lib::avcodec.av_packet_alloc());
  encoded_.reset(lib::avcodec.av_packet_alloc());
  decoded_.reset(lib::avutil.av_frame_alloc());
  filtered_.reset(lib::avutil.av_frame_alloc());
  sending_.reset(lib::avutil.av_frame_alloc());
  if (!packet_ || !encoded_ || !decoded_ || !filtered_ || !sending_) throw EngineException("Not enough memory");
  Prepare();
  startWall_ = lastReport_ = Now();

  while (!t_.stop_) {
    t_.WaitWhilePaused();
    if (t_.stop_) break;
    double minOutput = 1e100, minInput = 1e100;
    int file = -1;
    if (join_) {
      file = fileIndex_;
      for (OutputStream& ost : ost_) {
        if (ost.slot != fileIndex_) continue;
        minOutput = std::min(minOutput, WrittenTime(ost));
        if (ost.frameNumber >= s_.maxFrames[ost.es->kind]) file = -1;
      }
    } else {
      for (OutputStream& ost : ost_) {
        const InputStream& ist = ist_[static_cast<size_t>(ost.source)];
        if (ist.pastRecording || eof_[ist.file]) continue;
        if (!noPacket_[ist.file]) {
          const double ipts = static_cast<double>(ist.pts);
          if (ipts < minInput) {
            minInput = ipts;
            if (s_.inputSync) file = ist.file;
          }
          const double opts = WrittenTime(ost);
          if (opts < minOutput) {
            minOutput = opts;
            if (!s_.inputSync) file = ist.file;
          }
        }
        if (ost.frameNumber >= s_.maxFrames[ost.es->kind]) {
          file = -1;
          break;
        }
      }
    }
    if (file < 0) {
      if (join_ || noPacketCount_ == 0) break;
      std::fill(std::begin(noPacket_), std::end(noPacket_), false);
      noPacketCount_ = 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (s_.limitFileSize > 0) {
      AVFormatContext* first = OutputContext(0);
      if (first->pb && lib::avformat.avio_seek(first->pb, 0, SEEK_CUR) >= s_.limitFileSize) break;
    }

    AVFormatContext* ic = t_.inputs_[static_cast<size_t>(file)]->opened.ctx.get();
    int ret = lib::avformat.av_read_frame(ic, packet_.get());
    if (ret == AVERROR(EAGAIN)) {
      noPacket_[file] = true;
      ++noPacketCount_;
      continue;
    }
    if (ret < 0) {
      eof_[file] = true;
      if (s_.shortest && !join_) break;
      if (join_) {
        // Play the next input into the same output.
        for (InputStream& ist : ist_) {
          if (ist.file != file || !ist.decoding || ist.ended) continue;
          OutputPacket(ist, nullptr);
          ist.ended = true;
        }
        // The encoders go on from one input to the next, so the output stays
        // one continuous stream: no drained encoder has to start again (with
        // its start-up delay) in the middle of the file. The sound still
        // waiting in this slot's resampler and FIFO moves to the next slot.
        double largest = 0;
        for (OutputStream& ost : ost_)
          if (ost.slot == fileIndex_) {
            largest = std::max(largest, WrittenTime(ost));
            ost.active = false;
          }
        if (fileIndex_ + 1 >= t_.InputCount()) break;
        for (size_t i = 0; i < ost_.size(); ++i) {
          OutputStream& o = ost_[i];
          if (o.slot != fileIndex_ + 1) continue;
          for (OutputStream& prev : ost_) {
            if (prev.slot != fileIndex_ || prev.index != o.index) continue;
            o.syncOpts = prev.syncOpts;
            o.frameNumber = prev.frameNumber;
            writtenPts_[i] = writtenPts_[static_cast<size_t>(&prev - ost_.data())];
            if (prev.fifo && o.fifo) {
              DrainResampler(prev);
              const int waiting = lib::avutil.av_audio_fifo_size(prev.fifo.get());
              if (waiting > 0) {
                FramePtr moved(lib::avutil.av_frame_alloc());
                moved->nb_samples = waiting;
                moved->format = prev.enc->sample_fmt;
                lib::avutil.av_channel_layout_copy(&moved->ch_layout, &prev.enc->ch_layout);
                if (lib::avutil.av_frame_get_buffer(moved.get(), 0) < 0) throw EngineException("Not enough memory");
                lib::avutil.av_audio_fifo_read(prev.fifo.get(), reinterpret_cast<void**>(moved->extended_data), waiting);
                lib::avutil.av_audio_fifo_write(o.fifo.get(), reinterpret_cast<void**>(moved->extended_data), waiting);
              }
            }
          }
        }
        ++fileIndex_;
        t_.inputs_[static_cast<size_t>(fileIndex_)]->tsOffset += std::llround(largest * 1000000.0);
      }
      continue;
    }

    std::fill(std::begin(noPacket_), std::end(noPacket_), false);
    noPacketCount_ = 0;
    AVPacket* pkt = packet_.get();
    if (s_.packetDump) lib::avformat.av_pkt_dump_log2(nullptr, AV_LOG_INFO, pkt, s_.hexDump, ic->streams[pkt->stream_index]);
    const int first = istBase_[static_cast<size_t>(file)];
    if (pkt->stream_index >= 0 && pkt->stream_index < static_cast<int>(ic->nb_streams)) {
      InputStream& ist = ist_[static_cast<size_t>(first + pkt->stream_index)];
      EngineInput& input = *t_.inputs_[static_cast<size_t>(file)];
      if (!ist.discard) {
        const AVRational tb = ist.st->time_base;
        const std::int64_t offset = lib::avutil.av_rescale_q(input.tsOffset, kUs, tb);
        if (pkt->dts != kNoPts) pkt->dts += offset;
        if (pkt->pts != kNoPts) pkt->pts += offset;
        const double scale = ist.index < kMaxStreams ? input.tsScale[ist.index] : 0;
        if (scale != 0) {
          if (pkt->dts != kNoPts) pkt->dts = static_cast<std::int64_t>(static_cast<double>(pkt->dts) * scale);
          if (pkt->pts != kNoPts) pkt->pts = static_cast<std::int64_t>(static_cast<double>(pkt->pts) * scale);
        }
        if (pkt->dts != kNoPts && ist.nextPts != kNoPts && (ic->iformat->flags & AVFMT_TS_DISCONT)) {
          const std::int64_t dtsUs = lib::avutil.av_rescale_q(pkt->dts, tb, kUs);
          const std::int64_t delta = dtsUs - ist.nextPts;
          if ((std::llabs(delta) > static_cast<std::int64_t>(s_.dtsDeltaThreshold * 1000000.0) || dtsUs + 1 < ist.pts) &&
              !s_.copyTimestamps) {
            input.tsOffset -= delta;
            if (s_.verbose > 2)
              Log(LogLevel::llVerbose, Format("timestamp discontinuity %lld, new offset= %lld", static_cast<long long>(delta),
                                              static_cast<long long>(input.tsOffset)));
            const std::int64_t shift = lib::avutil.av_rescale_q(delta, kUs, tb);
            pkt->dts -= shift;
            if (pkt->pts != kNoPts) pkt->pts -= shift;
          }
        }
        const bool pastEnd = s_.recordingTime != INT64_MAX && pkt->pts != kNoPts &&
                             lib::avutil.av_compare_ts(pkt->pts, tb, s_.recordingTime + s_.startTime, kUs) >= 0;
        if (pastEnd) {
          ist.pastRecording = true;
        } else if (OutputPacket(ist, pkt) < 0) {
          const std::string text = Format("Error while decoding stream #%d.%d (%s)", ist.file, ist.index,
                                          KindName(ist.st->codecpar->codec_type));
          if (s_.exitOnError) throw EngineException(text);
          if (s_.verbose >= 0) Log(LogLevel::llVerbose, text);
          lib::avcodec.av_packet_unref(pkt);
          continue;
        }
      }
    }
    lib::avcodec.av_packet_unref(pkt);
    const std::int64_t now = Now();
    if (now - lastReport_ > t_.progressInterval_) {
      lastReport_ = now;
      ReportProgress(false);
    }
  }

  for (InputStream& ist : ist_)
    if (ist.decoding && !ist.ended && !ist.discard) OutputPacket(ist, nullptr);
  FlushEncoders(nullptr);
  trailersWritten_ = true;
  for (size_t i = 0; i < t_.outputs_.size(); ++i) lib::avformat.av_write_trailer(t_.outputs_[i]->ctx.get());
  fileIndex_ = -1;
  ReportProgress(true);
  t_.finished_ = !t_.stop_;
  t_.duplicatedFrames_ = dupFrames_;
  t_.droppedFrames_ = dropFrames_;
}

int Runner::OutputPacket(InputStream& ist, const AVPacket* pkt) {
  if (ist.nextPts == kNoPts) ist.nextPts = ist.pts;
  if (pkt && pkt->dts != kNoPts) ist.nextPts = ist.pts = lib::avutil.av_rescale_q(pkt->dts, ist.st->time_base, kUs);
  const AVMediaType type = ist.st->codecpar->codec_type;

  if (!ist.decoding) {
    if (!pkt) return 0;
    ist.pts = ist.nextPts;
    if (pkt->duration > 0) {
      ist.nextPts += lib::avutil.av_rescale_q(pkt->duration, ist.st->time_base, kUs);
    } else if (type == AVMEDIA_TYPE_AUDIO && ist.st->codecpar->sample_rate > 0) {
      ist.nextPts += static_cast<std::int64_t>(ist.st->codecpar->frame_size) * 1000000 / ist.st->codecpar->sample_rate;
    } else if (type == AVMEDIA_TYPE_VIDEO && ist.st->r_frame_rate.num) {
      ist.nextPts += lib::avutil.av_rescale_q(1, AVRational{ist.st->r_frame_rate.den, ist.st->r_frame_rate.num}, kUs);
    }
    if (ist.pts >= s_.startTime)
      for (OutputStream& ost : ost_)
        if (ost.source == static_cast<int>(&ist - ist_.data()) && !ost.encoding && (!join_ || ost.slot == fileIndex_))
          CopyPacket(ost, ist, pkt);
    return 0;
  }

  if (type == AVMEDIA_TYPE_SUBTITLE) {
    AVSubtitle sub{};
    int got = 0;
    PacketPtr flush;
    const AVPacket* in = pkt;
    if (!in) {
      flush.reset(lib::avcodec.av_packet_alloc());
      in = flush.get();
    }
    if (lib::avcodec.avcodec_decode_subtitle2(ist.dec.get(), &sub, &got, const_cast<AVPacket*>(in)) < 0) return -1;
    if (got) {
      const std::int64_t pts = pkt && pkt->pts != kNoPts ? lib::avutil.av_rescale_q(pkt->pts, ist.st->time_base, kUs) : kNoPts;
      if (ist.pts >= s_.startTime)
        for (OutputStream& ost : ost_)
          if (ost.source == static_cast<int>(&ist - ist_.data()) && ost.encoding) EncodeSubtitle(ost, ist, &sub, pts);
      lib::avcodec.avsubtitle_free(&sub);
    }
    return 0;
  }
  if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) return -1;
  if (!pkt) {
    if (ist.drained) return 0;
    ist.drained = true;
  }
  int ret = lib::avcodec.avcodec_send_packet(ist.dec.get(), pkt);
  if (ret < 0 && ret != AVERROR_EOF) return -1;
  int frames = 0;
  for (;;) {
    ret = lib::avcodec.avcodec_receive_frame(ist.dec.get(), decoded_.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) return -1;
    if (++frames == 2 && (s_.verbose > 1 || (s_.verbose > 0 && !ist.warnedMultipleFrames)) && type == AVMEDIA_TYPE_VIDEO) {
      Log(LogLevel::llError, Format("Multiple frames in a packet from stream %d", ist.index));
      ist.warnedMultipleFrames = true;
    }
    AVFrame* frame = decoded_.get();
    // The decoder's own timestamp where it has one; otherwise the time the
    // previous frame said comes next.
    const std::int64_t bet = frame->best_effort_timestamp;
    ist.pts = bet != kNoPts ? lib::avutil.av_rescale_q(bet, ist.st->time_base, kUs) : ist.nextPts;
    std::int64_t duration = 0;
    if (type == AVMEDIA_TYPE_AUDIO) {
      if (frame->sample_rate > 0) duration = static_cast<std::int64_t>(frame->nb_samples) * 1000000 / frame->sample_rate;
    } else if (frame->pkt_duration > 0) {
      duration = lib::avutil.av_rescale_q(frame->pkt_duration, ist.st->time_base, kUs);
    } else {
      const AVRational rate = lib::avformat.av_guess_frame_rate(t_.inputs_[static_cast<size_t>(ist.file)]->opened.ctx.get(), ist.st, frame);
      if (rate.num && rate.den)
        duration = static_cast<std::int64_t>(1000000.0 * (1 + frame->repeat_pict / 2.0) * rate.den / rate.num);
    }
    ist.nextPts = ist.pts + duration;
    HandleDecodedFrame(ist, frame);
    lib::avutil.av_frame_unref(frame);
  }
  return 0;
}

void Runner::HandleDecodedFrame(InputStream& ist, AVFrame* frame) {
  if (s_.readAtNativeRate) {
    const std::int64_t ahead = ist.pts - (Now() - ist.startWall);
    if (ahead > 1000) std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
  }
  // Pictures and sound before the seek target (negative times after the
  // input's offset) are decoded for the references but not passed on.
  if (ist.pts < s_.startTime) return;
  const int self = static_cast<int>(&ist - ist_.data());
  if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) t_.hooks_.PreProcess(frame, ist.pts);
  for (OutputStream& ost : ost_) {
    if (ost.source != self || !ost.encoding || (join_ && ost.slot != fileIndex_)) continue;
    if (frame->format < 0) continue;
    if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      EncodeAudio(ost, ist, frame);
    } else if (ost.graph) {
      frame->pts = ist.pts;
      if (!frame->sample_aspect_ratio.num) frame->sample_aspect_ratio = ist.st->sample_aspect_ratio;
      if (lib::avfilter.av_buffersrc_add_frame_flags(ost.graphSource, frame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
        throw EngineException("Error while filtering");
      while (lib::avfilter.av_buffersink_get_frame(ost.graphSink, filtered_.get()) >= 0) {
        if (filtered_->sample_aspect_ratio.num) ost.enc->sample_aspect_ratio = filtered_->sample_aspect_ratio;
        EncodeVideo(ost, ist, filtered_.get());
        lib::avutil.av_frame_unref(filtered_.get());
      }
    } else {
      EncodeVideo(ost, ist, frame);
    }
  }
}

void Runner::CopyPacket(OutputStream& ost, InputStream& ist, const AVPacket* pkt) {
  if (ost.frameNumber == 0 && !(pkt->flags & AV_PKT_FLAG_KEY) && !s_.copyInitialNonKeyframes) return;
  PacketPtr out(lib::avcodec.av_packet_clone(pkt));
  if (!out) throw EngineException("Not enough memory");
  const AVRational otb = ost.st->time_base;
  const std::int64_t start = lib::avutil.av_rescale_q(s_.startTime, kUs, otb);
  out->stream_index = ost.st->index;
  out->pts = pkt->pts != kNoPts ? lib::avutil.av_rescale_q(pkt->pts, ist.st->time_base, otb) - start : kNoPts;
  out->dts = (pkt->dts == kNoPts ? lib::avutil.av_rescale_q(ist.pts, kUs, otb) : lib::avutil.av_rescale_q(pkt->dts, ist.st->time_base, otb)) - start;
  out->duration = lib::avutil.av_rescale_q(pkt->duration, ist.st->time_base, otb);
  const std::int64_t end = (out->pts != kNoPts ? out->pts : out->dts) + out->duration;
  const size_t self = static_cast<size_t>(&ost - ost_.data());
  writtenPts_[self] = std::max(writtenPts_[self], end);
  const int size = out->size;
  WriteFrame(ost, out.get());
  ++ost.frameNumber;
  if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    videoSize_ += size;
    ++ost.syncOpts;
  } else if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
    audioSize_ += size;
  }
}

// ---------------------------------------------------------------- encoding

void Runner::WriteFrame(OutputStream& ost, AVPacket* pkt) {
  pkt->stream_index = ost.st->index;
  AVFormatContext* oc = OutputContext(ost.slot);
  if (ost.bsfs.empty()) {
    int ret = lib::avformat.av_interleaved_write_frame(oc, pkt);
    if (ret < 0) throw EngineException(ErrorText("av_interleaved_write_frame()", ret));
    return;
  }
  // Through the chain, one filter after the other; a filter that fails lets
  // the packet go on unchanged unless errors are to end the run.
  std::vector<PacketPtr> packets;
  packets.emplace_back(lib::avcodec.av_packet_clone(pkt));
  lib::avcodec.av_packet_unref(pkt);
  for (BsfPtr& bsf : ost.bsfs) {
    std::vector<PacketPtr> next;
    for (PacketPtr& p : packets) {
      PacketPtr keep(lib::avcodec.av_packet_clone(p.get()));
      int ret = lib::avcodec.av_bsf_send_packet(bsf.get(), p.get());
      if (ret < 0) {
        char text[256] = "";
        lib::avutil.av_strerror(ret, text, sizeof text);
        const std::string message = Format("%s failed for stream %d, codec %s", bsf->filter->name, ost.st->index,
                                           ost.encoding && ost.enc->codec ? ost.enc->codec->name : "copy") + ": " + text;
        if (s_.exitOnError) throw EngineException(message);
        Log(LogLevel::llError, message);
        next.push_back(std::move(keep));
        continue;
      }
      for (;;) {
        PacketPtr outPkt(lib::avcodec.av_packet_alloc());
        ret = lib::avcodec.av_bsf_receive_packet(bsf.get(), outPkt.get());
        if (ret < 0) break;
        next.push_back(std::move(outPkt));
      }
    }
    packets = std::move(next);
  }
  for (PacketPtr& p : packets) {
    p->stream_index = ost.st->index;
    int ret = lib::avformat.av_interleaved_write_frame(oc, p.get());
    if (ret < 0) throw EngineException(ErrorText("av_interleaved_write_frame()", ret));
  }
}

// Sends one frame (or the end of stream) and writes what comes out.
void Runner::SendToEncoder(OutputStream& ost, AVFrame* frame) {
  AVCodecContext* enc = ost.enc;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  int ret = lib::avcodec.avcodec_send_frame(enc, frame);
  if (ret < 0 && ret != AVERROR_EOF) throw EngineException(video ? "Video encoding failed" : "Audio encoding failed");
  for (;;) {
    ret = lib::avcodec.avcodec_receive_packet(enc, encoded_.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) throw EngineException(video ? "Video encoding failed" : "Audio encoding failed");
    AVPacket* pkt = encoded_.get();
    int pictType = AV_PICTURE_TYPE_NONE;
    size_t sideSize = 0;
    if (const std::uint8_t* q = lib::avcodec.av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &sideSize); q && sideSize >= 5) {
      const std::uint32_t lambda = static_cast<std::uint32_t>(q[0]) | static_cast<std::uint32_t>(q[1]) << 8 |
                                   static_cast<std::uint32_t>(q[2]) << 16 | static_cast<std::uint32_t>(q[3]) << 24;
      if (lambda <= static_cast<std::uint32_t>(FF_LAMBDA_MAX)) ost.quality = static_cast<float>(lambda);
      pictType = q[4];
    }
    if (!video) pkt->flags |= AV_PKT_FLAG_KEY;
    lib::avcodec.av_packet_rescale_ts(pkt, enc->time_base, ost.st->time_base);
    const int size = pkt->size;
    (video ? videoSize_ : audioSize_) += size;
    WriteFrame(ost, pkt);
    if (video) {
      if (ost.passLog && enc->stats_out) std::fputs(enc->stats_out, ost.passLog.get());
      if (!s_.vstatsFileName.empty()) WriteVstats(ost, size, pictType);
    }
  }
}

void Runner::EncodeVideo(OutputStream& ost, InputStream& ist, AVFrame* in) {
  (void)ist;
  AVCodecContext* enc = ost.enc;
  const AVFormatContext* oc = OutputContext(ost.slot);
  const double syncIpts = SyncInputTime(ost) / av_q2d(enc->time_base);
  const double vdelta = syncIpts - static_cast<double>(ost.syncOpts);
  std::int64_t frames = 1;
  if (s_.videoSyncMethod == 0) {
    ost.syncOpts = std::llround(syncIpts);
  } else if (vdelta < -1.1) {
    frames = 0;
  } else if (s_.videoSyncMethod == 2 || (s_.videoSyncMethod < 0 && (oc->oformat->flags & AVFMT_VARIABLE_FPS))) {
    if (vdelta <= -0.6) frames = 0;
    else if (vdelta > 0.6) ost.syncOpts = std::llround(syncIpts);
  } else if (vdelta > 1.1) {
    frames = std::llround(vdelta);
  }
  if (frames == 0) {
    ++dropFrames_;
    dupOrDrop_ = true;
    if (s_.verbose > 2) Log(LogLevel::llVerbose, "*** drop!");
  } else if (frames > 1) {
    dupFrames_ += static_cast<int>(frames - 1);
    dupOrDrop_ = true;
    if (s_.verbose > 2) Log(LogLevel::llVerbose, Format("*** %d dup!", static_cast<int>(frames - 1)));
  }
  frames = std::min<std::int64_t>(frames, s_.maxFrames[kVideo] - ost.frameNumber);
  if (frames <= 0) return;

  AVFrame* picture = in;
  if (!ost.graph) {
    const int w = in->width - ost.cropLeft - ost.cropRight, h = in->height - ost.cropTop - ost.cropBottom;
    if (w != ost.resampleWidth || h != ost.resampleHeight || in->format != ost.resampleFormat) {
      const char* fmtName = lib::avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(in->format));
      Log(LogLevel::llQuiet, Format("Input Stream #%d.%d frame size changed to %dx%d, %s", ist.file, ist.index, in->width,
                                    in->height, fmtName ? fmtName : "none"));
      if (!ost.resampleNeeded) throw EngineException("Assertion failure");
      // Crop bands follow the picture: scaled to the new size, kept even.
      auto band = [](int size, int value, int pre) { return pre > 0 ? (size * value / pre) & ~1 : value; };
      ost.cropTop = band(in->height, ost.cropTop, ost.preHeight);
      ost.cropBottom = band(in->height, ost.cropBottom, ost.preHeight);
      ost.cropLeft = band(in->width, ost.cropLeft, ost.preWidth);
      ost.cropRight = band(in->width, ost.cropRight, ost.preWidth);
      ost.preWidth = in->width;
      ost.preHeight = in->height;
      ost.resampleWidth = in->width - ost.cropLeft - ost.cropRight;
      ost.resampleHeight = in->height - ost.cropTop - ost.cropBottom;
      ost.resampleFormat = in->format;
      std::int64_t flags = 0;
      lib::avutil.av_opt_get_int(t_.generic_.SwsOpts.get(), "sws_flags", 0, &flags);
      ost.sws.reset(lib::swscale.sws_getContext(ost.resampleWidth, ost.resampleHeight, static_cast<AVPixelFormat>(in->format),
                                                enc->width, enc->height, enc->pix_fmt, static_cast<int>(flags), nullptr, nullptr, nullptr));
      if (!ost.sws) throw EngineException("Cannot get resampling context");
    }
    if (ost.cropNeeded) {
      FramePtr cropped(lib::avutil.av_frame_clone(in));
      if (!cropped) throw EngineException("Not enough memory");
      cropped->crop_top = static_cast<size_t>(ost.cropTop);
      cropped->crop_bottom = static_cast<size_t>(ost.cropBottom);
      cropped->crop_left = static_cast<size_t>(ost.cropLeft);
      cropped->crop_right = static_cast<size_t>(ost.cropRight);
      if (lib::avutil.av_frame_apply_cropping(cropped.get(), AV_FRAME_CROP_UNALIGNED) < 0) {
        if (s_.exitOnError) throw EngineException("error cropping picture");
        Log(LogLevel::llError, "error cropping picture");
        return;
      }
      lib::avutil.av_frame_unref(filtered_.get());
      lib::avutil.av_frame_move_ref(filtered_.get(), cropped.get());
      picture = filtered_.get();
    }
    if (ost.resampleNeeded) {
      if (lib::avutil.av_frame_make_writable(ost.scaled.get()) < 0) throw EngineException("Not enough memory");
      lib::swscale.sws_scale(ost.sws.get(), picture->data, picture->linesize, 0, picture->height, ost.scaled->data,
                             ost.scaled->linesize);
      lib::avutil.av_frame_copy_props(ost.scaled.get(), picture);
      picture = ost.scaled.get();
    }
  }

  for (std::int64_t i = 0; i < frames && !t_.stop_; ++i) {
    if (i > 0) t_.WaitWhilePaused();
    lib::avutil.av_frame_unref(sending_.get());
    if (lib::avutil.av_frame_ref(sending_.get(), picture) < 0) throw EngineException("Not enough memory");
    AVFrame* f = sending_.get();
    f->pts = ost.syncOpts;
    f->pict_type = AV_PICTURE_TYPE_NONE;  // the encoder chooses
    if (enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME))
      f->top_field_first = s_.topFieldFirst >= 0 ? s_.topFieldFirst : in->top_field_first;
    if (enc->flags & AV_CODEC_FLAG_QSCALE) f->quality = enc->global_quality;
    t_.hooks_.CapturePreview(f, lib::avutil.av_rescale_q(ost.syncOpts, enc->time_base, kUs));
    SendToEncoder(ost, f);
    ++ost.syncOpts;
    ++ost.frameNumber;
  }
}

void Runner::ApplyVolume(AVFrame* frame, int samples) {
  const int vol = s_.audioVolume;
  const int channels = frame->ch_layout.nb_channels;
  const bool planar = lib::avutil.av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
  const int planes = planar ? channels : 1;
  const int perPlane = planar ? samples : samples * channels;
  const AVSampleFormat packed = lib::avutil.av_get_packed_sample_fmt(static_cast<AVSampleFormat>(frame->format));
  for (int p = 0; p < planes; ++p) {
    std::uint8_t* data = frame->extended_data[p];
    switch (packed) {
      case AV_SAMPLE_FMT_S16: {
        auto* s = reinterpret_cast<std::int16_t*>(data);
        for (int i = 0; i < perPlane; ++i) s[i] = static_cast<std::int16_t>(Clip((s[i] * vol + 128) >> 8, -32768, 32767));
        break;
      }
      case AV_SAMPLE_FMT_S32: {
        auto* s = reinterpret_cast<std::int32_t*>(data);
        for (int i = 0; i < perPlane; ++i)
          s[i] = static_cast<std::int32_t>(std::clamp<std::int64_t>((static_cast<std::int64_t>(s[i]) * vol + 128) >> 8, INT32_MIN, INT32_MAX));
        break;
      }
      case AV_SAMPLE_FMT_FLT: {
        auto* s = reinterpret_cast<float*>(data);
        const float g = static_cast<float>(vol) / 256.0f;
        for (int i = 0; i < perPlane; ++i) s[i] = std::clamp(s[i] * g, -1.0f, 1.0f);
        break;
      }
      case AV_SAMPLE_FMT_DBL: {
        auto* s = reinterpret_cast<double*>(data);
        const double g = vol / 256.0;
        for (int i = 0; i < perPlane; ++i) s[i] = std::clamp(s[i] * g, -1.0, 1.0);
        break;
      }
      default: break;
    }
  }
}

void Runner::EncodeAudio(OutputStream& ost, InputStream& ist, AVFrame* in) {
  AVCodecContext* enc = ost.enc;
  if (!ost.swr) {
    SwrContext* raw = nullptr;
    int ret = lib::avcodec.swr_alloc_set_opts2(&raw, &enc->ch_layout, enc->sample_fmt, enc->sample_rate, &in->ch_layout,
                                               static_cast<AVSampleFormat>(in->format), in->sample_rate, 0, nullptr);
    ost.swr.reset(raw);
    if (ret >= 0) {
      lib::avutil.av_opt_set_int(raw, "filter_size", 16, 0);
      lib::avutil.av_opt_set_int(raw, "phase_shift", 10, 0);
      lib::avutil.av_opt_set_int(raw, "linear_interp", 0, 0);
      lib::avutil.av_opt_set_double(raw, "cutoff", 0.8, 0);
      ret = lib::avcodec.swr_init(raw);
    }
    if (ret < 0)
      throw EngineException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", in->ch_layout.nb_channels,
                                   in->sample_rate, enc->ch_layout.nb_channels, enc->sample_rate));
  }
  const int channels = enc->ch_layout.nb_channels;
  const int fifoSamples = lib::avutil.av_audio_fifo_size(ost.fifo.get());
  int dropOutput = 0, silence = 0;
  if (s_.audioSyncMethod != 0) {
    const double delta = SyncInputTime(ost) * enc->sample_rate - static_cast<double>(ost.syncOpts) - fifoSamples;
    if (std::fabs(delta) > 50) {
      if (ist.isStart || std::fabs(delta) > s_.audioDriftThreshold * enc->sample_rate) {
        if (delta < 0) {
          dropOutput = static_cast<int>(std::lround(-delta));
          if (s_.verbose > 2) Log(LogLevel::llVerbose, Format("discarding %d audio samples", dropOutput));
        } else {
          silence = static_cast<int>(std::lround(delta));
          if (s_.verbose > 2) Log(LogLevel::llVerbose, Format("adding %d audio samples of silence", silence));
        }
        ist.isStart = false;
      } else if (s_.audioSyncMethod > 1) {
        const int comp = Clip(static_cast<int>(std::lround(delta)), -s_.audioSyncMethod, s_.audioSyncMethod);
        if (!ost.audioResample) throw EngineException("Assertion failure");
        lib::avcodec.swr_set_compensation(ost.swr.get(), comp, enc->sample_rate);
        if (s_.verbose > 2)
          Log(LogLevel::llVerbose, Format("compensating audio timestamp drift:%f compensation:%d in:%d", delta, comp, enc->sample_rate));
      }
    }
  } else {
    ost.syncOpts = std::llround(SyncInputTime(ost) * enc->sample_rate) - fifoSamples;
  }

  if (silence > 0) {
    FramePtr quiet(lib::avutil.av_frame_alloc());
    quiet->nb_samples = silence;
    quiet->format = enc->sample_fmt;
    lib::avutil.av_channel_layout_copy(&quiet->ch_layout, &enc->ch_layout);
    if (lib::avutil.av_frame_get_buffer(quiet.get(), 0) < 0) throw EngineException("Out of memory in do_audio_out");
    lib::avutil.av_samples_set_silence(quiet->extended_data, 0, silence, channels, enc->sample_fmt);
    if (lib::avutil.av_audio_fifo_write(ost.fifo.get(), reinterpret_cast<void**>(quiet->extended_data), silence) < silence)
      throw EngineException("av_fifo_realloc2() failed");
  }

  const int capacity = lib::avcodec.swr_get_out_samples(ost.swr.get(), in->nb_samples) + 16;
  if (!ost.converted || ost.converted->nb_samples < capacity) {
    ost.converted.reset(lib::avutil.av_frame_alloc());
    ost.converted->nb_samples = capacity;
    ost.converted->format = enc->sample_fmt;
    lib::avutil.av_channel_layout_copy(&ost.converted->ch_layout, &enc->ch_layout);
    if (lib::avutil.av_frame_get_buffer(ost.converted.get(), 0) < 0) throw EngineException("Out of memory in do_audio_out");
  }
  int got = lib::avcodec.swr_convert(ost.swr.get(), ost.converted->extended_data, capacity,
                                     const_cast<const std::uint8_t**>(in->extended_data), in->nb_samples);
  if (got < 0) {
    if (s_.exitOnError) throw EngineException("av_audio_convert() failed");
    Log(LogLevel::llError, "av_audio_convert() failed");
    return;
  }
  int skip = std::min(dropOutput, got);
  got -= skip;
  if (got <= 0) return;
  if (s_.audioVolume != 256) ApplyVolume(ost.converted.get(), skip + got);
  std::vector<void*> planes(static_cast<size_t>(lib::avutil.av_sample_fmt_is_planar(enc->sample_fmt) ? channels : 1));
  const int bytesPerSample = lib::avutil.av_get_bytes_per_sample(enc->sample_fmt) * (planes.size() == 1 ? channels : 1);
  for (size_t p = 0; p < planes.size(); ++p) planes[p] = ost.converted->extended_data[p] + static_cast<ptrdiff_t>(skip) * bytesPerSample;
  if (lib::avutil.av_audio_fifo_write(ost.fifo.get(), planes.data(), got) < got) throw EngineException("av_fifo_realloc2() failed");
  SendAudioFromFifo(ost, false);
}

void Runner::SendAudioFromFifo(OutputStream& ost, bool flush) {
  AVCodecContext* enc = ost.enc;
  const bool anySize = enc->frame_size <= 1 || (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  for (;;) {
    const int available = lib::avutil.av_audio_fifo_size(ost.fifo.get());
    int take = anySize ? available : enc->frame_size;
    if (available == 0 || (!flush && available < take)) break;
    take = std::min(take, available);  // the short last frame; the library pads it where needed
    FramePtr frame(lib::avutil.av_frame_alloc());
    frame->nb_samples = take;
    frame->format = enc->sample_fmt;
    frame->sample_rate = enc->sample_rate;
    lib::avutil.av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
    if (lib::avutil.av_frame_get_buffer(frame.get(), 0) < 0) throw EngineException("Out of memory in do_audio_out");
    lib::avutil.av_audio_fifo_read(ost.fifo.get(), reinterpret_cast<void**>(frame->extended_data), take);
    frame->pts = ost.syncOpts;
    SendToEncoder(ost, frame.get());
    ost.syncOpts += take;
  }
}

void Runner::EncodeSubtitle(OutputStream& ost, InputStream& ist, AVSubtitle* sub, std::int64_t pts) {
  (void)ist;
  if (pts == kNoPts) {
    if (s_.exitOnError) throw EngineException("Subtitle packets must have a pts");
    Log(LogLevel::llError, "Subtitle packets must have a pts");
    return;
  }
  AVCodecContext* enc = ost.enc;
  const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  std::vector<std::uint8_t> buffer(1024 * 1024);
  for (int i = 0; i < (dvb ? 2 : 1); ++i) {
    sub->pts = pts + lib::avutil.av_rescale_q(sub->start_display_time, AVRational{1, 1000}, kUs);
    sub->end_display_time -= sub->start_display_time;
    sub->start_display_time = 0;
    if (i == 1) sub->num_rects = 0;  // the clearing packet
    const int size = lib::avcodec.avcodec_encode_subtitle(enc, buffer.data(), static_cast<int>(buffer.size()), sub);
    if (size < 0) throw EngineException("Subtitle encoding failed");
    PacketPtr pkt(lib::avcodec.av_packet_alloc());
    if (lib::avcodec.av_new_packet(pkt.get(), size) < 0) throw EngineException("Not enough memory");
    std::memcpy(pkt->data, buffer.data(), static_cast<size_t>(size));
    pkt->pts = lib::avutil.av_rescale_q(sub->pts, kUs, ost.st->time_base);
    if (dvb) pkt->pts += 90 * (i == 0 ? sub->start_display_time : sub->end_display_time);
    pkt->dts = pkt->pts;
    WriteFrame(ost, pkt.get());
  }
}

void Runner::FlushEncoders(InputStream* onlyFrom) {
  for (OutputStream& ost : ost_) {
    if (!ost.encoding || !ost.enc || !ost.enc->codec) continue;
    if (join_ && ost.slot != fileIndex_) continue;
    if (onlyFrom && ost.source != static_cast<int>(onlyFrom - ist_.data())) continue;
    if (ost.enc->codec_type == AVMEDIA_TYPE_AUDIO) {
      // What the resampler still holds, then the short last frame.
      DrainResampler(ost);
      SendAudioFromFifo(ost, true);
    } else if (ost.enc->codec_type != AVMEDIA_TYPE_VIDEO) {
      continue;
    }
    SendToEncoder(ost, nullptr);
  }
}

void Runner::DrainResampler(OutputStream& ost) {
  if (!ost.swr || !ost.fifo) return;
  const int capacity = 4096;
  FramePtr rest(lib::avutil.av_frame_alloc());
  rest->nb_samples = capacity;
  rest->format = ost.enc->sample_fmt;
  lib::avutil.av_channel_layout_copy(&rest->ch_layout, &ost.enc->ch_layout);
  if (lib::avutil.av_frame_get_buffer(rest.get(), 0) < 0) return;
  const int got = lib::avcodec.swr_convert(ost.swr.get(), rest->extended_data, capacity, nullptr, 0);
  if (got > 0) lib::avutil.av_audio_fifo_write(ost.fifo.get(), reinterpret_cast<void**>(rest->extended_data), got);
}

void Runner::WriteVstats(OutputStream& ost, int frameSize, int pictType) {
  if (!vstats_) {
    vstats_.reset(std::fopen(s_.vstatsFileName.c_str(), "w"));
    if (!vstats_) throw EngineException("fopen fail: " + s_.vstatsFileName);
  }
  const double q = ost.quality / FF_QP2LAMBDA;
  std::fprintf(vstats_.get(), "frame= %5d q= %2.1f ", static_cast<int>(ost.frameNumber), q);
  if (ost.enc->flags & AV_CODEC_FLAG_PSNR) {
    const double err = static_cast<double>(ost.enc->error[0]);
    const double pixels = static_cast<double>(ost.enc->width) * ost.enc->height * std::max<std::int64_t>(ost.frameNumber, 1) * 255.0 * 255.0;
    std::fprintf(vstats_.get(), "PSNR= %6.2f ", err > 0 ? -10.0 * std::log10(err / pixels) : 99.0);
  }
  const double t = static_cast<double>(ost.syncOpts) * av_q2d(ost.enc->time_base);
  const double bitrate = t > 0 ? frameSize * 8.0 / av_q2d(ost.enc->time_base) / 1000.0 : 0;
  const double avg = t > 0 ? static_cast<double>(videoSize_) * 8.0 / t / 1000.0 : 0;
  std::fprintf(vstats_.get(), "f_size= %6d ", frameSize);
  std::fprintf(vstats_.get(), "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               static_cast<double>(videoSize_) / 1024, t, bitrate, avg);
  std::fprintf(vstats_.get(), "type= %c\n", lib::avutil.av_get_picture_type_char(static_cast<AVPictureType>(pictType)));
}

void Runner::ReportProgress(bool final) {
  AVFormatContext* oc = OutputContext(0);
  std::int64_t totalSize = 0;
  if (oc->pb) {
    totalSize = lib::avformat.avio_size(oc->pb);
    if (totalSize <= 0) totalSize = lib::avformat.avio_seek(oc->pb, 0, SEEK_CUR);
  }
  std::string text;
  double writtenTime = 1e10;
  bool sawVideo = false;
  float quality = -1;
  int fps = 0, frameNumber = 0;
  for (OutputStream& ost : ost_) {
    const double t = WrittenTime(ost);
    if (t > 0 && t < writtenTime) writtenTime = t;
    if (ost.st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || !ost.active) continue;
    const float q = ost.encoding ? ost.quality / FF_QP2LAMBDA : -1;
    if (!sawVideo) {
      sawVideo = true;
      if (ost.frameNumber == 0) return;  // nothing to say before the first picture
      const double elapsed = static_cast<double>(Now() - startWall_) / 1000000.0;
      frameNumber = static_cast<int>(ost.frameNumber);
      fps = elapsed > 1 ? static_cast<int>(frameNumber / elapsed + 0.5) : 0;
      quality = q;
      text += Format("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, q);
      if (final) text += "L";
      if (s_.qpHistogram) {
        const int qp = Clip(static_cast<int>(std::lround(q)), 0, 51);
        ++qpHistogram_[qp];
        for (int j = 0; j < 32; ++j) text += Format("%X", static_cast<int>(std::lround(std::log2(qpHistogram_[j] + 1))));
      }
      if (ost.encoding && (ost.enc->flags & AV_CODEC_FLAG_PSNR)) {
        const double pixels = static_cast<double>(ost.enc->width) * ost.enc->height * frameNumber;
        auto psnr = [](double err, double scale) { return err > 0 ? -10.0 * std::log10(err / (scale * 255.0 * 255.0)) : 99.0; };
        text += "PSNR=";
        const char letters[3] = {'Y', 'U', 'V'};
        double all = 0;
        for (int j = 0; j < 3; ++j) {
          const double scale = j == 0 ? pixels : pixels / 4;
          text += Format("%c:%2.2f ", letters[j], psnr(static_cast<double>(ost.enc->error[j]), scale));
          all += static_cast<double>(ost.enc->error[j]);
        }
        text += Format("*:%2.2f ", psnr(all, pixels * 1.5));
      }
    } else {
      text += Format("q=%2.1f ", q);
    }
  }
  if (writtenTime >= 1e10) writtenTime = 0;
  writtenTime = std::max(writtenTime, 0.01);
  const double bitrate = static_cast<double>(totalSize) * 8 / writtenTime / 1000.0;
  if (t_.onProgress_ || s_.verbose > 0 || final) {
    text += Format("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", static_cast<double>(totalSize) / 1024, writtenTime, bitrate);
    if (dupFrames_ || dropFrames_) text += Format(" dup=%d drop=%d", dupFrames_, dropFrames_);
    if (dupOrDrop_ && t_.onProgress_) {
      Log(LogLevel::llVerbose, text);
      dupOrDrop_ = false;
    }
  }
  if (t_.onProgress_) {
    EngineProgress p;
    p.fileIndex = final ? -1 : fileIndex_;
    p.totalDuration = s_.totalDuration;
    p.currentDuration = static_cast<std::int64_t>(writtenTime * 1000000.0);
    p.totalSize = totalSize;
    p.bitRate = static_cast<float>(bitrate);
    p.quality = quality;
    p.fps = fps;
    p.frameNumber = frameNumber;
    p.hasVideo = sawVideo;
    t_.onProgress_(p);
  } else if (s_.verbose >= 0) {
    Log(LogLevel::llVerbose, text);
  }
  if (final && s_.verbose >= 0) {
    const double sum = static_cast<double>(videoSize_ + audioSize_ + headerSize_);
    const double overhead = sum > 0 ? (static_cast<double>(totalSize) - sum) * 100.0 / sum : 0;
    Log(LogLevel::llInfo, Format("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                                 static_cast<double>(videoSize_) / 1024, static_cast<double>(audioSize_) / 1024,
                                 static_cast<double>(headerSize_) / 1024, overhead));
  }
}

// ---------------------------------------------------------------- run body

void Runner::FinishAfterFailure() {
  if (!headersWritten_ || trailersWritten_) return;
  trailersWritten_ = true;
  for (const auto& out : t_.outputs_) lib::avformat.av_write_trailer(out->ctx.get());
}

void Transcoder::Run() {
  finished_ = false;
  running_ = true;
  hooks_.SetDeinterlace(state_.deinterlace);
  auto record = [this](const std::exception& e) {
    Log(LogLevel::llQuiet, e.what());
    exceptionRaised_ = true;
    exceptionMessage_ = e.what();
  };
  {
    Runner runner(*this);
    try {
      runner.Transcode();
    } catch (const std::exception& e) {
      record(e);
      runner.FinishAfterFailure();
    }
  }
  try {
    Cleanup();
  } catch (const std::exception& e) {
    record(e);
  }
  SendTerminate();
}

void Transcoder::RequestStop() {
  std::lock_guard<std::mutex> guard(pauseLock_);
  stop_ = true;
  pauseChanged_.notify_all();
}

void Transcoder::SetPaused(bool paused) {
  std::lock_guard<std::mutex> guard(pauseLock_);
  paused_ = paused;
  pauseChanged_.notify_all();
}

bool Transcoder::Paused() const {
  std::lock_guard<std::mutex> guard(pauseLock_);
  return paused_;
}

void Transcoder::WaitWhilePaused() {
  std::unique_lock<std::mutex> guard(pauseLock_);
  pauseChanged_.wait(guard, [this] { return !paused_ || stop_; });
}

void Transcoder::SendTerminate() {
  running_ = false;
  terminated_ = true;
  try {
    if (onTerminate_) onTerminate_();
  } catch (const std::exception& e) {
    Log(LogLevel::llQuiet, e.what());
    exceptionRaised_ = true;
    exceptionMessage_ = e.what();
  }
}

void Transcoder::CancelBeforeRun() {
  try {
    Cleanup();
  } catch (const std::exception& e) {
    Log(LogLevel::llQuiet, e.what());
    exceptionRaised_ = true;
    exceptionMessage_ = e.what();
  }
  SendTerminate();
}

void Transcoder::FailBeforeRun(const std::string& message) {
  Cleanup();
  Log(LogLevel::llQuiet, message);
  exceptionRaised_ = true;
  exceptionMessage_ = message;
  SendTerminate();
}

void Transcoder::Cleanup() {
  {
    std::lock_guard<std::recursive_mutex> guard(CodecLock());
    for (auto& out : outputs_)
      for (EngineOutputStream& s : out->streams) s.encoderContext.reset();
  }
  for (auto& out : outputs_) {
    if (!out->ctx) continue;
    if (out->ownsAvio) lib::avformat.avio_closep(&out->ctx->pb);
    out->ownsAvio = false;
    out->io.reset();  // flushes and closes the file behind a "unicode:" name
    if (out->ctx->oformat && !(out->ctx->oformat->flags & AVFMT_NOFILE)) {
      std::error_code ec;
      if (std::filesystem::is_regular_file(out->fileName, ec) && std::filesystem::file_size(out->fileName, ec) == 0)
        std::filesystem::remove(out->fileName, ec);
    }
  }
  outputSlots_.clear();
  outputs_.clear();
  inputs_.clear();
  hooks_.ReleaseHooks();
  state_.videoHooks.clear();
  state_.videoCodecName.clear();
  state_.audioCodecName.clear();
  state_.subtitleCodecName.clear();
  state_.videoLanguage.clear();
  state_.audioLanguage.clear();
  state_.subtitleLanguage.clear();
}

}  // namespace zelvo
