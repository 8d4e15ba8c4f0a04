#include "platform/audio/Notifier.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace platform::audio {

namespace {
std::atomic<void (*)()> removalWaitPump{nullptr};
}

void AudioSetRemovalWaitPump(void (*pump)()) { removalWaitPump.store(pump); }

void pumpWhileWaiting() {
  if (auto pump = removalWaitPump.load()) pump();
}

Notifier::Notifier() : thread_([this] { run(); }) {}

Notifier::~Notifier() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  queued_.notify_all();
  thread_.join();
}

bool Notifier::matches(const AudioObjectPropertyAddress& registered, const AudioObjectPropertyAddress& changed) {
  if (registered.mScope != kAudioObjectPropertyScopeWildcard && registered.mScope != changed.mScope) return false;
  if (registered.mSelector == kAudioObjectPropertySelectorWildcard) return true;
  if (registered.mSelector != changed.mSelector) return false;
  return registered.mElement == kAudioObjectPropertyElementWildcard || registered.mElement == changed.mElement;
}

OSStatus Notifier::add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                       AudioObjectPropertyListenerProc listener, void* clientData) {
  if (!listener) return kAudio_ParamError;
  std::lock_guard lock(mutex_);
  for (const Registration& r : registrations_)
    if (r.object == object && r.address == address && r.listener == listener && r.clientData == clientData)
      return noErr;
  registrations_.push_back({nextSerial_++, object, address, listener, clientData});
  return noErr;
}

OSStatus Notifier::remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          AudioObjectPropertyListenerProc listener, void* clientData) {
  std::unique_lock lock(mutex_);
  auto it = std::find_if(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
    return r.object == object && r.address == address && r.listener == listener && r.clientData == clientData;
  });
  if (it == registrations_.end()) return kAudioHardwareIllegalOperationError;
  const uint64_t serial = it->serial;
  registrations_.erase(it);
  if (onNotificationThread()) return noErr;  // a listener removing itself or another: nothing else runs
  // The listener may be waiting for this very thread (the main thread, say);
  // the pump lets such a wait make progress while we wait for the listener.
  while (running_ == serial) {
    settled_.wait_for(lock, std::chrono::milliseconds(1));
    if (running_ != serial) break;
    lock.unlock();
    pumpWhileWaiting();
    lock.lock();
  }
  return noErr;
}

void Notifier::post(AudioObjectID object, std::vector<AudioObjectPropertyAddress> addresses) {
  if (addresses.empty()) return;
  {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    queue_.push_back({object, std::move(addresses)});
  }
  queued_.notify_one();
}

void Notifier::flush() {
  if (onNotificationThread()) return;
  std::unique_lock lock(mutex_);
  settled_.wait(lock, [this] { return stop_ || (queue_.empty() && !delivering_); });
}

void Notifier::run() {
  std::unique_lock lock(mutex_);
  std::vector<AudioObjectPropertyAddress> matched;
  struct Call {
    uint64_t serial;
    std::vector<AudioObjectPropertyAddress> addresses;
  };
  std::vector<Call> calls;
  for (;;) {
    queued_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) break;
    Event event = std::move(queue_.front());
    queue_.pop_front();
    delivering_ = true;
    // Who hears this notification is decided when it is delivered; a
    // registration removed meanwhile is skipped below.
    calls.clear();
    for (const Registration& r : registrations_) {
      if (r.object != event.object) continue;
      matched.clear();
      for (const auto& a : event.addresses)
        if (matches(r.address, a)) matched.push_back(a);
      if (!matched.empty()) calls.push_back({r.serial, matched});
    }
    for (Call& call : calls) {
      auto it = std::find_if(registrations_.begin(), registrations_.end(),
                             [&](const Registration& r) { return r.serial == call.serial; });
      if (it == registrations_.end() || stop_) continue;
      const Registration r = *it;
      running_ = r.serial;
      lock.unlock();
      r.listener(event.object, uint32_t(call.addresses.size()), call.addresses.data(), r.clientData);
      lock.lock();
      running_ = 0;
      settled_.notify_all();
    }
    delivering_ = false;
    settled_.notify_all();
  }
  delivering_ = false;
  settled_.notify_all();
}

}  // namespace platform::audio
