#include "search/ScanAhead.h"

#include <algorithm>
#include <cassert>
#include <system_error>

#include "platform/Files.h"
#include "search/ResultTree.h"

namespace kolbrin {

unsigned ScannerThreadsFor(unsigned jobs) {
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  jobs = std::min(jobs, kMostJobs);
  // The worker scans too, whenever it would otherwise wait for the threads.
  return jobs - 1;
}

ScanAhead::ScanAhead(const SearchSettings& settings, ScannerFactory makeScanner, unsigned threads,
                     std::function<bool()> stopRequested)
    : settings_(settings),
      makeScanner_(makeScanner),
      stopRequested_(std::move(stopRequested)),
      singleWorker_(threads == 0),
      threadCount_(threads),
      mostAtWork_(threads) {
  ownScanner_ = makeScanner_(settings_);
  // Started when there is a job for them: a search of one file starts none.
  threads_.reserve(threads);
}

ScanAhead::~ScanAhead() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ScanAhead::ScanJob(Scanner& scanner, Job& job, const std::function<void()>& eachStep) {
  job.outcome.begun = true;
  scanner.ResetForFile();
  ScanResult result;
  do {
    result = scanner.ScanStep(job.path, kChunkSize);
    if (eachStep) eachStep();
  } while (result == ScanResult::ScanMore && !stopRequested_());
  job.outcome.result = result;
  job.outcome.loadFailed = scanner.LoadFailed();
  // Sorted here, so neither the worker nor the owner's thread spends time on it.
  job.outcome.hits = ShownHitTexts(scanner.Results(), scanner.FirstPassEntries());
  job.bytes = job.outcome.hits.size() * sizeof(std::string_view);
  for (const std::string_view hit : job.outcome.hits) job.bytes += hit.size();
  if (job.deleteWithoutHits && result == ScanResult::ScanNoHits && !job.outcome.loadFailed) {
    job.outcome.deleted = platform::DeleteFile(job.path);
  }
}

void ScanAhead::Add(std::string path, const std::function<void()>& eachStep,
                    bool deleteWithoutHits) {
  if (singleWorker_) {
    Job& job = jobs_.emplace_back();
    job.path = std::move(path);
    job.deleteWithoutHits = deleteWithoutHits;
    ScanJob(*ownScanner_, job, eachStep);
    job.done = true;
    ++begun_;
    return;
  }
  std::unique_lock lock(mutex_);
  Job& job = jobs_.emplace_back();
  job.path = std::move(path);
  job.deleteWithoutHits = deleteWithoutHits;
  // A thread that is busy takes the job when it is done, and one already woken
  // takes whatever is there. An idle thread is woken for a few jobs at once, not
  // for each: waking costs more than scanning a small file. A job waits for
  // company a short while at most.
  const auto now = std::chrono::steady_clock::now();
  const std::size_t waiting = jobs_.size() - begun_;
  if (waiting == 1) firstWaiting_ = now;
  if (waiting >= kWakeBatch || now - firstWaiting_ >= kLongestWait) WakeIdle(lock);
}

bool ScanAhead::FrontDone() {
  std::lock_guard lock(mutex_);
  return !jobs_.empty() && jobs_.front().done;
}

bool ScanAhead::WaitOver() const {
  return jobs_.empty() ||
         (jobs_.front().done && jobs_[std::min(waitAhead_, jobs_.size() - 1)].done);
}

void ScanAhead::WakeIdle(std::unique_lock<std::mutex>& lock, std::size_t kept) {
  const std::size_t begunSoon = begun_ + kept;
  const std::size_t room = mostAtWork_ > atWork_ ? mostAtWork_ - atWork_ : 0;
  const std::size_t waiting =
      std::min(jobs_.size() > begunSoon ? jobs_.size() - begunSoon : 0, room);
  unsigned wake = 0;
  while (idle_ > woken_ + wake && wake < waiting) ++wake;
  woken_ += wake;
  // A thread started now takes a job as soon as the lock is let go.
  for (std::size_t more = wake; more < waiting && threads_.size() < threadCount_; ++more) {
    try {
      threads_.emplace_back([this] { ThreadMain(); });
    } catch (const std::system_error&) {
      // No thread to be had: the threads there are, and the worker, do the work.
      threadCount_ = static_cast<unsigned>(threads_.size());
    }
  }
  lock.unlock();
  for (unsigned i = 0; i < wake; ++i) work_.notify_one();
  lock.lock();
}

bool ScanAhead::WaitForFront(std::chrono::milliseconds timeout, std::size_t ahead,
                             const std::function<void()>& eachStep) {
  std::unique_lock lock(mutex_);
  if (jobs_.empty()) return false;
  waitAhead_ = ahead;
  // What waits for company is wanted now, but for the job the worker takes itself.
  WakeIdle(lock, 1);
  // Rather than sleep, the worker scans the next jobs itself. `eachStep` may take
  // jobs back meanwhile. So the worker never depends on the threads: after a stop,
  // or with none of them at work, it takes the jobs through itself, as they do
  // (a job after a stop is not begun).
  while (!WaitOver() && CanBegin()) {
    Job& job = jobs_[begun_++];
    lock.unlock();
    if (!stopRequested_()) ScanJob(*ownScanner_, job, eachStep);
    lock.lock();
    job.done = true;
    heldBytes_ += job.bytes;
  }
  if (WaitOver()) return true;
  waiting_ = true;
  const bool done = frontDone_.wait_for(lock, timeout, [this] { return WaitOver(); });
  waiting_ = false;
  if (!done && begun_ < jobs_.size()) {
    // Jobs wait while threads sleep: however the count of woken threads came to be
    // off, it starts again from none, and the threads not yet started start.
    woken_ = 0;
    WakeIdle(lock);
  }
  return done;
}

ScanOutcome ScanAhead::TakeFront() {
  std::unique_lock lock(mutex_);
  assert(!jobs_.empty() && jobs_.front().done);
  ScanOutcome outcome = std::move(jobs_.front().outcome);
  const std::exception_ptr failure = jobs_.front().failure;
  const bool wasOverLimit = heldBytes_ >= kMostHeldBytes;
  heldBytes_ -= jobs_.front().bytes;
  jobs_.pop_front();
  --begun_;
  // Threads held back by the results waiting may go on.
  if (wasOverLimit && heldBytes_ < kMostHeldBytes) WakeIdle(lock);
  lock.unlock();
  if (failure) std::rethrow_exception(failure);
  return outcome;
}

bool ScanAhead::CanBegin() const {
  return begun_ < jobs_.size() && (begun_ == 0 || heldBytes_ < kMostHeldBytes);
}

std::size_t ScanAhead::Pending() {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

void ScanAhead::ThreadMain() {
  const std::unique_ptr<Scanner> scanner = makeScanner_(settings_);
  std::unique_lock lock(mutex_);
  for (;;) {
    while (!ending_ && !(CanBegin() && atWork_ < mostAtWork_)) {
      ++idle_;
      work_.wait(lock);
      --idle_;
      if (woken_ != 0) --woken_;
    }
    if (ending_) return;
    Job& job = jobs_[begun_++];
    ++atWork_;
    lock.unlock();
    // After a stop a job ahead is not begun: its outcome stays ScanMore.
    try {
      if (!stopRequested_()) ScanJob(*scanner, job, {});
    } catch (...) {
      job.failure = std::current_exception();
    }
    lock.lock();
    --atWork_;
    job.done = true;
    heldBytes_ += job.bytes;
    if (waiting_ && WaitOver()) frontDone_.notify_one();
  }
}

unsigned ScanAhead::MostThreadsAtWork() {
  std::lock_guard lock(mutex_);
  return mostAtWork_;
}

void ScanAhead::SetMostThreadsAtWork(unsigned most) {
  std::unique_lock lock(mutex_);
  const bool more = most > mostAtWork_;
  mostAtWork_ = most;
  if (more) WakeIdle(lock);
}

}  // namespace kolbrin
