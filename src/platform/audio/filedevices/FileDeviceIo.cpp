// The file devices' I/O: the cycles, the real-time clock threads and the
// stepped clock, starting and stopping I/O, and device time.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "platform/audio/filedevices/FileDeviceState.h"

namespace platform::audio::files {

namespace {


// Takes up a new rate or buffer size; caller holds rt.io. The device's clock
// goes on from where it is.
void applyConfiguration(FileRuntime& rt, uint64_t now) {
  const double rate = rt.rate.load(std::memory_order_relaxed);
  const uint32_t frames = rt.bufferFrames.load(std::memory_order_relaxed);
  if (rate == rt.scheduleRate && frames == rt.scheduleFrames) return;
  rt.scheduleRate = rate;
  rt.scheduleFrames = frames;
  if (!rt.clients.empty()) {
    rt.schedule.anchorFrames = double(rt.schedule.framesDone);
    rt.schedule.anchorHost = now;
  }
  rt.publish();
}

// One device cycle; caller holds rt.io and the runtime has clients.
void runCycle(FileRuntime& rt, uint64_t due) noexcept {
  const rt::CycleScope scope(&rt);
  const uint32_t frames = rt.scheduleFrames;
  rt.reader->take(frames, rt.planes.data());
  rt.list.mNumberBuffers = rt.channels;
  for (uint32_t ch = 0; ch < rt.channels; ++ch) rt.list.mBuffers[ch] = {1, frames * 4, rt.planes[ch]};
  IoCycle c{};
  c.timeStamp.mSampleTime = double(rt.schedule.framesDone);
  c.timeStamp.mHostTime = due;
  c.timeStamp.mRateScalar = 1.0;
  c.timeStamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
  c.frames = frames;
  c.input = &rt.list;
  c.output = nullptr;
  for (IoClient* client : rt.clients)
    if (client) client->ioCycle(rt.id, c);
  rt.schedule.framesDone += frames;
  rt.cycled.fetch_add(frames, std::memory_order_relaxed);
}

}  // namespace

// ---------------------------------------------------------------- real-time clock

void FileDeviceProvider::State::startClock(FileRuntime& rt) {
  rt.clock.start([this, &rt](uint64_t now) { return runDue(rt, now); }, steadyNanos, options.ioThreadStarted);
}

void FileDeviceProvider::State::stopClock(FileRuntime& rt) { rt.clock.stop(); }

uint64_t FileDeviceProvider::State::runDue(FileRuntime& rt, uint64_t now) {
  if (!rt.io.try_lock()) return now + 200000;  // being started or stopped: look again shortly
  std::lock_guard lock(rt.io, std::adopt_lock);
  if (rt.clients.empty() || rt.removed.load(std::memory_order_relaxed) || !rt.reader) return UINT64_MAX;
  applyConfiguration(rt, now);
  if (rt.schedule.skipIfFarBehind(now, rt.scheduleFrames, rt.scheduleRate)) rt.publish();
  uint64_t due = rt.nextDue();
  while (due <= now && !rt.clients.empty()) {
    runCycle(rt, due);
    due = rt.nextDue();
  }
  return !rt.clients.empty() ? due : UINT64_MAX;
}

// ---------------------------------------------------------------- stepped clock

void FileDeviceProvider::advance(double seconds) {
  State& s = *state_;
  if (s.options.clock != ClockMode::Stepped || !(seconds > 0)) return;
  std::lock_guard step(s.stepMutex);
  const uint64_t target = s.steppedNow.load() + uint64_t(std::llround(seconds * 1e9));
  std::vector<FileRuntime*> runtimes;
  {
    std::lock_guard lock(s.mutex);
    for (const auto& d : s.devices) runtimes.push_back(d.rt);
  }
  for (;;) {
    // Time moves to the next due cycle within the step, so that each cycle
    // sees the host time at which it falls due.
    uint64_t next = UINT64_MAX;
    for (FileRuntime* rt : runtimes) {
      std::lock_guard io(rt->io);
      if (rt->clients.empty() || rt->removed.load() || !rt->reader) continue;
      applyConfiguration(*rt, s.steppedNow.load());
      next = std::min(next, rt->nextDue());
    }
    if (next > target) break;
    s.steppedNow.store(std::max(next, s.steppedNow.load()), std::memory_order_release);
    for (FileRuntime* rt : runtimes) {
      for (;;) {
        std::shared_ptr<FileReader> reader;
        uint32_t frames = 0;
        {
          std::lock_guard io(rt->io);
          if (rt->clients.empty() || rt->removed.load() || !rt->reader || rt->nextDue() > next) break;
          reader = rt->reader;
          frames = rt->scheduleFrames;
        }
        // Each cycle finds what it needs read: a stepped device never
        // underruns unless its file cannot be read.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!reader->readyFor(frames) && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        std::lock_guard io(rt->io);
        if (rt->clients.empty() || !rt->reader || rt->nextDue() > next) break;
        runCycle(*rt, rt->nextDue());
      }
    }
  }
  s.steppedNow.store(target, std::memory_order_release);
}

// ---------------------------------------------------------------- I/O and time

OSStatus FileDeviceProvider::startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!inFileRange(device)) return s.inner->startIo(device, scope, client);
  if (!client || (scope != kAudioObjectPropertyScopeInput && scope != kAudioObjectPropertyScopeOutput))
    return kAudio_ParamError;
  FileRuntime* rt = s.runtime(device);
  if (!rt) return kAudioHardwareBadDeviceError;
  if (scope != kAudioObjectPropertyScopeInput) return kAudioHardwareUnsupportedOperationError;
  const bool own = rt::inCycleOf(rt);
  {
    std::unique_lock<std::mutex> io(rt->io, std::defer_lock);
    if (!own) io.lock();
    if (rt->removed.load()) return kAudioHardwareBadDeviceError;
    const auto joined = rt->clients.add(client);
    if (joined == decltype(rt->clients)::Joined::alreadyIn) return noErr;
    if (joined == decltype(rt->clients)::Joined::full) return kAudioHardwareIllegalOperationError;
    if (rt->clients.count() == 1) {
      // The device's clock starts now, from sample time 0; the file goes on
      // from where it paused.
      const uint64_t now = s.now();
      rt->scheduleRate = rt->rate.load();
      rt->scheduleFrames = rt->bufferFrames.load();
      rt->schedule.restart(now);
      rt->publish();
    }
  }
  if (!own) rt->clock.kick();
  return noErr;
}

OSStatus FileDeviceProvider::stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!inFileRange(device)) return s.inner->stopIo(device, scope, client);
  if (!client || (scope != kAudioObjectPropertyScopeInput && scope != kAudioObjectPropertyScopeOutput))
    return kAudio_ParamError;
  FileRuntime* rt = s.slots[(device - kFirstFileDeviceID) % kSlots].load(std::memory_order_acquire);
  if (!rt || rt->id != device) return noErr;  // closed and replaced: nothing runs there
  const bool own = rt::inCycleOf(rt);
  std::unique_lock<std::mutex> io(rt->io, std::defer_lock);
  if (!own) io.lock();
  if (!rt->clients.remove(client)) return noErr;  // not running (or its file was closed)
  if (rt->clients.empty()) rt->publish();
  return noErr;
}

uint64_t FileDeviceProvider::hostTime() const noexcept { return state_->inner->hostTime(); }

OSStatus FileDeviceProvider::deviceIoStatus(AudioObjectID device, DeviceIoStatus& status) const noexcept {
  if (!inFileRange(device)) return state_->inner->deviceIoStatus(device, status);
  return kAudioHardwareUnknownPropertyError;
}

OSStatus FileDeviceProvider::deviceCurrentTime(AudioObjectID device, AudioTimeStamp& time) const noexcept {
  const State& s = *state_;
  if (!inFileRange(device)) return s.inner->deviceCurrentTime(device, time);
  FileRuntime* rt = s.runtime(device);
  if (!rt) return kAudioHardwareBadDeviceError;
  return rt->anchor.currentTime([&s] { return s.now(); }, time);
}

}  // namespace platform::audio::files
