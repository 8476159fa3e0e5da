// The signals that end a session (SIGINT, SIGTERM, SIGHUP) turned into bytes on a
// pipe, so that what they cause runs on an ordinary thread rather than in a signal
// handler; and the way out when an orderly end can no longer be waited for.
//
// Nothing here knows an event loop: the window watches Descriptor() with its own,
// the command-line front end waits in Next() on a thread of its own.
#pragma once

#include <chrono>
#include <csignal>
#include <string>

#include "platform/UniqueFd.h"

namespace kolbrin::platform {

class WorkerThread;

// The exit status a shell reports for a program ended by `signal`.
constexpr int ExitStatusForSignal(int signal) { return 128 + signal; }

class EndingSignals {
 public:
  // Catches SIGINT, SIGTERM and SIGHUP, except any found ignored (nohup, a
  // background job of a non-interactive shell): that one stays ignored. The
  // handler only writes the signal's number into a pipe, restarting interrupted
  // calls. One object at a time per process; throws std::system_error when the
  // pipe cannot be made.
  EndingSignals();
  // Restores the dispositions found by the constructor and closes the pipe.
  ~EndingSignals();
  EndingSignals(const EndingSignals&) = delete;
  EndingSignals& operator=(const EndingSignals&) = delete;

  // Readable while a signal that arrived has not been taken by Next.
  int Descriptor() const { return readEnd_.get(); }
  // Takes the next signal that arrived: its number, or 0 when none arrives within
  // `timeout` (negative: waits for ever; zero: does not wait). Any one thread.
  int Next(std::chrono::milliseconds timeout);
  // The last of the signals whose handler has run, 0 before the first, and whether
  // SIGTERM or SIGHUP was among them: what a thread about to end the session goes
  // by, as a signal may have arrived that the reader of Next has not acted on yet.
  // Any thread.
  int LastArrived() const;
  bool SessionEndArrived() const;
  // False for a signal left ignored, or not one of the three.
  bool Catches(int signal) const;

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction previous_[3]{};
  bool caught_[3] = {};
  UniqueFd readEnd_;
  UniqueFd writeEnd_;  // closed before the read end
};

// Ends the process at once with `exitStatus`, leaving nothing behind in `folder`:
// first holds `worker` (when not null) where it is, waiting for that at most two
// seconds, so that no member it is extracting is created after the folder has gone;
// then removes `folder` with all it holds; then exits without running destructors or
// exit handlers, which could wait for the held thread. Allocates nothing once the
// worker is held. Any thread but the worker's; not from a signal handler.
[[noreturn]] void AbandonAndExit(WorkerThread* worker, const std::string& folder, int exitStatus);

}  // namespace kolbrin::platform
