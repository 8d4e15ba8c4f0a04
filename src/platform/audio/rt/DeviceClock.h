#pragma once
// The clock of devices that have no hardware to pace them (the simulated
// devices, sound files played as devices): a real-time thread that runs
// whatever cycles are due and sleeps until the next one falls due, or until
// it is kicked (a client came or went, a setting changed).
//
// The cycles themselves and their timing belong to the provider: `runDue(now)`
// runs every cycle due at host time `now` and returns the host time the next
// one falls due (UINT64_MAX when nothing runs). A provider with a stepped
// clock calls its own runDue from the stepping thread instead and never
// starts this one.
//
// The schedule arithmetic both kinds of clock share is in DeviceSchedule:
// cycles fall due at whole buffers after an anchor, and a device far behind
// (the process stalled) skips ahead as hardware would rather than running a
// burst of late cycles.
//
// Threads:
//   - start(), stop(): the configuring thread; never the clock thread. stop()
//     returns once the thread has ended.
//   - kick(): any thread, real-time ones included; never blocks.
//   - runDue and onStart run on the clock thread, which takes no lock of its
//     own: it sleeps on a WakeSignal.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/audio/rt/WakeSignal.h"

namespace platform::audio::rt {

struct DeviceSchedule {
  uint64_t anchorHost = 0;  // host time (ns) at which the device was at anchorFrames
  double anchorFrames = 0;
  uint64_t framesDone = 0;  // device frames cycled since its I/O started

  // The device's clock starts at `now`, from frame 0.
  void restart(uint64_t now) {
    framesDone = 0;
    anchorFrames = 0;
    anchorHost = now;
  }
  // Host time at which the cycle after framesDone (one buffer) falls due.
  uint64_t nextDue(uint32_t bufferFrames, double rate) const {
    const double frames = double(framesDone + bufferFrames) - anchorFrames;
    return anchorHost + uint64_t(std::max(0.0, frames) * 1e9 / rate + 0.5);
  }
  // Device frame position at host time `now`.
  double framesAt(uint64_t now, double rate) const {
    return anchorFrames + double(int64_t(now - anchorHost)) * rate / 1e9;
  }
  // More than twenty buffers behind at `now`: the schedule goes on from now,
  // without the missed cycles; true when it did.
  bool skipIfFarBehind(uint64_t now, uint32_t bufferFrames, double rate) {
    const uint64_t due = nextDue(bufferFrames, rate);
    if (now <= due || now - due <= uint64_t(20 * 1e9 * bufferFrames / rate)) return false;
    anchorFrames = double(framesDone);
    anchorHost = now;
    return true;
  }
};

class DeviceClock {
 public:
  using Nanos = std::chrono::nanoseconds;

  DeviceClock() = default;
  ~DeviceClock() { stop(); }
  DeviceClock(const DeviceClock&) = delete;
  DeviceClock& operator=(const DeviceClock&) = delete;

  // Starts the clock thread. `hostNow` reads the host clock; with nothing due
  // the thread sleeps until kicked, or `idlePoll` at most when it is not zero.
  void start(std::function<uint64_t(uint64_t now)> runDue, uint64_t (*hostNow)(),
             std::function<void()> onStart = {}, Nanos idlePoll = Nanos::zero()) {
    stop();
    quit_.store(false, std::memory_order_release);
    wake_.reset();
    thread_ = std::thread([this, runDue = std::move(runDue), hostNow, onStart = std::move(onStart), idlePoll] {
      if (onStart) onStart();
      while (!quit_.load(std::memory_order_acquire)) {
        const uint64_t next = runDue(hostNow());
        if (quit_.load(std::memory_order_acquire)) break;
        if (next == UINT64_MAX) {
          if (idlePoll > Nanos::zero())
            (void)wake_.waitFor(idlePoll);
          else
            wake_.wait();
        } else {
          const uint64_t now = hostNow();
          if (next > now) (void)wake_.waitFor(Nanos(next - now));
        }
      }
    });
  }

  void kick() noexcept { wake_.notify(); }

  void stop() {
    if (!thread_.joinable()) return;
    quit_.store(true, std::memory_order_release);
    wake_.notify();
    thread_.join();
  }

  bool running() const { return thread_.joinable(); }

 private:
  std::atomic<bool> quit_{false};
  WakeSignal wake_;
  std::thread thread_;
};

}  // namespace platform::audio::rt
