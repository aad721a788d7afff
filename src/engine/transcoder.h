// The conversion engine. This header covers its option set: the option state,
// the dispatcher of named options, the generic option setter over the media
// libraries' option tables (with the encoders' and muxers' private options),
// the built-in encoder presets and the disc targets.
//
// Threads: an engine instance is driven by one thread at a time (the thread
// that sets it up, then its worker). It shares only the process-wide engine
// log and codec lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_exception.h"
#include "engine/engine_files.h"
#include "engine/frame_hooks.h"
#include "engine/option_state.h"
#include "media/engine_log.h"
#include "media/option_contexts.h"
#include "media/unicode_io.h"

namespace zelvo {

// What a progress report carries (microseconds, bytes, kbit/s).
struct EngineProgress {
  int fileIndex = 0;                 // the input being played; -1 in the final report
  std::int64_t totalDuration = -1;   // -1 when unknown
  std::int64_t currentDuration = 0;  // written time
  std::int64_t totalSize = 0;
  float bitRate = 0;
  float quality = 0;
  int fps = 0;
  int frameNumber = 0;
  bool hasVideo = false;             // the outputs have a video stream
};

class Runner;  // one run (run.cpp)

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
  // The output that output slot i writes to (a join output fills one slot per input).
  int OutputSlotCount() const { return static_cast<int>(outputSlots_.size()); }
  std::int64_t TotalDuration() const { return state_.totalDuration; }

  // One run: prepares the streams, transcodes until the inputs end, a limit
  // is reached or a stop is requested, writes the trailers, cleans up and
  // sends the terminate notification. Errors end the run and are recorded
  // (ExceptionRaised, ExceptionMessage); nothing escapes. Runs in the
  // caller's thread (the task's worker).
  void Run();
  // Any thread: ends the run at its next check (also inside a long run of
  // duplicated frames).
  void RequestStop();
  // Any thread: a paused run waits at its next safe point (the head of the
  // packet loop, or between duplicated frames), holding no lock, until it is
  // resumed or stopped.
  void SetPaused(bool paused);
  bool Paused() const;
  // Sends the terminate notification without running (a task stopped before
  // it started, or one that cannot start), recording message as its error
  // when not empty.
  void SendTerminate();
  void FailBeforeRun(const std::string& message);
  // A task stopped before it ran: its files are closed (empty outputs
  // deleted) and its terminate notification is sent.
  void CancelBeforeRun();
  bool StopRequested() const { return stop_; }
  bool Finished() const { return finished_; }
  bool ExceptionRaised() const { return exceptionRaised_; }
  const std::string& ExceptionMessage() const { return exceptionMessage_; }
  // Pictures the frame-rate synchronisation added or left out in the run.
  int DuplicatedFrames() const { return duplicatedFrames_; }
  int DroppedFrames() const { return droppedFrames_; }
  // Set before Run, from the thread that starts it.
  void SetProgressInterval(std::int64_t microseconds) { progressInterval_ = microseconds; }
  void SetOnProgress(std::function<void(const EngineProgress&)> handler) { onProgress_ = std::move(handler); }
  void SetOnTerminate(std::function<void()> handler) { onTerminate_ = std::move(handler); }
  // The custom hook: called in the running thread for every decoded picture.
  void SetCustomHook(CustomHookHandler handler) { hooks_.SetCustomHook(std::move(handler)); }
  // Captured pictures, when the PreviewBitmap switch is on.
  void SetPreviewBitmapHandler(PreviewBitmapHandler handler) { hooks_.SetPreviewBitmapHandler(std::move(handler)); }
  // kPreviewWindow | kPreviewBitmap; any thread.
  void SetPreviewSwitches(int bits) { hooks_.SetPreviewSwitches(bits); }
  int PreviewSwitches() const { return hooks_.PreviewSwitches(); }
  // Running and terminated: from the start of a run to its terminate
  // notification, and after it.
  bool Running() const { return running_; }
  bool Terminated() const { return terminated_; }

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
  AVCodecContext* CreateEncoder(EngineOutput& out, EngineOutputStream& os, AVMediaType type, const std::string& name);

  friend class Runner;
  // Closes the outputs (deleting those left empty) and the inputs, and
  // frees what the option state holds.
  void Cleanup();

  OptionState state_;
  OptionContexts generic_;
  // Run control: stop_ is written by any thread; the rest by the running thread.
  std::atomic<bool> stop_{false};
  bool finished_ = false;
  bool exceptionRaised_ = false;
  std::string exceptionMessage_;
  int duplicatedFrames_ = 0, droppedFrames_ = 0;
  std::int64_t progressInterval_ = 500000;
  std::function<void(const EngineProgress&)> onProgress_;
  std::function<void()> onTerminate_;
  std::atomic<bool> running_{false}, terminated_{false};
  void WaitWhilePaused();
  mutable std::mutex pauseLock_;
  std::condition_variable pauseChanged_;
  bool paused_ = false;  // guarded by pauseLock_
  FrameHooks hooks_;
  std::vector<std::unique_ptr<EngineInput>> inputs_;    // in the order opened
  std::vector<std::unique_ptr<EngineOutput>> outputs_;  // in the order set up
  std::vector<int> outputSlots_;  // output slot i -> output; a join output fills one slot per input
  bool joinTaken_ = false;
  std::string errorMessage_;
};

}  // namespace zelvo
