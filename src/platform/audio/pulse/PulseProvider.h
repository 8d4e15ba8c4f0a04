#pragma once
// The PulseAudio provider: the sinks and sources of a PulseAudio server (or of
// PipeWire's pulse server) as devices of the audio object model.
//
// Devices
//   Every sink is an output device, every source an input device; a sink's
//   monitor is an input device named "Monitor of <sink description>". The
//   identifier is "pulse:sink:<server name>:<bus>:0" or "pulse:source:...",
//   built from the server's own device name, so it stays the same across runs
//   and server restarts. Object IDs are handed out per run and never reused.
//   Ports are data sources (ID = a hash of the port's name; selecting one sets
//   the active port). The default sink and source are the default devices.
//
// Rates and formats
//   A device offers its own rate first and the rates the server converts to
//   (44.1, 48, 88.2, 96, 176.4, 192 kHz), each as linear PCM with the
//   device's channels and sample size. The device's own rate is chosen until
//   a client sets another one; the choice is ours (the server resamples), so
//   changing it takes effect at once.
//
// Volumes
//   Element 0 is the overall volume (the loudest channel), element c the
//   volume of channel c. A scalar is the volume as a fraction of
//   PA_VOLUME_NORM, i.e. the percentage the desktop mixer shows divided by 100
//   (the mixer's cubic scale, not the linear amplitude); above 100 % reads as
//   1.0. Setting element 0 scales every channel so that the loudest is at the
//   value.
//
// Reads come from a cache kept current by the server's events and never wait
// on the server. Writes of server state (volume, port, default device) are sent
// without waiting; the cache and the notifications follow when the server
// reports the change. Notifications run on the provider's notification thread.
//
// Device I/O
//   Each running device has one pa_stream (32-bit float, the device's
//   channels, the chosen rate, fragments of about one cycle) and one I/O
//   thread of ours. libpulse's thread only moves samples between the stream
//   and a lock-free ring; the I/O thread cuts the ring into cycles of exactly
//   the device's buffer size and calls the clients from preallocated buffers.
//   Keeping the clients off libpulse's thread means a client's stopIo from
//   another thread can wait for the cycle in hand without ever waiting on
//   libpulse's lock, and a slow client never stalls the server connection.
//   For playback the I/O thread makes what the server has asked for (plus one
//   cycle) and wakes libpulse's thread through an eventfd, which neither
//   locks nor allocates. A client that stops its own I/O from within its
//   cycle leaves the stream running idle until the next start or stop made
//   from another thread.
//   The rate scalar is measured from the frames the stream moves over wall
//   time.
//
// When the server goes away every device is removed (device list and default
// notifications, running clients get no further cycles) and the provider
// reconnects in the background; the devices come back with new IDs and the
// same identifiers.

#include <memory>
#include <string>

#include "platform/audio/PropertyLookup.h"

namespace platform::audio::pulse {

struct Options {
  // How long create() waits for the server to answer and list its devices.
  int connectTimeoutMs = 1000;
  // Called on each I/O thread the provider starts, once, before its first
  // cycle (tests mark real-time threads with it).
  void (*ioThreadStarted)() = nullptr;
  // Application name shown by the server.
  std::string clientName = "SpecAn";
};

class PulseProvider final : public LookUpProvider {
 public:
  // A provider connected to the server named by the environment (PULSE_SERVER
  // or the user's default), with its devices listed; null when no server
  // answers within the timeout.
  static std::shared_ptr<PulseProvider> create(const Options& options = {});
  ~PulseProvider() override;
  PulseProvider(const PulseProvider&) = delete;
  PulseProvider& operator=(const PulseProvider&) = delete;

  // Waits until every notification posted so far has been delivered. Not from a listener.
  void flushNotifications();
  // The device with this identifier, 0 when there is none (now).
  AudioObjectID deviceWithUID(const std::string& uid) const;
  // True while the provider is connected and has listed the server's devices.
  bool connected() const;
  // Frames that went through the device's stream since its I/O started.
  uint64_t framesCycled(AudioObjectID device) const;

  // ---- Provider
  std::string name() const override;
  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           uint32_t qualifierSize, const void* qualifier, uint32_t size,
                           const void* data) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               AudioObjectPropertyListenerProc listener, void* clientData) override;
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  AudioObjectPropertyListenerProc listener, void* clientData) override;
  uint64_t hostTime() const noexcept override;
  OSStatus deviceCurrentTime(AudioObjectID device, AudioTimeStamp& time) const noexcept override;
  // Underflows (playback) or overflows (record) the server reported, frames
  // our ring lost, and the latency the server reports once the stream runs.
  OSStatus deviceIoStatus(AudioObjectID device, DeviceIoStatus& status) const noexcept override;
  OSStatus startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) override;
  OSStatus stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) override;

  struct State;

 private:
  explicit PulseProvider(const Options& options);
  PropertyLookup lookUp(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
  std::unique_ptr<State> state_;
};

}  // namespace platform::audio::pulse
