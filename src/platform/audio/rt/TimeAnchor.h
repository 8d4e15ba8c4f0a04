#pragma once
// Where a running device's sample clock stands: "at host time `host` the
// device was at frame `frames`, advancing `rate` frames per second". The I/O
// side publishes it at every cycle and at every start and stop; any thread
// (the output card's render among them) reads it to extrapolate the device's
// position at another host time, without a lock.
//
// Two copies of the value are kept and a sequence count says which of them
// is steady: while the writer changes one copy, readers read the other (the
// previous value), so a reader that meets the writer mid-update still reads
// at its first attempt. A read has to be repeated only when the writer moved
// on while it read; it is repeated at most kReadAttempts times and then gives
// up, so no reader ever spins waiting for a writer.
//
// Threads:
//   - publish(): one writer at a time (the device's I/O thread, or threads
//     that take turns under one lock); real-time safe: no lock, no
//     allocation, no system call.
//   - read(), currentTime(): any thread, any number of them; real-time safe,
//     bounded (at most kReadAttempts passes over two cache lines).

#include <atomic>
#include <cstdint>

#include "platform/audio/AudioTypes.h"

namespace platform::audio::rt {

struct AnchorValue {
  bool running = false;  // the device's I/O runs; the rest is meaningful only then
  uint64_t host = 0;     // host time, ns
  double frames = 0;     // device frame position at `host`
  double rate = 48000;   // frames per second the position advances (rate scalar included)
  double scalar = 1;     // the device's rate scalar, reported beside the time
};

class TimeAnchor {
 public:
  static constexpr int kReadAttempts = 8;

  // Every access below is sequentially consistent (plain loads on x86, and
  // no fences, which ThreadSanitizer cannot follow): a reader that read any
  // store of a copy also sees the count that sent readers away from it.
  void publish(const AnchorValue& value) noexcept {
    const uint32_t s = sequence_.load();
    // An odd count sends readers to copy 1 while copy 0 changes...
    sequence_.store(s + 1);
    store(copies_[0], value);
    // ...and an even one sends them back to copy 0 while copy 1 changes.
    sequence_.store(s + 2);
    store(copies_[1], value);
  }

  // One consistent value; false (and `out` untouched) only when the writer
  // published again during every one of kReadAttempts attempts. `attempts`,
  // when given, receives how many attempts were made.
  bool read(AnchorValue& out, int* attempts = nullptr) const noexcept {
    for (int attempt = 1; attempt <= kReadAttempts; ++attempt) {
      const uint32_t s = sequence_.load();
      const Copy& copy = copies_[s & 1];
      AnchorValue value;
      value.running = copy.running.load();
      value.host = copy.host.load();
      value.frames = copy.frames.load();
      value.rate = copy.rate.load();
      value.scalar = copy.scalar.load();
      if (sequence_.load() == s) {
        out = value;
        if (attempts) *attempts = attempt;
        return true;
      }
    }
    if (attempts) *attempts = kReadAttempts;
    return false;
  }

  // The device's time at the host time `now()` gives, taken after the anchor
  // was read: noErr; kAudioHardwareNotRunningError while the I/O does not
  // run; kAudioHardwareUnspecifiedError when the read gave up (the caller
  // keeps what it had and asks again at its next cycle). `time` is written
  // only on noErr.
  template <typename Now>
  OSStatus currentTime(Now&& now, AudioTimeStamp& time) const noexcept {
    AnchorValue value;
    if (!read(value)) return kAudioHardwareUnspecifiedError;
    if (!value.running) return kAudioHardwareNotRunningError;
    const uint64_t host = now();
    time = AudioTimeStamp{};
    time.mHostTime = host;
    time.mSampleTime = value.frames + double(int64_t(host - value.host)) * value.rate / 1e9;
    time.mRateScalar = value.scalar;
    time.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
    return noErr;
  }

  // Whether the I/O runs, as last published (a glance, not a snapshot).
  bool running() const noexcept { return copies_[sequence_.load() & 1].running.load(); }

 private:
  friend class TimeAnchorProbe;  // the tests' view of a half-done publish

  struct alignas(64) Copy {
    std::atomic<bool> running{false};
    std::atomic<uint64_t> host{0};
    std::atomic<double> frames{0}, rate{48000}, scalar{1};
  };

  static void store(Copy& copy, const AnchorValue& value) noexcept {
    copy.running.store(value.running);
    copy.host.store(value.host);
    copy.frames.store(value.frames);
    copy.rate.store(value.rate);
    copy.scalar.store(value.scalar);
  }

  alignas(64) std::atomic<uint32_t> sequence_{0};
  Copy copies_[2];
};

}  // namespace platform::audio::rt
