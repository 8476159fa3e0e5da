#include "platform/WorkerThread.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>

namespace kolbrin::platform {
namespace {

std::atomic<bool> gWorkerHeld{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Runs on the worker's thread and never returns: the thread stays here until the
// process ends. Other signals are still handled meanwhile.
extern "C" void HoldWorkerHere(int) {
  gWorkerHeld.store(true);
  for (;;) ::pause();
}

}  // namespace

void EventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  ready_.notify_one();
}

void EventLoop::RunUntil(const std::function<bool()>& done) {
  while (!done()) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return !tasks_.empty(); });
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

WorkerThread::WorkerThread(Dispatcher& owner) : owner_(owner) {}

WorkerThread::~WorkerThread() { StopAndJoin(); }

void WorkerThread::StopAndJoin() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->released = true;
  }
  shared_->changed.notify_all();
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

bool WorkerThread::HoldForExit(std::chrono::milliseconds timeout) {
  if (!thread_.joinable() || Finished()) return true;
  struct sigaction action {};
  action.sa_handler = HoldWorkerHere;
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGRTMIN, &action, nullptr) != 0) return false;
  gWorkerHeld.store(false);
  if (::pthread_kill(thread_.native_handle(), SIGRTMIN) != 0) return Finished();
  // Once the handler runs, the worker is inside no system call: one it was in has
  // either ended or been interrupted, never to be restarted.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!gWorkerHeld.load() && !Finished()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::usleep(1000);
  }
  return true;
}

void WorkerThread::Resume() {
  if (thread_.joinable() || Finished()) return;
  thread_ = std::thread(&WorkerThread::ThreadMain, this);
}

namespace {
thread_local const int* tCurrentStopFlag = nullptr;
}  // namespace

const int* CurrentWorkerStopFlag() noexcept { return tCurrentStopFlag; }

void WorkerThread::ThreadMain() {
  tCurrentStopFlag = StopFlag();
  try {
    Execute();
  } catch (...) {
    fatalException_ = std::current_exception();
  }
  tCurrentStopFlag = nullptr;
  finished_.store(true, std::memory_order_release);
  owner_.Post([this, shared = shared_] {
    // Released runs on this same thread, so the check cannot race with it.
    bool released;
    {
      std::lock_guard lock(shared->mutex);
      released = shared->released;
    }
    if (!released && onTerminate_) onTerminate_();
  });
}

void WorkerThread::Synchronize(const std::function<void()>& call) {
  struct CallState {
    bool done = false;
    std::exception_ptr error;
  };
  auto state = std::make_shared<CallState>();
  const std::shared_ptr<Shared> shared = shared_;
  {
    std::lock_guard lock(shared->mutex);
    if (shared->released) throw WorkerReleased();
  }
  if (owner_.OwnerOnlyWaits()) {
    call();
    return;
  }
  owner_.Post([shared, state, &call] {
    {
      // `call` lives on the worker's stack, which is only left once the worker has
      // been released; releasing happens on this thread, so the check holds while
      // the call runs.
      std::lock_guard lock(shared->mutex);
      if (shared->released) return;
    }
    try {
      call();
    } catch (...) {
      state->error = std::current_exception();
    }
    std::lock_guard lock(shared->mutex);
    state->done = true;
    shared->changed.notify_all();
  });
  std::unique_lock lock(shared->mutex);
  shared->changed.wait(lock, [&] { return state->done || shared->released; });
  if (!state->done) throw WorkerReleased();
  if (state->error) std::rethrow_exception(state->error);
}

void WorkerThread::Post(std::function<void()> call) {
  if (owner_.OwnerOnlyWaits()) {
    call();
    return;
  }
  owner_.Post([shared = shared_, call = std::move(call)] {
    {
      // Releasing happens on this thread, so the check holds while the call runs.
      std::lock_guard lock(shared->mutex);
      if (shared->released) return;
    }
    call();
  });
}

}  // namespace kolbrin::platform
