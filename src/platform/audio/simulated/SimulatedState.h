#pragma once
// The simulated provider's insides, shared by its source files: the model of
// the devices (State, Device) and the runtime each device's I/O runs on.
// Not part of the provider's interface.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/Notifier.h"
#include "platform/audio/PropertyLookup.h"
#include "platform/audio/rt/DeviceClock.h"
#include "platform/audio/rt/IoClients.h"
#include "platform/audio/rt/TimeAnchor.h"
#include "platform/audio/simulated/SimulatedProvider.h"

namespace platform::audio::simulated {

constexpr uint32_t kMaxChannels = kAudioBufferListCapacity;
constexpr uint32_t kMaxClients = 8;  // per device and direction
constexpr uint32_t kSlots = 256;     // live devices at a time
constexpr AudioObjectID kFirstDeviceID = 16;

inline bool isDirection(AudioObjectPropertyScope scope) {
  return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

// The offered entry for a format (same ID, channels and bits, rate in range).
const AudioStreamRangedDescription* offered(const StreamDescription& stream, const AudioStreamBasicDescription& f);

inline uint64_t steadyNanos() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
};

// One device as its I/O thread sees it. Everything below `io` is guarded by
// it: the I/O thread only try-locks it (a cycle that meets a reconfiguration
// is skipped), configuration locks it. A runtime is never freed before the
// provider, so the I/O thread and AudioDeviceGetCurrentTime may still hold a
// pointer to the runtime of a removed device.
struct Runtime {
  explicit Runtime(AudioObjectID deviceID) : id(deviceID) {}
  const AudioObjectID id;
  std::atomic<bool> removed{false};
  std::mutex io;

  // configuration
  double rate = 48000;
  double rateScalar = 1;
  uint32_t bufferFrames = 512;
  uint32_t maxFrames = 4096;
  bool hasInput = false, hasOutput = false;
  uint32_t inChannels = 0, outChannels = 0;
  SignalSpec signal;
  std::array<float, kMaxChannels> inGain{}, outGain{};
  bool loopback = false;
  BandPassFilter filterSpec;
  Biquad filter;
  Nonlinearity nonlinearity;
  uint32_t latency = 0;
  uint32_t referenceChannel = 0;  // 1-based; 0 none
  uint32_t deviceDelay = 0;       // on the channels other than the reference

  // buffers, sized when the device is added
  std::vector<float> inData, outData, clientData;
  AudioBufferList inList{}, outList{}, clientList{};
  std::vector<float> delay;  // per channel ring, delayLength each
  uint32_t delayLength = 0;
  uint64_t delayWrite = 0;
  std::array<std::array<double, 4>, kMaxChannels> filterState{};
  std::array<double, kMaxChannels> phase{}, phase2{};
  uint64_t noise = 0x9E3779B97F4A7C15ull;

  // A configuration handed over by the model (under `staged`), applied by
  // whoever next holds `io`, so that no model change ever waits for a cycle.
  struct Config {
    double rate = 48000, rateScalar = 1;
    uint32_t bufferFrames = 512;
    bool hasInput = false, hasOutput = false;
    uint32_t inChannels = 0, outChannels = 0;
    SignalSpec signal;
    std::array<float, kMaxChannels> inGain{}, outGain{};
    bool loopback = false;
    BandPassFilter filterSpec;
    Nonlinearity nonlinearity;
    uint32_t latency = 0;
    uint32_t referenceChannel = 0, deviceDelay = 0;
    bool reanchor = false;
  };
  std::mutex stagedMutex;
  Config staged;
  bool stagedDirty = false;

  // clients
  rt::IoClientSlots<IoClient, kMaxClients> inClients, outClients;
  uint32_t clientCount() const { return inClients.count() + outClients.count(); }

  // schedule
  rt::DeviceSchedule schedule;
  std::atomic<uint64_t> cycledIn{0}, cycledOut{0};
  // Frames the real-time clock skipped, having fallen too far behind (a
  // stalled machine): a gap in the device's stream, as a sound card has.
  std::atomic<uint64_t> skippedFrames{0};

  // published time, read without the lock (AudioDeviceGetCurrentTime);
  // published under the provider's lock
  rt::TimeAnchor anchor;

  double effectiveRate() const { return rate * rateScalar; }
  uint64_t nextDue() const { return schedule.nextDue(bufferFrames, effectiveRate()); }
  // Device frame position at host time `now`.
  double framesAt(uint64_t now) const { return schedule.framesAt(now, effectiveRate()); }
  void publish() { anchor.publish({clientCount() > 0, schedule.anchorHost, schedule.anchorFrames, effectiveRate(), rateScalar}); }
};


struct Device {
  AudioObjectID id = 0;
  DeviceDescription d;
  Runtime* rt = nullptr;
  StreamDescription* stream(AudioObjectPropertyScope scope) {
    if (scope == kAudioObjectPropertyScopeInput) return d.input ? &*d.input : nullptr;
    if (scope == kAudioObjectPropertyScopeOutput) return d.output ? &*d.output : nullptr;
    return nullptr;
  }
};

// The model and the clock. Its parts live in SimulatedDevices.cpp (the
// devices), SimulatedProperties.cpp (their properties) and SimulatedIo.cpp
// (the runtimes, the clock and the I/O cycles).
struct SimulatedProvider::State {
  Options options;

  mutable std::mutex mutex;  // the model: devices, defaults
  std::vector<Device> devices;
  AudioObjectID defaultInput = 0, defaultOutput = 0;
  AudioObjectID nextID = kFirstDeviceID;

  std::array<std::atomic<Runtime*>, kSlots> slots{};
  std::vector<std::unique_ptr<Runtime>> runtimes;  // every runtime ever made (guarded by mutex)

  // clock
  std::atomic<uint64_t> steppedNow{1000000000ull};
  rt::DeviceClock clock;  // real-time mode only
  std::mutex stepMutex;  // one stepping thread at a time

  // Last, so that it is destroyed first: its thread ends (after the listener
  // in hand returns) before anything a listener might call goes away.
  Notifier notifier;

  explicit State(const Options& o) : options(o) {}

  // Caller holds `mutex`.
  PropertyLookup lookUp(AudioObjectID object, const AudioObjectPropertyAddress& a);

  uint64_t now() const {
    return options.clock == ClockMode::Stepped ? steppedNow.load(std::memory_order_acquire) : steadyNanos();
  }

  Device* find(AudioObjectID id) {
    for (auto& d : devices)
      if (d.id == id) return &d;
    return nullptr;
  }

  Runtime* runtime(AudioObjectID id) const {
    Runtime* rt = slots[id % kSlots].load(std::memory_order_acquire);
    return rt && rt->id == id && !rt->removed.load(std::memory_order_acquire) ? rt : nullptr;
  }

  // Hands what the I/O path needs from the model to the runtime. Caller
  // holds `mutex`. Applied at once when no cycle is running, else by the
  // cycle's thread before its next cycle; never waits for a cycle.
  void configure(Device& dev, bool reanchor);

  // Takes a staged configuration into the runtime; caller holds rt.io. On the
  // I/O thread (`realTime`) it only tries the hand-over lock.
  void apply(Runtime& rt, bool realTime);

  void wakeClock() { clock.kick(); }

  // Runs every due cycle of every running device up to `until`; returns the
  // earliest next due time (UINT64_MAX when nothing runs).
  uint64_t runDue(uint64_t until, bool stepped);
};

}  // namespace platform::audio::simulated
