#include "app/SignalClose.h"

#include "app/Grep1.h"

namespace kolbrin {
namespace {

// A stop waits for the member being extracted, which cannot be given up halfway.
constexpr int kStopGraceMs = 3000;

}  // namespace

SignalClose::SignalClose(TfmMain& window, platform::EndingSignals& endingSignals)
    : window_(window),
      endingSignals_(endingSignals),
      notifier_(endingSignals.Descriptor(), QSocketNotifier::Read) {
  stopGrace_.setSingleShot(true);
  stopGrace_.setInterval(kStopGraceMs);
  connect(&notifier_, &QSocketNotifier::activated, this, &SignalClose::SignalArrived);
  connect(&stopGrace_, &QTimer::timeout, this,
          [this] { window_.AbandonSession(platform::ExitStatusForSignal(firstSignal_)); });
}

void SignalClose::SignalArrived() {
  const int signal = endingSignals_.Next(std::chrono::milliseconds(0));
  if (signal == 0) return;
  if (firstSignal_ != 0) window_.AbandonSession(platform::ExitStatusForSignal(signal));
  firstSignal_ = signal;
  stopGrace_.start();
  // Refused while a search runs: the window then closes once the search has stopped.
  window_.close();
}

}  // namespace kolbrin
