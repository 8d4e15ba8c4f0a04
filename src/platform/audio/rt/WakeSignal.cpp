#include "platform/audio/rt/WakeSignal.h"

#include <cerrno>
#include <ctime>

namespace platform::audio::rt {

WakeSignal::WakeSignal() noexcept { sem_init(&semaphore_, 0, 0); }

WakeSignal::~WakeSignal() { sem_destroy(&semaphore_); }

void WakeSignal::notify() noexcept {
  // Only the notify that raises the flag posts; the waiter lowers it after
  // each wake-up.
  if (!pending_.exchange(true, std::memory_order_acq_rel)) sem_post(&semaphore_);
}

void WakeSignal::woken() noexcept {
  // A read-modify-write, so that everything published before the flag was
  // (re)raised is seen by what the waiter reads next.
  pending_.exchange(false, std::memory_order_acq_rel);
}

void WakeSignal::wait() noexcept {
  while (sem_wait(&semaphore_) != 0 && errno == EINTR) {
  }
  woken();
}

bool WakeSignal::waitFor(std::chrono::nanoseconds timeout) noexcept {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const long long nanos = timeout.count() > 0 ? static_cast<long long>(timeout.count()) : 0;
  deadline.tv_sec += static_cast<time_t>(nanos / 1'000'000'000);
  deadline.tv_nsec += static_cast<long>(nanos % 1'000'000'000);
  if (deadline.tv_nsec >= 1'000'000'000) {
    deadline.tv_nsec -= 1'000'000'000;
    ++deadline.tv_sec;
  }
  while (sem_clockwait(&semaphore_, CLOCK_MONOTONIC, &deadline) != 0) {
    if (errno != EINTR) return false;
  }
  woken();
  return true;
}

void WakeSignal::reset() noexcept {
  while (sem_trywait(&semaphore_) == 0) {
  }
  pending_.store(false, std::memory_order_release);
}

}  // namespace platform::audio::rt
