#pragma once
// The simulated audio provider: in-process devices described by plain data.
// It is what SpecAn runs on without a sound card, and the test bed of the
// sound cards.
//
// Default devices (defaultDevices()):
//   "Test Signal"  input, 2 channels; its data sources choose the signal:
//                  "Sine" (1 kHz), "Two Tones" (1 kHz and 3.5 kHz), "White Noise",
//                  "Silence"; settable main volume; every channel carries the signal.
//   "Loopback"     output and input, 2 channels each; what is played on output
//                  channel c arrives at input channel c after a device-under-test
//                  filter (a band-pass at 1 kHz, Q 0.7071) and a fixed latency of 1024
//                  frames; settable volume on channels 1 and 2 of either side.
//   "Multichannel" input and output, 8 channels; input channel c (1-based)
//                  carries a sine of c × 500 Hz at amplitude 0.1, so channel maps
//                  can be seen; what it plays goes nowhere.
//   "Loopback (distorting)"
//                  the Loopback (same filter, latency, channels and volumes) with
//                  a device under test that distorts: after the band-pass, the
//                  signal x meets the static nonlinearity
//                    y = x + a·x² + b·x³,   a = 0.01, b = 0.001
//                  (kDistortingLoopback). For a sine x = A·sin ωt after the filter:
//                    x² = A²/2 − (A²/2)·cos 2ωt
//                    x³ = (3A³/4)·sin ωt − (A³/4)·sin 3ωt
//                  so y holds
//                    DC          a·A²/2
//                    fundamental A + 3b·A³/4
//                    H2          a·A²/2   (amplitude; a cosine, opposite in sign)
//                    H3          b·A³/4   (amplitude, opposite in sign)
//                  and nothing above H3. At A = 0.5 (−6.02 dBFS) that is H2 −52.04 dBc
//                  and H3 −84.08 dBc (the fundamental +0.0016 dB); at the
//                  generator's designed 0.25, −58.06 and −96.12 dBc. Last of the
//                  set, so that the others' order and the default devices stay
//                  as they were.
// Identifiers have colon-separated fields; the fourth is the location
// ("sim:specan:testsignal:Bus1:0" has the location "Bus1").
//
// Time: in real-time mode a clock thread runs each started device every
// buffer period. In stepped mode nothing runs by itself: advance() runs, on
// the calling thread, every device cycle that falls due, so a device at rate R
// with buffer B has run exactly floor(R × scalar × t / B) cycles of B frames
// after t seconds.
//
// Changes "from outside" (the methods below marked so) act like the hardware
// changing by itself: they fire the notifications a real device fires.
// Notifications fired for a change:
//   device added/removed      system: dev# (and dIn/dOut when a default moves)
//   default device            system: dIn or dOut
//   physical format / rate    device: pft and sfmt in each scope whose format
//                             changed, nsrt (global) when the rate changed
//   data source               device: ssrc in its scope
//   volume                    device: volm in its scope, element = channel
//   buffer size               device: fsiz (global)
// Client writes through AudioObjectSetPropertyData fire the same ones. A write
// that changes nothing fires nothing.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/PropertyLookup.h"

namespace platform::audio::simulated {

enum class Signal : uint32_t {
  Silence,
  Sine,          // frequencyHz, amplitude
  TwoTones,      // frequencyHz and secondFrequencyHz, amplitude each
  WhiteNoise,    // uniform, amplitude = RMS
  ChannelTones,  // input channel c (1-based) carries c × frequencyHz
  Loopback,      // the device's own output through its filter and latency
};

struct SignalSpec {
  Signal signal = Signal::Silence;
  double frequencyHz = 1000.0;
  double secondFrequencyHz = 3500.0;
  double amplitude = 0.5;
};

struct DataSource {
  uint32_t id = 0;
  std::string name;
  SignalSpec signal;  // what an input produces while this source is selected
};

struct VolumeElement {
  uint32_t element = 0;  // 0 = main, c = channel c
  float value = 1.0f;    // 0..1; applied as a linear gain
  bool settable = true;
};

// A loopback's static nonlinearity after its filter: y = x + a·x² + b·x³
// per sample (a = b = 0: the signal passes unchanged).
struct Nonlinearity {
  double a = 0;  // second order: H2 = a·A²/2 for a sine of amplitude A
  double b = 0;  // third order: H3 = b·A³/4
};

// The nonlinearity of "Loopback (distorting)".
inline constexpr Nonlinearity kDistortingLoopback{0.01, 0.001};

// The device-under-test filter of a loopback: a second-order band-pass with
// 0 dB at its centre (the audio-EQ-cookbook band-pass, constant peak gain).
struct BandPassFilter {
  double centerHz = 1000.0;
  double q = 0.70710678118654752;
  bool bypassed = false;  // the loopback without a device under test: output reaches input unchanged
};

// One direction of a device.
struct StreamDescription {
  uint32_t channels = 2;
  std::vector<AudioStreamRangedDescription> formats;  // offered physical formats, in order
  AudioStreamBasicDescription physicalFormat{};       // current; must be one of the offered
  std::vector<DataSource> sources;                    // none: the device has no source selector
  uint32_t currentSource = 0;
  SignalSpec signal;                                  // input signal when there are no sources
  std::vector<VolumeElement> volumes;
  uint32_t latencyFrames = 0;
};

struct DeviceDescription {
  std::string name;
  std::string uid;
  std::optional<StreamDescription> input;
  std::optional<StreamDescription> output;
  AudioValueRange bufferFrameSizeRange{32, 4096};
  uint32_t bufferFrameSize = 512;
  double rateScalar = 1.0;  // actual / nominal rate of the device's clock
  std::optional<BandPassFilter> loopbackFilter;  // output reaches input through it (Signal::Loopback)
  Nonlinearity loopbackNonlinearity;             // after the filter
  uint32_t loopbackLatencyFrames = 0;
  // A loopback reference wired beside the device under test: input channel
  // loopbackReferenceChannel (1-based; 0 none) carries output channel 1 as
  // played, after the latency but without the filter, the nonlinearity or
  // loopbackDeviceDelayFrames, which the other channels alone add.
  uint32_t loopbackReferenceChannel = 0;
  uint32_t loopbackDeviceDelayFrames = 0;
};

// Linear PCM packed integer format helpers for building descriptions.
AudioStreamBasicDescription linearPcmFormat(double rate, uint32_t channels, uint32_t bits);
// One ranged description per rate (minimum = maximum = rate).
std::vector<AudioStreamRangedDescription> discreteFormats(uint32_t channels, uint32_t bits,
                                                          const std::vector<double>& rates);

// The default device set, in this order: Test Signal, Loopback, Multichannel,
// Loopback (distorting).
std::vector<DeviceDescription> defaultDevices();

enum class ClockMode { RealTime, Stepped };

struct Options {
  ClockMode clock = ClockMode::RealTime;
  bool defaultDeviceSet = true;  // start with defaultDevices(); defaults: Test Signal in, Loopback out
  // Called on each I/O thread the provider starts, once, before its first
  // cycle (tests mark real-time threads with it). Not called in stepped mode.
  void (*ioThreadStarted)() = nullptr;
};

class SimulatedProvider final : public LookUpProvider {
 public:
  explicit SimulatedProvider(const Options& options = {});
  ~SimulatedProvider() override;
  SimulatedProvider(const SimulatedProvider&) = delete;
  SimulatedProvider& operator=(const SimulatedProvider&) = delete;

  // ---- from outside (test API); any non-audio thread
  // Adds a device; returns its new ID (never reused), or 0 when the
  // description is inconsistent (no direction, a current format not offered).
  AudioObjectID addDevice(const DeviceDescription& description);
  // Removes a device; its running I/O stops (clients get no further cycles).
  // When it was a default device, the first remaining device of that
  // direction becomes the default (or none).
  bool removeDevice(AudioObjectID device);
  // scope: input or output. 0 clears the default. False for a device without
  // that direction.
  bool setDefaultDevice(AudioObjectPropertyScope scope, AudioObjectID device);
  // The same checks and statuses as a client write.
  OSStatus setPhysicalFormat(AudioObjectID device, AudioObjectPropertyScope scope,
                             const AudioStreamBasicDescription& format);
  OSStatus setNominalSampleRate(AudioObjectID device, double rate);
  OSStatus setDataSource(AudioObjectID device, AudioObjectPropertyScope scope, uint32_t sourceID);
  // Changes a volume even when it is not settable by clients (as a hardware knob would).
  OSStatus setVolume(AudioObjectID device, AudioObjectPropertyScope scope, uint32_t element, float value);
  OSStatus setBufferFrameSize(AudioObjectID device, uint32_t frames);
  OSStatus setRateScalar(AudioObjectID device, double rateScalar);
  // Fires the notification without changing anything (a device reporting a
  // property change, e.g. an unknown selector).
  void notify(AudioObjectID object, const AudioObjectPropertyAddress& address);

  // Stepped mode: runs every device cycle due within the next `seconds`, on
  // this thread. Real-time mode: ignored.
  void advance(double seconds);
  // Stepped: runs until `frames` more frames of this device have been cycled.
  void advanceFrames(AudioObjectID device, uint64_t frames);
  // Waits until every notification fired so far has been delivered and its
  // listeners have returned. Not from a listener.
  void flushNotifications();

  // Look-ups for tests.
  AudioObjectID deviceNamed(const std::string& name) const;  // first match, 0 if none
  std::vector<AudioObjectID> devices() const;
  // Frames cycled by the device in that direction since the provider began.
  uint64_t framesCycled(AudioObjectID device, AudioObjectPropertyScope scope) const;
  // True when some client's I/O runs on the device.
  bool isRunning(AudioObjectID device) const;

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
  // lostFrames: the frames a real-time device skipped after falling far
  // behind the present (the machine stalled); no other gap exists here.
  OSStatus deviceIoStatus(AudioObjectID device, DeviceIoStatus& status) const noexcept override;
  OSStatus startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) override;
  OSStatus stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) override;

 private:
  struct State;
  PropertyLookup lookUp(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
  std::unique_ptr<State> state_;
};

}  // namespace platform::audio::simulated
