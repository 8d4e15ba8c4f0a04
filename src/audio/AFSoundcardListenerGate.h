#pragma once
// A sound card's property-listener registrations. The platform calls a
// listener with its gate as client data; the gate counts the calls in
// progress, so that a removal can shut it and wait for them before the
// platform forgets the registration. Shared by the card's files only.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "audio/AFSoundcard.h"
#include "ui/MainThread.h"

// One listener registration.
struct AFSoundcard::ListenerGate {
  explicit ListenerGate(AFSoundcard* owner, uint32_t object, const AudioObjectPropertyAddress& at,
                        int32_t (*listener)(uint32_t, uint32_t, const AudioObjectPropertyAddress*, void*))
      : card(owner), objectID(object), address(at), proc(listener) {}

  // True when the call may go on; every true is matched by leave().
  bool enter() {
    std::lock_guard guard(lock);
    if (!open) return false;
    ++inFlight;
    return true;
  }
  void leave() {
    {
      std::lock_guard guard(lock);
      --inFlight;
    }
    left.notify_all();
  }
  // Shuts the gate and waits until no call is in progress on another thread.
  // On the main thread the wait keeps running queued main-thread work, which
  // the call in progress may be waiting for.
  void shutAndWait() {
    int own = current == this ? 1 : 0;
    ui::MainThread& mainThread = ui::MainThread::instance();
    bool onMain = mainThread.isMainThread();
    std::unique_lock guard(lock);
    open = false;
    while (inFlight > own) {
      if (onMain) {
        guard.unlock();
        mainThread.drain();
        guard.lock();
        left.wait_for(guard, std::chrono::milliseconds(1), [&] { return inFlight <= own; });
      } else {
        left.wait(guard, [&] { return inFlight <= own; });
      }
    }
  }

  AFSoundcard* const card;
  const uint32_t objectID;
  const AudioObjectPropertyAddress address;
  int32_t (*const proc)(uint32_t, uint32_t, const AudioObjectPropertyAddress*, void*);
  std::mutex lock;
  std::condition_variable left;
  int inFlight = 0;
  bool open = true;

  // The gate whose call this thread is in, if any.
  static inline thread_local ListenerGate* current = nullptr;
};

// Holds a gate open for the length of one listener call.
struct AFSoundcard::GateCall {
  explicit GateCall(void* clientData) : gate(static_cast<ListenerGate*>(clientData)) {}
  GateCall(const GateCall&) = delete;
  GateCall& operator=(const GateCall&) = delete;
  bool entered() {
    if (!gate || !gate->enter()) return false;
    previous = ListenerGate::current;
    ListenerGate::current = gate;
    inside = true;
    return true;
  }
  ~GateCall() {
    if (!inside) return;
    ListenerGate::current = previous;
    gate->leave();
  }

  ListenerGate* gate;
  ListenerGate* previous = nullptr;
  bool inside = false;
};
