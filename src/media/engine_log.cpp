#include "media/engine_log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <strings.h>
#include <vector>

#include "media/av_entries.h"
#include "media/dispatcher.h"

namespace zelvo {

namespace {

std::atomic<int> g_threshold{AV_LOG_INFO};

std::mutex g_singletonLock;
EngineLog* g_instance = nullptr;             // guarded by g_singletonLock; not owning
std::unique_ptr<EngineLog> g_ownedInstance;  // the logger Logger() created, if it did

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

// The unfinished line of the calling thread.
thread_local std::string t_pending;

}  // namespace

LogLevel LibraryLevelToLogLevel(int n) {
  if (n < 0) return LogLevel::llQuiet;
  if (n >= 48) return LogLevel::llDebug;
  return static_cast<LogLevel>(n / 8 + 1);
}

int LogLevelToLibraryLevel(LogLevel v) { return (static_cast<int>(v) - 1) * 8; }

EngineLog::EngineLog() : level_(LibraryLevelToLogLevel(g_threshold.load())) {
  std::lock_guard<std::mutex> guard(g_singletonLock);
  if (g_instance != nullptr) throw std::logic_error("Allow creating only one instance of TEngineLog.");
  g_instance = this;
}

EngineLog::~EngineLog() {
  std::lock_guard<std::mutex> guard(g_singletonLock);
  if (g_instance == this) g_instance = nullptr;
}

EngineLog& EngineLog::Logger() {
  static std::mutex createLock;  // serialises creation; the constructor registers itself
  std::lock_guard<std::mutex> creating(createLock);
  {
    std::lock_guard<std::mutex> guard(g_singletonLock);
    if (g_instance != nullptr) return *g_instance;
  }
  g_ownedInstance = std::make_unique<EngineLog>();
  return *g_ownedInstance;
}

void EngineLog::AttachLibraryLog() {
  if (lib::avutil.av_log_set_callback == nullptr) return;
  lib::avutil.av_log_set_callback(&EngineLog::LibraryCallback);
  ApplyLevel();
}

void EngineLog::DetachLibraryLog() {
  if (lib::avutil.av_log_set_callback && lib::avutil.av_log_default_callback)
    lib::avutil.av_log_set_callback(lib::avutil.av_log_default_callback);
}

void EngineLog::ApplyLevel() {
  if (lib::avutil.av_log_set_level == nullptr) return;
  int n = LogLevelToLibraryLevel(Level());
  g_threshold = n;
  lib::avutil.av_log_set_level(n);
}

LogLevel EngineLog::Level() const {
  std::lock_guard<std::mutex> guard(lock_);
  return level_;
}

void EngineLog::SetLogLevel(LogLevel v) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (v == level_) return;
    level_ = v;
  }
  ApplyLevel();
}

void EngineLog::SetLogLevelByName(const std::string& name) {
  static const struct { const char* name; int level; } kNames[] = {
      {"quiet", -8}, {"panic", 0}, {"fatal", 8}, {"error", 16},
      {"warning", 24}, {"info", 32}, {"verbose", 40}, {"debug", 48},
  };
  for (const auto& n : kNames) {
    if (strcasecmp(n.name, name.c_str()) == 0) {
      SetLogLevel(LibraryLevelToLogLevel(n.level));
      return;
    }
  }
  size_t used = 0;
  int level = 0;
  try {
    level = std::stoi(name, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != name.size())
    throw std::invalid_argument("'" + name + "' is not a valid integer value");
  SetLogLevel(LibraryLevelToLogLevel(level));
}

void EngineLog::SetOnLog(LogEvent handler) {
  std::lock_guard<std::mutex> guard(lock_);
  onLog_ = std::move(handler);
}

int EngineLog::LibraryThreshold() { return g_threshold.load(); }

void EngineLog::LibraryCallback(void* context, int level, const char* format, va_list args) {
  if (level >= 0) level &= 0xff;  // strip the colour bits
  if (level > g_threshold.load()) return;

  char prefix[256] = "";
  if (context != nullptr) {
    const AVClass* cls = *static_cast<const AVClass* const*>(context);
    const char* name = (cls && cls->item_name) ? cls->item_name(context) : "NULL";
    std::snprintf(prefix, sizeof prefix, "[%s @ %p]", name ? name : "NULL", context);
  }
  char message[2048] = {0};
  std::vsnprintf(message, sizeof message, format, args);

  if (t_pending.empty()) {
    t_pending = prefix;
  }
  t_pending += message;

  std::vector<std::string> lines;
  for (size_t lf; (lf = t_pending.find('\n')) != std::string::npos;) {
    lines.push_back(t_pending.substr(0, lf));
    t_pending.erase(0, lf + 1);
  }
  if (lines.empty()) return;
  EngineLog& log = Logger();
  for (const std::string& line : lines) log.Deliver(&log, LibraryLevelToLogLevel(level), line);
}

void EngineLog::Log(const void* sender, LogLevel level, const std::string& message) {
  LogLevel current = Level();
  bool pass = current >= level || (level == LogLevel::llVerbose && current != LogLevel::llQuiet);
  if (pass) Deliver(sender, level, message);
}

void EngineLog::LogFmt(const void* sender, LogLevel level, const char* format, ...) {
  char message[2048] = {0};
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  Log(sender, level, message);
}

void EngineLog::Deliver(const void* sender, LogLevel level, const std::string& message) {
  LogEvent handler;
  {
    std::lock_guard<std::mutex> guard(lock_);
    handler = onLog_;
  }
  if (!handler) return;
  LogInfo info{sender, CurrentThreadId(), level, message};
  auto call = [&] { handler(info.Sender, info.ThreadID, info.Level, info.LogMsg); };
  if (triggerInMainThread_) CallInMainThread(call);
  else call();
}

}  // namespace zelvo
