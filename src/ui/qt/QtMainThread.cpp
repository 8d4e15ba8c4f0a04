#include "ui/qt/QtMainThread.h"

#include <QMetaObject>
#include <mutex>

namespace ui::qt {

namespace {

// Orders the posting of a call with its running. Qt hands the call over
// through its own locks, which a thread checker cannot see (Qt is built
// without one), so the call's captures and its disposal after running would
// look unordered with their making on the posting thread. The poster holds
// this lock while it makes and posts the call, and the call takes it before
// it reads anything, so the order is stated in a lock the checker sees.
// Uncontended but for that moment; never taken on a real-time thread.
std::mutex gPostLock;

}  // namespace

QtMainThread::QtMainThread() = default;

// Tasks still queued are dropped with the object; a posted call still in
// the event queue is discarded with context_.
QtMainThread::~QtMainThread() = default;

void QtMainThread::wake() {
  if (posted_.exchange(true, std::memory_order_acq_rel)) return;
  std::lock_guard<std::mutex> hold(gPostLock);
  QMetaObject::invokeMethod(
      &context_,
      [this] {
        { std::lock_guard<std::mutex> posted(gPostLock); }
        // Cleared before draining: a task queued after drain() has looked at
        // the queue posts a call of its own.
        posted_.store(false, std::memory_order_release);
        drain();
      },
      Qt::QueuedConnection);
}

}  // namespace ui::qt
