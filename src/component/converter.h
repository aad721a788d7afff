// The conversion component: the application's door to the engine. A batch
// is a list of tasks, each an engine instance with one input and its outputs,
// described by plain option records; the component runs them (several at
// once on worker threads, or one after another in the calling thread) and
// reports progress, the end of each task and of the run, and per-frame hooks.
//
// Threads:
// - Building the list (AddTask, SetOutputFile, RemoveTask, ClearTasks), the
//   properties and StartTask/Pause/Resume/Stop: the main thread.
// - OnProgress and OnPreviewBitmap: in the main thread through the main-thread
//   dispatcher when TriggerEventInMainThread is set (the worker waits), else
//   in the worker; each kind under its own lock.
// - OnCustomHook: in the worker, under its lock, with the bitmap's canvas locked.
// - OnTerminate: in threaded runs on the component's delivery thread (one
//   after another, in the order the tasks ended, then the end of the run);
//   in unthreaded runs in the calling thread.
#pragma once

#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/transcoder.h"
#include "media/media_probe.h"

namespace zelvo {

constexpr std::int64_t kNoValue = INT64_MIN;
constexpr int kMaxTaskFiles = 20;

struct StreamInfo {
  double Timestamp = -1.0;  // days since 1899-12-30, local time; < 0 none, 0 now
  int Year = -1;
  int Track = -1;
  std::string Title, Author, Copyright, Comment, Album, Genre;
};

struct InputOptions {
  std::string FileName;
  std::string ForceFormat;
  std::int64_t StartTime = kNoValue;
  int ProgramID = -1;
  std::string ExtOptions;
};

struct OutputOptions {
  std::string FileName;
  std::string ForceFormat;
  int PacketSize = -1;
  int MuxRate = -1;
  float MuxDelay = -1.0f;
  float MuxPreload = -1.0f;
  std::string AudioCodec;
  std::string AudioPreset;
  bool DisableAudio = false;
  int AudioVolume = -1;
  int AudioChannels = -1;
  int AudioSampleRate = -1;
  int AudioBitrate = -1;
  int AudioBitrateTolerance = -1;
  std::string AudioLanguage;
  int AudioSyncMethod = 0;
  std::string AudioTag;
  std::string VideoCodec;
  std::string VideoPreset;
  bool DisableVideo = false;
  std::string FrameRate;
  std::string FrameSize;
  std::string FrameAspectRatio;
  int CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;
  int GOPSize = -1;
  int VideoBitrate = -1;
  int VideoMaxRate = -1;
  int VideoMinRate = -1;
  int VideoBitrateTolerance = -1;
  int VideoBufSize = -1;
  int VideoSyncMethod = -1;
  std::string VideoTag;
  std::string VideoFilters;
  std::string VideoLanguage;
  std::string SubtitleCodec;
  std::string SubtitlePreset;
  bool DisableSubtitle = false;
  std::string SubtitleLanguage;
  bool InputSync = false;
  bool CopyTimestamps = false;
  std::int64_t StartTime = kNoValue;
  std::int64_t RecordingTime = kNoValue;
  StreamInfo Info;
  int Target = 0;             // 0 none, 1 VCD, 2 SVCD, 3 DVD
  int TargetNorm = 0;         // 0 auto, 1 PAL, 2 NTSC
  int TargetNormDefault = 1;  // 1 PAL, else NTSC
  bool CustomHook = false;
  bool Join = false;
  std::string ExtOptions;
};

// The initialisers: every field back to its default.
inline void InitInputOptions(InputOptions& o) { o = InputOptions{}; }
inline void InitOutputOptions(OutputOptions& o) { o = OutputOptions{}; }

struct ProgressInfo {
  int TaskIndex = 0;
  int FileIndex = 0;
  int FrameNumber = 0;
  int FPS = 0;
  float Quality = 0;
  float BitRate = 0;
  std::int64_t CurrentSize = 0;
  std::int64_t CurrentDuration = 0;
  std::int64_t TotalDuration = -1;
};

struct TerminateInfo {
  int TaskIndex = 0;
  bool Finished = false;
  bool Exception = false;
  std::string ExceptionMsg;
};

struct HookInfo {
  int TaskIndex = 0;
  zelvo::Bitmap* Bitmap = nullptr;
  int FrameNumber = 0;
  std::int64_t PTS = 0;
  bool Update = true;
  bool StopHook = false;
};

struct PreviewInfo {
  int TaskIndex = 0;
  const zelvo::Bitmap* Bitmap = nullptr;
  int FrameNumber = 0;
  std::int64_t PTS = 0;
};

enum class ThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class Converter;
using ProgressEvent = std::function<void(Converter& sender, ProgressInfo* info)>;
using TerminateEvent = std::function<void(Converter& sender, const TerminateInfo& info)>;
using CustomHookEvent = std::function<void(Converter& sender, HookInfo* info)>;
using PreviewBitmapEvent = std::function<void(Converter& sender, const PreviewInfo& info)>;

// One task: an engine with per-input probes and the records it was given.
class TranscodeTask : public Transcoder {
 public:
  std::unique_ptr<MediaProbe> Probes[kMaxTaskFiles];
  std::optional<InputOptions> Inputs[kMaxTaskFiles];
  std::optional<OutputOptions> Outputs[kMaxTaskFiles];

 private:
  friend class Converter;
  std::thread worker_;
  bool started_ = false;  // guarded by the component's terminate lock
  std::mutex doneLock_;
  std::condition_variable doneChanged_;
  bool done_ = false;  // guarded by doneLock_: the worker (or terminate thread) has ended
};

class Converter {
 public:
  Converter();
  ~Converter();
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  static const char* Version() { return "3.3"; }

  bool LoadMediaLibraries(const std::string& folder);
  bool IsMediaLibraryLoaded() const;

  // Tasks (main thread). AddTask returns the task index or -1,
  // SetOutputFile false, with the reason in LastErrMsg. While working they
  // raise std::runtime_error "Cannot %s while working.".
  int AddTask(const std::string& fileName, const InputOptions* options);
  bool SetOutputFile(int taskIndex, const std::string& fileName, const OutputOptions* options);
  void RemoveTask(int taskIndex);
  // Allowed when idle or once the run has ended; stops nothing.
  void ClearTasks();
  int TaskCount() const { return static_cast<int>(tasks_.size()); }
  TranscodeTask* Task(int index) const;
  MediaProbe* TaskProbe(int taskIndex, int inputIndex) const;
  const std::string& LastErrMsg() const { return lastErrMsg_; }
  MediaProbe& Probe() { return probe_; }

  // Run control.
  void StartTask(int threadCount);
  void Pause();
  void Resume();
  void Stop(bool wait);
  bool Working() const { return working_; }
  bool AllDone() const;

  bool Preview() const { return preview_; }
  void SetPreview(bool on);
  bool PreviewBitmap() const { return previewBitmap_; }
  void SetPreviewBitmap(bool on);
  int ProgressInterval() const { return progressInterval_; }
  void SetProgressInterval(int ms) { progressInterval_ = ms <= 100 ? 100 : ms; }
  zelvo::ThreadPriority GetThreadPriority() const { return priority_; }
  void SetThreadPriority(zelvo::ThreadPriority p) { priority_ = p; }
  bool TriggerEventInMainThread() const { return triggerInMainThread_; }
  void SetTriggerEventInMainThread(bool v) { triggerInMainThread_ = v; }

  void SetOnProgress(ProgressEvent e) { onProgress_ = std::move(e); }
  void SetOnTerminate(TerminateEvent e) { onTerminate_ = std::move(e); }
  void SetOnCustomHook(CustomHookEvent e) { onCustomHook_ = std::move(e); }
  void SetOnPreviewBitmap(PreviewBitmapEvent e) { onPreviewBitmap_ = std::move(e); }

 private:
  void Guard(const char* operation) const;
  int IndexOf(const Transcoder* task) const;
  void ApplyOptionText(Transcoder& t, const std::string& text, bool outputSide);
  void StartNextLocked();
  void RunTaskEngine(TranscodeTask* task);
  void TaskTerminated(TranscodeTask* task);
  void DeliverTerminate(const TerminateInfo& info);
  void TaskProgress(const Transcoder* task, const EngineProgress& p);
  void TaskHook(const Transcoder* task, HookCall& call);
  void TaskPreview(const Transcoder* task, const Bitmap& bitmap, std::int64_t pts, int frame);
  void WaitForTask(TranscodeTask* task);
  void JoinThreads();
  void DeliveryLoop();

  std::vector<std::unique_ptr<TranscodeTask>> tasks_;
  std::string lastErrMsg_;
  MediaProbe probe_;

  bool preview_ = false, previewBitmap_ = false;
  int progressInterval_ = 500;
  zelvo::ThreadPriority priority_ = zelvo::ThreadPriority::tpNormal;
  bool triggerInMainThread_ = true;
  ProgressEvent onProgress_;
  TerminateEvent onTerminate_;
  CustomHookEvent onCustomHook_;
  PreviewBitmapEvent onPreviewBitmap_;

  // Run state, guarded by terminateLock_ once a run has started.
  std::recursive_mutex terminateLock_;
  int finishedCount_ = 0, nextTask_ = -1, remaining_ = 0;
  bool threaded_ = false;
  bool working_ = false;
  bool allDone_ = false;
  std::vector<std::thread> stopThreads_;  // terminate senders of tasks stopped before they ran

  std::mutex progressLock_, previewLock_, hookLock_;
  ProgressInfo progressInfo_;  // guarded by progressLock_
  HookInfo hookInfo_;          // guarded by hookLock_
  PreviewInfo previewInfo_;    // guarded by previewLock_

  // The terminate delivery thread of threaded runs.
  std::mutex queueLock_;
  std::condition_variable queueChanged_;
  std::deque<TerminateInfo> queue_;  // guarded by queueLock_
  bool queueClosing_ = false;        // guarded by queueLock_
  int queueBusy_ = 0;                // guarded by queueLock_: an event is being delivered
  std::thread delivery_;
};

}  // namespace zelvo
