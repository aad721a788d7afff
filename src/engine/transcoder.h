// The conversion engine. This header covers its option set: the option state,
// the dispatcher of named options, the generic option setter over the media
// libraries' option tables (with the encoders' and muxers' private options),
// the built-in encoder presets and the disc targets.
//
// Threads: an engine instance is driven by one thread at a time (the thread
// that sets it up, then its worker). It shares only the process-wide engine
// log and codec lock.
#pragma once

#include <string>
#include <vector>

#include "engine/engine_exception.h"
#include "engine/engine_files.h"
#include "engine/option_state.h"
#include "media/engine_log.h"
#include "media/option_contexts.h"
#include "media/unicode_io.h"

namespace zelvo {

class Transcoder {
 public:
  Transcoder();
  ~Transcoder();
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;

  // Restores every default and frees what the state holds.
  void Reset();

  // Applies one named option; raises EngineException on a bad value. Names
  // are compared exactly (callers lower-case them). Nothing applied before a
  // failing option is undone.
  void SetOption(const std::string& name, const std::string& value);
  // Sets a name on the libraries' option tables; false when the name is
  // unknown or its value is rejected (the latter is logged).
  bool SetGenericOption(const std::string& name, const std::string& value);
  // "copy" sets the stream-copy flag of the kind; another name the encoder.
  void SetEncoder(MediaKind kind, const std::string& name);
  // "apre", "vpre", "spre" or "fpre" with a preset name or file.
  void LoadPreset(const std::string& kindOption, const std::string& value);
  // Disc target "vcd", "svcd", "dvd", "dv" or "dv50"; norm "pal", "ntsc",
  // "film" or anything else for detection, with the fallback norm used when
  // detection finds nothing.
  void SetTarget(const std::string& type, const std::string& norm, const std::string& fallbackNorm);

  // Opens an input and analyses its streams: true, or false with
  // ErrorMessage() set; raises EngineException for an unknown forced format.
  bool OpenInput(const std::string& fileName);
  // Sets up an output with its streams from the option state: the output's
  // index, or -1 with ErrorMessage() set.
  int OpenOutput(const std::string& fileName, bool join);
  // The reason of the last failed open.
  const std::string& ErrorMessage() const { return errorMessage_; }

  int InputCount() const { return static_cast<int>(inputs_.size()); }
  int OutputCount() const { return static_cast<int>(outputs_.size()); }
  const EngineInput& Input(int i) const { return *inputs_[static_cast<size_t>(i)]; }
  const EngineOutput& Output(int i) const { return *outputs_[static_cast<size_t>(i)]; }
  std::int64_t TotalDuration() const { return state_.totalDuration; }

  const OptionState& Options() const { return state_; }
  const OptionContexts& GenericOptions() const { return generic_; }

  // Sets every remembered generic option that the new context knows: codec
  // options of the context's media type, with the given parameter flags
  // (AV_OPT_FLAG_ENCODING_PARAM or AV_OPT_FLAG_DECODING_PARAM). Call it
  // right before opening: libx264's rate tolerance is derived from the final
  // "bt" and bit rate.
  void ApplyCodecOptions(AVCodecContext* ctx, int flags) const;
  // The remembered format options (muxer-private ones included) as a
  // dictionary for opening a container; the caller owns it.
  AVDictionary* FormatOptionsDictionary() const;

 private:
  void Log(LogLevel level, const std::string& message) const;
  void SetKindBitRate(MediaKind kind, const std::string& value);
  bool SetPrivateOption(const std::string& name, const std::string& value);
  void ApplyPresetText(const std::string& key, const std::string& text, MediaKind kind);

  const AVCodec* ChooseCodec(const std::string& name, AVMediaType type, bool encoder, std::string& error) const;
  void AddVideoStream(EngineOutput& out);
  void AddAudioStream(EngineOutput& out);
  void AddSubtitleStream(EngineOutput& out);
  EngineOutputStream& NewOutputStream(EngineOutput& out, MediaKind kind);

  OptionState state_;
  OptionContexts generic_;
  std::vector<std::unique_ptr<EngineInput>> inputs_;    // in the order opened
  std::vector<std::unique_ptr<EngineOutput>> outputs_;  // in the order set up
  std::vector<int> outputSlots_;  // output slot i -> output; a join output fills one slot per input
  bool joinTaken_ = false;
  std::string errorMessage_;
};

}  // namespace zelvo
