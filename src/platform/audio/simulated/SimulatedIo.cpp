// The simulated devices' I/O: the hand-over of a device's configuration to
// its runtime, the cycles (signals, the loopback, its filter and its
// nonlinearity), the real-time clock thread and the stepped clock, starting
// and stopping I/O, and device time.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <numbers>

#include "platform/audio/simulated/SimulatedState.h"

namespace platform::audio::simulated {

namespace {

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

// Signals run on while nobody listens, as a real source would.
void advancePhases(Runtime& rt, uint32_t frames) {
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
        const uint32_t delay = rt.latency + (ch + 1 == rt.referenceChannel ? 0 : rt.deviceDelay);
        const uint64_t start = rt.delayWrite + rt.delayLength - delay;
        for (uint32_t i = 0; i < frames; ++i) out[i] = line[(start + i) % rt.delayLength] * gain;
        break;
      }
    }
  }
  advancePhases(rt, frames);
}

// Runs one cycle of the runtime; caller holds rt.io.
void cycle(Runtime& rt, uint64_t due) {
  const rt::CycleScope scope(&rt);
  const uint32_t frames = rt.bufferFrames;
  IoCycle c{};
  c.timeStamp.mSampleTime = double(rt.schedule.framesDone);
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
    // What was played passes the filter and the nonlinearity into the
    // delay line. Converters and an analog path carry no NaN or infinity: a
    // non-finite sample played is heard as silence, so that it never stays
    // in the filter.
    const uint32_t channels = std::min(rt.inChannels, kMaxChannels);
    const Biquad& f = rt.filter;
    const double a = rt.nonlinearity.a, b = rt.nonlinearity.b;
    for (uint32_t ch = 0; ch < channels; ++ch) {
      float* line = rt.delay.data() + size_t(ch) * rt.delayLength;
      const bool reference = ch + 1 == rt.referenceChannel;
      const float* played = reference && outCh > 0 ? rt.outData.data()
                            : ch < outCh          ? rt.outData.data() + size_t(ch) * rt.maxFrames
                                                  : nullptr;
      if (reference) {
        for (uint32_t i = 0; i < frames; ++i)
          line[(rt.delayWrite + i) % rt.delayLength] = played && std::isfinite(played[i]) ? played[i] : 0.0f;
        continue;
      }
      auto& s = rt.filterState[ch];
      for (uint32_t i = 0; i < frames; ++i) {
        const double x = played && std::isfinite(played[i]) ? played[i] : 0.0;
        const double y = f.b0 * x + f.b1 * s[0] + f.b2 * s[1] - f.a1 * s[2] - f.a2 * s[3];
        s[1] = s[0];
        s[0] = x;
        s[3] = s[2];
        s[2] = y;
        line[(rt.delayWrite + i) % rt.delayLength] = float(y + (a + b * y) * y * y);
      }
    }
  }

  if (rt.hasInput) {
    if (!rt.inClients.empty()) {
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
  rt.schedule.framesDone += frames;
}

}  // namespace

void SimulatedProvider::State::configure(Device& dev, bool reanchor) {
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
    c.nonlinearity = dev.d.loopbackNonlinearity;
    const uint32_t room = rt.delayLength ? rt.delayLength - rt.maxFrames : 0;
    c.latency = std::min(dev.d.loopbackLatencyFrames, room);
    c.deviceDelay = std::min(dev.d.loopbackDeviceDelayFrames, room - c.latency);
    c.referenceChannel = dev.d.loopbackReferenceChannel;
  }
  {
    std::lock_guard lock(rt.stagedMutex);
    c.reanchor = reanchor || (rt.stagedDirty && rt.staged.reanchor);
    rt.staged = c;
    rt.stagedDirty = true;
  }
  if (rt::inCycleOf(&rt)) {
    apply(rt, false);
  } else if (rt.io.try_lock()) {
    apply(rt, false);
    rt.io.unlock();
  }
}

void SimulatedProvider::State::apply(Runtime& rt, bool realTime) {
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
  const double oldPosition = rt.clientCount() ? rt.framesAt(t) : 0;
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
    rt.nonlinearity = c.nonlinearity;
    rt.latency = c.latency;
    rt.deviceDelay = c.deviceDelay;
    rt.referenceChannel = c.referenceChannel;
  }
  if (rt.clientCount() && (c.reanchor || rateChanged)) {
    rt.schedule.anchorFrames = std::max(oldPosition, double(rt.schedule.framesDone));
    rt.schedule.anchorHost = t;
  }
  rt.publish();
}

uint64_t SimulatedProvider::State::runDue(uint64_t until, bool stepped) {
  uint64_t earliest = UINT64_MAX;
  for (auto& slot : slots) {
    Runtime* rt = slot.load(std::memory_order_acquire);
    if (!rt) continue;
    if (!rt->io.try_lock()) {
      earliest = std::min(earliest, until + 200000);  // reconfiguring: look again shortly
      continue;
    }
    std::lock_guard lock(rt->io, std::adopt_lock);
    if (rt->clientCount() == 0 || rt->removed.load(std::memory_order_relaxed)) continue;
    apply(*rt, !stepped);
    if (const uint64_t lateFrom = rt->nextDue();
        !stepped && rt->schedule.skipIfFarBehind(until, rt->bufferFrames, rt->effectiveRate())) {
      const auto skipped = static_cast<uint64_t>(double(until - lateFrom) * rt->effectiveRate() * 1e-9);
      rt->skippedFrames.fetch_add(std::max<uint64_t>(skipped, 1), std::memory_order_release);
      rt->publish();
    }
    uint64_t due = rt->nextDue();
    while (due <= until && rt->clientCount() > 0) {
      cycle(*rt, due);
      due = rt->nextDue();
    }
    if (rt->clientCount() > 0) earliest = std::min(earliest, due);
  }
  return earliest;
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
      if (rt->clientCount() && !rt->removed.load()) {
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

uint64_t SimulatedProvider::framesCycled(AudioObjectID device, AudioObjectPropertyScope scope) const {
  Runtime* rt = state_->runtime(device);
  if (!rt) return 0;
  return scope == kAudioObjectPropertyScopeInput ? rt->cycledIn.load() : rt->cycledOut.load();
}

bool SimulatedProvider::isRunning(AudioObjectID device) const {
  Runtime* rt = state_->runtime(device);
  return rt && rt->anchor.running();
}

uint64_t SimulatedProvider::hostTime() const noexcept { return state_->now(); }

OSStatus SimulatedProvider::deviceCurrentTime(AudioObjectID device, AudioTimeStamp& time) const noexcept {
  Runtime* rt = state_->runtime(device);
  if (!rt) return kAudioHardwareBadDeviceError;
  return rt->anchor.currentTime([this] { return state_->now(); }, time);
}

OSStatus SimulatedProvider::deviceIoStatus(AudioObjectID device, DeviceIoStatus& status) const noexcept {
  Runtime* rt = state_->runtime(device);
  if (!rt) return kAudioHardwareBadDeviceError;
  // Nothing plays dry or overflows here; the one gap is a skip of the clock.
  status = DeviceIoStatus{};
  status.lostFrames = rt->skippedFrames.load(std::memory_order_acquire);
  return noErr;
}

OSStatus SimulatedProvider::startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!client || !isDirection(scope)) return kAudio_ParamError;
  Runtime* rt = s.runtime(device);
  if (!rt) return kAudioHardwareBadDeviceError;
  {
    const bool own = rt::inCycleOf(rt);
    std::unique_lock<std::mutex> io(rt->io, std::defer_lock);
    if (!own) io.lock();
    if (rt->removed.load()) return kAudioHardwareBadDeviceError;
    const bool input = scope == kAudioObjectPropertyScopeInput;
    if (input ? !rt->hasInput : !rt->hasOutput) return kAudioHardwareUnsupportedOperationError;
    auto& clients = input ? rt->inClients : rt->outClients;
    if (clients.contains(client)) return noErr;
    if (clients.full()) return kAudioHardwareIllegalOperationError;
    // The staged settings apply before the device counts the client, so a
    // first client starts the clock below from the settings it will run at.
    s.apply(*rt, own);
    const bool first = rt->clientCount() == 0;
    clients.add(client);
    if (first) {
      // The device's clock starts now, from sample time 0.
      rt->schedule.restart(s.now());
      rt->delayWrite = 0;
      std::fill(rt->delay.begin(), rt->delay.end(), 0.0f);
      for (auto& st : rt->filterState) st.fill(0.0);
      rt->publish();
    }
  }
  if (!rt::inCycleOf(rt)) s.wakeClock();
  return noErr;
}

OSStatus SimulatedProvider::stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!client || !isDirection(scope)) return kAudio_ParamError;
  Runtime* rt = s.slots[device % kSlots].load(std::memory_order_acquire);
  if (!rt || rt->id != device) return kAudioHardwareBadDeviceError;
  const bool own = rt::inCycleOf(rt);
  std::unique_lock<std::mutex> io(rt->io, std::defer_lock);
  if (!own) io.lock();
  auto& clients = scope == kAudioObjectPropertyScopeInput ? rt->inClients : rt->outClients;
  if (!clients.remove(client)) return noErr;  // not running (or its device was removed)
  if (rt->clientCount() == 0) rt->publish();
  return noErr;
}

}  // namespace platform::audio::simulated
