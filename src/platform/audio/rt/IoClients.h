#pragma once
// The clients a device's I/O serves, and which device's cycle this thread is
// running.
//
// IoClientSlots: a fixed number of places for client pointers, so that
// starting and stopping a client never allocates and a cycle can walk them
// without a lock of its own. The slots are not atomic: they belong to whoever
// holds the device's I/O lock, which its cycle holds while it walks them, so
// a client started or stopped from inside its device's own cycle (where the
// lock is already held) changes them directly.
//
// CycleScope / inCycleOf: marks, for the thread that runs it, the cycle of
// one device (any provider's: a device is named by its runtime's address),
// so that a start or stop called back from inside that cycle knows not to
// take the lock the cycle already holds, nor to wait for the cycle to end.
// Cycles nest (a device's client may run another device's cycle): each scope
// puts back the one it found.
//
// Every call is real-time safe: no lock, no allocation.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace platform::audio::rt {

template <typename Client, size_t N>
class IoClientSlots {
 public:
  enum class Joined { added, alreadyIn, full };

  Joined add(Client* client) noexcept {
    if (std::find(slots_.begin(), slots_.end(), client) != slots_.end()) return Joined::alreadyIn;
    auto free = std::find(slots_.begin(), slots_.end(), nullptr);
    if (free == slots_.end()) return Joined::full;
    *free = client;
    ++count_;
    return Joined::added;
  }
  // False when the client was not there (never started, or already cleared).
  bool remove(Client* client) noexcept {
    auto it = std::find(slots_.begin(), slots_.end(), client);
    if (it == slots_.end()) return false;
    *it = nullptr;
    --count_;
    return true;
  }
  void clear() noexcept {
    slots_.fill(nullptr);
    count_ = 0;
  }

  bool contains(const Client* client) const noexcept {
    return client && std::find(slots_.begin(), slots_.end(), client) != slots_.end();
  }
  bool full() const noexcept { return count_ == N; }
  uint32_t count() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  // Every place, empty ones (nullptr) included, in a fixed order.
  auto begin() const noexcept { return slots_.begin(); }
  auto end() const noexcept { return slots_.end(); }

 private:
  std::array<Client*, N> slots_{};
  uint32_t count_ = 0;
};

namespace detail {
inline thread_local const void* cycleInProgress = nullptr;
}

// While alive, this thread runs the cycle of the device whose runtime is `device`.
class CycleScope {
 public:
  explicit CycleScope(const void* device) noexcept : outer_(detail::cycleInProgress) {
    detail::cycleInProgress = device;
  }
  ~CycleScope() { detail::cycleInProgress = outer_; }
  CycleScope(const CycleScope&) = delete;
  CycleScope& operator=(const CycleScope&) = delete;

 private:
  const void* outer_;
};

// Whether this thread is inside the cycle of the device whose runtime is `device`.
inline bool inCycleOf(const void* device) noexcept { return device && detail::cycleInProgress == device; }

}  // namespace platform::audio::rt
