#pragma once
// The main thread on Qt's event loop: queued tasks run on the GUI thread, in
// order, from the event loop. Create it on the GUI thread after the
// QApplication and install it with ui::MainThread::install; destroy it only
// after every other thread that queues work on it has stopped.
//
// The hand-over allocates nothing on either side: a queuing thread wakes the
// loop by writing to an eventfd, and a socket notifier watching it on the GUI
// thread drains the queue. Qt dispatches the notifier's activation without
// allocating, under the glib event dispatcher and the unix one alike. (A
// queued QMetaObject::invokeMethod would allocate a call object and an event
// for every wake-up, which is once per input block when the loop keeps up.)

#include <QSocketNotifier>
#include <atomic>

#include "ui/MainThread.h"

namespace ui::qt {

class QtMainThread final : public MainThread {
 public:
  // Throws std::system_error when no eventfd can be made.
  QtMainThread();
  // Tasks still queued are dropped; none runs afterwards.
  ~QtMainThread() override;

 protected:
  // Signals the eventfd; a burst of tasks queued before the loop answers
  // costs one write and one activation, because drain() empties the whole
  // queue. Never blocks and never allocates.
  void wake() override;

 private:
  // The eventfd, closed after the notifier watching it is gone.
  class WakeFd {
   public:
    WakeFd();
    ~WakeFd();
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;
    int fd() const { return fd_; }

   private:
    int fd_;
  };

  // GUI thread: the eventfd became readable.
  void woken();

  WakeFd wakeFd_;
  QSocketNotifier notifier_;  // on the GUI thread
  std::atomic<bool> posted_{false};
};

}  // namespace ui::qt
