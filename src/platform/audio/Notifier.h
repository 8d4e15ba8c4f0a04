#pragma once
// Property listeners and their delivery, for any provider: registrations,
// a queue of fired notifications, and the one notification thread that calls
// the listeners. No lock is held while a listener runs.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/AudioHardware.h"

namespace platform::audio {

class Notifier {
 public:
  Notifier();   // starts the notification thread
  ~Notifier();  // drops undelivered notifications, ends the thread
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // Duplicate registrations are kept once.
  OSStatus add(AudioObjectID object, const AudioObjectPropertyAddress& address,
               AudioObjectPropertyListenerProc listener, void* clientData);
  // After return the listener is not running and is never called again,
  // unless it is the caller (a listener removing itself).
  // kAudioHardwareIllegalOperationError when there is no such registration.
  OSStatus remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                  AudioObjectPropertyListenerProc listener, void* clientData);
  // Queues a notification of the object's changed addresses; returns at once.
  // Any non-audio thread (it may allocate).
  void post(AudioObjectID object, std::vector<AudioObjectPropertyAddress> addresses);
  // Waits until every notification posted so far has been delivered.
  // Never from the notification thread itself (it returns at once there).
  void flush();
  bool onNotificationThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  // Whether a registration of that address hears a change of `changed`.
  static bool matches(const AudioObjectPropertyAddress& registered, const AudioObjectPropertyAddress& changed);

 private:
  struct Registration {
    uint64_t serial;
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerProc listener;
    void* clientData;
  };
  struct Event {
    AudioObjectID object;
    std::vector<AudioObjectPropertyAddress> addresses;
  };
  void run();

  mutable std::mutex mutex_;
  std::condition_variable queued_;   // a notification arrived, or stop
  std::condition_variable settled_;  // a listener call or an event finished
  std::vector<Registration> registrations_;
  std::deque<Event> queue_;
  uint64_t nextSerial_ = 1;
  uint64_t running_ = 0;  // serial of the listener being called, 0 when none
  bool delivering_ = false;
  bool stop_ = false;
  std::thread thread_;
};

// The pump called by a removal that waits for a running listener (see
// AudioSetRemovalWaitPump in AudioHardware.h).
void pumpWhileWaiting();

}  // namespace platform::audio
