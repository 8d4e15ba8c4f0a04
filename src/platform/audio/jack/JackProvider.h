#pragma once
// The JACK provider: the clients of a JACK server (jackd2, or PipeWire's
// JACK) as devices of the audio object model.
//
// Devices
//   Every client with audio ports is up to two devices: its output ports are
//   an input device (what it plays, we record), its input ports an output
//   device (we play into them). The server's own "system" client is thus the
//   sound card's capture (an input device) and playback (an output device).
//   A device is named by its client, which the server keeps unique; its
//   identifier is "jack:in:<client>" or "jack:out:<client>", the same across
//   runs and server restarts. Its ports, in the server's order, are its
//   channels. Our own client's ports are never devices. Object IDs are handed
//   out per run and never reused. The defaults are the first devices with
//   physical ports (else the first devices).
//
// Format
//   The server's sampling rate and buffer size are a device's only format
//   and cycle: 32-bit float, one channel per port. Setting either to another
//   value is refused; when the server changes one, listeners hear the formats
//   (and the rate or buffer size) change.
//
// Latency
//   The latency property is the largest latency the server reports for the
//   device's ports (capture latency of an input device, playback latency of
//   an output device), in frames.
//
// Device I/O
//   Our client (named "SpecAn" unless the server makes it unique) registers
//   one port per channel of a device when its I/O starts, named
//   "<device>_in_<n>" or "<device>_out_<n>", connects them to the device's
//   ports, and unregisters them (which disconnects them) when its last client
//   stops. The clients' cycles run on JACK's process thread, with the
//   server's buffers; nothing there allocates, locks a blocking mutex, logs
//   or waits (the clients' lock is only tried: a start or stop in progress
//   skips the cycle). A client may start or stop its own device from its
//   cycle; another device's start or stop from there is refused. The
//   server's xruns count as drop-outs of every running device.
//
// Graph changes (clients and ports appearing or going, connections made or
// broken by others, rate and buffer size) reach listeners on the provider's
// notification thread, never on JACK's threads. When the server goes away
// every device is removed (running clients get no further cycles) and the
// provider tries to reach the server again in the background; the devices
// come back with new IDs and the same names and identifiers.
//
// A server is never started: no running server, no provider.

#include <memory>
#include <string>

#include "platform/audio/PropertyLookup.h"

namespace platform::audio::jack {

struct Options {
  // The server to reach; empty: JACK_DEFAULT_SERVER or the default one.
  std::string serverName;
  // Our client's name at the server.
  std::string clientName = "SpecAn";
  // How often a lost server is looked for again.
  int reconnectIntervalMs = 500;
  // Called on JACK's process thread before its first cycle of ours (tests
  // count that thread's allocations with it). Must be real-time safe.
  void (*processThreadStarted)() = nullptr;
};

class JackProvider final : public LookUpProvider {
 public:
  // A provider on the running server; null when no server runs (none is
  // started).
  static std::shared_ptr<JackProvider> create(const Options& options = {});
  ~JackProvider() override;
  JackProvider(const JackProvider&) = delete;
  JackProvider& operator=(const JackProvider&) = delete;

  // Waits until every graph change the server has told so far is in the
  // device list and its notifications have been delivered. Not from a listener.
  void flushNotifications();
  // The device with this identifier, 0 when there is none (now).
  AudioObjectID deviceWithUID(const std::string& uid) const;
  // True while the provider is connected to the server.
  bool connected() const;
  // Our client's name at the server (its ports are "<name>:<port>"); empty
  // while not connected.
  std::string clientName() const;

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
  // The server's xruns while the device ran, and its ports' latency.
  OSStatus deviceIoStatus(AudioObjectID device, DeviceIoStatus& status) const noexcept override;
  OSStatus startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) override;
  OSStatus stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) override;

  struct State;

 private:
  explicit JackProvider(const Options& options);
  PropertyLookup lookUp(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
  std::unique_ptr<State> state_;
};

}  // namespace platform::audio::jack
