// The engine's file tables: the opened inputs and the outputs set up, with
// the streams added to them. Owned by one engine instance.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/option_state.h"
#include "media/handles.h"
#include "media/unicode_io.h"

namespace zelvo {

constexpr int kMaxFiles = 20;

struct EngineInput {
  OpenedInput opened;                          // the container and the file behind it
  std::string fileName;                        // as the caller gave it
  std::int64_t tsOffset = 0;                   // microseconds added to every timestamp
  double tsScale[kMaxStreams] = {};            // 0: none
  std::vector<const AVCodec*> decoders;        // per stream, chosen by name (or null)
};

struct EngineOutputStream {
  AVStream* stream = nullptr;                  // owned by the output's context
  MediaKind kind = kVideo;
  bool copy = false;
  const AVCodec* encoder = nullptr;            // null: none found yet (reported at run start)
  CodecContextPtr encoderContext;              // parameters set up; opened at run start
  std::vector<std::string> bitstreamFilters;   // "name" or "name=args", in order
};

struct EngineOutput {
  std::string fileName;
  std::unique_ptr<UnicodeFile> io;             // for "unicode:" names (closed after ctx)
  FormatContextPtr ctx;
  bool ownsAvio = false;                       // pb opened with avio_open2: close it ourselves
  bool join = false;
  DictionaryPtr muxerOptions;                  // given to the header writer
  std::vector<EngineOutputStream> streams;

  EngineOutput() = default;
  EngineOutput(EngineOutput&&) = default;
  EngineOutput& operator=(EngineOutput&&) = default;
  ~EngineOutput();
};

}  // namespace zelvo
