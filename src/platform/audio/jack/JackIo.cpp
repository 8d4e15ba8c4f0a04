// Device I/O: the process callback hands each cycle to the clients of every
// running device, on JACK's process thread and with the server's buffers;
// starting a device registers and connects our ports, stopping it
// unregisters them.
#include <thread>

#include "platform/audio/jack/JackState.h"

namespace platform::audio::jack {

namespace {

// Set on JACK's process thread: a start or stop of another device from a
// cycle would have to call the server (and wait for the cycle it is in).
thread_local bool onProcessThread = false;

// The frame clock's pace against ours over the window. The cycles' start
// times jitter by a period or so (more on a busy machine), so a window of T
// seconds tells the pace only to about two periods in T: the pace is 1 until
// the window spans ten seconds and leaves 1 only by more than that. Real
// clocks differ by a few hundred parts per million at most; beyond two
// thousandths the window is not telling the clock's pace.
double paceOf(Runtime& rt, uint64_t began, jack_nframes_t period, double rate) noexcept {
  const uint64_t dropOuts = rt.dropOuts.load(std::memory_order_relaxed);
  if (rt.paceHost == 0 || rt.framesDone < rt.paceFrames || dropOuts != rt.paceDropOuts || began < rt.paceHost) {
    rt.paceHost = began;
    rt.paceFrames = rt.framesDone;
    rt.paceDropOuts = dropOuts;
    rt.pace = 1;
    return rt.pace;
  }
  const double seconds = double(began - rt.paceHost) * 1e-9;
  if (seconds < 10) return rt.pace;
  const double measured = double(rt.framesDone - rt.paceFrames) / (seconds * rate);
  const double uncertainty = 2.0 * period / (seconds * rate);
  rt.pace = std::abs(measured - 1) <= uncertainty ? 1.0 : std::clamp(measured, 0.998, 1.002);
  return rt.pace;
}

}  // namespace

int JackProvider::State::process(jack_nframes_t frames, void* arg) noexcept {
  State* s = stateOf(arg);
  if (!s) return 0;
  s->processEpoch.fetch_add(1, std::memory_order_acq_rel);  // odd: in a cycle
  onProcessThread = true;
  if (!s->processStarted.exchange(true, std::memory_order_relaxed) && s->options.processThreadStarted)
    s->options.processThreadStarted();
  jack_client_t* c = s->processClient.load(std::memory_order_acquire);
  if (c && s->countsFrameJumps && s->frameGaps.skipped(jack_last_frame_time(c), frames)) s->countDropOut();
  if (c) {
    const double rate = s->serverRate.load(std::memory_order_relaxed);
    // The cycle's input was captured during the period before it began; its
    // output is heard from the end of this period.
    const uint64_t now = steadyNanos();
    const jack_nframes_t since = std::min(jack_frames_since_cycle_start(c), frames);
    const uint64_t began = now - uint64_t(double(since) / rate * 1e9);
    const uint64_t period = uint64_t(double(frames) / rate * 1e9);
    for (auto& slot : s->running) {
      Runtime* rt = slot.load(std::memory_order_acquire);
      if (!rt || !rt->armed.load(std::memory_order_acquire)) continue;
      if (!rt->io.try_lock()) {
        // A start or stop is in hand: this cycle plays silence.
        if (!rt->input)
          for (uint32_t ch = 0; ch < rt->channels; ++ch)
            std::fill_n(static_cast<float*>(jack_port_get_buffer(rt->ports[ch], frames)), frames, 0.0f);
        continue;
      }
      if (rt->armed.load(std::memory_order_acquire)) {
        const double scalar = paceOf(*rt, began, frames, rate);
        const rt::CycleScope scope(rt);
        if (rt->input)
          s->inputCycle(*rt, frames, began - period, scalar);
        else
          s->outputCycle(*rt, frames, began + period, scalar);
      }
      rt->io.unlock();
    }
  }
  s->processEpoch.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

void JackProvider::State::inputCycle(Runtime& rt, jack_nframes_t frames, uint64_t host, double scalar) noexcept {
  for (uint32_t ch = 0; ch < rt.channels; ++ch)
    rt.list.mBuffers[ch] = {1, frames * 4, jack_port_get_buffer(rt.ports[ch], frames)};
  rt.list.mNumberBuffers = rt.channels;
  IoCycle cycle{};
  cycle.timeStamp.mSampleTime = double(rt.framesDone);
  cycle.timeStamp.mHostTime = host;
  cycle.timeStamp.mRateScalar = scalar;
  cycle.timeStamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
  cycle.frames = frames;
  cycle.input = &rt.list;
  for (IoClient* client : rt.clients)
    if (client) client->ioCycle(rt.id, cycle);
  rt.publish(true, host, double(rt.framesDone), serverRate.load(std::memory_order_relaxed), scalar);
  rt.framesDone += frames;
  rt.cycled.fetch_add(frames, std::memory_order_relaxed);
}

void JackProvider::State::outputCycle(Runtime& rt, jack_nframes_t frames, uint64_t host, double scalar) noexcept {
  std::array<float*, kMaxChannels> out{};
  for (uint32_t ch = 0; ch < rt.channels; ++ch) {
    out[ch] = static_cast<float*>(jack_port_get_buffer(rt.ports[ch], frames));
    std::fill_n(out[ch], frames, 0.0f);
  }
  IoCycle cycle{};
  cycle.timeStamp.mSampleTime = double(rt.framesDone);
  cycle.timeStamp.mHostTime = host;
  cycle.timeStamp.mRateScalar = scalar;
  cycle.timeStamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
  cycle.frames = frames;
  cycle.output = &rt.list;
  // The first client fills the server's buffers; any other one fills our
  // scratch, which is added in.
  bool first = true;
  for (IoClient* client : rt.clients) {
    if (!client) continue;
    if (!first && frames > kScratchFrames) continue;
    rt.list.mNumberBuffers = rt.channels;
    for (uint32_t ch = 0; ch < rt.channels; ++ch) {
      float* buffer = first ? out[ch] : rt.scratch.data() + size_t(ch) * kScratchFrames;
      if (!first) std::fill_n(buffer, frames, 0.0f);
      rt.list.mBuffers[ch] = {1, frames * 4, buffer};
    }
    client->ioCycle(rt.id, cycle);
    if (!first)
      for (uint32_t ch = 0; ch < rt.channels; ++ch) {
        const float* buffer = rt.scratch.data() + size_t(ch) * kScratchFrames;
        for (uint32_t i = 0; i < frames; ++i) out[ch][i] += buffer[i];
      }
    first = false;
  }
  rt.publish(true, host, double(rt.framesDone), serverRate.load(std::memory_order_relaxed), scalar);
  rt.framesDone += frames;
  rt.cycled.fetch_add(frames, std::memory_order_relaxed);
}

void JackProvider::State::waitForProcess() const {
  // A cycle in hand ends within a period; one that never ends (the server
  // stopped mid-cycle) is not waited for past two seconds.
  const uint64_t epoch = processEpoch.load(std::memory_order_acquire);
  if (!(epoch & 1)) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (processEpoch.load(std::memory_order_acquire) == epoch && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void JackProvider::State::disarm(Runtime& rt) {
  rt.armed.store(false, std::memory_order_release);
  { std::lock_guard lock(rt.io); }  // the cycle in hand, if it had the lock
  waitForProcess();                 // and one that had not
  for (auto& slot : running) {
    Runtime* expected = &rt;
    slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
  }
  rt.publish(false, steadyNanos(), double(rt.framesDone), serverRate.load(), 1);
}

void JackProvider::State::unregisterPorts(Runtime& rt) {
  std::lock_guard lock(jackLock);
  for (uint32_t ch = 0; ch < rt.channels; ++ch)
    if (client && rt.ports[ch]) jack_port_unregister(client, rt.ports[ch]);
  rt.ports.fill(nullptr);
  rt.channels = 0;
  rt.peers.clear();
}

OSStatus JackProvider::State::startDevice(Runtime& rt) {
  std::string deviceName;
  {
    std::lock_guard lock(mutex);
    Device* dev = find(rt.id);
    if (!dev) return kAudioHardwareBadDeviceError;
    deviceName = dev->client;
    rt.peers.assign(dev->ports.begin(), dev->ports.begin() + dev->channels());
  }
  std::lock_guard lock(jackLock);
  if (!client) return kAudioHardwareNotRunningError;
  // Our ports are named after the device, so that the server's graph shows
  // what we are connected to.
  const size_t room = size_t(jack_port_name_size()) - ourName.size() - 16;
  const std::string base = deviceName.substr(0, room) + (rt.input ? "_in_" : "_out_");
  rt.channels = 0;
  for (size_t ch = 0; ch < rt.peers.size(); ++ch) {
    jack_port_t* port = jack_port_register(client, (base + std::to_string(ch + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                           rt.input ? JackPortIsInput : JackPortIsOutput, 0);
    if (!port) {
      for (uint32_t c = 0; c < rt.channels; ++c) jack_port_unregister(client, rt.ports[c]);
      rt.ports.fill(nullptr);
      rt.channels = 0;
      return kAudioHardwareUnspecifiedError;
    }
    rt.ports[ch] = port;
    rt.channels = uint32_t(ch + 1);
  }
  if (!rt.input) rt.scratch.assign(size_t(rt.channels) * kScratchFrames, 0.0f);
  rt.framesDone = 0;
  rt.paceHost = 0;
  rt.publish(true, steadyNanos(), 0, serverRate.load(), 1);
  auto slot = std::find_if(running.begin(), running.end(), [](const auto& r) { return r.load() == nullptr; });
  if (slot == running.end()) {
    for (uint32_t c = 0; c < rt.channels; ++c) jack_port_unregister(client, rt.ports[c]);
    rt.ports.fill(nullptr);
    rt.channels = 0;
    rt.publish(false, steadyNanos(), 0, serverRate.load(), 1);
    return kAudioHardwareIllegalOperationError;
  }
  rt.armed.store(true, std::memory_order_release);
  slot->store(&rt, std::memory_order_release);
  for (uint32_t ch = 0; ch < rt.channels; ++ch) {
    const char* ours = jack_port_name(rt.ports[ch]);
    // A port that went meanwhile leaves its channel silent.
    if (rt.input)
      (void)jack_connect(client, rt.peers[ch].c_str(), ours);
    else
      (void)jack_connect(client, ours, rt.peers[ch].c_str());
  }
  return noErr;
}

void JackProvider::State::stopDevice(Runtime& rt) {
  disarm(rt);
  unregisterPorts(rt);
}

OSStatus JackProvider::deviceCurrentTime(AudioObjectID device, AudioTimeStamp& time) const noexcept {
  Runtime* rt = state_->runtime(device);
  if (!rt || rt->removed.load()) return kAudioHardwareBadDeviceError;
  return rt->anchor.currentTime(steadyNanos, time);
}

OSStatus JackProvider::deviceIoStatus(AudioObjectID device, DeviceIoStatus& status) const noexcept {
  Runtime* rt = state_->runtime(device);
  if (!rt || rt->removed.load()) return kAudioHardwareBadDeviceError;
  status = DeviceIoStatus{};
  status.dropOuts = rt->dropOuts.load(std::memory_order_acquire);
  if (rt->armed.load(std::memory_order_acquire)) {
    status.latencyFrames = rt->latency.load(std::memory_order_relaxed);
    status.latencyKnown = true;
  }
  return noErr;
}

OSStatus JackProvider::startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!client || (scope != kAudioObjectPropertyScopeInput && scope != kAudioObjectPropertyScopeOutput))
    return kAudio_ParamError;
  Runtime* rt = s.runtime(device);
  if (!rt || rt->removed.load()) return kAudioHardwareBadDeviceError;
  if (rt->input != (scope == kAudioObjectPropertyScopeInput)) return kAudioHardwareUnsupportedOperationError;
  auto addClient = [&]() -> OSStatus {
    return rt->clients.add(client) == decltype(rt->clients)::Joined::full ? kAudioHardwareIllegalOperationError : noErr;
  };
  if (rt::inCycleOf(rt)) return addClient();  // from its own cycle: the device runs
  if (onProcessThread) return kAudioHardwareIllegalOperationError;
  std::lock_guard control(rt->control);
  if (rt->removed.load()) return kAudioHardwareBadDeviceError;
  if (!rt->armed.load()) {
    if (OSStatus status = s.startDevice(*rt)) return status;
  }
  std::lock_guard io(rt->io);
  return addClient();
}

OSStatus JackProvider::stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!client || (scope != kAudioObjectPropertyScopeInput && scope != kAudioObjectPropertyScopeOutput))
    return kAudio_ParamError;
  Runtime* rt = s.runtime(device);
  if (!rt) return kAudioHardwareBadDeviceError;
  // From its own cycle the device keeps running idle; the next start or
  // stop from elsewhere (or the device's removal) takes care of it.
  if (rt::inCycleOf(rt)) {
    rt->clients.remove(client);
    return noErr;
  }
  if (onProcessThread) return kAudioHardwareIllegalOperationError;
  std::lock_guard control(rt->control);
  bool last;
  {
    std::lock_guard io(rt->io);  // waits for the cycle in hand
    if (!rt->clients.remove(client)) return noErr;
    last = rt->clients.empty();
  }
  if (last && rt->armed.load()) s.stopDevice(*rt);
  return noErr;
}

}  // namespace platform::audio::jack
