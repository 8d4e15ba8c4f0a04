#include "platform/audio/pulse/PulseProvider.h"

#include <unistd.h>

#include <chrono>

#include "platform/audio/pulse/PulseState.h"

namespace platform::audio::pulse {

uint64_t steadyNanos() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

std::shared_ptr<PulseProvider> PulseProvider::create(const Options& options) {
  std::shared_ptr<PulseProvider> provider(new PulseProvider(options));
  State& s = *provider->state_;
  if (!s.loop) return nullptr;
  std::unique_lock lock(s.mutex);
  // A server that refuses (none runs) ends the wait at once.
  if (!s.listed.wait_for(lock, std::chrono::milliseconds(options.connectTimeoutMs),
                         [&] { return s.ready || s.refused; }) ||
      !s.ready)
    return nullptr;
  lock.unlock();
  s.notifier.flush();
  return provider;
}

PulseProvider::PulseProvider(const Options& options) : state_(std::make_unique<State>(options)) {
  State& s = *state_;
  s.loop = pa_threaded_mainloop_new();
  if (!s.loop) return;
  pa_threaded_mainloop_set_name(s.loop, "specan-pulse");
  pa_threaded_mainloop_lock(s.loop);
  s.connect();
  pa_threaded_mainloop_unlock(s.loop);
  if (pa_threaded_mainloop_start(s.loop) < 0) {
    pa_threaded_mainloop_free(s.loop);
    s.loop = nullptr;
  }
}

PulseProvider::~PulseProvider() {
  State& s = *state_;
  if (!s.loop) return;
  for (auto& rt : s.runtimes) {
    std::lock_guard control(rt->control);
    rt->quit.store(true);
    rt->wake.notify();
    if (rt->thread.joinable()) rt->thread.join();
  }
  pa_threaded_mainloop_lock(s.loop);
  s.stopping = true;
  for (auto& rt : s.runtimes) s.closeStream(*rt);
  if (s.reconnect) {
    pa_threaded_mainloop_get_api(s.loop)->time_free(s.reconnect);
    s.reconnect = nullptr;
  }
  if (s.context) {
    pa_context_set_state_callback(s.context, nullptr, nullptr);
    pa_context_set_subscribe_callback(s.context, nullptr, nullptr);
    pa_context_disconnect(s.context);
    pa_context_unref(s.context);
    s.context = nullptr;
  }
  pa_threaded_mainloop_unlock(s.loop);
  pa_threaded_mainloop_stop(s.loop);
  pa_threaded_mainloop_free(s.loop);
  for (auto& rt : s.runtimes)
    if (rt->kickFd >= 0) close(rt->kickFd);
}

std::string PulseProvider::name() const { return "PulseAudio"; }

void PulseProvider::flushNotifications() { state_->notifier.flush(); }

AudioObjectID PulseProvider::deviceWithUID(const std::string& uid) const {
  std::lock_guard lock(state_->mutex);
  for (const auto& d : state_->devices)
    if (d.uid == uid) return d.id;
  return 0;
}

bool PulseProvider::connected() const {
  std::lock_guard lock(state_->mutex);
  return state_->ready;
}

uint64_t PulseProvider::framesCycled(AudioObjectID device) const {
  Runtime* rt = state_->runtime(device);
  return rt ? rt->cycled.load() : 0;
}

uint64_t PulseProvider::hostTime() const noexcept { return steadyNanos(); }

}  // namespace platform::audio::pulse
