// Ends the window's session on SIGINT, SIGTERM or SIGHUP as the user closing the
// window would: a running search is stopped first, the extracted copies and the
// private folder go, and the application quits. A second signal, or a stop that
// takes longer than a few seconds, ends the program at once, the private folder
// still removed.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/Signals.h"

namespace kolbrin {

class TfmMain;

class SignalClose final : public QObject {
 public:
  // Watches `signals` on the calling (GUI) thread; both must outlive this object.
  SignalClose(TfmMain& window, platform::EndingSignals& endingSignals);

  // 0 while no signal has arrived; else the exit status for the first one.
  int ExitStatus() const {
    return firstSignal_ == 0 ? 0 : platform::ExitStatusForSignal(firstSignal_);
  }

 private:
  void SignalArrived();

  TfmMain& window_;
  platform::EndingSignals& endingSignals_;
  QSocketNotifier notifier_;
  QTimer stopGrace_;
  int firstSignal_ = 0;
};

}  // namespace kolbrin
