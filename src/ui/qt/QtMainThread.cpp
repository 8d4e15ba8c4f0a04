#include "ui/qt/QtMainThread.h"

#include <QMetaObject>

namespace ui::qt {

QtMainThread::QtMainThread() = default;

// Tasks still queued are dropped with the object; a posted call still in
// the event queue is discarded with context_.
QtMainThread::~QtMainThread() = default;

void QtMainThread::wake() {
  if (posted_.exchange(true, std::memory_order_acq_rel)) return;
  QMetaObject::invokeMethod(
      &context_,
      [this] {
        // Cleared before draining: a task queued after drain() has looked at
        // the queue posts a call of its own.
        posted_.store(false, std::memory_order_release);
        drain();
      },
      Qt::QueuedConnection);
}

}  // namespace ui::qt
