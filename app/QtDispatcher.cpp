#include "app/QtDispatcher.h"

namespace kolbrin {

void QtDispatcher::Post(std::function<void()> task) {
  // Crosses threads: queued, so the task runs later on the GUI thread, never inside
  // the caller. A synchronized call's worker waits on its own condition meanwhile.
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

}  // namespace kolbrin
