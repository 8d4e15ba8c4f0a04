#pragma once
// The main thread on Qt's event loop: queued tasks run on the GUI thread, in
// order, from the event loop. Create it on the GUI thread after the
// QApplication and install it with ui::MainThread::install; destroy it only
// after every other thread that queues work on it has stopped.

#include <QObject>
#include <atomic>

#include "ui/MainThread.h"

namespace ui::qt {

class QtMainThread final : public MainThread {
 public:
  QtMainThread();
  ~QtMainThread() override;

 protected:
  // Posts one queued call to drain(); a burst of tasks queued before the
  // call runs costs one event, because drain() empties the whole queue.
  void wake() override;

 private:
  QObject context_;  // lives on the GUI thread; queued calls go to it
  std::atomic<bool> posted_{false};
};

}  // namespace ui::qt
