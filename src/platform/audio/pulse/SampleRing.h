#pragma once
// A single-producer single-consumer ring of interleaved samples between
// libpulse's thread and a device's I/O thread.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::audio::pulse {

// A single-producer single-consumer ring of samples; neither side locks or
// allocates. The producer and the consumer are one thread each.
class Ring {
 public:
  void allocate(size_t minimum) {
    size_t capacity = 1;
    while (capacity < minimum) capacity <<= 1;
    data_.assign(capacity, 0.0f);
    mask_ = capacity - 1;
    reset();
  }
  void reset() {  // only while neither side runs
    head_.store(0);
    tail_.store(0);
  }
  size_t readable() const { return size_t(head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire)); }
  size_t writable() const { return data_.size() - readable(); }
  // Writes up to n samples (zeros when src is null); returns how many.
  size_t write(const float* src, size_t n) {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    n = std::min(n, data_.size() - size_t(head - tail_.load(std::memory_order_acquire)));
    for (size_t i = 0; i < n; ++i) data_[(head + i) & mask_] = src ? src[i] : 0.0f;
    head_.store(head + n, std::memory_order_release);
    return n;
  }
  size_t read(float* dst, size_t n) {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    n = std::min(n, size_t(head_.load(std::memory_order_acquire) - tail));
    for (size_t i = 0; i < n; ++i) dst[i] = data_[(tail + i) & mask_];
    tail_.store(tail + n, std::memory_order_release);
    return n;
  }

 private:
  std::vector<float> data_;
  size_t mask_ = 0;
  std::atomic<uint64_t> head_{0}, tail_{0};
};

}  // namespace platform::audio::pulse
