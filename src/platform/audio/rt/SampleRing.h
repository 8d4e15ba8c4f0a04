#pragma once
// A single-producer single-consumer ring between two threads, one of them
// real-time, without a lock on either side.
//
// RingPositions holds only the two positions, absolute 64-bit counts of
// whatever the ring holds (samples, or frames of several planes); the data
// lives with its user, so one pair of positions can serve planar rings. Each
// side reads its own position plainly and the other's with acquire, and
// publishes its own with release after the data it covers:
//   producer: room = writeIndex(w); write up to room at w; writeUpdate(w + n)
//   consumer: filled = readIndex(r); read up to filled at r; readUpdate(r + n)
// so the consumer never sees a position before the samples it covers, and
// the producer never reuses a place before the consumer has left it.
//
// Threads: safe only for one producer thread and one consumer thread at a
// time. reset() and the capacity belong to whoever configures the ring while
// neither side runs. Every call is real-time safe: no lock, no allocation.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace platform::audio::rt {

class RingPositions {
 public:
  explicit RingPositions(uint64_t capacity = 0) noexcept : capacity_(capacity) {}

  uint64_t capacity() const noexcept { return capacity_; }
  // Both positions to 0, with a new capacity. Neither side runs.
  void reset(uint64_t capacity) noexcept {
    capacity_ = capacity;
    write_.store(0, std::memory_order_relaxed);
    read_.store(0, std::memory_order_relaxed);
  }

  // Producer: its position in `index`; returns the room before the consumer.
  uint64_t writeIndex(uint64_t& index) const noexcept {
    index = write_.load(std::memory_order_relaxed);
    return capacity_ - (index - read_.load(std::memory_order_acquire));
  }
  // Producer: publishes everything written before `index`.
  void writeUpdate(uint64_t index) noexcept { write_.store(index, std::memory_order_release); }

  // Consumer: its position in `index`; returns how much is there to read.
  uint64_t readIndex(uint64_t& index) const noexcept {
    index = read_.load(std::memory_order_relaxed);
    return write_.load(std::memory_order_acquire) - index;
  }
  // Consumer: frees everything before `index`.
  void readUpdate(uint64_t index) noexcept { read_.store(index, std::memory_order_release); }

  // Producer, while the consumer is kept out (for example by a handshake):
  // drops everything unread. Returns the position both sides now stand at.
  uint64_t discardUnread() noexcept {
    const uint64_t index = write_.load(std::memory_order_relaxed);
    read_.store(index, std::memory_order_release);
    return index;
  }

  // Either side, or a third thread: a glance that may be out of date when used.
  uint64_t filled() const noexcept {
    const uint64_t read = read_.load(std::memory_order_acquire);
    return write_.load(std::memory_order_acquire) - read;
  }
  uint64_t written() const noexcept { return write_.load(std::memory_order_acquire); }
  uint64_t consumed() const noexcept { return read_.load(std::memory_order_acquire); }

  // The place of `index` in a ring of this capacity.
  uint64_t place(uint64_t index) const noexcept { return index % capacity_; }

 private:
  uint64_t capacity_;
  alignas(64) std::atomic<uint64_t> write_{0};
  alignas(64) std::atomic<uint64_t> read_{0};
};

// Copies n samples into a ring region of `capacity` at `index`, wrapping at
// its end; zeros when `from` is null.
inline void copyIntoRing(float* region, uint64_t capacity, uint64_t index, const float* from, size_t n) noexcept {
  if (n == 0) return;
  const size_t at = size_t(index % capacity);
  const size_t first = std::min(n, size_t(capacity) - at);
  if (from) {
    std::memcpy(region + at, from, first * sizeof(float));
    std::memcpy(region, from + first, (n - first) * sizeof(float));
  } else {
    std::fill_n(region + at, first, 0.0f);
    std::fill_n(region, n - first, 0.0f);
  }
}

// Copies n samples out of a ring region of `capacity` from `index`, wrapping at its end.
inline void copyOutOfRing(const float* region, uint64_t capacity, uint64_t index, float* to, size_t n) noexcept {
  if (n == 0) return;
  const size_t at = size_t(index % capacity);
  const size_t first = std::min(n, size_t(capacity) - at);
  std::memcpy(to, region + at, first * sizeof(float));
  std::memcpy(to + first, region, (n - first) * sizeof(float));
}

// A ring of samples in one region (interleaved frames, say), with its positions.
class SampleRing {
 public:
  // Room for at least `minimum` samples (the next power of two). Configuring
  // thread, neither side running.
  void allocate(size_t minimum) {
    size_t capacity = 1;
    while (capacity < minimum) capacity <<= 1;
    data_.assign(capacity, 0.0f);
    positions_.reset(data_.size());
  }
  void reset() noexcept { positions_.reset(data_.size()); }  // neither side running

  size_t readable() const noexcept { return size_t(positions_.filled()); }
  size_t writable() const noexcept { return data_.size() - readable(); }

  // Producer: writes up to n samples (zeros when `from` is null); returns how many.
  size_t write(const float* from, size_t n) noexcept {
    uint64_t index;
    n = std::min<size_t>(n, size_t(positions_.writeIndex(index)));
    copyIntoRing(data_.data(), data_.size(), index, from, n);
    positions_.writeUpdate(index + n);
    return n;
  }
  // Consumer: reads up to n samples; returns how many.
  size_t read(float* to, size_t n) noexcept {
    uint64_t index;
    n = std::min<size_t>(n, size_t(positions_.readIndex(index)));
    copyOutOfRing(data_.data(), data_.size(), index, to, n);
    positions_.readUpdate(index + n);
    return n;
  }

 private:
  std::vector<float> data_;
  RingPositions positions_;
};

}  // namespace platform::audio::rt
