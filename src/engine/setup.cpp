// Opening inputs and setting up outputs with their streams.
#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>

#include "engine/transcoder.h"
#include "media/av_entries.h"
#include "media/library_loader.h"
#include "media/utils.h"

namespace zelvo {

namespace {

// The rate in a list (terminated by {0,0}) nearest to the wanted one.
AVRational NearestRate(AVRational wanted, const AVRational* list) {
  return list[lib::avutil.av_find_nearest_q_idx(wanted, list)];
}

}  // namespace

EngineOutput::~EngineOutput() {
  streams.clear();
  if (ctx && ownsAvio) lib::avformat.avio_closep(&ctx->pb);
  ctx.reset();  // before the file its byte stream writes to
  io.reset();
}

const AVCodec* Transcoder::ChooseCodec(const std::string& name, AVMediaType type, bool encoder,
                                       std::string& error) const {
  const char* what = encoder ? "encoder" : "decoder";
  const AVCodec* codec =
      encoder ? lib::avcodec.avcodec_find_encoder_by_name(name.c_str()) : lib::avcodec.avcodec_find_decoder_by_name(name.c_str());
  if (!codec) {
    error = Format("Unknown %s '%s'", what, name.c_str());
    return nullptr;
  }
  if (codec->type != type) {
    error = Format("Invalid %s type '%s'", what, name.c_str());
    return nullptr;
  }
  const int strict = generic_.CodecOpts[0] ? generic_.CodecOpts[0]->strict_std_compliance : 0;
  if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strict > FF_COMPLIANCE_EXPERIMENTAL) {
    error = Format("%s '%s' is experimental and might produce bad results.\r\nAdd '-strict experimental' if you want to use it.",
                   what, codec->name);
    void* it = nullptr;
    while (const AVCodec* other = lib::avcodec.av_codec_iterate(&it)) {
      const bool sameRole = encoder ? lib::avcodec.av_codec_is_encoder(other) : lib::avcodec.av_codec_is_decoder(other);
      if (sameRole && other->id == codec->id && !(other->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) {
        error += Format("\r\nOr use the non experimental %s '%s'.", what, other->name);
        break;
      }
    }
    return nullptr;
  }
  return codec;
}

bool Transcoder::OpenInput(const std::string& fileName) {
  const AVInputFormat* format = nullptr;
  if (!state_.forcedFormat.empty()) {
    format = lib::avformat.av_find_input_format(state_.forcedFormat.c_str());
    if (!format) throw EngineException(Format("Unknown input format: \"%s\"", state_.forcedFormat.c_str()));
    state_.forcedFormat.clear();
  }
  FormatContextPtr ic(lib::avformat.avformat_alloc_context());
  if (!ic) throw EngineException("avformat_alloc_context failed");

  // Parameters for the demuxers that need them (raw audio and video); the
  // others leave them unused.
  AVDictionary* rawOptions = FormatOptionsDictionary();
  lib::avutil.av_dict_set_int(&rawOptions, "sample_rate", state_.audioSampleRate, 0);
  {
    AVChannelLayout layout{};
    lib::avutil.av_channel_layout_default(&layout, state_.audioChannels);
    char text[64] = "";
    if (lib::avutil.av_channel_layout_describe(&layout, text, sizeof text) > 0)
      lib::avutil.av_dict_set(&rawOptions, "ch_layout", text, 0);
    lib::avutil.av_channel_layout_uninit(&layout);
  }
  if (state_.frameRate.num > 0 && state_.frameRate.den > 0)
    lib::avutil.av_dict_set(&rawOptions, "framerate", Format("%d/%d", state_.frameRate.num, state_.frameRate.den).c_str(), 0);
  if (state_.frameWidth > 0 && state_.frameHeight > 0)
    lib::avutil.av_dict_set(&rawOptions, "video_size", Format("%dx%d", state_.frameWidth, state_.frameHeight).c_str(), 0);
  if (state_.pixelFormat >= 0)
    if (const char* name = lib::avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(state_.pixelFormat)))
      lib::avutil.av_dict_set(&rawOptions, "pixel_format", name, 0);
  if (state_.videoChannel) lib::avutil.av_dict_set_int(&rawOptions, "channel", state_.videoChannel, 0);
  if (!state_.videoStandard.empty()) lib::avutil.av_dict_set(&rawOptions, "standard", state_.videoStandard.c_str(), 0);
  DictionaryPtr options(rawOptions);
  SetContextOpts(generic_, ic.get(), generic_.FormatOpts.get(), AV_OPT_FLAG_DECODING_PARAM);

  // The encoder names given before an input choose its decoders.
  const AVCodec* chosen[3] = {};
  const std::string* names[3] = {&state_.videoCodecName, &state_.audioCodecName, &state_.subtitleCodecName};
  const AVMediaType types[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
  for (int k = 0; k < 3; ++k) {
    if (names[k]->empty()) continue;
    chosen[k] = ChooseCodec(*names[k], types[k], false, errorMessage_);
    if (!chosen[k]) return false;
  }

  auto input = std::make_unique<EngineInput>();
  input->fileName = fileName;
  ic->flags |= AVFMT_FLAG_NONBLOCK;
  AVDictionary* raw = options.release();
  int ret = OpenInputFile(std::move(ic), LibraryFileNameOf(fileName), format, &raw, input->opened);
  options.reset(raw);
  if (ret < 0) {
    errorMessage_ = ErrorText(fileName, ret);
    return false;
  }
  AVFormatContext* ctx = input->opened.ctx.get();

  if (state_.programId != 0) {
    bool found = false;
    for (unsigned p = 0; p < ctx->nb_programs; ++p) {
      AVProgram* program = ctx->programs[p];
      if (program->id == state_.programId) {
        found = true;
        program->discard = AVDISCARD_DEFAULT;
      } else {
        program->discard = AVDISCARD_ALL;
      }
    }
    if (!found) {
      errorMessage_ = "Specified program id not found";
      return false;
    }
    for (unsigned i = 0; i < ctx->nb_streams; ++i) ctx->streams[i]->discard = AVDISCARD_ALL;
    for (unsigned p = 0; p < ctx->nb_programs; ++p)
      if (ctx->programs[p]->id == state_.programId)
        for (unsigned k = 0; k < ctx->programs[p]->nb_stream_indexes; ++k)
          ctx->streams[ctx->programs[p]->stream_index[k]]->discard = AVDISCARD_DEFAULT;
    state_.programId = 0;
  }

  {
    std::lock_guard<std::recursive_mutex> guard(CodecLock());
    ret = lib::avformat.avformat_find_stream_info(ctx, nullptr);
  }
  if (ret < 0 && state_.verbose >= 0) {
    errorMessage_ = Format("%s: could not find codec parameters", fileName.c_str());
    Log(LogLevel::llVerbose, errorMessage_);
    return false;
  }

  std::int64_t target = state_.startTime;
  if (ctx->start_time != kNoPts) target += ctx->start_time;
  if (state_.startTime != 0) {
    if (lib::avformat.av_seek_frame(ctx, -1, target, AVSEEK_FLAG_BACKWARD) < 0 && state_.verbose > 0)
      Log(LogLevel::llVerbose, Format("%s: could not seek to position %0.3f", fileName.c_str(), static_cast<double>(target) / 1000000.0));
    state_.startTime = 0;
  }

  input->decoders.assign(ctx->nb_streams, nullptr);
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    AVStream* st = ctx->streams[i];
    const AVCodecParameters* par = st->codecpar;
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        state_.frameWidth = par->width;
        state_.frameHeight = par->height;
        AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
        double ratio = (sar.num && sar.den) ? static_cast<double>(sar.num) / sar.den : 0;
        if (par->height > 0) state_.frameAspectRatio = (ratio ? ratio : 1.0) * par->width / par->height;
        if (state_.frameAspectRatio == 0) state_.frameAspectRatio = 1.3333334;
        state_.pixelFormat = par->format < 0 ? AV_PIX_FMT_YUV420P : par->format;
        state_.frameRate = {st->r_frame_rate.num, st->r_frame_rate.den};
        if (state_.videoDisable) st->discard = AVDISCARD_ALL;
        else if (state_.videoDiscard) st->discard = static_cast<AVDiscard>(state_.videoDiscard);
        input->decoders[i] = chosen[0];
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        state_.audioChannelLayout = static_cast<std::int64_t>(par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? par->ch_layout.u.mask : 0);
        state_.audioChannels = par->ch_layout.nb_channels;
        state_.audioSampleRate = par->sample_rate;
        state_.sampleFormat = par->format;
        if (state_.audioDisable) st->discard = AVDISCARD_ALL;
        input->decoders[i] = chosen[1];
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (state_.subtitleDisable) st->discard = AVDISCARD_ALL;
        input->decoders[i] = chosen[2];
        break;
      case AVMEDIA_TYPE_DATA:
      case AVMEDIA_TYPE_ATTACHMENT:
        break;
      default:
        throw EngineException("invalid codec_type");
    }
  }

  if (ctx->duration != kNoPts && ctx->duration > state_.totalDuration) state_.totalDuration = ctx->duration;
  input->tsOffset = state_.copyTimestamps ? state_.inputTsOffset : state_.inputTsOffset - target;
  for (int i = 0; i < kMaxStreams; ++i) input->tsScale[i] = state_.tsScale[i] == 1.0 ? 0 : state_.tsScale[i];
  std::fill(std::begin(state_.tsScale), std::end(state_.tsScale), 1.0);
  state_.inputTsOffset = 0;
  if (state_.verbose >= 0) lib::avformat.av_dump_format(ctx, InputCount(), LibraryFileNameOf(fileName).c_str(), 0);

  inputs_.push_back(std::move(input));
  state_.videoChannel = 0;
  state_.videoCodecName.clear();
  state_.audioCodecName.clear();
  state_.subtitleCodecName.clear();
  return true;
}

// The named encoder (its failure text raised), or the one the format picks
// for the file name; its context with the remembered options.
AVCodecContext* Transcoder::CreateEncoder(EngineOutput& out, EngineOutputStream& os, AVMediaType type, const std::string& name) {
  if (!name.empty()) {
    std::string error;
    os.encoder = ChooseCodec(name, type, true, error);
    if (!os.encoder) throw EngineException(error);
  } else {
    const AVCodecID id = lib::avformat.av_guess_codec(out.ctx->oformat, nullptr, out.ctx->url, nullptr, type);
    os.encoder = lib::avcodec.avcodec_find_encoder(id);
  }
  os.encoderContext.reset(lib::avcodec.avcodec_alloc_context3(os.encoder));
  AVCodecContext* enc = os.encoderContext.get();
  if (!enc) throw EngineException("Could not alloc stream");
  enc->codec_type = type;
  if (os.encoder) enc->codec_id = os.encoder->id;
  ApplyCodecOptions(enc, AV_OPT_FLAG_ENCODING_PARAM);
  return enc;
}

EngineOutputStream& Transcoder::NewOutputStream(EngineOutput& out, MediaKind kind) {
  AVStream* st = lib::avformat.avformat_new_stream(out.ctx.get(), nullptr);
  if (!st) throw EngineException("Could not alloc stream");
  const int index = st->index;
  if (index < kMaxStreams) st->id = state_.streamIds[index];
  EngineOutputStream stream;
  stream.stream = st;
  stream.kind = kind;
  stream.bitstreamFilters = std::move(state_.bitstreamFilters[kind]);
  state_.bitstreamFilters[kind].clear();
  out.streams.push_back(std::move(stream));
  return out.streams.back();
}

void Transcoder::AddVideoStream(EngineOutput& out) {
  EngineOutputStream& os = NewOutputStream(out, kVideo);
  AVStream* st = os.stream;
  const AVOutputFormat* ofmt = out.ctx->oformat;
  const double aspect = state_.frameAspectRatio;
  const Rational sar = state_.frameWidth > 0 ? DoubleToRational(state_.frameHeight * aspect / state_.frameWidth, 255)
                                             : DoubleToRational(aspect * 3.0 / 4.0, 255);
  if (state_.videoStreamCopy) {
    os.copy = true;
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->sample_aspect_ratio = {sar.num, sar.den};
  } else {
    AVRational rate = state_.frameRate.num > 0 && state_.frameRate.den > 0
                          ? AVRational{state_.frameRate.num, state_.frameRate.den}
                          : AVRational{25, 1};
    AVCodecContext* enc = CreateEncoder(out, os, AVMEDIA_TYPE_VIDEO, state_.videoCodecName);
    if (os.encoder && os.encoder->supported_framerates && !state_.forceFps) {
      // MPEG-1 lists non-standard rates that it refuses to open with.
      const AVRational* list = os.encoder->supported_framerates;
      std::vector<AVRational> rates;
      for (int i = 0; list[i].num; ++i) rates.push_back(list[i]);
      if (os.encoder->id == AV_CODEC_ID_MPEG1VIDEO && rates.size() > 8 && enc->strict_std_compliance > FF_COMPLIANCE_UNOFFICIAL)
        rates.resize(8);
      rates.push_back({0, 0});
      rate = NearestRate(rate, rates.data());
    }
    enc->framerate = rate;
    enc->time_base = {rate.den, rate.num};
    enc->width = state_.frameWidth;
    enc->height = state_.frameHeight;
    enc->sample_aspect_ratio = {sar.num, sar.den};
    st->sample_aspect_ratio = enc->sample_aspect_ratio;
    enc->pix_fmt = static_cast<AVPixelFormat>(state_.pixelFormat);
    if (os.encoder && os.encoder->pix_fmts) {
      const AVPixelFormat* p = os.encoder->pix_fmts;
      bool listed = false;
      for (int i = 0; p[i] != AV_PIX_FMT_NONE; ++i) listed = listed || p[i] == enc->pix_fmt;
      // MJPEG takes limited-range YUV only below normal compliance.
      const bool mjpegKeeps = os.encoder->id == AV_CODEC_ID_MJPEG && enc->strict_std_compliance < FF_COMPLIANCE_NORMAL &&
                              (enc->pix_fmt == AV_PIX_FMT_YUV420P || enc->pix_fmt == AV_PIX_FMT_YUV422P);
      if (!listed && !mjpegKeeps) enc->pix_fmt = p[0];
      if (listed && os.encoder->id == AV_CODEC_ID_MJPEG && enc->strict_std_compliance >= FF_COMPLIANCE_NORMAL) {
        if (enc->pix_fmt == AV_PIX_FMT_YUV420P) enc->pix_fmt = AV_PIX_FMT_YUVJ420P;
        if (enc->pix_fmt == AV_PIX_FMT_YUV422P) enc->pix_fmt = AV_PIX_FMT_YUVJ422P;
      }
    }
    if (state_.intraOnly) enc->gop_size = 0;
    if (state_.videoQScale > 0 || state_.sameQuality) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      enc->global_quality = static_cast<int>(FF_QP2LAMBDA * state_.videoQScale);
    }
    if (!state_.intraMatrix.empty()) {
      enc->intra_matrix = static_cast<std::uint16_t*>(lib::avutil.av_malloc(64 * sizeof(std::uint16_t)));
      std::memcpy(enc->intra_matrix, state_.intraMatrix.data(), 64 * sizeof(std::uint16_t));
    }
    if (!state_.interMatrix.empty()) {
      enc->inter_matrix = static_cast<std::uint16_t*>(lib::avutil.av_malloc(64 * sizeof(std::uint16_t)));
      std::memcpy(enc->inter_matrix, state_.interMatrix.data(), 64 * sizeof(std::uint16_t));
    }
    if (!state_.rcOverride.empty()) {
      std::vector<RcOverride> overrides;
      std::string rest = state_.rcOverride;
      while (!rest.empty()) {
        std::string triple = SplitFirst(rest, "/", true);
        int start = 0, end = 0, q = 0;
        if (std::sscanf(triple.c_str(), "%d,%d,%d", &start, &end, &q) != 3) throw EngineException("error parsing rc_override");
        RcOverride o{};
        o.start_frame = start;
        o.end_frame = end;
        if (q > 0) o.qscale = q;
        else o.quality_factor = -q / 100.0f;
        overrides.push_back(o);
      }
      enc->rc_override = static_cast<RcOverride*>(lib::avutil.av_malloc(overrides.size() * sizeof(RcOverride)));
      std::memcpy(enc->rc_override, overrides.data(), overrides.size() * sizeof(RcOverride));
      enc->rc_override_count = static_cast<int>(overrides.size());
    }
    if (enc->rc_initial_buffer_occupancy == 0) enc->rc_initial_buffer_occupancy = enc->rc_buffer_size * 3 / 4;
    enc->intra_dc_precision = state_.intraDcPrecision - 8;
    if (state_.psnr) enc->flags |= AV_CODEC_FLAG_PSNR;
    if (state_.pass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
    if (state_.pass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
    enc->thread_count = 1;
    if (state_.videoTag) enc->codec_tag = state_.videoTag;
    if ((state_.videoGlobalHeader & 1) || (state_.videoGlobalHeader == 0 && (ofmt->flags & AVFMT_GLOBALHEADER)))
      enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (state_.videoGlobalHeader & 2) enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }
  if (state_.videoTag) st->codecpar->codec_tag = state_.videoTag;
  if (!state_.videoLanguage.empty()) lib::avutil.av_dict_set(&st->metadata, "language", state_.videoLanguage.c_str(), 0);
  state_.videoLanguage.clear();
  state_.videoDisable = false;
  state_.videoCodecName.clear();
  state_.videoStreamCopy = false;
  state_.pixelFormat = -1;
}

void Transcoder::AddAudioStream(EngineOutput& out) {
  EngineOutputStream& os = NewOutputStream(out, kAudio);
  AVStream* st = os.stream;
  const AVOutputFormat* ofmt = out.ctx->oformat;
  if (state_.audioStreamCopy) {
    os.copy = true;
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  } else {
    AVCodecContext* enc = CreateEncoder(out, os, AVMEDIA_TYPE_AUDIO, state_.audioCodecName);
    if (state_.audioQScale > -99999) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      enc->global_quality = static_cast<int>(FF_QP2LAMBDA * state_.audioQScale);
    }
    // The stored layout is kept only when it has the wanted channel count.
    AVChannelLayout layout{};
    if (state_.audioChannelLayout != 0)
      lib::avutil.av_channel_layout_from_mask(&layout, static_cast<std::uint64_t>(state_.audioChannelLayout));
    if (layout.nb_channels != state_.audioChannels) {
      lib::avutil.av_channel_layout_uninit(&layout);
      lib::avutil.av_channel_layout_default(&layout, state_.audioChannels);
    }
    lib::avutil.av_channel_layout_copy(&enc->ch_layout, &layout);
    lib::avutil.av_channel_layout_uninit(&layout);
    enc->sample_fmt = static_cast<AVSampleFormat>(state_.sampleFormat);
    if (os.encoder && os.encoder->sample_fmts) {
      bool listed = false;
      for (int i = 0; os.encoder->sample_fmts[i] != AV_SAMPLE_FMT_NONE; ++i) listed = listed || os.encoder->sample_fmts[i] == enc->sample_fmt;
      if (!listed) enc->sample_fmt = os.encoder->sample_fmts[0];
    }
    enc->sample_rate = state_.audioSampleRate;
    if (os.encoder && os.encoder->supported_samplerates) {
      int best = os.encoder->supported_samplerates[0];
      for (int i = 0; os.encoder->supported_samplerates[i]; ++i)
        if (std::abs(os.encoder->supported_samplerates[i] - enc->sample_rate) < std::abs(best - enc->sample_rate))
          best = os.encoder->supported_samplerates[i];
      if (best != enc->sample_rate) {
        Log(LogLevel::llWarning, Format("Requested sampling rate unsupported using closest supported (%d)", best));
        enc->sample_rate = best;
      }
    }
    enc->time_base = {1, enc->sample_rate > 0 ? enc->sample_rate : 1};
    enc->thread_count = 1;
    if (state_.audioTag) enc->codec_tag = state_.audioTag;
    if (ofmt->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (state_.audioTag) st->codecpar->codec_tag = state_.audioTag;
  if (os.copy) {
    st->codecpar->sample_rate = state_.audioSampleRate;
    lib::avutil.av_channel_layout_default(&st->codecpar->ch_layout, state_.audioChannels);
  }
  if (!state_.audioLanguage.empty()) lib::avutil.av_dict_set(&st->metadata, "language", state_.audioLanguage.c_str(), 0);
  state_.audioLanguage.clear();
  state_.audioDisable = false;
  state_.audioCodecName.clear();
  state_.audioStreamCopy = false;
}

void Transcoder::AddSubtitleStream(EngineOutput& out) {
  EngineOutputStream& os = NewOutputStream(out, kSubtitle);
  AVStream* st = os.stream;
  if (state_.subtitleStreamCopy) {
    os.copy = true;
    st->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
  } else {
    AVCodecContext* enc = CreateEncoder(out, os, AVMEDIA_TYPE_SUBTITLE, state_.subtitleCodecName);
    if (state_.subtitleTag) enc->codec_tag = state_.subtitleTag;
  }
  if (state_.subtitleTag) st->codecpar->codec_tag = state_.subtitleTag;
  if (!state_.subtitleLanguage.empty()) lib::avutil.av_dict_set(&st->metadata, "language", state_.subtitleLanguage.c_str(), 0);
  state_.subtitleLanguage.clear();
  state_.subtitleDisable = false;
  state_.subtitleCodecName.clear();
  state_.subtitleStreamCopy = false;
}

int Transcoder::OpenOutput(const std::string& fileName, bool join) {
  if (join && joinTaken_) {
    errorMessage_ = "Cannot join more than one output file.";
    return -1;
  }
  const std::string libraryName = LibraryFileNameOf(fileName);
  AVFormatContext* raw = nullptr;
  int ret;
  if (!state_.forcedFormat.empty()) {
    ret = lib::avformat.avformat_alloc_output_context2(&raw, nullptr, state_.forcedFormat.c_str(), libraryName.c_str());
    if (ret < 0 || !raw) {
      errorMessage_ = Format("Requested output format '%s' is not a suitable output format", state_.forcedFormat.c_str());
      state_.forcedFormat.clear();
      return -1;
    }
  } else {
    ret = lib::avformat.avformat_alloc_output_context2(&raw, nullptr, nullptr, libraryName.c_str());
    if (ret < 0 || !raw) {
      errorMessage_ = Format("Unable to find a suitable output format for '%s'", fileName.c_str());
      return -1;
    }
  }
  state_.forcedFormat.clear();
  auto out = std::make_unique<EngineOutput>();
  out->fileName = fileName;
  out->ctx.reset(raw);
  const AVOutputFormat* ofmt = raw->oformat;

  bool useVideo = ofmt->video_codec != AV_CODEC_ID_NONE || !state_.videoCodecName.empty() || state_.videoStreamCopy;
  bool useAudio = ofmt->audio_codec != AV_CODEC_ID_NONE || !state_.audioCodecName.empty() || state_.audioStreamCopy;
  bool useSubtitle = ofmt->subtitle_codec != AV_CODEC_ID_NONE || !state_.subtitleCodecName.empty() || state_.subtitleStreamCopy;
  if (!inputs_.empty()) {
    bool hasVideo = false, hasAudio = false, hasSubtitle = false;
    const size_t count = join ? 1 : inputs_.size();
    for (size_t i = 0; i < count; ++i) {
      const AVFormatContext* ic = inputs_[i]->opened.ctx.get();
      for (unsigned s = 0; s < ic->nb_streams; ++s) {
        switch (ic->streams[s]->codecpar->codec_type) {
          case AVMEDIA_TYPE_VIDEO: hasVideo = true; break;
          case AVMEDIA_TYPE_AUDIO: hasAudio = true; break;
          case AVMEDIA_TYPE_SUBTITLE: hasSubtitle = true; break;
          case AVMEDIA_TYPE_DATA:
          case AVMEDIA_TYPE_ATTACHMENT: break;
          default:
            errorMessage_ = "check_audio_video_sub_inputs fail: invalid codec_type of input file";
            return -1;
        }
      }
    }
    useVideo = useVideo && hasVideo;
    useAudio = useAudio && hasAudio;
    useSubtitle = useSubtitle && hasSubtitle;
  }
  if (state_.videoDisable) useVideo = false;
  if (state_.audioDisable) useAudio = false;
  if (state_.subtitleDisable) useSubtitle = false;

  auto add = [&](bool use, void (Transcoder::*fn)(EngineOutput&), const char* what) {
    if (!use) return true;
    try {
      (this->*fn)(*out);
    } catch (const EngineException& e) {
      errorMessage_ = Format("%s fail: %s", what, e.what());
      return false;
    }
    return true;
  };
  if (!add(useVideo, &Transcoder::AddVideoStream, "new_video_stream") ||
      !add(useAudio, &Transcoder::AddAudioStream, "new_audio_stream") ||
      !add(useSubtitle && !state_.subtitleDisable, &Transcoder::AddSubtitleStream, "new_subtitle_stream"))
    return -1;

  if (state_.recordingTimestamp != 0) {
    time_t t = static_cast<time_t>(state_.recordingTimestamp);
    struct tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    lib::avutil.av_dict_set(&raw->metadata, "creation_time", text, 0);
  }
  for (auto it = state_.metadata.rbegin(); it != state_.metadata.rend(); ++it)
    lib::avutil.av_dict_set(&raw->metadata, it->first.c_str(), it->second.c_str(), 0);
  state_.metadata.clear();

  if ((ofmt->flags & AVFMT_NEEDNUMBER) && !lib::avformat.av_filename_number_test(fileName.c_str())) {
    errorMessage_ = ErrorText(fileName, AVERROR(EDOM));
    return -1;
  }
  if (!(ofmt->flags & AVFMT_NOFILE)) {
    ret = OpenOutputFile(raw, libraryName, out->io);
    if (ret < 0) {
      errorMessage_ = ErrorText(fileName, ret);
      return -1;
    }
    out->ownsAvio = !out->io;
  }

  // Muxer options: the remembered ones, and the preload of the MPEG program
  // stream muxers (which keep it as their own option now).
  out->muxerOptions.reset(FormatOptionsDictionary());
  if (ofmt->priv_class) {
    const AVClass* pc = ofmt->priv_class;
    if (lib::avutil.av_opt_find(&pc, "preload", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ)) {
      AVDictionary* d = out->muxerOptions.release();
      lib::avutil.av_dict_set_int(&d, "preload", static_cast<std::int64_t>(state_.muxPreload * 1000000), AV_DICT_DONT_OVERWRITE);
      out->muxerOptions.reset(d);
    }
  }
  raw->max_delay = static_cast<int>(state_.muxMaxDelay * 1000000);
  raw->flags |= AVFMT_FLAG_NONBLOCK;
  SetContextOpts(generic_, raw, generic_.FormatOpts.get(), AV_OPT_FLAG_ENCODING_PARAM);

  std::fill(std::begin(state_.streamIds), std::end(state_.streamIds), 0);
  const int index = OutputCount();
  outputs_.push_back(std::move(out));
  outputSlots_.push_back(index);
  if (join) {
    joinTaken_ = true;
    outputs_.back()->join = true;
    if (inputs_.size() > 1) {
      std::int64_t total = -1;
      for (const auto& in : inputs_) {
        std::int64_t d = in->opened.ctx->duration;
        if (d != kNoPts && d > 0) total = (total < 0 ? 0 : total) + d;
      }
      state_.totalDuration = total;
      for (size_t i = 1; i < inputs_.size(); ++i) outputSlots_.push_back(index);
    }
  }
  return index;
}

}  // namespace zelvo
