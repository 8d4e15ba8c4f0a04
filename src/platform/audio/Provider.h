#pragma once
// The seam between the audio object model and whatever serves it: a provider
// answers property calls, keeps listeners, tells device time and runs device
// I/O. The free functions of AudioHardware.h and the units of AudioUnits.h go
// to the current provider; the registry below picks it.
//
// Providers: the simulated one (simulated/SimulatedProvider.h), the one on
// PulseAudio (pulse/PulseProvider.h) and the one on JACK (jack/JackProvider.h).
// A provider that cannot serve (no server)
// is simply not chosen; that is not an error.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/AudioHardware.h"

namespace platform::audio {

// What one device cycle hands a running I/O client, on the device's I/O thread.
struct IoCycle {
  AudioTimeStamp timeStamp;      // device sample time of the cycle's first frame, host time, rate scalar
  uint32_t frames;               // frames in this cycle (the device's buffer size)
  const AudioBufferList* input;  // device input, 32-bit float, one buffer per device channel; null for output
  AudioBufferList* output;       // device output to fill, same form; null for input. Zeroed before the call.
};

// A receiver of device cycles (the device I/O unit is one).
class IoClient {
 public:
  virtual ~IoClient() = default;
  // Runs on the provider's I/O thread (or on the stepping thread in stepped
  // mode) once per device cycle while the client is started. Must not
  // allocate, lock a blocking mutex, log or wait. May call startIo/stopIo for
  // itself (those then do not wait).
  virtual void ioCycle(AudioObjectID device, const IoCycle& cycle) noexcept = 0;
};

// How a running device is faring, read without a lock: the gaps it has had
// and how far behind the present it plays or records.
struct DeviceIoStatus {
  // Gaps the device's server reported: playback running dry (underflows) and
  // recorded data it had to throw away (overflows), since the device appeared.
  uint64_t dropOuts = 0;
  // A gap in progress: the playback ran dry and has not started again.
  bool dropOutOngoing = false;
  // Frames lost between the server and the device's cycles (our own ring
  // overrunning), since the device appeared.
  uint64_t lostFrames = 0;
  // The latency as the server reports it now (playback: until a frame made
  // in the present cycle is played; record: since the oldest frame not yet
  // handed to a cycle was captured), in frames; meaningful only when
  // latencyKnown. Negative for the monitor of an output, which records what
  // the output renders before it is played.
  int64_t latencyFrames = 0;
  bool latencyKnown = false;
};

class Provider {
 public:
  virtual ~Provider() = default;

  // A short human name, shown by the application ("Simulated", "PulseAudio", "JACK").
  virtual std::string name() const = 0;

  // The object model; semantics as in AudioHardware.h.
  virtual bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) = 0;
  virtual OSStatus isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      bool& settable) = 0;
  virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       uint32_t qualifierSize, const void* qualifier, uint32_t& size) = 0;
  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   uint32_t qualifierSize, const void* qualifier, uint32_t& ioSize,
                                   void* data) = 0;
  virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   uint32_t qualifierSize, const void* qualifier, uint32_t size,
                                   const void* data) = 0;
  virtual OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       AudioObjectPropertyListenerProc listener, void* clientData) = 0;
  virtual OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                          AudioObjectPropertyListenerProc listener, void* clientData) = 0;

  // Host clock, nanoseconds; real-time safe.
  virtual uint64_t hostTime() const noexcept = 0;
  // Device time while its I/O runs; real-time safe and bounded: never waits
  // for the I/O side. kAudioHardwareNotRunningError while the I/O does not
  // run; kAudioHardwareUnspecifiedError, rarely, when the I/O side published
  // again during every attempt to read it (ask again at the next cycle).
  virtual OSStatus deviceCurrentTime(AudioObjectID device, AudioTimeStamp& time) const noexcept = 0;
  // Drop-outs and latency of a device; real-time safe. A provider that
  // cannot tell need not answer: then kAudioHardwareUnknownPropertyError and
  // nothing is written.
  virtual OSStatus deviceIoStatus(AudioObjectID, DeviceIoStatus&) const noexcept {
    return kAudioHardwareUnknownPropertyError;
  }

  // Device I/O. scope is kAudioObjectPropertyScopeInput or ...Output. After
  // stopIo returns (called from any thread but the device's I/O thread), the
  // client is not in a cycle and is never called again until started anew.
  virtual OSStatus startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) = 0;
  virtual OSStatus stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) = 0;
};

// The current provider. Without an installed one, the first call makes the
// simulated provider with its default devices, running in real time (the
// application installs its choice at start: ProviderChoice.h).
std::shared_ptr<Provider> currentProvider();
// Puts a provider in place (tests, start-up); null goes back to picking one
// at the next call. Units made earlier keep the provider they were made with.
void installProvider(std::shared_ptr<Provider> provider);

}  // namespace platform::audio
