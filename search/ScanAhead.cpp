#include "search/ScanAhead.h"

#include <algorithm>
#include <cassert>

#include "search/ResultTree.h"

namespace kolbrin {

unsigned ScannerThreadsFor(unsigned jobs) {
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  jobs = std::min(jobs, kMostJobs);
  return jobs == 1 ? 0 : jobs;
}

ScanAhead::ScanAhead(const SearchSettings& settings, ScannerFactory makeScanner, unsigned threads,
                     std::function<bool()> stopRequested)
    : settings_(settings), makeScanner_(makeScanner), stopRequested_(std::move(stopRequested)) {
  if (threads == 0) {
    ownScanner_ = makeScanner_(settings_);
    return;
  }
  threads_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { ThreadMain(); });
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
}

void ScanAhead::Add(std::string path, const std::function<void()>& eachStep) {
  if (threads_.empty()) {
    Job& job = jobs_.emplace_back();
    job.path = std::move(path);
    ScanJob(*ownScanner_, job, eachStep);
    job.done = true;
    ++begun_;
    return;
  }
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    jobs_.emplace_back().path = std::move(path);
    wake = idle_ != 0;
  }
  // A thread that is busy takes the job when it is done: waking costs a system call.
  if (wake) work_.notify_one();
}

bool ScanAhead::FrontDone() {
  std::lock_guard lock(mutex_);
  return !jobs_.empty() && jobs_.front().done;
}

bool ScanAhead::WaitForFront(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (jobs_.empty()) return false;
  waiting_ = true;
  const bool done = frontDone_.wait_for(lock, timeout, [this] { return jobs_.front().done; });
  waiting_ = false;
  return done;
}

ScanOutcome ScanAhead::TakeFront() {
  std::lock_guard lock(mutex_);
  assert(!jobs_.empty() && jobs_.front().done);
  ScanOutcome outcome = std::move(jobs_.front().outcome);
  const std::exception_ptr failure = jobs_.front().failure;
  jobs_.pop_front();
  --begun_;
  if (failure) std::rethrow_exception(failure);
  return outcome;
}

std::size_t ScanAhead::Pending() {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

void ScanAhead::ThreadMain() {
  const std::unique_ptr<Scanner> scanner = makeScanner_(settings_);
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    work_.wait(lock, [this] { return ending_ || begun_ < jobs_.size(); });
    --idle_;
    if (ending_) return;
    Job& job = jobs_[begun_++];
    lock.unlock();
    // After a stop a job ahead is not begun: its outcome stays ScanMore.
    try {
      if (!stopRequested_()) ScanJob(*scanner, job, {});
    } catch (...) {
      job.failure = std::current_exception();
    }
    lock.lock();
    job.done = true;
    if (waiting_ && &job == &jobs_.front()) frontDone_.notify_one();
  }
}

}  // namespace kolbrin
