#include "media/dispatcher.h"

#include <exception>

namespace zelvo {

namespace {
// Static initialisation runs in the process's first thread.
const std::thread::id g_firstThread = std::this_thread::get_id();

std::mutex g_dispatcherLock;
std::shared_ptr<MainThreadDispatcher> g_dispatcher;  // guarded by g_dispatcherLock
}  // namespace

struct QueueDispatcher::Call {
  std::function<void()> fn;
  bool done = false;                   // guarded by the dispatcher's lock_
  std::exception_ptr error;            // set before done
  std::condition_variable finished;
};

QueueDispatcher::QueueDispatcher(std::thread::id mainThread) : mainThread_(mainThread) {}

bool QueueDispatcher::IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

void QueueDispatcher::RunInMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<Call>();
  call->fn = fn;
  std::unique_lock<std::mutex> guard(lock_);
  queue_.push_back(call);
  arrived_.notify_all();
  call->finished.wait(guard, [&] { return call->done; });
  if (call->error) std::rethrow_exception(call->error);
}

void QueueDispatcher::ProcessPending() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!queue_.empty()) {
    auto call = queue_.front();
    queue_.pop_front();
    guard.unlock();
    std::exception_ptr error;
    try {
      call->fn();
    } catch (...) {
      error = std::current_exception();
    }
    guard.lock();
    call->error = error;
    call->done = true;
    call->finished.notify_all();
  }
}

void QueueDispatcher::WaitAndProcess(std::chrono::milliseconds timeout) {
  {
    std::unique_lock<std::mutex> guard(lock_);
    arrived_.wait_for(guard, timeout, [&] { return !queue_.empty(); });
  }
  ProcessPending();
}

void InstallDispatcher(std::shared_ptr<MainThreadDispatcher> dispatcher) {
  std::lock_guard<std::mutex> guard(g_dispatcherLock);
  g_dispatcher = std::move(dispatcher);
}

std::shared_ptr<MainThreadDispatcher> Dispatcher() {
  std::lock_guard<std::mutex> guard(g_dispatcherLock);
  if (!g_dispatcher) g_dispatcher = std::make_shared<QueueDispatcher>(g_firstThread);
  return g_dispatcher;
}

void CallInMainThread(const std::function<void()>& fn) {
  auto d = Dispatcher();
  if (d->IsMainThread()) fn();
  else d->RunInMainThread(fn);
}

void ProcessPendingMessages() { Dispatcher()->ProcessPending(); }

}  // namespace zelvo
