// The worker-thread facility: a thread created suspended, resumed once, with a
// terminate flag its body polls, synchronized calls that run on the owner's thread
// while the worker waits, and a completion callback that runs on the owner's
// thread after the body has ended, also when the body threw.
//
// The owner's thread is reached through a Dispatcher, so nothing here knows about
// a particular event loop: the window implements it over its own loop, the CLI and
// the tests use EventLoop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace kolbrin::platform {

// Runs tasks on the owner's thread, in the order posted.
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  // Queues `task` for the owner's thread. Callable from any thread; never runs the
  // task before returning.
  virtual void Post(std::function<void()> task) = 0;
  // True when the owner's thread does nothing but wait for the completion callback
  // (a front end without a window): synchronized calls then run on the worker
  // itself, which saves two thread switches per call and touches nothing the owner
  // could be using.
  virtual bool OwnerOnlyWaits() const { return false; }
};

// Thrown inside the body by Synchronize once the owner has released the worker.
struct WorkerReleased : std::exception {
  const char* what() const noexcept override { return "the worker was released"; }
};

// A plain task queue run by whichever thread calls RunUntil: the owner's thread.
class EventLoop final : public Dispatcher {
 public:
  // `ownerOnlyWaits`: see Dispatcher::OwnerOnlyWaits.
  explicit EventLoop(bool ownerOnlyWaits = false) : ownerOnlyWaits_(ownerOnlyWaits) {}
  void Post(std::function<void()> task) override;
  bool OwnerOnlyWaits() const override { return ownerOnlyWaits_; }
  // Runs queued tasks, waiting for new ones, until `done()` holds. `done` is
  // checked before each wait, on the calling thread.
  void RunUntil(const std::function<bool()>& done);

 private:
  const bool ownerOnlyWaits_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
};

class WorkerThread {
 public:
  // The thread is not started until Resume.
  explicit WorkerThread(Dispatcher& owner);
  // Owner's thread only. A worker still running is released: a synchronized call it
  // waits in, or makes from now on, is abandoned without running (the body unwinds
  // with WorkerReleased), a completion callback still queued is dropped, and the
  // thread is joined. Normally the owner releases the worker after its callback.
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The completion callback; set before Resume. Runs on the owner's thread once the
  // body has ended, unless the worker has been released by then.
  void SetOnTerminate(std::function<void()> callback) { onTerminate_ = std::move(callback); }
  // Starts the body. Owner's thread; a second call does nothing.
  void Resume();
  // Sets the terminate flag and returns at once. Any thread; safe in a signal
  // handler (one lock-free atomic store).
  void RequestStop() noexcept { terminated_.store(1, std::memory_order_relaxed); }
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_relaxed) != 0; }
  // The terminate flag as an int that is nonzero once a stop is requested, for code
  // that polls it without knowing the worker (the archiver libraries, through
  // CurrentWorkerStopFlag); read it atomically. Lives as long as the object.
  const int* StopFlag() const noexcept { return reinterpret_cast<const int*>(&terminated_); }
  // True once the body has ended, normally or by an exception.
  bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }
  // The exception that ended the body, or null. Read it after the callback.
  std::exception_ptr FatalException() const { return fatalException_; }
  // Holds the worker's thread where it is, for good, so it makes no further system
  // call: for a program about to end without waiting for the body (a held thread is
  // never joined, so the object must not be destroyed afterwards). True once held,
  // or when no body runs; false when the thread did not answer within `timeout`.
  // The held thread may hold any lock, malloc's included: after this the caller
  // makes system calls only, nothing that allocates, until the process ends. Uses
  // SIGRTMIN, sent to the worker's thread alone. Any thread but the worker's, while
  // no other thread joins or releases the worker.
  bool HoldForExit(std::chrono::milliseconds timeout);

 protected:
  // The thread body. An exception that leaves it ends the thread; the completion
  // callback still runs.
  virtual void Execute() = 0;
  // Runs `call` on the owner's thread and waits until it has run. Worker thread
  // only. An exception thrown by `call` is rethrown here.
  void Synchronize(const std::function<void()>& call);
  // Runs `call` on the owner's thread later, without waiting for it: for what the
  // owner only shows. Dropped when the worker has been released by then. Worker
  // thread only; `call` must not refer to the worker's stack.
  void Post(std::function<void()> call);
  // Releases the worker as the destructor describes and waits for the thread to
  // end. A derived class calls it first in its destructor, so the body never
  // outlives the fields it uses. Owner's thread only.
  void StopAndJoin();

 private:
  void ThreadMain();

  static_assert(std::atomic<bool>::is_always_lock_free);
  // StopFlag hands out the atomic's address as an int's.
  static_assert(std::atomic<int>::is_always_lock_free && sizeof(std::atomic<int>) == sizeof(int) &&
                alignof(std::atomic<int>) == alignof(int));

  // Shared with tasks queued on the owner's thread, which may outlive the worker.
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;  // written and read under `mutex`
  };

  Dispatcher& owner_;
  std::function<void()> onTerminate_;
  std::atomic<int> terminated_{0};
  std::atomic<bool> finished_{false};
  std::exception_ptr fatalException_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::thread thread_;
};

// The stop flag (WorkerThread::StopFlag) of the worker whose body runs on the
// calling thread; null on any other thread. So code that a worker calls deep down
// (an extraction) can be stopped by the worker's RequestStop without being handed
// the worker.
const int* CurrentWorkerStopFlag() noexcept;

}  // namespace kolbrin::platform
