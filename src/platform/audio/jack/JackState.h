#pragma once
// The JACK provider's inner state, shared by its parts: the connection to the
// server and the device list kept from its graph (JackGraph.cpp), the
// properties (JackProperties.cpp), and the process callback with the start
// and stop of device I/O (JackIo.cpp).
//
// Locks, always taken in this order when nested: a runtime's `control`, then
// `jackLock` (every call into libjack but the process callback's), then
// `mutex` (the device cache). A runtime's `io` is taken alone, or innermost.

#include <jack/jack.h>

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
#include "platform/audio/jack/JackProvider.h"
#include "platform/audio/rt/IoClients.h"
#include "platform/audio/rt/TimeAnchor.h"
#include "platform/audio/rt/WakeSignal.h"

namespace platform::audio::jack {

constexpr uint32_t kMaxChannels = kAudioBufferListCapacity;
constexpr uint32_t kMaxClients = 8;      // per device
constexpr uint32_t kMaxRunning = 16;     // devices running at a time
constexpr uint32_t kScratchFrames = 8192;  // mixing room for a second client of one output
constexpr uint32_t kSlots = 256;         // live devices at a time
constexpr AudioObjectID kFirstDeviceID = 16;

uint64_t steadyNanos();

// The I/O side of one device. Never freed before the provider, so the
// process callback and deviceCurrentTime may hold a pointer to the runtime of
// a removed device.
struct Runtime {
  Runtime(AudioObjectID deviceID, bool isInput) : id(deviceID), input(isInput) {}
  const AudioObjectID id;
  const bool input;
  std::atomic<bool> removed{false};

  std::mutex control;  // starting and stopping; never on the process thread
  std::mutex io;       // clients; the process callback only tries it
  rt::IoClientSlots<IoClient, kMaxClients> clients;

  // Our ports and the device's ports they are connected to. Written while
  // `armed` is false, read by the process callback while it is true.
  uint32_t channels = 0;
  std::array<jack_port_t*, kMaxChannels> ports{};
  std::vector<std::string> peers;  // the device's port names, channel order
  // Cycles go to the clients while set (release after the ports are in place).
  std::atomic<bool> armed{false};

  std::atomic<uint64_t> dropOuts{0};  // xruns while running, since the device appeared
  std::atomic<int64_t> latency{0};    // of the device's ports, frames

  // process thread only
  AudioBufferList list{};
  std::vector<float> scratch;  // kScratchFrames per channel, made at start
  uint64_t framesDone = 0;
  std::atomic<uint64_t> cycled{0};
  // The device's pace against the host clock: its frames over the host time
  // since the window began (at the start, and again after an xrun), not a
  // period's own timing, which jitters by milliseconds on a busy machine and
  // would make the generator, which follows the pace, wobble in pitch.
  uint64_t paceHost = 0, paceFrames = 0, paceDropOuts = 0;
  double pace = 1;

  rt::TimeAnchor anchor;  // published by the process thread, and at start and stop
  void publish(bool running, uint64_t host, double frames, double rate, double scalar) {
    anchor.publish({running, host, frames, rate * scalar, scalar});
  }
};

struct Device {
  AudioObjectID id = 0;
  bool input = false;  // records the client's output ports
  std::string client;  // the JACK client's name; also the device's name
  std::string uid;
  std::vector<std::string> ports;  // full port names, channel order
  bool physical = false;
  uint32_t latency = 0;  // frames
  Runtime* rt = nullptr;

  uint32_t channels() const { return uint32_t(std::min<size_t>(ports.size(), kMaxChannels)); }
  AudioObjectPropertyScope scope() const {
    return input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
  }
};

using Fired = std::vector<std::pair<AudioObjectID, std::vector<AudioObjectPropertyAddress>>>;

// The frame clock between one process cycle and the next: it moves on by
// each cycle's frames "unless an xrun occurs" (jack.h, of
// jack_last_frame_time), so a cycle that begins further on than the last
// one's frames lost the frames between.
// Counted where the library reports no xruns (PipeWire's JACK calls no
// xrun callback; a stalled graph shows to its clients only as a jump of the
// frame time). Process thread only.
struct FrameClockGaps {
  bool started = false;
  jack_nframes_t last = 0, lastFrames = 0;
  // The cycle that begins at frameTime with frames frames: whether frames
  // were skipped since the last cycle (modulo 2^32, as the clock wraps).
  bool skipped(jack_nframes_t frameTime, jack_nframes_t frames) noexcept {
    const bool gap = started && jack_nframes_t(frameTime - last) > lastFrames;
    started = true;
    last = frameTime;
    lastFrames = frames;
    return gap;
  }
};

// Whether the JACK library in this process is PipeWire's, which tells its
// clients of no xruns (read from where the library was loaded from).
bool libraryIsPipeWires();

struct JackProvider::State {
  Options options;

  // ---- the connection (under jackLock)
  std::mutex jackLock;
  jack_client_t* client = nullptr;
  std::string ourName;  // our client's name at the server
  // "<our name>:", set before the client is activated, for the notification thread
  std::string ourPrefix;

  // ---- told by JACK's notification thread, taken by the graph thread
  std::atomic<bool> graphChanged{false};  // a client or port came or went, or a port was renamed
  std::atomic<bool> othersConnected{false};  // ports not ours were (dis)connected
  std::atomic<bool> formatChanged{false};   // rate or buffer size
  std::atomic<bool> latencyChanged{false};
  std::atomic<bool> serverGone{false};
  // The thread that told us (JACK's notification thread, which ends after
  // telling), its kernel thread id; 0 before any shutdown.
  std::atomic<pid_t> shutdownThread{0};
  // What libjack's callbacks are given for the client open now (under
  // jackLock). A client left unclosed keeps calling it, so it is never
  // freed with such a client: it is released pointing nowhere, and they do
  // nothing.
  struct Relay {
    std::atomic<State*> state;
  };
  std::unique_ptr<Relay> relay;
  static State* stateOf(void* arg) noexcept { return static_cast<Relay*>(arg)->state.load(std::memory_order_acquire); }
  std::atomic<uint32_t> serverRate{48000}, serverFrames{256};
  rt::WakeSignal wake;  // to the graph thread
  std::atomic<bool> quit{false};
  std::thread graphThread;
  // flushNotifications(): the graph thread's passes, counted.
  std::mutex passLock;
  std::condition_variable passed;
  uint64_t passesAsked = 0, passesDone = 0;

  // ---- the process thread
  std::array<std::atomic<Runtime*>, kMaxRunning> running{};
  std::atomic<jack_client_t*> processClient{nullptr};
  std::atomic<bool> processStarted{false};
  // Odd while a process cycle is in hand (whoever disarms a runtime waits
  // for the cycle to end before its ports go).
  std::atomic<uint64_t> processEpoch{0};
  // Where the library has no xrun callback: the frame clock's jumps count
  // as the running devices' drop-outs instead.
  bool countsFrameJumps = false;  // set before the client is activated
  FrameClockGaps frameGaps;

  // ---- the device cache (under mutex)
  mutable std::mutex mutex;
  bool connected = false;
  std::vector<Device> devices;
  double rate = 48000;
  uint32_t bufferFrames = 256;
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
  Runtime* runtime(AudioObjectID id) const {
    Runtime* rt = slots[id % kSlots].load(std::memory_order_acquire);
    return rt && rt->id == id ? rt : nullptr;
  }
  void post(Fired& fired) {
    for (auto& [object, addresses] : fired) notifier.post(object, std::move(addresses));
    fired.clear();
  }
  PropertyLookup lookUp(AudioObjectID object, const AudioObjectPropertyAddress& a);

  // ---- graph (JackGraph.cpp); the graph thread, or create() before it runs
  bool open();  // takes jackLock
  void graphLoop();
  // Lists the server's ports into the device cache and tells what changed.
  void relist(bool connectionsChanged);
  void followFormat();
  // Whether JACK's notification thread that told of a shutdown has ended
  // (waits a few seconds for it, unless quitting).
  bool notifierEnded();
  // Closes the client of a server that went away, or leaves it unclosed
  // when closing could hang (under jackLock).
  void closeDead();
  void serverLost();
  void detach(Runtime& rt);  // a device went: its I/O stops, control held

  // One drop-out for every running device (an xrun; JACK's threads).
  void countDropOut() noexcept;

  // ---- I/O (JackIo.cpp)
  static int process(jack_nframes_t frames, void* arg) noexcept;
  void inputCycle(Runtime& rt, jack_nframes_t frames, uint64_t host, double scalar) noexcept;
  void outputCycle(Runtime& rt, jack_nframes_t frames, uint64_t host, double scalar) noexcept;
  OSStatus startDevice(Runtime& rt);  // control held
  void stopDevice(Runtime& rt);       // control held
  void unregisterPorts(Runtime& rt);  // control held, the runtime disarmed
  void disarm(Runtime& rt);  // control held: no cycle of it runs after return
  void waitForProcess() const;
};

}  // namespace platform::audio::jack
