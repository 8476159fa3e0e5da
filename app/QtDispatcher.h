// The worker-thread facility's way to the GUI thread: each posted task runs as a
// queued call on the GUI thread's event loop.
#pragma once

#include <QObject>

#include "platform/WorkerThread.h"

namespace kolbrin {

class QtDispatcher final : public QObject, public platform::Dispatcher {
 public:
  using QObject::QObject;
  // Any thread. The task runs on the thread this object lives in (the GUI thread).
  void Post(std::function<void()> task) override;
};

}  // namespace kolbrin
