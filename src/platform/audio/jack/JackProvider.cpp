#include "platform/audio/jack/JackProvider.h"

#include <chrono>

#include "platform/audio/jack/JackState.h"

namespace platform::audio::jack {

uint64_t steadyNanos() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

std::shared_ptr<JackProvider> JackProvider::create(const Options& options) {
  std::shared_ptr<JackProvider> provider(new JackProvider(options));
  State& s = *provider->state_;
  if (!s.open()) return nullptr;
  s.followFormat();
  s.relist(false);
  s.graphThread = std::thread([&s] { s.graphLoop(); });
  s.notifier.flush();
  return provider;
}

JackProvider::JackProvider(const Options& options) : state_(std::make_unique<State>(options)) {}

JackProvider::~JackProvider() {
  State& s = *state_;
  s.quit.store(true, std::memory_order_release);
  s.wake.notify();
  if (s.graphThread.joinable()) s.graphThread.join();
  std::lock_guard lock(s.jackLock);
  if (s.client) {
    // Closing ends the process thread: no client is called after this.
    s.processClient.store(nullptr, std::memory_order_release);
    if (!s.serverGone.load(std::memory_order_acquire)) {
      jack_deactivate(s.client);
      jack_client_close(s.client);
      s.relay.reset();
    } else {
      // A server gone at the last moment: closed as the graph thread would.
      s.closeDead();
    }
    s.client = nullptr;
  }
}

std::string JackProvider::name() const { return "JACK"; }

void JackProvider::flushNotifications() {
  State& s = *state_;
  if (s.graphThread.joinable()) {
    std::unique_lock lock(s.passLock);
    const uint64_t target = ++s.passesAsked;
    s.graphChanged.store(true, std::memory_order_release);
    s.wake.notify();
    s.passed.wait(lock, [&] { return s.passesDone >= target || s.quit.load(); });
  }
  s.notifier.flush();
}

AudioObjectID JackProvider::deviceWithUID(const std::string& uid) const {
  std::lock_guard lock(state_->mutex);
  for (const auto& d : state_->devices)
    if (d.uid == uid) return d.id;
  return 0;
}

bool JackProvider::connected() const {
  std::lock_guard lock(state_->mutex);
  return state_->connected;
}

std::string JackProvider::clientName() const {
  std::lock_guard lock(state_->jackLock);
  return state_->ourName;
}

uint64_t JackProvider::hostTime() const noexcept { return steadyNanos(); }

}  // namespace platform::audio::jack
