#include "ui/qt/QtMainThread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace ui::qt {

QtMainThread::WakeFd::WakeFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "QtMainThread: eventfd");
}

QtMainThread::WakeFd::~WakeFd() { ::close(fd_); }

QtMainThread::QtMainThread() : notifier_(wakeFd_.fd(), QSocketNotifier::Read) {
  QObject::connect(&notifier_, &QSocketNotifier::activated, &notifier_, [this] { woken(); });
}

// The notifier goes first (it leaves the event loop with it, pending
// activation and all), then the eventfd, then the queue with whatever it
// still holds.
QtMainThread::~QtMainThread() = default;

// The tasks themselves pass through the queue's lock, so a thread checker
// sees every task made before it runs; the eventfd only says "look".
void QtMainThread::wake() {
  if (posted_.exchange(true, std::memory_order_acq_rel)) return;
  const std::uint64_t one = 1;
  // Cannot block (EFD_NONBLOCK) and cannot fail for want of room: the
  // counter holds at most the one unread wake-up that posted_ allows.
  while (::write(wakeFd_.fd(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void QtMainThread::woken() {
  std::uint64_t count = 0;
  while (::read(wakeFd_.fd(), &count, sizeof count) < 0 && errno == EINTR) {
  }
  // Cleared after the read and before draining: a task queued after drain()
  // has looked at the queue writes a wake-up of its own, which the notifier
  // reports on a later pass.
  posted_.store(false, std::memory_order_release);
  drain();
}

}  // namespace ui::qt
