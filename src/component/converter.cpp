#include "component/converter.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <stdexcept>

#include "media/dispatcher.h"
#include "media/engine_log.h"
#include "media/library_loader.h"
#include "media/utils.h"

namespace zelvo {

namespace {

// Engine runs on the calling thread's stack: the list must not be cleared
// from inside one of their events.
thread_local int t_runDepth = 0;

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

using OptionLines = std::vector<std::pair<std::string, std::string>>;

// The records' option text: one "name=value" per line (or "<CRLF>"); names
// lower-cased, nothing else trimmed but the text as a whole.
OptionLines ParseOptionText(const std::string& raw) {
  std::string text = Trim(raw);
  std::string normalised;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      normalised += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (text.compare(i, 6, "<CRLF>") == 0) {
      normalised += '\n';
      i += 5;
    } else {
      normalised += text[i];
    }
  }
  OptionLines lines;
  while (!normalised.empty()) {
    std::string line = SplitFirst(normalised, "\n", true);
    std::string value = line;
    std::string name = SplitFirst(value, "=", true);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    lines.emplace_back(name, value);
  }
  return lines;
}

std::string SecondsText(std::int64_t us) {
  return Format("%s%lld.%06lld", us < 0 ? "-" : "", static_cast<long long>(std::llabs(us) / 1000000),
                static_cast<long long>(std::llabs(us) % 1000000));
}

void ApplyPriority(ThreadPriority p) {
  if (p == ThreadPriority::tpIdle) {
    sched_param sp{};
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &sp) != 0)
      EngineLog::Logger().Log(nullptr, LogLevel::llWarning, "Cannot set the idle priority of a conversion thread");
    return;
  }
  static const int kNice[] = {0, 15, 5, 0, -5, -10, -15};
  const int nice = kNice[static_cast<int>(p)];
  if (nice == 0) return;
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice) != 0)
    EngineLog::Logger().LogFmt(nullptr, LogLevel::llWarning, "Cannot set the priority %d of a conversion thread", nice);
}

}  // namespace

Converter::Converter() { delivery_ = std::thread([this] { DeliveryLoop(); }); }

Converter::~Converter() {
  if (working_ && !AllDone()) Stop(true);
  // No event is on its way once these are passed.
  { std::lock_guard<std::mutex> a(hookLock_); }
  { std::lock_guard<std::mutex> b(previewLock_); }
  { std::lock_guard<std::mutex> c(progressLock_); }
  { std::lock_guard<std::recursive_mutex> d(terminateLock_); }
  JoinThreads();
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    queueClosing_ = true;
    queueChanged_.notify_all();
  }
  delivery_.join();
  tasks_.clear();
}

bool Converter::LoadMediaLibraries(const std::string& folder) {
  return zelvo::LoadMediaLibraries(folder, kConversionLibraries, lastErrMsg_);
}

bool Converter::IsMediaLibraryLoaded() const { return zelvo::IsMediaLibraryLoaded(kConversionLibraries); }

void Converter::Guard(const char* operation) const {
  if (working_) throw std::runtime_error(Format("Cannot %s while working.", operation));
}

bool Converter::AllDone() const {
  std::lock_guard<std::recursive_mutex> guard(const_cast<std::recursive_mutex&>(terminateLock_));
  return allDone_;
}

TranscodeTask* Converter::Task(int index) const {
  return index >= 0 && index < TaskCount() ? tasks_[static_cast<size_t>(index)].get() : nullptr;
}

MediaProbe* Converter::TaskProbe(int taskIndex, int inputIndex) const {
  TranscodeTask* task = Task(taskIndex);
  if (!task || inputIndex < 0 || inputIndex >= kMaxTaskFiles) return nullptr;
  return task->Probes[inputIndex].get();
}

int Converter::IndexOf(const Transcoder* task) const {
  for (size_t i = 0; i < tasks_.size(); ++i)
    if (tasks_[i].get() == task) return static_cast<int>(i);
  return -1;
}

void Converter::ApplyOptionText(Transcoder& t, const std::string& text, bool outputSide) {
  static const char* const kStreamNames[] = {"newvideo", "newaudio", "newsubtitle", "apre", "vpre", "spre", "vfilters", "vf"};
  for (const auto& [name, value] : ParseOptionText(text)) {
    if (std::find(std::begin(kStreamNames), std::end(kStreamNames), name) != std::end(kStreamNames)) continue;
    if (outputSide && (name == "acodec" || name == "vcodec" || name == "scodec" || name == "s")) continue;
    t.SetOption(name, value);
  }
}

int Converter::AddTask(const std::string& fileName, const InputOptions* options) {
  Guard("AddTask");
  try {
    auto task = std::make_unique<TranscodeTask>();
    TranscodeTask* t = task.get();
    t->SetOption("v", "1");
    t->SetPreviewSwitches((preview_ ? kPreviewWindow : 0) | (previewBitmap_ ? kPreviewBitmap : 0));
    t->SetPreviewBitmapHandler([this, t](const Bitmap& b, std::int64_t pts, int frame) { TaskPreview(t, b, pts, frame); });
    if (options) {
      InputOptions copy = *options;
      if (copy.FileName.empty()) copy.FileName = fileName;
      t->Inputs[0] = copy;
      ApplyOptionText(*t, copy.ExtOptions, false);
      if (!copy.ForceFormat.empty()) t->SetOption("f", copy.ForceFormat);
      if (copy.StartTime != kNoValue) t->SetOption("ss", SecondsText(copy.StartTime));
      if (copy.ProgramID >= 0) t->SetOption("programid", std::to_string(copy.ProgramID));
    }
    if (!t->OpenInput(fileName)) {
      lastErrMsg_ = t->ErrorMessage();
      return -1;
    }
    // The task's probe reads the file on its own: the engine's context goes
    // with the run, the probe's facts are wanted before and after it.
    t->Probes[0] = std::make_unique<MediaProbe>();
    t->Probes[0]->ProbeFile(fileName);
    t->SetOnProgress([this, t](const EngineProgress& p) { TaskProgress(t, p); });
    t->SetOnTerminate([this, t] { TaskTerminated(t); });
    tasks_.push_back(std::move(task));
    return TaskCount() - 1;
  } catch (const std::exception& e) {
    lastErrMsg_ = e.what();
    return -1;
  }
}

bool Converter::SetOutputFile(int taskIndex, const std::string& fileName, const OutputOptions* options) {
  Guard("SetOutputFile");
  TranscodeTask* t = Task(taskIndex);
  if (!t) {
    lastErrMsg_ = Format("task index #%d is invalid.", taskIndex);
    return false;
  }
  const int slot = t->OutputCount();
  if (slot >= kMaxTaskFiles) {
    lastErrMsg_ = Format("max output files %d reached", kMaxTaskFiles);
    return false;
  }
  try {
    if (!options) {
      t->Outputs[slot].reset();
      if (t->OpenOutput(fileName, false) < 0) {
        lastErrMsg_ = t->ErrorMessage();
        return false;
      }
      return true;
    }
    OutputOptions o = *options;
    if (o.FileName.empty()) o.FileName = fileName;
    t->Outputs[slot] = o;

    // Defaults and the queue of stream options for extra streams.
    OptionLines defaults = {{"acodec", o.AudioCodec}, {"vcodec", o.VideoCodec}, {"scodec", o.SubtitleCodec},
                            {"apre", o.AudioPreset},  {"vpre", o.VideoPreset},  {"spre", o.SubtitlePreset},
                            {"s", o.FrameSize},       {"vf", o.VideoFilters}};
    auto def = [&defaults](const std::string& name) -> std::string& {
      for (auto& d : defaults)
        if (d.first == name) return d.second;
      throw std::logic_error("no default " + name);
    };
    OptionLines queue;
    const OptionLines lines = ParseOptionText(o.ExtOptions);
    for (const auto& [rawName, value] : lines) {
      static const char* const kQueued[] = {"acodec", "vcodec", "scodec", "apre", "vpre", "spre", "s", "vfilters", "vf"};
      if (value.empty() || std::find(std::begin(kQueued), std::end(kQueued), rawName) == std::end(kQueued)) continue;
      const std::string name = rawName == "vfilters" ? "vf" : rawName;
      if (def(name).empty()) def(name) = value;
      queue.emplace_back(name, value);
    }
    if (o.Target >= 1 && o.Target <= 3) {
      static const char* const kTypes[] = {"vcd", "svcd", "dvd"};
      const char* norm = o.TargetNorm == 1 ? "pal" : o.TargetNorm == 2 ? "ntsc" : "auto";
      t->SetTarget(kTypes[o.Target - 1], norm, o.TargetNormDefault == 1 ? "pal" : "ntsc");
    }
    if (!def("acodec").empty()) t->SetEncoder(kAudio, def("acodec"));
    if (!def("vcodec").empty()) t->SetEncoder(kVideo, def("vcodec"));
    if (!def("scodec").empty()) t->SetEncoder(kSubtitle, def("scodec"));
    t->SetOption("apre", def("apre"));
    t->SetOption("vpre", def("vpre"));
    t->SetOption("spre", def("spre"));
    ApplyOptionText(*t, o.ExtOptions, true);

    auto set = [t](const char* name, const std::string& value) { t->SetOption(name, value); };
    auto generic = [t](const char* name, int value) {
      if (value > 0) t->SetGenericOption(name, std::to_string(value));
    };
    if (!o.ForceFormat.empty()) set("f", o.ForceFormat);
    generic("packetsize", o.PacketSize);
    generic("muxrate", o.MuxRate);
    if (o.MuxDelay > 0) set("muxdelay", Format("%g", o.MuxDelay));
    if (o.MuxPreload > 0) set("muxpreload", Format("%g", o.MuxPreload));
    if (o.DisableAudio) set("an", "1");
    if (o.AudioVolume >= 0) set("vol", std::to_string(o.AudioVolume));
    if (o.AudioChannels > 0) set("ac", std::to_string(o.AudioChannels));
    if (o.AudioSampleRate > 0) set("ar", std::to_string(o.AudioSampleRate));
    generic("ab", o.AudioBitrate);
    generic("abt", o.AudioBitrateTolerance);
    set("alang", o.AudioLanguage);
    set("async", std::to_string(o.AudioSyncMethod));
    if (!o.AudioTag.empty()) set("atag", o.AudioTag);
    if (o.DisableVideo) set("vn", "1");
    if (!o.FrameRate.empty()) set("r", o.FrameRate);
    if (!o.FrameAspectRatio.empty()) set("aspect", o.FrameAspectRatio);
    if (o.CropTop > 0) set("croptop", std::to_string(o.CropTop));
    if (o.CropBottom > 0) set("cropbottom", std::to_string(o.CropBottom));
    if (o.CropLeft > 0) set("cropleft", std::to_string(o.CropLeft));
    if (o.CropRight > 0) set("cropright", std::to_string(o.CropRight));
    generic("g", o.GOPSize);
    generic("vb", o.VideoBitrate);
    generic("maxrate", o.VideoMaxRate);
    generic("minrate", o.VideoMinRate);
    generic("bt", o.VideoBitrateTolerance);
    generic("bufsize", o.VideoBufSize);
    set("vsync", std::to_string(o.VideoSyncMethod));
    if (!o.VideoTag.empty()) set("vtag", o.VideoTag);
    set("vlang", o.VideoLanguage);
    if (o.DisableSubtitle) set("sn", "1");
    set("slang", o.SubtitleLanguage);
    set("isync", o.InputSync ? "1" : "0");
    if (o.CopyTimestamps) set("copyts", "1");
    if (o.StartTime != kNoValue) set("ss", SecondsText(o.StartTime));
    if (o.RecordingTime != kNoValue) set("t", SecondsText(o.RecordingTime));
    if (o.Info.Timestamp == 0) {
      set("timestamp", "now");
    } else if (o.Info.Timestamp > 0) {
      tzset();
      const auto seconds = static_cast<std::int64_t>(std::llround((o.Info.Timestamp - 25569.0) * 86400.0 + static_cast<double>(timezone)));
      const time_t tt = static_cast<time_t>(seconds);
      struct tm tm{};
      gmtime_r(&tt, &tm);
      char text[32];
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
      set("timestamp", text);
    }
    // The libraries' own keys: "date" for the year, "artist" for the author.
    if (o.Info.Year > 0) set("metadata", "date=" + std::to_string(o.Info.Year));
    if (o.Info.Track > 0) set("metadata", "track=" + std::to_string(o.Info.Track));
    const std::pair<const char*, const std::string*> texts[] = {
        {"title", &o.Info.Title},     {"artist", &o.Info.Author}, {"copyright", &o.Info.Copyright},
        {"comment", &o.Info.Comment}, {"album", &o.Info.Album},   {"genre", &o.Info.Genre}};
    for (const auto& [key, value] : texts)
      if (!value->empty()) set("metadata", std::string(key) + "=" + *value);
    if (!def("s").empty()) set("s", def("s"));
    if (!def("vf").empty()) set("vf", def("vf"));
    if (o.CustomHook) t->SetCustomHook([this, t](HookCall& call) { TaskHook(t, call); });

    if (t->OpenOutput(fileName, o.Join) < 0) {
      lastErrMsg_ = t->ErrorMessage();
      t->Outputs[slot].reset();
      return false;
    }
    // Extra streams take their own queued options, else the defaults.
    for (const auto& [name, value] : lines) {
      std::vector<const char*> kinds;
      if (name == "newaudio") kinds = {"acodec", "apre"};
      else if (name == "newvideo") kinds = {"vcodec", "vpre", "s", "vf"};
      else if (name == "newsubtitle") kinds = {"scodec", "spre"};
      else continue;
      for (const char* k : kinds) {
        auto q = std::find_if(queue.begin(), queue.end(), [k](const auto& e) { return e.first == k; });
        if (q != queue.end()) {
          t->SetOption(q->first, q->second);
          queue.erase(q);
        } else if (!def(k).empty()) {
          t->SetOption(k, def(k));
        }
      }
      t->SetOption(name, value);
    }
    return true;
  } catch (const std::exception& e) {
    lastErrMsg_ = e.what();
    return false;
  }
}

void Converter::RemoveTask(int taskIndex) {
  Guard("RemoveTask");
  if (taskIndex >= 0 && taskIndex < TaskCount()) tasks_.erase(tasks_.begin() + taskIndex);
}

void Converter::ClearTasks() {
  if ((working_ && !AllDone()) || t_runDepth > 0) throw std::runtime_error("Cannot ClearTasks while working.");
  JoinThreads();
  tasks_.clear();
  lastErrMsg_.clear();
  std::lock_guard<std::recursive_mutex> guard(terminateLock_);
  finishedCount_ = 0;
  nextTask_ = -1;
  remaining_ = 0;
  allDone_ = threaded_ = working_ = false;
}

void Converter::JoinThreads() {
  // Events still queued are delivered first (unless this is the delivery
  // thread itself, called from an event).
  if (std::this_thread::get_id() != delivery_.get_id()) {
    std::unique_lock<std::mutex> guard(queueLock_);
    queueChanged_.wait(guard, [this] { return queue_.empty() && queueBusy_ == 0; });
  }
  const auto self = std::this_thread::get_id();
  for (auto& task : tasks_)
    if (task->worker_.joinable() && task->worker_.get_id() != self) task->worker_.join();
  for (auto& th : stopThreads_)
    if (th.joinable() && th.get_id() != self) th.join();
  stopThreads_.erase(std::remove_if(stopThreads_.begin(), stopThreads_.end(), [](std::thread& th) { return !th.joinable(); }),
                     stopThreads_.end());
}

void Converter::DeliveryLoop() {
  std::unique_lock<std::mutex> guard(queueLock_);
  for (;;) {
    queueChanged_.wait(guard, [this] { return queueClosing_ || !queue_.empty(); });
    if (queue_.empty()) return;  // closing
    TerminateInfo info = std::move(queue_.front());
    queue_.pop_front();
    ++queueBusy_;
    guard.unlock();
    if (onTerminate_) {
      try {
        onTerminate_(*this, info);
      } catch (const std::exception& e) {
        EngineLog::Logger().Log(this, LogLevel::llError, std::string("Error occurs OnTerminate: ") + e.what());
      }
    }
    guard.lock();
    --queueBusy_;
    queueChanged_.notify_all();
  }
}

void Converter::DeliverTerminate(const TerminateInfo& info) {
  if (!onTerminate_) return;
  if (threaded_) {
    std::lock_guard<std::mutex> guard(queueLock_);
    queue_.push_back(info);
    queueChanged_.notify_all();
  } else {
    onTerminate_(*this, info);
  }
}

void Converter::StartTask(int threadCount) {
  Guard("StartTask");
  {
    std::lock_guard<std::recursive_mutex> guard(terminateLock_);
    finishedCount_ = 0;
    nextTask_ = 0;
    remaining_ = TaskCount();
    allDone_ = false;
    threaded_ = threadCount > 0;
    working_ = true;
    if (tasks_.empty()) {
      // Nothing to run: the run has ended at once.
      allDone_ = true;
      DeliverTerminate({-1, true, false, ""});
      return;
    }
    if (threaded_)
      for (int i = 0; i < threadCount && remaining_ > 0; ++i) StartNextLocked();
  }
  if (!threaded_) {
    for (;;) {
      std::lock_guard<std::recursive_mutex> guard(terminateLock_);
      if (remaining_ <= 0) break;
      StartNextLocked();
    }
  }
}

void Converter::StartNextLocked() {
  if (remaining_ <= 0 || nextTask_ < 0 || nextTask_ >= TaskCount()) return;
  --remaining_;
  TranscodeTask* task = tasks_[static_cast<size_t>(nextTask_++)].get();
  task->SetProgressInterval(static_cast<std::int64_t>(progressInterval_) * 1000);
  task->started_ = true;
  auto body = [this, task] {
    RunTaskEngine(task);
    std::lock_guard<std::mutex> guard(task->doneLock_);
    task->done_ = true;
    task->doneChanged_.notify_all();
  };
  if (threaded_) {
    const ThreadPriority priority = priority_;
    task->worker_ = std::thread([body, priority] {
      ApplyPriority(priority);
      body();
    });
  } else {
    body();
  }
}

void Converter::RunTaskEngine(TranscodeTask* task) {
  if (task->Running() || task->Terminated()) return;
  ++t_runDepth;
  if (task->OutputCount() == 0) task->FailBeforeRun("At least one output file must be specified");
  else if (task->InputCount() == 0) task->FailBeforeRun("At least one input file must be specified");
  else task->Run();
  --t_runDepth;
}

void Converter::TaskTerminated(TranscodeTask* task) {
  std::lock_guard<std::recursive_mutex> guard(terminateLock_);
  DeliverTerminate({IndexOf(task), task->Finished(), task->ExceptionRaised(), task->ExceptionMessage()});
  ++finishedCount_;
  if (remaining_ == 0) {
    if (finishedCount_ >= TaskCount() && !allDone_) {
      // Done before the event goes out, so that its handler may clear the list.
      allDone_ = true;
      DeliverTerminate({-1, true, false, ""});
    }
  } else if (threaded_) {
    StartNextLocked();
  }
}

void Converter::Pause() {
  std::lock_guard<std::recursive_mutex> guard(terminateLock_);
  for (auto& task : tasks_)
    if (task->started_ && !task->Terminated()) task->SetPaused(true);
}

void Converter::Resume() {
  for (auto& task : tasks_) task->SetPaused(false);
}

void Converter::WaitForTask(TranscodeTask* task) {
  const bool mainThread = Dispatcher()->IsMainThread();
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(task->doneLock_);
      if (task->doneChanged_.wait_for(guard, std::chrono::milliseconds(20), [task] { return task->done_; })) return;
    }
    if (mainThread) ProcessPendingMessages();
  }
}

void Converter::Stop(bool wait) {
  {
    std::lock_guard<std::recursive_mutex> guard(terminateLock_);
    remaining_ = 0;
  }
  for (auto& owned : tasks_) {
    TranscodeTask* task = owned.get();
    bool started;
    {
      std::lock_guard<std::recursive_mutex> guard(terminateLock_);
      started = task->started_;
      task->started_ = true;  // claimed: nothing else starts it now
    }
    if (task->Terminated() && started) continue;
    if (started) {
      task->RequestStop();
      task->SetPaused(false);
      // An unthreaded run is on this thread's stack: it sees the flag when
      // the event that called Stop returns.
      if (wait && threaded_) WaitForTask(task);
    } else {
      stopThreads_.emplace_back([task] {
        task->CancelBeforeRun();
        std::lock_guard<std::mutex> guard(task->doneLock_);
        task->done_ = true;
        task->doneChanged_.notify_all();
      });
      if (wait) WaitForTask(task);
    }
  }
}

void Converter::SetPreview(bool on) {
  preview_ = on;
  for (auto& task : tasks_) task->SetPreviewSwitches((on ? kPreviewWindow : 0) | (task->PreviewSwitches() & kPreviewBitmap));
}

void Converter::SetPreviewBitmap(bool on) {
  previewBitmap_ = on;
  for (auto& task : tasks_) task->SetPreviewSwitches((on ? kPreviewBitmap : 0) | (task->PreviewSwitches() & kPreviewWindow));
}

void Converter::TaskProgress(const Transcoder* task, const EngineProgress& p) {
  if (!onProgress_) return;
  std::lock_guard<std::mutex> guard(progressLock_);
  ProgressInfo& info = progressInfo_;
  info.TaskIndex = IndexOf(task);
  info.FileIndex = p.fileIndex;
  info.FrameNumber = p.hasVideo ? p.frameNumber : -1;
  info.FPS = p.hasVideo ? p.fps : -1;
  info.Quality = p.hasVideo ? p.quality : -1.0f;
  info.BitRate = p.bitRate;
  info.CurrentSize = p.totalSize;
  info.CurrentDuration = p.currentDuration;
  info.TotalDuration = p.totalDuration;
  auto call = [this] { onProgress_(*this, &progressInfo_); };
  if (triggerInMainThread_) CallInMainThread(call);
  else call();
}

void Converter::TaskHook(const Transcoder* task, HookCall& call) {
  if (!onCustomHook_) return;
  std::lock_guard<std::mutex> guard(hookLock_);
  hookInfo_ = {IndexOf(task), call.Bitmap, call.FrameNumber, call.PTS, call.Update, call.StopHook};
  struct CopyBack {
    HookCall& call;
    HookInfo& info;
    ~CopyBack() {
      call.Update = info.Update;
      call.StopHook = info.StopHook;
    }
  } copyBack{call, hookInfo_};
  std::lock_guard<std::mutex> canvas(call.Bitmap->CanvasLock());
  onCustomHook_(*this, &hookInfo_);
}

void Converter::TaskPreview(const Transcoder* task, const Bitmap& bitmap, std::int64_t pts, int frame) {
  if (!onPreviewBitmap_) return;
  std::lock_guard<std::mutex> guard(previewLock_);
  previewInfo_ = {IndexOf(task), &bitmap, frame, pts};
  auto call = [this] { onPreviewBitmap_(*this, previewInfo_); };
  if (triggerInMainThread_) CallInMainThread(call);
  else call();
}

}  // namespace zelvo
