#include "platform/Signals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

#include "platform/Files.h"
#include "platform/WorkerThread.h"

namespace kolbrin::platform {
namespace {

// The pipe's write end, for the handler; -1 while no EndingSignals exists.
volatile std::sig_atomic_t gWriteEnd = -1;

// What the handler has seen, for a thread that must decide before the pipe's reader
// has acted: the last signal, and a bit for each of SIGTERM and SIGHUP.
std::atomic<int> gLastArrived{0};
std::atomic<bool> gSessionEndArrived{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

extern "C" void OnEndingSignal(int signal) {
  const int savedErrno = errno;
  if (signal != SIGINT) gSessionEndArrived.store(true);
  gLastArrived.store(signal);
  const auto byte = static_cast<unsigned char>(signal);
  // The write end does not block: a full pipe already holds enough to wake the reader.
  [[maybe_unused]] const ssize_t written = ::write(gWriteEnd, &byte, 1);
  errno = savedErrno;
}

constexpr std::chrono::milliseconds kHoldTimeout{2000};

}  // namespace

EndingSignals::EndingSignals() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  readEnd_.Reset(ends[0]);
  writeEnd_.Reset(ends[1]);
  gWriteEnd = writeEnd_.get();
  gLastArrived.store(0);
  gSessionEndArrived.store(false);
  struct sigaction action {};
  action.sa_handler = OnEndingSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) {
    ::sigaction(kSignals[i], nullptr, &previous_[i]);
    // An ignored signal was meant to be ignored by whoever started us.
    if (previous_[i].sa_handler == SIG_IGN) continue;
    caught_[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
  }
}

EndingSignals::~EndingSignals() {
  for (int i = 0; i < 3; ++i) {
    if (caught_[i]) ::sigaction(kSignals[i], &previous_[i], nullptr);
  }
  gWriteEnd = -1;
}

int EndingSignals::LastArrived() const { return gLastArrived.load(); }

bool EndingSignals::SessionEndArrived() const { return gSessionEndArrived.load(); }

int EndingSignals::Next(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    unsigned char byte = 0;
    if (::read(readEnd_.get(), &byte, 1) == 1) return byte;
    int wait = -1;
    if (timeout.count() >= 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return 0;
      wait = static_cast<int>(left);
    }
    pollfd readable{readEnd_.get(), POLLIN, 0};
    if (::poll(&readable, 1, wait) < 0 && errno != EINTR) return 0;
  }
}

bool EndingSignals::Catches(int signal) const {
  for (int i = 0; i < 3; ++i) {
    if (kSignals[i] == signal) return caught_[i];
  }
  return false;
}

void AbandonAndExit(WorkerThread* worker, const std::string& folder, int exitStatus) {
  if (worker != nullptr) worker->HoldForExit(kHoldTimeout);
  if (!folder.empty()) RemoveFolderTree(folder);
  ::_exit(exitStatus);
}

}  // namespace kolbrin::platform
