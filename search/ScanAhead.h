// Scanning ahead: scanner threads that search the next files of a search while its
// worker publishes the earlier ones. The worker hands in one job per file, in the
// order the files are shown; whichever thread is free scans the earliest job not yet
// begun, each to its end or to a stop; the worker takes the finished jobs back in
// the order it handed them in, so what it publishes never depends on which thread
// was faster. The worker scans the next jobs itself rather than wait for them.
// Without threads each job is scanned on the worker as it is handed in: the single
// worker of old, step for step.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "search/Scanner.h"

namespace kolbrin {

// What one file's scan came to.
struct ScanOutcome {
  // ScanMore when the scan was stopped before the file's end, or never begun.
  ScanResult result = ScanResult::ScanMore;
  bool loadFailed = false;  // see Scanner::LoadFailed
  TextList hits;            // the file node's hit texts, as shown (ShownHitTexts)
  bool deleted = false;     // the file was deleted after its scan (see Add)
  bool begun = false;       // false for a job a stop kept from being begun
};

// How many scanner threads `jobs` files scanned at once take beside the worker,
// which scans too whenever it would wait for them: `jobs` less one (none for 1, the
// single worker); 0 means one per core, and more than kMostJobs is kMostJobs.
inline constexpr unsigned kMostJobs = 64;
unsigned ScannerThreadsFor(unsigned jobs);

class ScanAhead {
 public:
  using ScannerFactory = std::unique_ptr<Scanner> (*)(const SearchSettings&);
  // Starts `threads` scanner threads (see ScannerThreadsFor), each with a scanner
  // made by `makeScanner`. `stopRequested` is asked after every chunk and before a
  // job is begun, from any of the threads; once it holds, every scan ends within a
  // chunk and no job is begun any more.
  ScanAhead(const SearchSettings& settings, ScannerFactory makeScanner, unsigned threads,
            std::function<bool()> stopRequested);
  // Ends the threads, each within a chunk: jobs not taken back are dropped.
  ~ScanAhead();
  ScanAhead(const ScanAhead&) = delete;
  ScanAhead& operator=(const ScanAhead&) = delete;

  // Hands in the scan of `path`; the jobs are taken back in this order. Without
  // scanner threads the file is scanned here and now, and `eachStep` runs after
  // every chunk of it. With `deleteWithoutHits` a file read to its end without a
  // hit is deleted at once (platform::DeleteFile) by the thread that scanned it.
  void Add(std::string path, const std::function<void()>& eachStep, bool deleteWithoutHits = false);
  // Whether the earliest job not taken back has been scanned; false when there is none.
  bool FrontDone();
  // Waits at most `timeout` for the earliest job to be scanned, and the job
  // `ahead` places after it (or the last one, when fewer are pending): waiting for a
  // batch rather than for each job keeps a search of thousands of small files from
  // waking the worker once per file. True once they are.
  // While jobs wait to be begun, the calling thread scans them itself (`eachStep`
  // after every chunk, which may take finished jobs back) rather than wait. True
  // also when no job is left.
  bool WaitForFront(std::chrono::milliseconds timeout, std::size_t ahead = 0,
                    const std::function<void()>& eachStep = {});
  // The earliest job's outcome, once it has been scanned; the job is then taken back.
  // What its scan threw (say, for want of memory) is thrown here, on the worker.
  ScanOutcome TakeFront();
  // How many jobs were handed in and not taken back.
  std::size_t Pending();
  // Whether there are no threads: each job is scanned as it is handed in.
  bool SingleWorker() const { return singleWorker_; }
  // How many of the threads may scan at once (all of them, at first); the worker's
  // own scanning is not counted. Less while something else of the search's keeps a
  // core busy.
  unsigned MostThreadsAtWork();
  void SetMostThreadsAtWork(unsigned most);

 private:
  struct Job {
    std::string path;
    bool deleteWithoutHits = false;
    ScanOutcome outcome;
    std::exception_ptr failure;  // what the scan threw, thrown again by TakeFront
    std::size_t bytes = 0;       // what its hits take
    bool done = false;           // under mutex_; `outcome` is the scanning thread's until then
  };
  void ScanJob(Scanner& scanner, Job& job, const std::function<void()>& eachStep);
  // Whether what the worker waits for is done; under mutex_.
  bool WaitOver() const;
  // Whether a thread may begin the next job: the earliest one always, any other
  // while the results scanned ahead take less than kMostHeldBytes. Under mutex_.
  bool CanBegin() const;
  // Wakes an idle thread for each job not begun but `kept` (which the caller scans
  // itself), as far as there are, and starts threads not yet started for the jobs
  // left; `lock` holds mutex_ and is let go while they are woken.
  void WakeIdle(std::unique_lock<std::mutex>& lock, std::size_t kept = 0);

  // Idle threads are woken once this many jobs wait, or once the first of them has
  // waited this long, or when the worker waits for them.
  static constexpr std::size_t kWakeBatch = 8;
  static constexpr std::chrono::microseconds kLongestWait{500};
  // What the results scanned ahead and not yet taken may take before the threads
  // wait for the worker: thousands of hits per file must not pile up for hundreds
  // of files.
  static constexpr std::size_t kMostHeldBytes = std::size_t{64} << 20;
  void ThreadMain();

  const SearchSettings settings_;
  const ScannerFactory makeScanner_;
  const std::function<bool()> stopRequested_;
  const bool singleWorker_;              // no threads: each job scanned as handed in
  unsigned threadCount_;                 // scanner threads at most
  std::unique_ptr<Scanner> ownScanner_;  // the worker's own

  std::mutex mutex_;
  std::condition_variable work_;       // a job was handed in, or the threads are to end
  std::condition_variable frontDone_;  // the job the worker waits for is done
  // Jobs not taken back, earliest first; a deque keeps each job where it is while
  // others are added and taken back.
  std::deque<Job> jobs_;
  std::size_t begun_ = 0;      // of jobs_, how many a thread has begun
  std::size_t heldBytes_ = 0;  // the hits of the jobs done and not taken back
  unsigned mostAtWork_;        // see SetMostThreadsAtWork
  unsigned atWork_ = 0;        // threads scanning a job
  unsigned idle_ = 0;          // threads waiting for work
  unsigned woken_ = 0;         // of them, how many have been woken and not yet run
  std::chrono::steady_clock::time_point firstWaiting_;  // when the first job not begun came
  bool waiting_ = false;                                // the worker waits in WaitForFront
  std::size_t waitAhead_ = 0;                           // for the front job and this one after it
  bool ending_ = false;
  std::vector<std::thread> threads_;  // started by the worker, under mutex_
};

}  // namespace kolbrin
