#pragma once
// A wake-up from any thread, real-time ones included, to one waiting thread:
// "something was published since you last looked". The poster raises a flag
// and posts a POSIX semaphore only when it was the one to raise it, so the
// count never exceeds one and a post never blocks, allocates or loops.
//
// Not std::counting_semaphore: in the libstdc++ this is built with (GCC 12),
// its timed wait can miss the wake-ups of a busy poster and sleep for tens of
// seconds past its timeout, which stopped our I/O threads for as long.
//
// Threads:
//   - notify(): any thread, any number of them, at any time; real-time safe.
//   - wait(), waitFor(), reset(): the one waiting thread only.

#include <semaphore.h>

#include <atomic>
#include <chrono>

namespace platform::audio::rt {

class WakeSignal {
 public:
  WakeSignal() noexcept;
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  void notify() noexcept;
  // Returns once notified since the last wake-up (at once when a notify is
  // pending). Everything the notifier published before its notify is then
  // visible to the waiting thread.
  void wait() noexcept;
  // As wait, giving up after `timeout` on the monotonic clock; true when
  // woken by a notify, false when the time ran out.
  bool waitFor(std::chrono::nanoseconds timeout) noexcept;
  // Forgets a pending notify: before the waiting thread (re)starts.
  void reset() noexcept;

 private:
  void woken() noexcept;

  std::atomic<bool> pending_{false};
  sem_t semaphore_;
};

}  // namespace platform::audio::rt
