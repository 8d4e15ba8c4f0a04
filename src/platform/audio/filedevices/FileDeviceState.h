#pragma once
// The file-device overlay's insides, shared by its source files: the model of
// the open files (State, FileDevice), the runtime each file device's I/O runs
// on, and the relay of the inner provider's notifications. Not part of the
// overlay's interface.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/Notifier.h"
#include "platform/audio/PropertyLookup.h"
#include "platform/audio/filedevices/FileDeviceProvider.h"
#include "platform/audio/filedevices/FileReader.h"
#include "platform/audio/rt/DeviceClock.h"
#include "platform/audio/rt/IoClients.h"
#include "platform/audio/rt/TimeAnchor.h"

namespace platform::audio::files {

constexpr uint32_t kMaxChannels = kAudioBufferListCapacity;
constexpr uint32_t kMaxClients = 8;    // per device
constexpr uint32_t kSlots = 64;        // files open at a time
constexpr uint32_t kMinBufferFrames = 16;
constexpr uint32_t kMaxBufferFrames = 4096;
constexpr uint32_t kInitialBufferFrames = 512;
// The rates a file device converts to, besides the file's own.
constexpr double kStandardRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000, 192000};

inline bool inFileRange(AudioObjectID id) {
  return id >= kFirstFileDeviceID && id - kFirstFileDeviceID < 0x01000000u;
}

inline uint64_t steadyNanos() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

// One file device as its I/O sees it. The fields marked "under io" belong to
// whoever holds `io`: the clock thread (which only try-locks it) or a
// stepping test while they run cycles, the starting and stopping threads
// otherwise. A runtime is kept until the overlay goes, so that an I/O thread
// or AudioDeviceGetCurrentTime may still hold a pointer to that of a closed
// file; what it holds of the file goes when the file is closed.
struct FileRuntime {
  FileRuntime(AudioObjectID deviceID, uint32_t channelCount)
      : id(deviceID), channels(channelCount), data(size_t(channelCount) * kMaxBufferFrames, 0.0f) {
    for (uint32_t ch = 0; ch < channels; ++ch) planes[ch] = data.data() + size_t(ch) * kMaxBufferFrames;
  }
  const AudioObjectID id;
  const uint32_t channels;
  std::atomic<bool> removed{false};
  std::mutex io;

  // Set by the model; taken up by whoever holds io at the next cycle.
  std::atomic<double> rate{48000};
  std::atomic<uint32_t> bufferFrames{kInitialBufferFrames};

  // The file's reader: made with the runtime, dropped under io when the file
  // is closed; the model also reaches it (under its mutex) while the file is
  // listed, which ends before it is dropped.
  std::shared_ptr<FileReader> reader;

  // Under io.
  rt::IoClientSlots<IoClient, kMaxClients> clients;
  double scheduleRate = 0;
  uint32_t scheduleFrames = 0;
  rt::DeviceSchedule schedule;
  std::vector<float> data;  // the cycle's input, channels planes of kMaxBufferFrames
  std::array<float*, kMaxChannels> planes{};
  AudioBufferList list{};

  std::atomic<uint64_t> cycled{0};

  // Published time, read without a lock (AudioDeviceGetCurrentTime);
  // published under the provider's lock.
  rt::TimeAnchor anchor;

  // The real-time clock thread (real-time mode only).
  rt::DeviceClock clock;

  uint64_t nextDue() const { return schedule.nextDue(scheduleFrames, scheduleRate); }
  void publish() { anchor.publish({!clients.empty(), schedule.anchorHost, schedule.anchorFrames, scheduleRate, 1.0}); }
};

// One open file as the object model sees it.
struct FileDevice {
  AudioObjectID id = 0;
  std::string path;  // canonical
  std::string name;
  std::string uid;
  uint32_t channels = 0;
  double fileRate = 0;
  uint32_t bits = 32;      // the physical format's
  bool isFloat = true;     // 32-bit float, else signed integers of `bits`
  double rate = 0;         // the device's rate
  uint32_t bufferFrames = kInitialBufferFrames;
  uint32_t source = kSourceLoop;
  FileRuntime* rt = nullptr;
};

struct FileDeviceProvider::State {
  State(std::shared_ptr<Provider> innerProvider, const Options& o) : options(o), inner(std::move(innerProvider)) {}

  Options options;
  std::shared_ptr<Provider> inner;

  mutable std::mutex mutex;  // the model
  std::vector<FileDevice> devices;
  uint32_t nextIndex = 0;    // of the next device ID
  std::array<std::atomic<FileRuntime*>, kSlots> slots{};
  std::vector<std::unique_ptr<FileRuntime>> runtimes;  // every runtime made (under mutex)

  // The inner provider's notifications: one registration of relay() per
  // inner object that clients listen to, counted by their registrations.
  struct Registration {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerProc listener;
    void* clientData;
  };
  std::mutex relayMutex;  // never held by relay() itself
  std::vector<Registration> innerRegistrations;
  static OSStatus relay(AudioObjectID object, uint32_t numberAddresses, const AudioObjectPropertyAddress* addresses,
                        void* state);

  // Stepped clock.
  std::atomic<uint64_t> steppedNow{1000000000ull};
  std::mutex stepMutex;

  // Last, so that it is destroyed first: its thread ends (after the listener
  // in hand returns) before anything a listener might call goes away.
  Notifier notifier;

  uint64_t now() const {
    return options.clock == ClockMode::Stepped ? steppedNow.load(std::memory_order_acquire) : steadyNanos();
  }

  // Caller holds mutex.
  FileDevice* find(AudioObjectID id) {
    for (auto& d : devices)
      if (d.id == id) return &d;
    return nullptr;
  }
  PropertyLookup lookUp(const FileDevice& device, const AudioObjectPropertyAddress& address) const;

  // The runtime of an open file's device, without a lock (audio threads).
  FileRuntime* runtime(AudioObjectID id) const {
    if (!inFileRange(id)) return nullptr;
    FileRuntime* rt = slots[(id - kFirstFileDeviceID) % kSlots].load(std::memory_order_acquire);
    return rt && rt->id == id && !rt->removed.load(std::memory_order_acquire) ? rt : nullptr;
  }

  // The system object's device list: the inner provider's, then the files'.
  std::vector<AudioObjectID> deviceList() const;

  // I/O (FileDeviceIo.cpp).
  void startClock(FileRuntime& rt);
  void stopClock(FileRuntime& rt);
  // Runs the runtime's cycles due by `now`; returns when the next one falls
  // due (UINT64_MAX when it has no clients). Only try-locks io.
  uint64_t runDue(FileRuntime& rt, uint64_t now);
};

}  // namespace platform::audio::files
