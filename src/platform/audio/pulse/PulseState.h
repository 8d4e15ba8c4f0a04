#pragma once
// The PulseAudio provider's inner state, shared by its parts: the connection
// to the server (PulseServer.cpp), the device cache and its properties
// (PulseProperties.cpp), and the streams and I/O threads (PulseStreams.cpp).

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/audio/Notifier.h"
#include "platform/audio/PropertyLookup.h"
#include "platform/audio/pulse/PulseProvider.h"
#include "platform/audio/rt/IoClients.h"
#include "platform/audio/rt/SampleRing.h"
#include "platform/audio/rt/TimeAnchor.h"
#include "platform/audio/rt/WakeSignal.h"

namespace platform::audio::pulse {

constexpr uint32_t kMaxChannels = std::min<uint32_t>(kAudioBufferListCapacity, PA_CHANNELS_MAX);
constexpr uint32_t kMaxClients = 8;  // per device
constexpr uint32_t kMinFrames = 64;
constexpr uint32_t kMaxFrames = 4096;
constexpr uint32_t kDefaultFrames = 512;
constexpr uint32_t kSlots = 256;  // live devices at a time
constexpr AudioObjectID kFirstDeviceID = 16;
constexpr double kStandardRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
constexpr int kReconnectDelayMs = 500;
// Audio queued at the server for playback. A virtual machine or a busy
// desktop can stop every thread for a tenth of a second or more; the sink
// keeps its own clock and plays what it missed at once, so less queued than
// the longest stall plays silence.
constexpr double kPlaybackQueueSeconds = 0.3;

uint64_t steadyNanos();
// The mixer's scale: a volume as a fraction of PA_VOLUME_NORM, at most 1.
inline float volumeScalar(pa_volume_t v) { return std::min(1.0f, float(double(v) / double(PA_VOLUME_NORM))); }
inline void dropOperation(pa_operation* o) {
  if (o) pa_operation_unref(o);
}

// The I/O side of one device. Never freed before the provider, so callbacks,
// the I/O thread and deviceCurrentTime may hold a pointer to the runtime of a
// removed device.
struct Runtime {
  Runtime(AudioObjectID deviceID, bool isInput) : id(deviceID), input(isInput) {}
  const AudioObjectID id;
  const bool input;
  std::atomic<bool> removed{false};

  std::mutex control;  // starting and stopping the stream; never on the I/O thread
  std::mutex io;       // clients; the I/O thread only try-locks it
  rt::IoClientSlots<IoClient, kMaxClients> clients;

  // Set while the stream is stopped, read by both sides while it runs.
  uint32_t channels = 2;
  double rate = 48000;
  std::string serverName;
  pa_channel_map map{};
  std::atomic<uint32_t> bufferFrames{kDefaultFrames};

  pa_stream* stream = nullptr;  // under the mainloop lock
  std::thread thread;
  std::atomic<bool> active{false};  // stream and thread up (under control)
  std::atomic<bool> quit{false};
  rt::WakeSignal wake;  // to our I/O thread: samples moved, a kick, or quit
  rt::SampleRing ring;
  std::atomic<uint64_t> streamFrames{0};  // moved by libpulse's side
  // The stream's latency as the server reports it (playback: until a frame
  // written now is played; record: since the oldest frame not yet read was
  // captured, negative on a monitor), in frames; known once the server has
  // told it after the start.
  std::atomic<int64_t> streamLatency{0};
  std::atomic<bool> latencyKnown{false};
  std::atomic<uint32_t> streamChannels{2};  // `channels`, for readers on other threads
  // Gaps since the device appeared: underflows of a playback stream,
  // overflows and holes of a record stream (from the server), and frames our
  // ring lost because the I/O thread fell behind.
  std::atomic<uint64_t> dropOuts{0};
  std::atomic<bool> dry{false};  // playback ran dry and has not started again
  std::atomic<uint64_t> lostFrames{0};
  // Output: frames the server asked for that the ring could not give yet,
  // and the kick by which the I/O thread tells libpulse's thread that it
  // has made more (an eventfd watched by the mainloop).
  std::atomic<uint64_t> deficit{0};
  int kickFd = -1;
  pa_io_event* kickEvent = nullptr;  // under the mainloop lock

  // I/O thread only
  std::vector<float> interleaved, planar;
  AudioBufferList list{};
  uint64_t framesDone = 0;
  double scalar = 1;
  uint64_t measureHost = 0, measureFrames = 0;
  uint64_t measureDropOuts = 0;  // the gaps the rate window has seen
  uint64_t measureAfter = 0;     // no window starts before this host time
  uint64_t lastCycleHost = 0;    // host time of the latest cycle
  std::atomic<uint64_t> cycled{0};

  // published time, read without a lock (AudioDeviceGetCurrentTime); the
  // I/O thread publishes it, and the control side while that thread is not
  // running or under `io`
  rt::TimeAnchor anchor;

  void publish(bool running, uint64_t host, double frames) {
    anchor.publish({running, host, frames, rate * scalar, scalar});
  }
};


// Frames of playback queued at the server that a stream of this runtime asks for.
uint32_t playbackQueueFrames(const Runtime& rt);

struct Port {
  uint32_t id;
  std::string name, description;
};

struct Device {
  AudioObjectID id = 0;
  bool input = false;
  bool monitor = false;
  uint32_t index = PA_INVALID_INDEX;  // the server's index of the sink or source
  std::string serverName, description, uid;
  // The name the device is shown and chosen by: its description, made
  // unique with " (2)", " (3)", … among devices of its direction that share
  // it, in the order of their server names (renameDuplicates).
  std::string name;
  pa_sample_spec spec{};
  pa_channel_map map{};
  pa_cvolume volume{};
  std::vector<Port> ports;
  std::string activePort;
  double rate = 48000;  // the chosen rate
  uint32_t bufferFrames = kDefaultFrames;
  Runtime* rt = nullptr;

  uint32_t channels() const { return spec.channels; }
  AudioObjectPropertyScope scope() const {
    return input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
  }
  std::vector<double> rates() const {
    std::vector<double> r{double(spec.rate)};
    for (double s : kStandardRates)
      if (s != spec.rate) r.push_back(s);
    return r;
  }
  AudioStreamBasicDescription format(double atRate) const {
    AudioStreamBasicDescription f{};
    f.mSampleRate = atRate;
    f.mFormatID = kAudioFormatLinearPCM;
    uint32_t bits = 16;
    bool isFloat = false;
    switch (spec.format) {
      case PA_SAMPLE_U8: case PA_SAMPLE_ALAW: case PA_SAMPLE_ULAW: bits = 8; break;
      case PA_SAMPLE_S24LE: case PA_SAMPLE_S24BE: case PA_SAMPLE_S24_32LE: case PA_SAMPLE_S24_32BE: bits = 24; break;
      case PA_SAMPLE_S32LE: case PA_SAMPLE_S32BE: bits = 32; break;
      case PA_SAMPLE_FLOAT32LE: case PA_SAMPLE_FLOAT32BE: bits = 32; isFloat = true; break;
      default: bits = 16; break;
    }
    f.mFormatFlags = (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked;
    f.mChannelsPerFrame = channels();
    f.mBitsPerChannel = bits;
    f.mBytesPerFrame = bits / 8 * channels();
    f.mFramesPerPacket = 1;
    f.mBytesPerPacket = f.mBytesPerFrame;
    return f;
  }
};

using Fired = std::vector<std::pair<AudioObjectID, std::vector<AudioObjectPropertyAddress>>>;

// ------------------------------------------------------------------ state
struct PulseProvider::State {
  Options options;
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;  // under the mainloop lock
  pa_time_event* reconnect = nullptr;
  bool stopping = false;          // under the mainloop lock

  mutable std::mutex mutex;  // the cache below
  std::condition_variable listed;
  bool ready = false;    // connected and the initial lists are in
  bool refused = false;  // a connection attempt has failed (create() stops waiting)
  int pendingLists = 0;  // mainloop thread only
  std::vector<Device> devices;
  std::string defaultSinkName, defaultSourceName;
  AudioObjectID defaultInput = 0, defaultOutput = 0;
  AudioObjectID nextID = kFirstDeviceID;
  std::vector<std::unique_ptr<Runtime>> runtimes;  // every runtime ever made
  std::array<std::atomic<Runtime*>, kSlots> slots{};

  // Last, so that it is destroyed first.
  Notifier notifier;

  explicit State(const Options& o) : options(o) {}

  Device* find(AudioObjectID id) {
    for (auto& d : devices)
      if (d.id == id) return &d;
    return nullptr;
  }
  Device* findIndex(bool input, uint32_t index) {
    for (auto& d : devices)
      if (d.input == input && d.index == index) return &d;
    return nullptr;
  }
  Runtime* runtime(AudioObjectID id) const {
    Runtime* rt = slots[id % kSlots].load(std::memory_order_acquire);
    return rt && rt->id == id ? rt : nullptr;
  }

  PropertyLookup lookUp(AudioObjectID object, const AudioObjectPropertyAddress& a);
  void post(Fired& fired) {
    for (auto& [object, addresses] : fired) notifier.post(object, std::move(addresses));
    fired.clear();
  }

  // The default IDs from the default names; caller holds `mutex`.
  void resolveDefaults(Fired& fired) {
    AudioObjectID in = 0, out = 0;
    for (const auto& d : devices) {
      if (d.input && d.serverName == defaultSourceName) in = d.id;
      if (!d.input && d.serverName == defaultSinkName) out = d.id;
    }
    std::vector<AudioObjectPropertyAddress> changed;
    if (in != defaultInput) changed.push_back({kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0});
    if (out != defaultOutput) changed.push_back({kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0});
    defaultInput = in;
    defaultOutput = out;
    if (!changed.empty()) fired.push_back({kAudioObjectSystemObject, changed});
  }

  // ---- mainloop thread (the mainloop lock is held in every callback)
  void connect();
  void scheduleReconnect();
  void listDone();
  void upsert(bool input, uint32_t index, const char* name, const char* description, const pa_sample_spec& spec,
              const pa_channel_map& map, const pa_cvolume& volume, pa_sink_port_info** sinkPorts,
              pa_source_port_info** sourcePorts, uint32_t portCount, const char* activePort,
              bool monitor, const char* bus);
  void remove(bool input, uint32_t index);
  // Gives every device its unique name; tells those whose name changed.
  // Caller holds `mutex`.
  void renameDuplicates(Fired& fired);
  void removeAll();
  void detach(Runtime& rt);  // stops a removed device's I/O without waiting for its thread

  // ---- I/O
  // What the Latency property reads: while the device's stream runs, the
  // stream's latency and what waits in our ring; before, what a stream of
  // ours is expected to have.
  uint32_t latencyFrames(const Device& dev) const;
  bool openStream(Runtime& rt);  // mainloop lock held
  void closeStream(Runtime& rt);  // mainloop lock held
  OSStatus startStream(Runtime& rt);  // control held, not on the mainloop or I/O thread
  void stopStream(Runtime& rt);       // control held
  void ioLoop(Runtime& rt);
  void inputCycle(Runtime& rt, uint32_t frames);
  void outputCycle(Runtime& rt, uint32_t frames);
  void measure(Runtime& rt, uint64_t now);
};

}  // namespace platform::audio::pulse
