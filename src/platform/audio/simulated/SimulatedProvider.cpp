#include "platform/audio/simulated/SimulatedProvider.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numbers>
#include <thread>

#include "platform/audio/Notifier.h"

namespace platform::audio::simulated {

namespace {

constexpr uint32_t kMaxChannels = kAudioBufferListCapacity;
constexpr uint32_t kMaxClients = 8;  // per device and direction
constexpr uint32_t kSlots = 256;     // live devices at a time
constexpr AudioObjectID kFirstDeviceID = 16;

bool isDirection(AudioObjectPropertyScope scope) {
  return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

// The offered entry for a format (same ID, channels and bits, rate in range).
const AudioStreamRangedDescription* offered(const StreamDescription& stream, const AudioStreamBasicDescription& f) {
  for (const auto& r : stream.formats) {
    if (r.mFormat.mFormatID == f.mFormatID && r.mFormat.mChannelsPerFrame == f.mChannelsPerFrame &&
        r.mFormat.mBitsPerChannel == f.mBitsPerChannel && f.mSampleRate >= r.mSampleRateRange.mMinimum &&
        f.mSampleRate <= r.mSampleRateRange.mMaximum)
      return &r;
  }
  return nullptr;
}

uint32_t maxOfferedChannels(const StreamDescription& stream) {
  uint32_t n = stream.channels;
  for (const auto& r : stream.formats) n = std::max(n, r.mFormat.mChannelsPerFrame);
  return std::min(n, kMaxChannels);
}

uint64_t steadyNanos() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
};

// Band-pass with 0 dB at the centre (audio-EQ cookbook, constant peak gain).
Biquad bandPass(const BandPassFilter& f, double rate) {
  if (f.bypassed) return Biquad{};  // passes everything unchanged
  const double w0 = 2 * std::numbers::pi * f.centerHz / rate;
  const double alpha = std::sin(w0) / (2 * f.q);
  const double a0 = 1 + alpha;
  Biquad b;
  b.b0 = alpha / a0;
  b.b1 = 0;
  b.b2 = -alpha / a0;
  b.a1 = -2 * std::cos(w0) / a0;
  b.a2 = (1 - alpha) / a0;
  return b;
}

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
  uint32_t latency = 0;

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
    uint32_t latency = 0;
    bool reanchor = false;
  };
  std::mutex stagedMutex;
  Config staged;
  bool stagedDirty = false;

  // clients
  std::array<IoClient*, kMaxClients> inClients{}, outClients{};
  uint32_t clientCount = 0;

  // schedule
  uint64_t anchorHost = 0;  // host time at which the device was at anchorFrames
  double anchorFrames = 0;
  uint64_t framesDone = 0;  // device frames cycled since its I/O started
  std::atomic<uint64_t> cycledIn{0}, cycledOut{0};

  // published time, read without the lock (AudioDeviceGetCurrentTime)
  std::atomic<uint32_t> seq{0};
  std::atomic<bool> pubRunning{false};
  std::atomic<uint64_t> pubAnchorHost{0};
  std::atomic<double> pubAnchorFrames{0}, pubRate{48000}, pubScalar{1};

  double effectiveRate() const { return rate * rateScalar; }
  uint64_t nextDue() const {
    const double frames = double(framesDone + bufferFrames) - anchorFrames;
    return anchorHost + uint64_t(std::max(0.0, frames) * 1e9 / effectiveRate() + 0.5);
  }
  // Device frame position at host time `now`.
  double framesAt(uint64_t now) const {
    return anchorFrames + double(int64_t(now - anchorHost)) * effectiveRate() / 1e9;
  }
  // A sequence lock with every access sequentially consistent: a reader that
  // sees the same even count before and after its loads saw one snapshot.
  void publish() {
    const uint32_t s = seq.load();
    seq.store(s + 1);
    pubRunning.store(clientCount > 0);
    pubAnchorHost.store(anchorHost);
    pubAnchorFrames.store(anchorFrames);
    pubRate.store(effectiveRate());
    pubScalar.store(rateScalar);
    seq.store(s + 2);
  }
};

thread_local Runtime* cycleInProgress = nullptr;  // the runtime whose cycle this thread runs

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

SignalSpec currentSignal(const StreamDescription& s) {
  for (const auto& source : s.sources)
    if (source.id == s.currentSource) return source.signal;
  return s.signal;
}

float gainFor(const StreamDescription& s, uint32_t channel) {
  float g = 1;
  for (const auto& v : s.volumes)
    if (v.element == 0 || v.element == channel + 1) g *= v.value;
  return g;
}

// A value read from the model: bytes, and whether it is an array of
// `elementSize` entries (short reads allowed) or one value.
struct Value {
  std::vector<uint8_t> bytes;
  uint32_t elementSize = 0;  // 0: a single value
  bool isString = false;
  std::string text;
  bool isTranslation = false;
};

template <typename T>
Value scalar(const T& v) {
  Value value;
  value.bytes.resize(sizeof(T));
  std::memcpy(value.bytes.data(), &v, sizeof(T));
  return value;
}
template <typename T>
Value array(const std::vector<T>& v) {
  Value value;
  value.elementSize = sizeof(T);
  value.bytes.resize(v.size() * sizeof(T));
  if (!v.empty()) std::memcpy(value.bytes.data(), v.data(), value.bytes.size());
  return value;
}
Value text(const std::string& s) {
  Value value;
  value.isString = true;
  value.text = s;
  return value;
}

// What a property is, for a given object: its value, whether clients may set it.
struct Lookup {
  OSStatus status = kAudioHardwareUnknownPropertyError;
  Value value;
  bool settable = false;
};

}  // namespace

AudioStreamBasicDescription linearPcmFormat(double rate, uint32_t channels, uint32_t bits) {
  AudioStreamBasicDescription f{};
  f.mSampleRate = rate;
  f.mFormatID = kAudioFormatLinearPCM;
  f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  f.mChannelsPerFrame = channels;
  f.mBitsPerChannel = bits;
  f.mBytesPerFrame = bits / 8 * channels;
  f.mFramesPerPacket = 1;
  f.mBytesPerPacket = f.mBytesPerFrame;
  return f;
}

std::vector<AudioStreamRangedDescription> discreteFormats(uint32_t channels, uint32_t bits,
                                                          const std::vector<double>& rates) {
  std::vector<AudioStreamRangedDescription> v;
  for (double r : rates) v.push_back({linearPcmFormat(r, channels, bits), {r, r}});
  return v;
}

std::vector<DeviceDescription> defaultDevices() {
  std::vector<DeviceDescription> devices;
  const std::vector<double> rates{44100, 48000, 96000};

  DeviceDescription test;
  test.name = "Test Signal";
  test.uid = "sim:specan:testsignal:Bus1:0";
  StreamDescription in;
  in.channels = 2;
  for (auto& f : discreteFormats(2, 24, rates)) in.formats.push_back(f);
  for (auto& f : discreteFormats(2, 16, rates)) in.formats.push_back(f);
  for (auto& f : discreteFormats(1, 24, rates)) in.formats.push_back(f);
  in.physicalFormat = linearPcmFormat(48000, 2, 24);
  in.sources = {{fourCC("sine"), "Sine", {Signal::Sine, 1000, 3500, 0.5}},
                {fourCC("2ton"), "Two Tones", {Signal::TwoTones, 1000, 3500, 0.25}},
                {fourCC("nois"), "White Noise", {Signal::WhiteNoise, 1000, 3500, 0.1}},
                {fourCC("sil "), "Silence", {Signal::Silence, 1000, 3500, 0}}};
  in.currentSource = fourCC("sine");
  in.volumes = {{0, 1.0f, true}};
  test.input = in;
  devices.push_back(test);

  DeviceDescription loop;
  loop.name = "Loopback";
  loop.uid = "sim:specan:loopback:Bus2:0";
  StreamDescription ls;
  ls.channels = 2;
  for (auto& f : discreteFormats(2, 24, {44100, 48000, 96000, 192000})) ls.formats.push_back(f);
  for (auto& f : discreteFormats(2, 16, {44100, 48000, 96000, 192000})) ls.formats.push_back(f);
  ls.physicalFormat = linearPcmFormat(48000, 2, 24);
  ls.volumes = {{1, 1.0f, true}, {2, 1.0f, true}};
  ls.signal.signal = Signal::Loopback;
  loop.input = ls;
  loop.output = ls;
  loop.output->signal = {};
  loop.loopbackFilter = BandPassFilter{};
  loop.loopbackLatencyFrames = 1024;
  devices.push_back(loop);

  DeviceDescription multi;
  multi.name = "Multichannel";
  multi.uid = "sim:specan:multichannel:Bus3:0";
  StreamDescription mi;
  mi.channels = 8;
  mi.formats.push_back({linearPcmFormat(48000, 8, 24), {8000, 192000}});
  mi.formats.push_back({linearPcmFormat(48000, 2, 24), {8000, 192000}});
  mi.physicalFormat = linearPcmFormat(48000, 8, 24);
  const SignalSpec tones{Signal::ChannelTones, 500, 0, 0.1};
  mi.sources = {{fourCC("line"), "Line", tones}, {fourCC("mic "), "Microphone", tones}};
  mi.currentSource = fourCC("line");
  for (uint32_t c = 1; c <= 8; ++c) mi.volumes.push_back({c, 1.0f, true});
  multi.input = mi;
  StreamDescription mo = mi;
  mo.sources.clear();
  mo.volumes = {{0, 1.0f, false}};
  mo.signal = {};
  multi.output = mo;
  devices.push_back(multi);
  return devices;
}

// ------------------------------------------------------------------ state
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
  std::mutex wakeMutex;
  std::condition_variable wake;
  bool quit = false;  // guarded by wakeMutex
  std::thread clock;
  std::mutex stepMutex;  // one stepping thread at a time

  // Last, so that it is destroyed first: its thread ends (after the listener
  // in hand returns) before anything a listener might call goes away.
  Notifier notifier;

  explicit State(const Options& o) : options(o) {}

  // Caller holds `mutex`.
  Lookup lookUp(AudioObjectID object, const AudioObjectPropertyAddress& a);

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
  void configure(Device& dev, bool reanchor) {
    Runtime& rt = *dev.rt;
    Runtime::Config c;
    c.rate = dev.d.input ? dev.d.input->physicalFormat.mSampleRate : dev.d.output->physicalFormat.mSampleRate;
    c.rateScalar = dev.d.rateScalar;
    c.bufferFrames = std::min(dev.d.bufferFrameSize, rt.maxFrames);
    c.hasInput = bool(dev.d.input);
    c.hasOutput = bool(dev.d.output);
    c.inChannels = dev.d.input ? std::min(dev.d.input->physicalFormat.mChannelsPerFrame, kMaxChannels) : 0;
    c.outChannels = dev.d.output ? std::min(dev.d.output->physicalFormat.mChannelsPerFrame, kMaxChannels) : 0;
    c.signal = dev.d.input ? currentSignal(*dev.d.input) : SignalSpec{};
    for (uint32_t ch = 0; ch < kMaxChannels; ++ch) {
      c.inGain[ch] = dev.d.input ? gainFor(*dev.d.input, ch) : 0;
      c.outGain[ch] = dev.d.output ? gainFor(*dev.d.output, ch) : 0;
    }
    c.loopback = bool(dev.d.loopbackFilter);
    if (c.loopback) {
      c.filterSpec = *dev.d.loopbackFilter;
      c.latency = std::min(dev.d.loopbackLatencyFrames, rt.delayLength ? rt.delayLength - rt.maxFrames : 0);
    }
    {
      std::lock_guard lock(rt.stagedMutex);
      c.reanchor = reanchor || (rt.stagedDirty && rt.staged.reanchor);
      rt.staged = c;
      rt.stagedDirty = true;
    }
    if (cycleInProgress == &rt) {
      apply(rt, false);
    } else if (rt.io.try_lock()) {
      apply(rt, false);
      rt.io.unlock();
    }
  }

  // Takes a staged configuration into the runtime; caller holds rt.io. On the
  // I/O thread (`realTime`) it only tries the hand-over lock.
  void apply(Runtime& rt, bool realTime) {
    std::unique_lock<std::mutex> lock(rt.stagedMutex, std::defer_lock);
    if (realTime) {
      if (!lock.try_lock()) return;
    } else {
      lock.lock();
    }
    if (!rt.stagedDirty) return;
    const Runtime::Config c = rt.staged;
    rt.stagedDirty = false;
    lock.unlock();
    const uint64_t t = now();
    const double oldPosition = rt.clientCount ? rt.framesAt(t) : 0;
    const bool rateChanged = c.rate != rt.rate || c.rateScalar != rt.rateScalar;
    rt.rate = c.rate;
    rt.rateScalar = c.rateScalar;
    rt.bufferFrames = c.bufferFrames;
    rt.hasInput = c.hasInput;
    rt.hasOutput = c.hasOutput;
    rt.inChannels = c.inChannels;
    rt.outChannels = c.outChannels;
    rt.signal = c.signal;
    rt.inGain = c.inGain;
    rt.outGain = c.outGain;
    rt.loopback = c.loopback;
    if (rt.loopback) {
      rt.filterSpec = c.filterSpec;
      rt.filter = bandPass(rt.filterSpec, rt.rate);
      rt.latency = c.latency;
    }
    if (rt.clientCount && (c.reanchor || rateChanged)) {
      rt.anchorFrames = std::max(oldPosition, double(rt.framesDone));
      rt.anchorHost = t;
    }
    rt.publish();
  }

  void wakeClock() {
    { std::lock_guard lock(wakeMutex); }
    wake.notify_all();
  }

  // Runs one cycle of the runtime; caller holds rt.io.
  void cycle(Runtime& rt, uint64_t due) {
    Runtime* const outer = cycleInProgress;
    cycleInProgress = &rt;
    const uint32_t frames = rt.bufferFrames;
    IoCycle c{};
    c.timeStamp.mSampleTime = double(rt.framesDone);
    c.timeStamp.mHostTime = due;
    c.timeStamp.mRateScalar = rt.rateScalar;
    c.timeStamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
    c.frames = frames;

    // Output first, so that a loopback with a latency shorter than a cycle
    // still hears this cycle's samples.
    const uint32_t outCh = rt.outChannels;
    bool anyOutput = false;
    if (rt.hasOutput) {
      std::fill(rt.outData.begin(), rt.outData.begin() + size_t(outCh) * rt.maxFrames, 0.0f);
      for (IoClient* client : rt.outClients) {
        if (!client) continue;
        anyOutput = true;
        rt.clientList.mNumberBuffers = outCh;
        for (uint32_t ch = 0; ch < outCh; ++ch) {
          rt.clientList.mBuffers[ch] = {1, frames * 4, rt.clientData.data() + size_t(ch) * rt.maxFrames};
          std::fill_n(rt.clientData.data() + size_t(ch) * rt.maxFrames, frames, 0.0f);
        }
        c.input = nullptr;
        c.output = &rt.clientList;
        client->ioCycle(rt.id, c);
        for (uint32_t ch = 0; ch < outCh; ++ch) {
          float* mix = rt.outData.data() + size_t(ch) * rt.maxFrames;
          const float* in = rt.clientData.data() + size_t(ch) * rt.maxFrames;
          for (uint32_t i = 0; i < frames; ++i) mix[i] += in[i];
        }
      }
      for (uint32_t ch = 0; ch < outCh; ++ch) {
        float* mix = rt.outData.data() + size_t(ch) * rt.maxFrames;
        for (uint32_t i = 0; i < frames; ++i) mix[i] *= rt.outGain[ch];
      }
      if (anyOutput) rt.cycledOut.fetch_add(frames, std::memory_order_relaxed);
    }
    if (rt.loopback) {
      // What was played passes the filter into the delay line.
      const uint32_t channels = std::min(rt.inChannels, kMaxChannels);
      const Biquad& f = rt.filter;
      for (uint32_t ch = 0; ch < channels; ++ch) {
        float* line = rt.delay.data() + size_t(ch) * rt.delayLength;
        const float* played = ch < outCh ? rt.outData.data() + size_t(ch) * rt.maxFrames : nullptr;
        auto& s = rt.filterState[ch];
        for (uint32_t i = 0; i < frames; ++i) {
          const double x = played ? played[i] : 0.0;
          const double y = f.b0 * x + f.b1 * s[0] + f.b2 * s[1] - f.a1 * s[2] - f.a2 * s[3];
          s[1] = s[0];
          s[0] = x;
          s[3] = s[2];
          s[2] = y;
          line[(rt.delayWrite + i) % rt.delayLength] = float(y);
        }
      }
    }

    if (rt.hasInput) {
      bool anyInput = false;
      for (IoClient* client : rt.inClients) anyInput |= client != nullptr;
      if (anyInput) {
        generateInput(rt, frames);
        rt.inList.mNumberBuffers = rt.inChannels;
        for (uint32_t ch = 0; ch < rt.inChannels; ++ch)
          rt.inList.mBuffers[ch] = {1, frames * 4, rt.inData.data() + size_t(ch) * rt.maxFrames};
        c.input = &rt.inList;
        c.output = nullptr;
        for (IoClient* client : rt.inClients)
          if (client) client->ioCycle(rt.id, c);
        rt.cycledIn.fetch_add(frames, std::memory_order_relaxed);
      } else {
        advancePhases(rt, frames);
      }
    }
    if (rt.loopback) rt.delayWrite += frames;
    rt.framesDone += frames;
    cycleInProgress = outer;
  }

  // Signals run on while nobody listens, as a real source would.
  static void advancePhases(Runtime& rt, uint32_t frames) {
    const SignalSpec& s = rt.signal;
    const double twoPi = 2 * std::numbers::pi;
    const double k = twoPi / rt.rate;
    for (uint32_t ch = 0; ch < kMaxChannels; ++ch) {
      const double f1 = s.signal == Signal::ChannelTones ? s.frequencyHz * (ch + 1) : s.frequencyHz;
      rt.phase[ch] = std::fmod(rt.phase[ch] + k * f1 * frames, twoPi);
      rt.phase2[ch] = std::fmod(rt.phase2[ch] + k * s.secondFrequencyHz * frames, twoPi);
    }
  }

  void generateInput(Runtime& rt, uint32_t frames) {
    const SignalSpec& s = rt.signal;
    const double twoPi = 2 * std::numbers::pi;
    for (uint32_t ch = 0; ch < rt.inChannels; ++ch) {
      float* out = rt.inData.data() + size_t(ch) * rt.maxFrames;
      const float gain = rt.inGain[ch];
      switch (s.signal) {
        case Signal::Silence:
          std::fill_n(out, frames, 0.0f);
          break;
        case Signal::Sine:
        case Signal::TwoTones:
        case Signal::ChannelTones: {
          // Every channel of Sine and TwoTones carries the same signal; the
          // phase of channel 0 drives them all.
          const double f1 = s.signal == Signal::ChannelTones ? s.frequencyHz * (ch + 1) : s.frequencyHz;
          const double d1 = twoPi * f1 / rt.rate;
          const double d2 = twoPi * s.secondFrequencyHz / rt.rate;
          const uint32_t p = s.signal == Signal::ChannelTones ? ch : 0;
          double a = rt.phase[p], b = rt.phase2[p];
          for (uint32_t i = 0; i < frames; ++i) {
            double v = std::sin(a + d1 * i);
            if (s.signal == Signal::TwoTones) v += std::sin(b + d2 * i);
            out[i] = float(s.amplitude * v) * gain;
          }
          break;
        }
        case Signal::WhiteNoise: {
          const double scale = s.amplitude * std::sqrt(3.0) / double(1ull << 63);
          for (uint32_t i = 0; i < frames; ++i) {
            rt.noise ^= rt.noise << 13;
            rt.noise ^= rt.noise >> 7;
            rt.noise ^= rt.noise << 17;
            out[i] = float((double(rt.noise) - double(1ull << 63)) * scale) * gain;
          }
          break;
        }
        case Signal::Loopback: {
          if (rt.delayLength == 0) {
            std::fill_n(out, frames, 0.0f);
            break;
          }
          const float* line = rt.delay.data() + size_t(ch) * rt.delayLength;
          const uint64_t start = rt.delayWrite + rt.delayLength - rt.latency;
          for (uint32_t i = 0; i < frames; ++i) out[i] = line[(start + i) % rt.delayLength] * gain;
          break;
        }
      }
    }
    advancePhases(rt, frames);
  }

  // Runs every due cycle of every running device up to `until`; returns the
  // earliest next due time (UINT64_MAX when nothing runs).
  uint64_t runDue(uint64_t until, bool stepped) {
    uint64_t earliest = UINT64_MAX;
    for (auto& slot : slots) {
      Runtime* rt = slot.load(std::memory_order_acquire);
      if (!rt) continue;
      if (!rt->io.try_lock()) {
        earliest = std::min(earliest, until + 200000);  // reconfiguring: look again shortly
        continue;
      }
      std::lock_guard lock(rt->io, std::adopt_lock);
      if (rt->clientCount == 0 || rt->removed.load(std::memory_order_relaxed)) continue;
      apply(*rt, !stepped);
      uint64_t due = rt->nextDue();
      if (!stepped && until > due && until - due > uint64_t(20 * 1e9 * rt->bufferFrames / rt->effectiveRate())) {
        // Far behind (the process stalled): skip ahead as hardware would.
        rt->anchorFrames = double(rt->framesDone);
        rt->anchorHost = until;
        rt->publish();
        due = rt->nextDue();
      }
      while (due <= until && rt->clientCount > 0) {
        cycle(*rt, due);
        due = rt->nextDue();
      }
      if (rt->clientCount > 0) earliest = std::min(earliest, due);
    }
    return earliest;
  }

  void clockLoop() {
    if (options.ioThreadStarted) options.ioThreadStarted();
    std::unique_lock lock(wakeMutex);
    while (!quit) {
      lock.unlock();
      const uint64_t next = runDue(steadyNanos(), false);
      lock.lock();
      if (quit) break;
      if (next == UINT64_MAX) {
        wake.wait_for(lock, std::chrono::milliseconds(100));
      } else {
        const uint64_t now = steadyNanos();
        if (next > now) wake.wait_for(lock, std::chrono::nanoseconds(next - now));
      }
    }
  }
};

// ------------------------------------------------------------------ provider
SimulatedProvider::SimulatedProvider(const Options& options) : state_(std::make_unique<State>(options)) {
  if (options.defaultDeviceSet) {
    for (const auto& d : defaultDevices()) addDevice(d);  // Test Signal in, Loopback out become the defaults
    state_->notifier.flush();
  }
  if (options.clock == ClockMode::RealTime) state_->clock = std::thread([s = state_.get()] { s->clockLoop(); });
}

SimulatedProvider::~SimulatedProvider() {
  {
    std::lock_guard lock(state_->wakeMutex);
    state_->quit = true;
  }
  state_->wake.notify_all();
  if (state_->clock.joinable()) state_->clock.join();
}

std::string SimulatedProvider::name() const { return "Simulated"; }

AudioObjectID SimulatedProvider::addDevice(const DeviceDescription& description) {
  State& s = *state_;
  if (!description.input && !description.output) return 0;
  for (const auto* stream : {description.input ? &*description.input : nullptr,
                             description.output ? &*description.output : nullptr}) {
    if (!stream) continue;
    if (!offered(*stream, stream->physicalFormat) || stream->physicalFormat.mChannelsPerFrame == 0) return 0;
  }
  if (description.input && description.output &&
      description.input->physicalFormat.mSampleRate != description.output->physicalFormat.mSampleRate)
    return 0;
  if (description.bufferFrameSizeRange.mMinimum > description.bufferFrameSizeRange.mMaximum ||
      description.rateScalar <= 0)
    return 0;
  std::vector<AudioObjectPropertyAddress> defaults;
  AudioObjectID id;
  {
    std::lock_guard lock(s.mutex);
    id = s.nextID++;
    while (s.slots[id % kSlots].load() && !s.slots[id % kSlots].load()->removed.load()) id = s.nextID++;
    Device dev;
    dev.id = id;
    dev.d = description;
    if (dev.d.input) dev.d.input->channels = dev.d.input->physicalFormat.mChannelsPerFrame;
    if (dev.d.output) dev.d.output->channels = dev.d.output->physicalFormat.mChannelsPerFrame;
    dev.d.bufferFrameSize = uint32_t(std::clamp(double(dev.d.bufferFrameSize), dev.d.bufferFrameSizeRange.mMinimum,
                                                dev.d.bufferFrameSizeRange.mMaximum));
    auto rt = std::make_unique<Runtime>(id);
    rt->maxFrames = std::max<uint32_t>(4096, uint32_t(std::min(dev.d.bufferFrameSizeRange.mMaximum, 65536.0)));
    const uint32_t inCh = dev.d.input ? maxOfferedChannels(*dev.d.input) : 0;
    const uint32_t outCh = dev.d.output ? maxOfferedChannels(*dev.d.output) : 0;
    rt->inData.assign(size_t(inCh) * rt->maxFrames, 0.0f);
    rt->outData.assign(size_t(outCh) * rt->maxFrames, 0.0f);
    rt->clientData.assign(size_t(outCh) * rt->maxFrames, 0.0f);
    if (dev.d.loopbackFilter) {
      rt->delayLength = dev.d.loopbackLatencyFrames + 2 * rt->maxFrames;
      rt->delay.assign(size_t(inCh) * rt->delayLength, 0.0f);
    }
    dev.rt = rt.get();
    s.runtimes.push_back(std::move(rt));
    s.devices.push_back(std::move(dev));
    s.configure(s.devices.back(), false);
    s.slots[id % kSlots].store(s.devices.back().rt, std::memory_order_release);
    if (description.input && s.defaultInput == 0) {  // the first of its direction becomes the default
      s.defaultInput = id;
      defaults.push_back({kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0});
    }
    if (description.output && s.defaultOutput == 0) {
      s.defaultOutput = id;
      defaults.push_back({kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0});
    }
  }
  s.notifier.post(kAudioObjectSystemObject, {{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}});
  if (!defaults.empty()) s.notifier.post(kAudioObjectSystemObject, defaults);
  return id;
}

bool SimulatedProvider::removeDevice(AudioObjectID id) {
  State& s = *state_;
  std::vector<AudioObjectPropertyAddress> defaults;
  Runtime* rt = nullptr;
  {
    std::lock_guard lock(s.mutex);
    auto it = std::find_if(s.devices.begin(), s.devices.end(), [&](const Device& d) { return d.id == id; });
    if (it == s.devices.end()) return false;
    rt = it->rt;
    rt->removed.store(true, std::memory_order_release);  // no cycle of it starts from now on
    s.devices.erase(it);
    auto firstWith = [&](bool input) -> AudioObjectID {
      for (auto& d : s.devices)
        if (input ? bool(d.d.input) : bool(d.d.output)) return d.id;
      return 0;
    };
    if (s.defaultInput == id) {
      s.defaultInput = firstWith(true);
      defaults.push_back({kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0});
    }
    if (s.defaultOutput == id) {
      s.defaultOutput = firstWith(false);
      defaults.push_back({kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0});
    }
  }
  {
    // Outside the model lock: a cycle in progress may be calling into the model.
    const bool own = cycleInProgress == rt;
    std::unique_lock<std::mutex> io(rt->io, std::defer_lock);
    if (!own) io.lock();
    rt->inClients.fill(nullptr);
    rt->outClients.fill(nullptr);
    rt->clientCount = 0;
    rt->publish();
  }
  s.notifier.post(kAudioObjectSystemObject, {{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}});
  if (!defaults.empty()) s.notifier.post(kAudioObjectSystemObject, defaults);
  return true;
}

bool SimulatedProvider::setDefaultDevice(AudioObjectPropertyScope scope, AudioObjectID device) {
  if (!isDirection(scope)) return false;
  const AudioObjectPropertyAddress a{scope == kAudioObjectPropertyScopeInput ? kAudioHardwarePropertyDefaultInputDevice
                                                                          : kAudioHardwarePropertyDefaultOutputDevice,
                                     kAudioObjectPropertyScopeGlobal, 0};
  if (device == 0) {
    bool changed;
    {
      std::lock_guard lock(state_->mutex);
      AudioObjectID& d = scope == kAudioObjectPropertyScopeInput ? state_->defaultInput : state_->defaultOutput;
      changed = d != 0;
      d = 0;
    }
    if (changed) state_->notifier.post(kAudioObjectSystemObject, {a});
    return true;
  }
  return setPropertyData(kAudioObjectSystemObject, a, 0, nullptr, 4, &device) == noErr;
}

OSStatus SimulatedProvider::setPhysicalFormat(AudioObjectID device, AudioObjectPropertyScope scope,
                                              const AudioStreamBasicDescription& format) {
  const AudioObjectPropertyAddress a{kAudioStreamPropertyPhysicalFormat, scope, 0};
  return setPropertyData(device, a, 0, nullptr, sizeof format, &format);
}

OSStatus SimulatedProvider::setNominalSampleRate(AudioObjectID device, double rate) {
  const AudioObjectPropertyAddress a{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};
  return setPropertyData(device, a, 0, nullptr, sizeof rate, &rate);
}

OSStatus SimulatedProvider::setDataSource(AudioObjectID device, AudioObjectPropertyScope scope, uint32_t sourceID) {
  const AudioObjectPropertyAddress a{kAudioDevicePropertyDataSource, scope, 0};
  return setPropertyData(device, a, 0, nullptr, sizeof sourceID, &sourceID);
}

OSStatus SimulatedProvider::setVolume(AudioObjectID device, AudioObjectPropertyScope scope, uint32_t element,
                                      float value) {
  State& s = *state_;
  if (!(value >= 0.0f && value <= 1.0f)) return kAudio_ParamError;
  {
    std::lock_guard lock(s.mutex);
    Device* dev = s.find(device);
    if (!dev) return kAudioHardwareBadObjectError;
    StreamDescription* stream = dev->stream(scope);
    if (!stream) return kAudioHardwareUnknownPropertyError;
    auto v = std::find_if(stream->volumes.begin(), stream->volumes.end(),
                          [&](const VolumeElement& e) { return e.element == element; });
    if (v == stream->volumes.end()) return kAudioHardwareUnknownPropertyError;
    if (v->value == value) return noErr;
    v->value = value;
    s.configure(*dev, false);
  }
  s.notifier.post(device, {{kAudioDevicePropertyVolumeScalar, scope, element}});
  return noErr;
}

OSStatus SimulatedProvider::setBufferFrameSize(AudioObjectID device, uint32_t frames) {
  const AudioObjectPropertyAddress a{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0};
  return setPropertyData(device, a, 0, nullptr, sizeof frames, &frames);
}

OSStatus SimulatedProvider::setRateScalar(AudioObjectID device, double rateScalar) {
  if (!(rateScalar > 0.0 && rateScalar < 10.0)) return kAudio_ParamError;
  std::lock_guard lock(state_->mutex);
  Device* dev = state_->find(device);
  if (!dev) return kAudioHardwareBadObjectError;
  dev->d.rateScalar = rateScalar;
  state_->configure(*dev, true);
  return noErr;
}

void SimulatedProvider::notify(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  state_->notifier.post(object, {address});
}

void SimulatedProvider::advance(double seconds) {
  State& s = *state_;
  if (s.options.clock != ClockMode::Stepped || !(seconds > 0)) return;
  std::lock_guard step(s.stepMutex);
  const uint64_t target = s.steppedNow.load() + uint64_t(std::llround(seconds * 1e9));
  for (;;) {
    // Move time to the next due cycle within the step and run it, so that
    // each cycle sees the host time at which it falls due.
    uint64_t next = UINT64_MAX;
    for (auto& slot : s.slots) {
      Runtime* rt = slot.load(std::memory_order_acquire);
      if (!rt) continue;
      std::lock_guard lock(rt->io);
      if (rt->clientCount && !rt->removed.load()) {
        s.apply(*rt, false);
        next = std::min(next, rt->nextDue());
      }
    }
    if (next > target) break;
    s.steppedNow.store(std::max(next, s.steppedNow.load()), std::memory_order_release);
    s.runDue(next, true);
  }
  s.steppedNow.store(target, std::memory_order_release);
}

void SimulatedProvider::advanceFrames(AudioObjectID device, uint64_t frames) {
  State& s = *state_;
  Runtime* rt = s.runtime(device);
  if (!rt || s.options.clock != ClockMode::Stepped) return;
  double rate;
  {
    std::lock_guard lock(rt->io);
    rate = rt->effectiveRate();
  }
  advance(double(frames) / rate);
}

void SimulatedProvider::flushNotifications() { state_->notifier.flush(); }

AudioObjectID SimulatedProvider::deviceNamed(const std::string& name) const {
  std::lock_guard lock(state_->mutex);
  for (const auto& d : state_->devices)
    if (d.d.name == name) return d.id;
  return 0;
}

std::vector<AudioObjectID> SimulatedProvider::devices() const {
  std::lock_guard lock(state_->mutex);
  std::vector<AudioObjectID> ids;
  for (const auto& d : state_->devices) ids.push_back(d.id);
  return ids;
}

uint64_t SimulatedProvider::framesCycled(AudioObjectID device, AudioObjectPropertyScope scope) const {
  Runtime* rt = state_->runtime(device);
  if (!rt) return 0;
  return scope == kAudioObjectPropertyScopeInput ? rt->cycledIn.load() : rt->cycledOut.load();
}

bool SimulatedProvider::isRunning(AudioObjectID device) const {
  Runtime* rt = state_->runtime(device);
  return rt && rt->pubRunning.load();
}

// ------------------------------------------------------------------ properties
Lookup SimulatedProvider::State::lookUp(AudioObjectID object, const AudioObjectPropertyAddress& a) {
  State& s = *this;
  Lookup r;
  if (object == kAudioObjectSystemObject) {
    switch (a.mSelector) {
      case kAudioHardwarePropertyDevices: {
        std::vector<AudioObjectID> ids;
        for (const auto& d : s.devices) ids.push_back(d.id);
        r.value = array(ids);
        break;
      }
      case kAudioHardwarePropertyDefaultInputDevice:
        r.value = scalar(s.defaultInput);
        r.settable = true;
        break;
      case kAudioHardwarePropertyDefaultOutputDevice:
        r.value = scalar(s.defaultOutput);
        r.settable = true;
        break;
      case kAudioObjectPropertyName:
        r.value = text("Simulated audio");
        break;
      default:
        return r;
    }
    r.status = noErr;
    return r;
  }
  Device* dev = s.find(object);
  if (!dev) {
    r.status = kAudioHardwareBadObjectError;
    return r;
  }
  // Global properties answer in any scope.
  switch (a.mSelector) {
    case kAudioObjectPropertyName:
      r.value = text(dev->d.name);
      r.status = noErr;
      return r;
    case kAudioDevicePropertyDeviceUID:
      r.value = text(dev->d.uid);
      r.status = noErr;
      return r;
    case kAudioDevicePropertyNominalSampleRate: {
      const StreamDescription& st = dev->d.input ? *dev->d.input : *dev->d.output;
      r.value = scalar(st.physicalFormat.mSampleRate);
      r.settable = true;
      r.status = noErr;
      return r;
    }
    case kAudioDevicePropertyBufferFrameSize:
      r.value = scalar(dev->d.bufferFrameSize);
      r.settable = true;
      r.status = noErr;
      return r;
    case kAudioDevicePropertyBufferFrameSizeRange:
      r.value = scalar(dev->d.bufferFrameSizeRange);
      r.status = noErr;
      return r;
    case kAudioDevicePropertyDeviceIsRunning:
      r.value = scalar(uint32_t(dev->rt->pubRunning.load() ? 1 : 0));
      r.status = noErr;
      return r;
    default:
      break;
  }
  StreamDescription* st = dev->stream(a.mScope);
  if (!st) return r;  // unknown property in this scope
  switch (a.mSelector) {
    case kAudioStreamPropertyPhysicalFormat:
      r.value = scalar(st->physicalFormat);
      r.settable = true;
      break;
    case kAudioStreamPropertyVirtualFormat:
      r.value = scalar(floatFormat(st->physicalFormat.mSampleRate, st->physicalFormat.mChannelsPerFrame, false));
      break;
    case kAudioStreamPropertyAvailablePhysicalFormats:
      r.value = array(st->formats);
      break;
    case kAudioDevicePropertyDataSources: {
      if (st->sources.empty()) return r;
      std::vector<uint32_t> ids;
      for (const auto& src : st->sources) ids.push_back(src.id);
      r.value = array(ids);
      break;
    }
    case kAudioDevicePropertyDataSource:
      if (st->sources.empty()) return r;
      r.value = scalar(st->currentSource);
      r.settable = true;
      break;
    case kAudioDevicePropertyDataSourceNameForIDCFString:
      if (st->sources.empty()) return r;
      r.value.isTranslation = true;
      break;
    case kAudioDevicePropertyVolumeScalar: {
      auto v = std::find_if(st->volumes.begin(), st->volumes.end(),
                            [&](const VolumeElement& e) { return e.element == a.mElement; });
      if (v == st->volumes.end()) return r;
      r.value = scalar(v->value);
      r.settable = v->settable;
      break;
    }
    case kAudioDevicePropertyLatency:
      r.value = scalar(uint32_t(a.mScope == kAudioObjectPropertyScopeInput && dev->d.loopbackFilter
                                    ? dev->d.loopbackLatencyFrames
                                    : st->latencyFrames));
      break;
    case kAudioDevicePropertySafetyOffset:
      r.value = scalar(uint32_t(0));
      break;
    default:
      return r;
  }
  r.status = noErr;
  return r;
}

bool SimulatedProvider::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  std::lock_guard lock(state_->mutex);
  return state_->lookUp(object, address).status == noErr;
}

OSStatus SimulatedProvider::isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                               bool& settable) {
  std::lock_guard lock(state_->mutex);
  Lookup l = state_->lookUp(object, address);
  if (l.status == noErr) settable = l.settable;
  return l.status;
}

OSStatus SimulatedProvider::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                uint32_t, const void*, uint32_t& size) {
  std::lock_guard lock(state_->mutex);
  Lookup l = state_->lookUp(object, address);
  if (l.status != noErr) return l.status;
  if (l.value.isString)
    size = sizeof(AudioStringRef);
  else if (l.value.isTranslation)
    size = sizeof(AudioValueTranslation);
  else
    size = uint32_t(l.value.bytes.size());
  return noErr;
}

OSStatus SimulatedProvider::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            uint32_t, const void*, uint32_t& ioSize, void* data) {
  std::lock_guard lock(state_->mutex);
  Lookup l = state_->lookUp(object, address);
  if (l.status != noErr) return l.status;
  Value& v = l.value;
  if (v.isString) {
    if (ioSize < sizeof(AudioStringRef)) return kAudioHardwareBadPropertySizeError;
    AudioStringRef ref = AudioStringCreate(v.text.data(), v.text.size());
    std::memcpy(data, &ref, sizeof ref);
    ioSize = sizeof ref;
    return noErr;
  }
  if (v.isTranslation) {
    if (ioSize < sizeof(AudioValueTranslation)) return kAudioHardwareBadPropertySizeError;
    AudioValueTranslation t;
    std::memcpy(&t, data, sizeof t);
    if (!t.mInputData || t.mInputDataSize != sizeof(uint32_t) || !t.mOutputData ||
        t.mOutputDataSize < sizeof(AudioStringRef))
      return kAudioHardwareBadPropertySizeError;
    uint32_t id;
    std::memcpy(&id, t.mInputData, sizeof id);
    StreamDescription* st = state_->find(object)->stream(address.mScope);
    auto src = std::find_if(st->sources.begin(), st->sources.end(), [&](const DataSource& d) { return d.id == id; });
    if (src == st->sources.end()) return kAudioHardwareIllegalOperationError;
    AudioStringRef ref = AudioStringCreate(src->name.data(), src->name.size());
    std::memcpy(t.mOutputData, &ref, sizeof ref);
    t.mOutputDataSize = sizeof ref;
    std::memcpy(data, &t, sizeof t);
    ioSize = sizeof t;
    return noErr;
  }
  const uint32_t size = uint32_t(v.bytes.size());
  if (v.elementSize == 0) {
    if (ioSize < size) return kAudioHardwareBadPropertySizeError;
    std::memcpy(data, v.bytes.data(), size);
    ioSize = size;
    return noErr;
  }
  const uint32_t n = std::min(size, ioSize / v.elementSize * v.elementSize);  // short read: whole entries
  if (n) std::memcpy(data, v.bytes.data(), n);
  ioSize = n;
  return noErr;
}

OSStatus SimulatedProvider::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& a, uint32_t,
                                            const void*, uint32_t size, const void* data) {
  State& s = *state_;
  std::vector<std::pair<AudioObjectID, std::vector<AudioObjectPropertyAddress>>> fired;
  {
    std::lock_guard lock(s.mutex);
    Lookup l = s.lookUp(object, a);
    if (l.status != noErr) return l.status;
    if (!l.settable) return kAudioHardwareIllegalOperationError;
    if (object == kAudioObjectSystemObject) {
      if (size != sizeof(AudioObjectID)) return kAudioHardwareBadPropertySizeError;
      AudioObjectID id;
      std::memcpy(&id, data, sizeof id);
      const bool input = a.mSelector == kAudioHardwarePropertyDefaultInputDevice;
      Device* dev = s.find(id);
      if (!dev || !(input ? bool(dev->d.input) : bool(dev->d.output))) return kAudioHardwareBadDeviceError;
      AudioObjectID& current = input ? s.defaultInput : s.defaultOutput;
      if (current == id) return noErr;
      current = id;
      fired.push_back({kAudioObjectSystemObject, {{a.mSelector, kAudioObjectPropertyScopeGlobal, 0}}});
    } else {
      Device& dev = *s.find(object);
      switch (a.mSelector) {
        case kAudioDevicePropertyNominalSampleRate:
        case kAudioStreamPropertyPhysicalFormat: {
          // The rate belongs to the device: every direction moves to it, and
          // each must offer it with its current (or the new) format.
          AudioStreamBasicDescription wanted{};
          double rate;
          if (a.mSelector == kAudioStreamPropertyPhysicalFormat) {
            if (size != sizeof wanted) return kAudioHardwareBadPropertySizeError;
            std::memcpy(&wanted, data, sizeof wanted);
            rate = wanted.mSampleRate;
          } else {
            if (size != sizeof rate) return kAudioHardwareBadPropertySizeError;
            std::memcpy(&rate, data, sizeof rate);
          }
          if (!(rate > 0) || !std::isfinite(rate)) return kAudioDeviceUnsupportedFormatError;
          AudioStreamBasicDescription next[2];
          bool changed[2] = {false, false};
          const AudioObjectPropertyScope scopes[2] = {kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeOutput};
          for (int i = 0; i < 2; ++i) {
            StreamDescription* st = dev.stream(scopes[i]);
            if (!st) continue;
            AudioStreamBasicDescription f = st->physicalFormat;
            if (a.mSelector == kAudioStreamPropertyPhysicalFormat && a.mScope == scopes[i]) f = wanted;
            f.mSampleRate = rate;
            const AudioStreamRangedDescription* entry = offered(*st, f);
            if (!entry) return kAudioDeviceUnsupportedFormatError;
            next[i] = entry->mFormat;
            next[i].mSampleRate = rate;
            changed[i] = std::memcmp(&next[i], &st->physicalFormat, sizeof next[i]) != 0;
          }
          const double oldRate = (dev.d.input ? dev.d.input : dev.d.output)->physicalFormat.mSampleRate;
          std::vector<AudioObjectPropertyAddress> addresses;
          for (int i = 0; i < 2; ++i) {
            if (!changed[i]) continue;
            StreamDescription* st = dev.stream(scopes[i]);
            st->physicalFormat = next[i];
            st->channels = next[i].mChannelsPerFrame;
            addresses.push_back({kAudioStreamPropertyPhysicalFormat, scopes[i], 0});
            addresses.push_back({kAudioStreamPropertyVirtualFormat, scopes[i], 0});
          }
          if (rate != oldRate) addresses.push_back({kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0});
          if (addresses.empty()) return noErr;
          s.configure(dev, true);
          fired.push_back({object, addresses});
          break;
        }
        case kAudioDevicePropertyBufferFrameSize: {
          uint32_t frames;
          if (size != sizeof frames) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&frames, data, sizeof frames);
          if (frames < dev.d.bufferFrameSizeRange.mMinimum || frames > dev.d.bufferFrameSizeRange.mMaximum ||
              frames > dev.rt->maxFrames)
            return kAudioHardwareIllegalOperationError;
          if (frames == dev.d.bufferFrameSize) return noErr;
          dev.d.bufferFrameSize = frames;
          s.configure(dev, true);
          fired.push_back({object, {{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0}}});
          break;
        }
        case kAudioDevicePropertyDataSource: {
          uint32_t id;
          if (size != sizeof id) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&id, data, sizeof id);
          StreamDescription* st = dev.stream(a.mScope);
          if (std::none_of(st->sources.begin(), st->sources.end(), [&](const DataSource& d) { return d.id == id; }))
            return kAudioHardwareIllegalOperationError;
          if (st->currentSource == id) return noErr;
          st->currentSource = id;
          s.configure(dev, false);
          fired.push_back({object, {{kAudioDevicePropertyDataSource, a.mScope, 0}}});
          break;
        }
        case kAudioDevicePropertyVolumeScalar: {
          float value;
          if (size != sizeof value) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&value, data, sizeof value);
          if (!(value >= 0.0f && value <= 1.0f)) return kAudio_ParamError;
          StreamDescription* st = dev.stream(a.mScope);
          auto v = std::find_if(st->volumes.begin(), st->volumes.end(),
                                [&](const VolumeElement& e) { return e.element == a.mElement; });
          if (v->value == value) return noErr;
          v->value = value;
          s.configure(dev, false);
          fired.push_back({object, {{kAudioDevicePropertyVolumeScalar, a.mScope, a.mElement}}});
          break;
        }
        default:
          return kAudioHardwareIllegalOperationError;
      }
    }
  }
  for (auto& [obj, addresses] : fired) s.notifier.post(obj, std::move(addresses));
  return noErr;
}

OSStatus SimulatedProvider::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                AudioObjectPropertyListenerProc listener, void* clientData) {
  {
    std::lock_guard lock(state_->mutex);
    if (object != kAudioObjectSystemObject && !state_->find(object)) return kAudioHardwareBadObjectError;
  }
  return state_->notifier.add(object, address, listener, clientData);
}

OSStatus SimulatedProvider::removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                   AudioObjectPropertyListenerProc listener, void* clientData) {
  return state_->notifier.remove(object, address, listener, clientData);
}

uint64_t SimulatedProvider::hostTime() const noexcept { return state_->now(); }

OSStatus SimulatedProvider::deviceCurrentTime(AudioObjectID device, AudioTimeStamp& time) const noexcept {
  Runtime* rt = state_->runtime(device);
  if (!rt) return kAudioHardwareBadDeviceError;
  for (;;) {
    const uint32_t s1 = rt->seq.load();
    const bool running = rt->pubRunning.load();
    const uint64_t host = rt->pubAnchorHost.load();
    const double frames = rt->pubAnchorFrames.load();
    const double rate = rt->pubRate.load();
    const double scalar = rt->pubScalar.load();
    if ((s1 & 1) || rt->seq.load() != s1) continue;
    if (!running) return kAudioHardwareNotRunningError;
    const uint64_t now = state_->now();
    time = AudioTimeStamp{};
    time.mHostTime = now;
    time.mSampleTime = frames + double(int64_t(now - host)) * rate / 1e9;
    time.mRateScalar = scalar;
    time.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
    return noErr;
  }
}

OSStatus SimulatedProvider::startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!client || !isDirection(scope)) return kAudio_ParamError;
  Runtime* rt = s.runtime(device);
  if (!rt) return kAudioHardwareBadDeviceError;
  {
    const bool own = cycleInProgress == rt;
    std::unique_lock<std::mutex> io(rt->io, std::defer_lock);
    if (!own) io.lock();
    if (rt->removed.load()) return kAudioHardwareBadDeviceError;
    const bool input = scope == kAudioObjectPropertyScopeInput;
    if (input ? !rt->hasInput : !rt->hasOutput) return kAudioHardwareUnsupportedOperationError;
    auto& clients = input ? rt->inClients : rt->outClients;
    if (std::find(clients.begin(), clients.end(), client) != clients.end()) return noErr;
    auto free = std::find(clients.begin(), clients.end(), nullptr);
    if (free == clients.end()) return kAudioHardwareIllegalOperationError;
    *free = client;
    s.apply(*rt, own);
    if (rt->clientCount++ == 0) {
      // The device's clock starts now, from sample time 0.
      rt->framesDone = 0;
      rt->anchorFrames = 0;
      rt->anchorHost = s.now();
      rt->delayWrite = 0;
      std::fill(rt->delay.begin(), rt->delay.end(), 0.0f);
      for (auto& st : rt->filterState) st.fill(0.0);
      rt->publish();
    }
  }
  if (cycleInProgress != rt) s.wakeClock();
  return noErr;
}

OSStatus SimulatedProvider::stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!client || !isDirection(scope)) return kAudio_ParamError;
  Runtime* rt = s.slots[device % kSlots].load(std::memory_order_acquire);
  if (!rt || rt->id != device) return kAudioHardwareBadDeviceError;
  const bool own = cycleInProgress == rt;
  std::unique_lock<std::mutex> io(rt->io, std::defer_lock);
  if (!own) io.lock();
  auto& clients = scope == kAudioObjectPropertyScopeInput ? rt->inClients : rt->outClients;
  auto it = std::find(clients.begin(), clients.end(), client);
  if (it == clients.end()) return noErr;  // not running (or its device was removed)
  *it = nullptr;
  if (--rt->clientCount == 0) rt->publish();
  return noErr;
}

}  // namespace platform::audio::simulated
