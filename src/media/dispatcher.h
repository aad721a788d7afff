// Main-thread dispatching: the synchronous call into the main thread that
// worker threads use to deliver events, and the pump that the main thread runs
// while it waits. The windows install a Qt dispatcher; headless programs and
// tests use the plain queue below, pumped by the waiting main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace zelvo {

class MainThreadDispatcher {
 public:
  virtual ~MainThreadDispatcher() = default;
  // True in the thread that owns the dispatcher (the main thread).
  virtual bool IsMainThread() const = 0;
  // Any thread other than the main thread: runs fn in the main thread and
  // returns once it has run. Exceptions thrown by fn reach the caller.
  virtual void RunInMainThread(const std::function<void()>& fn) = 0;
  // Main thread: runs every call waiting for it.
  virtual void ProcessPending() = 0;
};

// A queue of calls that the main thread runs when it pumps.
class QueueDispatcher final : public MainThreadDispatcher {
 public:
  // By default the constructing thread becomes the main thread.
  explicit QueueDispatcher(std::thread::id mainThread = std::this_thread::get_id());
  bool IsMainThread() const override;
  void RunInMainThread(const std::function<void()>& fn) override;
  void ProcessPending() override;
  // Main thread: waits up to `timeout` for a call to arrive, then pumps.
  void WaitAndProcess(std::chrono::milliseconds timeout);

 private:
  struct Call;
  const std::thread::id mainThread_;
  std::mutex lock_;
  std::condition_variable arrived_;   // signalled when a call is queued
  std::deque<std::shared_ptr<Call>> queue_;  // guarded by lock_
};

// Installs the process's dispatcher (the windows do so at start-up). Without
// one, a QueueDispatcher bound to the process's first thread is used.
void InstallDispatcher(std::shared_ptr<MainThreadDispatcher> dispatcher);
std::shared_ptr<MainThreadDispatcher> Dispatcher();

// Runs fn in the main thread, waiting for it; called in the main thread, runs
// it directly. Must not be called while holding a lock the main thread needs.
void CallInMainThread(const std::function<void()>& fn);
// Main thread: runs the calls waiting for it.
void ProcessPendingMessages();

}  // namespace zelvo
