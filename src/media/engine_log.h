// The process-wide engine log: collects the media libraries' messages (through
// their log callback) and the program's own, filters them by level, assembles
// whole lines per thread and hands each line to the OnLog handler, by default
// in the main thread.
//
// Threads: the library callback and Log/LogFmt run in any thread. Pending
// partial lines are per thread (thread-local), so threads never share them.
// The handler and the level are guarded by lock_. With
// TriggerEventInMainThread the handler runs in the main thread and callers
// wait for it; otherwise it runs in the logging thread and must be
// thread-safe.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace zelvo {

enum class LogLevel : int {
  llQuiet = 0,
  llPanic = 1,
  llFatal = 2,
  llError = 3,
  llWarning = 4,
  llInfo = 5,
  llVerbose = 6,
  llDebug = 7,
};

// Library level n -> LogLevel: n < 0 quiet, 0..47 n / 8 + 1, 48 and above debug.
LogLevel LibraryLevelToLogLevel(int n);
// LogLevel v -> library level (v - 1) * 8.
int LogLevelToLibraryLevel(LogLevel v);

using LogEvent = std::function<void(const void* sender, std::uint32_t threadId, LogLevel level,
                                    const std::string& message)>;

struct LogInfo {
  const void* Sender = nullptr;
  std::uint32_t ThreadID = 0;
  LogLevel Level = LogLevel::llQuiet;
  std::string LogMsg;
};

class EngineLog {
 public:
  // Only one logger may exist; a second one raises std::logic_error
  // "Allow creating only one instance of TEngineLog.".
  EngineLog();
  ~EngineLog();
  EngineLog(const EngineLog&) = delete;
  EngineLog& operator=(const EngineLog&) = delete;

  // The singleton, created on first use.
  static EngineLog& Logger();

  // Installs the library callback and applies the level (needs avutil bound).
  void AttachLibraryLog();
  // Restores the library's own callback before avutil unloads.
  void DetachLibraryLog();
  void ApplyLevel();

  LogLevel Level() const;
  void SetLogLevel(LogLevel v);
  // "quiet" .. "debug" (any case) or a decimal library level; any other text
  // raises std::invalid_argument.
  void SetLogLevelByName(const std::string& name);

  bool TriggerEventInMainThread() const { return triggerInMainThread_; }
  void SetTriggerEventInMainThread(bool v) { triggerInMainThread_ = v; }
  void SetOnLog(LogEvent handler);

  // The program's own messages; delivered when the level passes (see .cpp).
  void Log(const void* sender, LogLevel level, const std::string& message);
  void LogFmt(const void* sender, LogLevel level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // The library's threshold: library messages above it are dropped.
  static int LibraryThreshold();

 private:
  static void LibraryCallback(void* context, int level, const char* format, va_list args);
  void Deliver(const void* sender, LogLevel level, const std::string& message);

  mutable std::mutex lock_;
  LogLevel level_;        // guarded by lock_
  LogEvent onLog_;        // guarded by lock_
  std::atomic<bool> triggerInMainThread_{true};
};

}  // namespace zelvo
