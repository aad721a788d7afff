// Owning handles for library objects: a unique_ptr with a deleter that calls
// through the bound entry tables. Objects must be released before their
// library unloads.
#pragma once

#include <memory>

#include "media/av_entries.h"

namespace zelvo {

struct CodecContextDeleter {
  void operator()(AVCodecContext* p) const { lib::avcodec.avcodec_free_context(&p); }
};
struct CodecParametersDeleter {
  void operator()(AVCodecParameters* p) const { lib::avcodec.avcodec_parameters_free(&p); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { lib::avcodec.av_packet_free(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* p) const { lib::avutil.av_frame_free(&p); }
};
// An input context opened with avformat_open_input.
struct InputFormatDeleter {
  void operator()(AVFormatContext* p) const { lib::avformat.avformat_close_input(&p); }
};
// An output context, or an input context that was never opened.
struct FormatContextDeleter {
  void operator()(AVFormatContext* p) const { lib::avformat.avformat_free_context(p); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* p) const { lib::swscale.sws_freeContext(p); }
};
struct SwrContextDeleter {
  void operator()(SwrContext* p) const { lib::avcodec.swr_free(&p); }
};
struct DictionaryDeleter {
  void operator()(AVDictionary* p) const { lib::avutil.av_dict_free(&p); }
};
struct FilterGraphDeleter {
  void operator()(AVFilterGraph* p) const { lib::avfilter.avfilter_graph_free(&p); }
};
struct AudioFifoDeleter {
  void operator()(AVAudioFifo* p) const { lib::avutil.av_audio_fifo_free(p); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

}  // namespace zelvo
