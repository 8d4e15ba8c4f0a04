// Device I/O: one pa_stream and one I/O thread of ours per running device.
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "platform/audio/pulse/PulseState.h"

namespace platform::audio::pulse {


namespace {

// Keeps the stream's latency as the server last reported it (libpulse
// interpolates between its timing updates), sign and all: a monitor's
// recording is ahead of what its sink plays.
void noteLatency(Runtime& rt) {
  pa_usec_t usec = 0;
  int negative = 0;
  if (pa_stream_get_latency(rt.stream, &usec, &negative) != 0) return;
  const int64_t frames = int64_t(double(usec) * rt.rate / 1e6);
  rt.streamLatency.store(negative ? -frames : frames, std::memory_order_relaxed);
  rt.latencyKnown.store(true, std::memory_order_release);
  // Playback that ran dry is playing again once the server says so in its
  // timing (should its "started" notice not come).
  if (!rt.input && rt.dry.load(std::memory_order_relaxed))
    if (const pa_timing_info* timing = pa_stream_get_timing_info(rt.stream); timing && timing->playing)
      rt.dry.store(false, std::memory_order_release);
}

// Asks the server for its timing now. Between its own updates, which come
// further and further apart (up to 1.5 s), libpulse interpolates, and after
// a gap or a restart that guess is off by as much as the queue that ran dry
// or refilled.
void refreshTiming(pa_stream* stream) {
  if (pa_operation* op = pa_stream_update_timing_info(stream, nullptr, nullptr)) pa_operation_unref(op);
}

// The server ran our playback dry, or had to drop what we did not read in
// time: a gap in the device's audio.
void streamGap(pa_stream* stream, void* userdata) {
  auto* rt = static_cast<Runtime*>(userdata);
  rt->dropOuts.fetch_add(1, std::memory_order_release);
  if (!rt->input) rt->dry.store(true, std::memory_order_release);
  refreshTiming(stream);
}

// Playback (re)started: after running dry, once the server has its
// pre-buffer again.
void streamStarted(pa_stream* stream, void* userdata) {
  static_cast<Runtime*>(userdata)->dry.store(false, std::memory_order_release);
  refreshTiming(stream);
}


void streamRead(pa_stream* stream, size_t, void* userdata) {
  auto* rt = static_cast<Runtime*>(userdata);
  const size_t frameBytes = size_t(rt->channels) * 4;
  for (;;) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    const size_t frames = bytes / frameBytes;
    // A hole (no data) is silence, and a gap; when the I/O thread falls
    // behind, the newest samples are lost, as with an overrunning card.
    if (!data) rt->dropOuts.fetch_add(1, std::memory_order_relaxed);
    const size_t written = rt->ring.write(static_cast<const float*>(data), frames * rt->channels);
    if (written < frames * rt->channels)
      rt->lostFrames.fetch_add(frames - written / rt->channels, std::memory_order_relaxed);
    pa_stream_drop(stream);
    rt->streamFrames.fetch_add(frames, std::memory_order_relaxed);
  }
  noteLatency(*rt);
  rt->wake.notify();
}

// Hands the server what the ring holds, up to what it asks for; what is
// missing is left to the I/O thread, which kicks us when it has made more.
// The server's buffers hold one memory block each (64 KiB by default, a
// fifth of a second's queue at 192 kHz in stereo), so a large request takes
// several writes: were the rest left waiting, the I/O thread would see the
// ring holding what was asked for and make no more, and the server, short
// of its pre-buffer, would never start playing nor ask again.
void feed(Runtime& rt) {
  if (!rt.stream || pa_stream_get_state(rt.stream) != PA_STREAM_READY) return;
  const size_t frameBytes = size_t(rt.channels) * 4;
  const size_t writable = pa_stream_writable_size(rt.stream);
  if (writable == size_t(-1)) return;
  const size_t wanted = writable / frameBytes;
  size_t written = 0;
  while (written < wanted) {
    size_t frames = std::min(wanted - written, rt.ring.readable() / rt.channels);
    if (frames == 0) break;
    void* buffer = nullptr;
    size_t bytes = frames * frameBytes;
    if (pa_stream_begin_write(rt.stream, &buffer, &bytes) < 0 || !buffer) break;
    frames = std::min(frames, bytes / frameBytes);
    if (frames == 0) {
      pa_stream_cancel_write(rt.stream);
      break;
    }
    rt.ring.read(static_cast<float*>(buffer), frames * rt.channels);
    pa_stream_write(rt.stream, buffer, frames * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
    rt.streamFrames.fetch_add(frames, std::memory_order_relaxed);
    written += frames;
  }
  rt.deficit.store(wanted - written, std::memory_order_release);
  noteLatency(rt);
  rt.wake.notify();
}

void streamWrite(pa_stream*, size_t, void* userdata) { feed(*static_cast<Runtime*>(userdata)); }

void streamState(pa_stream* stream, void* userdata) {
  auto* rt = static_cast<Runtime*>(userdata);
  if (pa_stream_get_state(stream) != PA_STREAM_READY || rt->input) return;
  // The server's first request for data, or the I/O thread's first kick,
  // may have come while the stream was still being set up, when feed() could
  // not write: it would wait for us, and we for it, in silence for ever.
  feed(*rt);
}

void kicked(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* userdata) {
  uint64_t count;
  while (read(fd, &count, sizeof count) > 0) {
  }
  feed(*static_cast<Runtime*>(userdata));
}

void clearCallbacks(pa_stream* stream) {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_set_write_callback(stream, nullptr, nullptr);
  pa_stream_set_underflow_callback(stream, nullptr, nullptr);
  pa_stream_set_overflow_callback(stream, nullptr, nullptr);
  pa_stream_set_started_callback(stream, nullptr, nullptr);
}

}  // namespace

uint32_t playbackQueueFrames(const Runtime& rt) { return uint32_t(rt.rate * kPlaybackQueueSeconds); }

bool PulseProvider::State::openStream(Runtime& rt) {
  if (!context || pa_context_get_state(context) != PA_CONTEXT_READY || rt.removed.load()) return false;
  pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, uint32_t(rt.rate), uint8_t(rt.channels)};
  pa_stream* stream = pa_stream_new(context, rt.input ? "SpecAn input" : "SpecAn output", &spec,
                                    pa_channel_map_valid(&rt.map) ? &rt.map : nullptr);
  if (!stream) return false;
  const uint32_t cycleBytes = rt.bufferFrames.load() * rt.channels * 4;
  pa_buffer_attr attr;
  attr.maxlength = uint32_t(-1);
  attr.prebuf = uint32_t(-1);
  // Record: one cycle per fragment. Playback: kPlaybackQueueSeconds queued
  // at the server (at least three cycles), asked for one cycle at a time.
  // With ADJUST_LATENCY the server divides the total between the sink's own
  // buffer and the stream's.
  attr.fragsize = cycleBytes;
  attr.tlength = std::max(3 * cycleBytes, playbackQueueFrames(rt) * rt.channels * 4);
  attr.minreq = cycleBytes;
  const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                          PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
  int result;
  pa_stream_set_state_callback(stream, streamState, &rt);
  if (rt.input) {
    pa_stream_set_overflow_callback(stream, streamGap, &rt);
    pa_stream_set_read_callback(stream, streamRead, &rt);
    result = pa_stream_connect_record(stream, rt.serverName.c_str(), &attr, flags);
  } else {
    pa_stream_set_underflow_callback(stream, streamGap, &rt);
    pa_stream_set_started_callback(stream, streamStarted, &rt);
    pa_stream_set_write_callback(stream, streamWrite, &rt);
    if (rt.kickFd >= 0 && !rt.kickEvent) {
      pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
      rt.kickEvent = api->io_new(api, rt.kickFd, PA_IO_EVENT_INPUT, kicked, &rt);
    }
    result = pa_stream_connect_playback(stream, rt.serverName.c_str(), &attr, flags, nullptr, nullptr);
  }
  if (result < 0) {
    clearCallbacks(stream);
    pa_stream_unref(stream);
    return false;
  }
  rt.stream = stream;
  return true;
}

void PulseProvider::State::closeStream(Runtime& rt) {
  if (rt.kickEvent) {
    pa_threaded_mainloop_get_api(loop)->io_free(rt.kickEvent);
    rt.kickEvent = nullptr;
  }
  if (!rt.stream) return;
  clearCallbacks(rt.stream);
  pa_stream_disconnect(rt.stream);
  pa_stream_unref(rt.stream);
  rt.stream = nullptr;
}

uint32_t PulseProvider::State::latencyFrames(const Device& dev) const {
  const Runtime& rt = *dev.rt;
  if (rt.active.load() && rt.rate == dev.rate && rt.latencyKnown.load(std::memory_order_acquire)) {
    const int64_t stream = rt.streamLatency.load(std::memory_order_relaxed);
    return uint32_t(std::clamp<int64_t>(stream + int64_t(rt.ring.readable() / rt.channels), 0, INT32_MAX));
  }
  // Before the stream runs, the server's latency of the device says little
  // (an idle sink reports its longest one): what our stream asks for, the
  // playback queue at the server and a cycle in our ring, or one fragment
  // for recording.
  if (dev.input) return dev.bufferFrames;
  return std::max(3 * dev.bufferFrames, uint32_t(dev.rate * kPlaybackQueueSeconds)) + dev.bufferFrames;
}

OSStatus PulseProvider::State::startStream(Runtime& rt) {
  {
    std::lock_guard lock(mutex);
    Device* dev = find(rt.id);
    if (!dev) return kAudioHardwareBadDeviceError;
    rt.channels = std::min(dev->channels(), kMaxChannels);
    rt.streamChannels.store(rt.channels, std::memory_order_relaxed);
    rt.rate = dev->rate;
    rt.serverName = dev->serverName;
    rt.map = dev->map;
    rt.bufferFrames.store(dev->bufferFrames);
  }
  // Room for a quarter second or sixteen of the largest cycles, whichever is more.
  rt.ring.allocate(size_t(rt.channels) * std::max<size_t>(16 * kMaxFrames, size_t(rt.rate / 4)));
  rt.interleaved.assign(size_t(rt.channels) * kMaxFrames, 0.0f);
  rt.planar.assign(size_t(rt.channels) * kMaxFrames, 0.0f);
  rt.framesDone = 0;
  rt.scalar = 1;
  rt.measureHost = 0;
  rt.measureFrames = 0;
  rt.streamFrames.store(0);
  rt.streamLatency.store(0);
  rt.latencyKnown.store(false);
  rt.dry.store(false);
  rt.measureDropOuts = rt.dropOuts.load() + rt.lostFrames.load();
  rt.measureAfter = 0;
  rt.lastCycleHost = 0;
  rt.deficit.store(0);
  if (!rt.input && rt.kickFd < 0) rt.kickFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  rt.wake.reset();
  rt.quit.store(false);
  rt.publish(true, steadyNanos(), 0);
  rt.thread = std::thread([this, &rt] { ioLoop(rt); });
  pa_threaded_mainloop_lock(loop);
  const bool opened = openStream(rt);
  pa_threaded_mainloop_unlock(loop);
  if (!opened) {
    rt.quit.store(true);
    rt.wake.notify();
    rt.thread.join();
    rt.publish(false, steadyNanos(), 0);
    return kAudioHardwareNotRunningError;
  }
  rt.active.store(true);
  return noErr;
}

void PulseProvider::State::stopStream(Runtime& rt) {
  rt.quit.store(true);
  rt.wake.notify();
  if (rt.thread.joinable()) rt.thread.join();
  pa_threaded_mainloop_lock(loop);
  closeStream(rt);
  pa_threaded_mainloop_unlock(loop);
  rt.active.store(false);
  rt.publish(false, steadyNanos(), double(rt.framesDone));
}

void PulseProvider::State::measure(Runtime& rt, uint64_t now) {
  // The device's clock against ours: frames the stream moved over wall time,
  // counted from one second after the start (past the stream's first bursts
  // and the server settling its latency), over at least two seconds, smoothed.
  // A gap or a stall (no cycle for much longer than a cycle: this machine or
  // the server stopped for a while) moves frames out of step with the clock,
  // as the server plays, asks for or drops what it missed at once: the window
  // starts again half a second after each, and the scalar keeps what it had
  // measured before. Real clocks differ by a few hundred parts per million
  // at most; a ratio beyond two thousandths is a measuring fault.
  const uint64_t moved = rt.streamFrames.load(std::memory_order_relaxed);
  const uint64_t gaps = rt.dropOuts.load(std::memory_order_relaxed) + rt.lostFrames.load(std::memory_order_relaxed);
  const double cycleNanos = double(rt.bufferFrames.load(std::memory_order_relaxed)) / rt.rate * 1e9;
  const bool stalled = rt.lastCycleHost && double(now - rt.lastCycleHost) > std::max(50e6, 4 * cycleNanos);
  rt.lastCycleHost = now;
  if (gaps != rt.measureDropOuts || stalled) {
    rt.measureDropOuts = gaps;
    rt.measureHost = 0;
    rt.measureAfter = now + 500'000'000;
  }
  if (!rt.measureHost) {
    if (double(moved) >= rt.rate && now >= rt.measureAfter) {
      rt.measureHost = now;
      rt.measureFrames = moved;
    }
    return;
  }
  const double seconds = double(now - rt.measureHost) / 1e9;
  if (seconds < 2.0) return;
  const double ratio = std::clamp(double(moved - rt.measureFrames) / seconds / rt.rate, 0.998, 1.002);
  rt.scalar += 0.05 * (ratio - rt.scalar);
}

void PulseProvider::State::inputCycle(Runtime& rt, uint32_t frames) {
  const uint32_t ch = rt.channels;
  rt.ring.read(rt.interleaved.data(), size_t(frames) * ch);
  for (uint32_t c = 0; c < ch; ++c) {
    float* out = rt.planar.data() + size_t(c) * kMaxFrames;
    const float* in = rt.interleaved.data() + c;
    for (uint32_t i = 0; i < frames; ++i) out[i] = in[size_t(i) * ch];
    rt.list.mBuffers[c] = {1, frames * 4, out};
  }
  rt.list.mNumberBuffers = ch;
  const uint64_t now = steadyNanos();
  measure(rt, now);
  const double queued = double(rt.ring.readable() / ch + frames);
  IoCycle cycle{};
  cycle.timeStamp.mSampleTime = double(rt.framesDone);
  cycle.timeStamp.mHostTime = now - uint64_t(queued / rt.rate * 1e9);
  cycle.timeStamp.mRateScalar = rt.scalar;
  cycle.timeStamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
  cycle.frames = frames;
  cycle.input = &rt.list;
  cycle.output = nullptr;
  for (IoClient* client : rt.clients)
    if (client) client->ioCycle(rt.id, cycle);
  rt.publish(true, cycle.timeStamp.mHostTime, double(rt.framesDone));
  rt.framesDone += frames;
  rt.cycled.fetch_add(frames, std::memory_order_relaxed);
}

void PulseProvider::State::outputCycle(Runtime& rt, uint32_t frames) {
  const uint32_t ch = rt.channels;
  float* mix = rt.interleaved.data();
  std::fill_n(mix, size_t(frames) * ch, 0.0f);
  const uint64_t now = steadyNanos();
  measure(rt, now);
  IoCycle cycle{};
  cycle.timeStamp.mSampleTime = double(rt.framesDone);
  cycle.timeStamp.mHostTime = now + uint64_t(double(rt.ring.readable() / ch) / rt.rate * 1e9);
  cycle.timeStamp.mRateScalar = rt.scalar;
  cycle.timeStamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
  cycle.frames = frames;
  cycle.input = nullptr;
  cycle.output = &rt.list;
  for (IoClient* client : rt.clients) {
    if (!client) continue;
    rt.list.mNumberBuffers = ch;
    for (uint32_t c = 0; c < ch; ++c) {
      float* buffer = rt.planar.data() + size_t(c) * kMaxFrames;
      std::fill_n(buffer, frames, 0.0f);
      rt.list.mBuffers[c] = {1, frames * 4, buffer};
    }
    client->ioCycle(rt.id, cycle);
    for (uint32_t c = 0; c < ch; ++c) {
      const float* buffer = rt.planar.data() + size_t(c) * kMaxFrames;
      for (uint32_t i = 0; i < frames; ++i) mix[size_t(i) * ch + c] += buffer[i];
    }
  }
  rt.ring.write(mix, size_t(frames) * ch);
  rt.publish(true, cycle.timeStamp.mHostTime, double(rt.framesDone));
  rt.framesDone += frames;
  rt.cycled.fetch_add(frames, std::memory_order_relaxed);
}

void PulseProvider::State::ioLoop(Runtime& rt) {
  pthread_setname_np(pthread_self(), rt.input ? "specan-pa-in" : "specan-pa-out");
  if (options.ioThreadStarted) options.ioThreadStarted();
  // Nothing below allocates or takes a blocking lock: the clients' mutex is
  // only tried (a start or stop in progress delays the cycle by a moment).
  auto wait = std::chrono::milliseconds(20);
  while (!rt.quit.load(std::memory_order_acquire)) {
    (void)rt.wake.waitFor(wait);
    wait = std::chrono::milliseconds(20);
    for (;;) {
      if (rt.quit.load(std::memory_order_acquire)) return;
      const uint32_t frames = std::clamp(rt.bufferFrames.load(std::memory_order_relaxed), kMinFrames, kMaxFrames);
      const size_t cycle = size_t(frames) * rt.channels;
      if (rt.input) {
        if (rt.ring.readable() < cycle) break;
      } else {
        // Make what the server is waiting for, and one cycle ahead.
        const size_t due = size_t(rt.deficit.load(std::memory_order_acquire)) * rt.channels + cycle;
        if (rt.ring.readable() >= due || rt.ring.writable() < cycle) break;
      }
      if (!rt.io.try_lock()) {
        wait = std::chrono::milliseconds(1);
        break;
      }
      if (rt.quit.load(std::memory_order_acquire)) {  // stopped while we took the lock
        rt.io.unlock();
        return;
      }
      {
        const rt::CycleScope scope(&rt);
        if (rt.input) {
          inputCycle(rt, frames);
        } else {
          outputCycle(rt, frames);
          if (rt.kickFd >= 0) {
            const uint64_t one = 1;
            (void)!write(rt.kickFd, &one, sizeof one);
          }
        }
      }
      rt.io.unlock();
    }
  }
}

OSStatus PulseProvider::deviceCurrentTime(AudioObjectID device, AudioTimeStamp& time) const noexcept {
  Runtime* rt = state_->runtime(device);
  if (!rt || rt->removed.load()) return kAudioHardwareBadDeviceError;
  return rt->anchor.currentTime(steadyNanos, time);
}

OSStatus PulseProvider::deviceIoStatus(AudioObjectID device, DeviceIoStatus& status) const noexcept {
  Runtime* rt = state_->runtime(device);
  if (!rt || rt->removed.load()) return kAudioHardwareBadDeviceError;
  status = DeviceIoStatus{};
  status.dropOuts = rt->dropOuts.load(std::memory_order_acquire);
  status.dropOutOngoing = rt->dry.load(std::memory_order_acquire) && rt->active.load(std::memory_order_acquire);
  status.lostFrames = rt->lostFrames.load(std::memory_order_relaxed);
  if (rt->active.load(std::memory_order_acquire) && rt->latencyKnown.load(std::memory_order_acquire)) {
    // The ring's samples over the channels the stream was opened with
    // (published with `active`).
    status.latencyFrames = rt->streamLatency.load(std::memory_order_relaxed) +
                           int64_t(rt->ring.readable() / std::max<uint32_t>(rt->streamChannels.load(std::memory_order_relaxed), 1));
    status.latencyKnown = true;
  }
  return noErr;
}

OSStatus PulseProvider::startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!client || (scope != kAudioObjectPropertyScopeInput && scope != kAudioObjectPropertyScopeOutput))
    return kAudio_ParamError;
  Runtime* rt = s.runtime(device);
  if (!rt || rt->removed.load()) return kAudioHardwareBadDeviceError;
  if (rt->input != (scope == kAudioObjectPropertyScopeInput)) return kAudioHardwareUnsupportedOperationError;
  auto addClient = [&]() -> OSStatus {
    return rt->clients.add(client) == decltype(rt->clients)::Joined::full ? kAudioHardwareIllegalOperationError : noErr;
  };
  if (rt::inCycleOf(rt)) return addClient();  // from its own cycle: the stream runs, nothing to wait for
  std::lock_guard control(rt->control);
  if (rt->removed.load()) return kAudioHardwareBadDeviceError;
  if (!rt->active.load()) {
    if (rt->thread.joinable()) s.stopStream(*rt);  // left over from a failed start
    OSStatus status = s.startStream(*rt);
    if (status) return status;
  }
  std::lock_guard io(rt->io);
  if (rt->removed.load()) return kAudioHardwareBadDeviceError;
  return addClient();
}

OSStatus PulseProvider::stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) {
  State& s = *state_;
  if (!client || (scope != kAudioObjectPropertyScopeInput && scope != kAudioObjectPropertyScopeOutput))
    return kAudio_ParamError;
  Runtime* rt = s.runtime(device);
  if (!rt) return kAudioHardwareBadDeviceError;
  auto dropClient = [&]() { return rt->clients.remove(client); };
  // From its own cycle the stream keeps running idle; the next start or stop
  // from elsewhere (or the device's removal) takes care of it.
  if (rt::inCycleOf(rt)) {
    dropClient();
    return noErr;
  }
  std::lock_guard control(rt->control);
  if (rt->removed.load() && rt->thread.joinable()) {
    // The device went away while running: its I/O thread has ended; collect it.
    rt->quit.store(true);
    rt->wake.notify();
    rt->thread.join();
    rt->active.store(false);
  }
  bool last;
  {
    std::lock_guard io(rt->io);  // waits for the cycle in hand
    if (!dropClient()) return noErr;
    last = rt->clients.empty();
  }
  if (last && rt->active.load()) s.stopStream(*rt);
  return noErr;
}
}  // namespace platform::audio::pulse
