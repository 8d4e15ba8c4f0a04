#include "audio/AFMemory.h"

#include <algorithm>
#include <cstring>
#include <new>

AFMemory::AFMemory() = default;

AFMemory::~AFMemory() { releaseBuffers(); }

namespace {

void setNumberBuffers(platform::audio::AudioBufferList& list, int32_t count) {
  list.mNumberBuffers = static_cast<uint32_t>(count);
}

platform::audio::AudioBuffer& entry(platform::audio::AudioBufferList& list, int32_t index) {
  return list.mBuffers[index];
}

}  // namespace

void AFMemory::setAudioBuffer(platform::audio::AudioBuffer& buffer, int32_t length, float* data) {
  buffer.mNumberChannels = 1;
  buffer.mDataByteSize = static_cast<uint32_t>(length) * sizeof(float);
  buffer.mData = data;
}

void AFMemory::setChannels(int32_t count, int32_t length) {
  std::lock_guard guard(bufferLock_);
  producer_.exchange(0);
  consumer_.exchange(0);
  // The render and the blocks are at most one overhang long; a longer block
  // would run past the end of every buffer.
  length = std::clamp(length, 0, kScratchBlock);
  int32_t end = std::clamp(count, 0, kMaxChannels);

  if (allocatedChannels_ < end) {
    for (int32_t ch = allocatedChannels_; ch < end; ++ch) {
      if (!ringBuffers_[ch]) ringBuffers_[ch] = new (std::nothrow) float[kRingBlock]();
      if (!resampledBuffers_[ch]) resampledBuffers_[ch] = new (std::nothrow) float[kScratchBlock]();
      if (!resamplingBuffers_[ch]) resamplingBuffers_[ch] = new (std::nothrow) float[kScratchBlock]();
      if (!discardBuffers_[ch]) discardBuffers_[ch] = new (std::nothrow) float[kOverhang]();
      // Without memory the stream gets only the channels that have blocks.
      if (!ringBuffers_[ch] || !resampledBuffers_[ch] || !resamplingBuffers_[ch] || !discardBuffers_[ch]) {
        end = ch;
        break;
      }
    }
  } else if (length == bufferLength_) {
    setNumberBuffers(ringBufferList_, end);
    setNumberBuffers(resampledBufferList_, end);
    setNumberBuffers(resamplingBufferList_, end);
    setNumberBuffers(discardBufferList_, end);
    activeChannels_.exchange(end);
    return;
  }

  for (int32_t ch = 0; ch < end; ++ch) {
    setAudioBuffer(entry(ringBufferList_, ch), length, ringBuffers_[ch]);
    setAudioBuffer(entry(resampledBufferList_, ch), length, resampledBuffers_[ch]);
    setAudioBuffer(entry(resamplingBufferList_, ch), length, resamplingBuffers_[ch]);
    setAudioBuffer(entry(discardBufferList_, ch), length, discardBuffers_[ch]);
  }
  setNumberBuffers(ringBufferList_, end);
  setNumberBuffers(resampledBufferList_, end);
  setNumberBuffers(resamplingBufferList_, end);
  setNumberBuffers(discardBufferList_, end);
  allocatedChannels_ = end;
  bufferLength_ = length;
  activeChannels_.exchange(end);
}

void AFMemory::resetRing() {
  producer_.exchange(0);
  consumer_.exchange(0);
}

void AFMemory::setEOF() { producer_.exchange(-1); }

int32_t AFMemory::available() const {
  int64_t producer = producer_.load(std::memory_order_acquire);
  if (producer < 0) return 0;
  int32_t count = static_cast<int32_t>(static_cast<uint32_t>(producer) -
                                       static_cast<uint32_t>(consumer_.load(std::memory_order_acquire)));
  return count > 0 ? count : 0;
}

int64_t AFMemory::advanceProducer(int32_t n) noexcept {
  // One atomic step from "not ended" to the new position, so that an end mark
  // set meanwhile by another thread is never overwritten.
  int64_t before = producer_.load(std::memory_order_acquire);
  int64_t after = 0;
  do {
    if (before < 0) return 0;
    after = before + n;
  } while (!producer_.compare_exchange_weak(before, after, std::memory_order_acq_rel, std::memory_order_acquire));

  int64_t consumer = consumer_.load(std::memory_order_acquire);
  int64_t lostBefore = std::max<int64_t>(0, before - consumer - kRingSpan);
  int64_t lostAfter = std::max<int64_t>(0, after - consumer - kRingSpan);
  if (lostAfter > lostBefore) {
    overruns_.fetch_add(1, std::memory_order_relaxed);
    overrunSamples_.fetch_add(static_cast<uint64_t>(lostAfter - lostBefore), std::memory_order_relaxed);
  }
  return after;
}

AFMemory::AudioBufferList* AFMemory::ringBufferList() noexcept {
  int32_t offset = place(producer_.load(std::memory_order_acquire));
  int32_t active = std::min(activeChannels_.load(std::memory_order_acquire), kMaxChannels);
  for (int32_t ch = 0; ch < active; ++ch) entry(ringBufferList_, ch).mData = ringBuffers_[ch] + offset;
  return &ringBufferList_;
}

void AFMemory::wrapAroundRingBuffer(int32_t n) noexcept {
  int32_t excess = place(producer_.load(std::memory_order_acquire)) + n - kRingSpan;
  if (excess <= 0) return;
  excess = std::min(excess, kOverhang);
  int32_t active = std::min(activeChannels_.load(std::memory_order_acquire), kMaxChannels);
  for (int32_t ch = 0; ch < active; ++ch)
    std::memcpy(ringBuffers_[ch], ringBuffers_[ch] + kRingSpan, static_cast<std::size_t>(excess) * sizeof(float));
}

AFMemory::AudioBufferList* AFMemory::renderBufferList(int32_t n) noexcept {
  // Reading the consumer first orders this render after every read of the
  // samples it frees.
  const int64_t consumer = consumer_.load(std::memory_order_acquire);
  const int64_t producer = producer_.load(std::memory_order_acquire);
  discarding_ = producer >= 0 && producer + n - consumer > kRingSpan;
  return discarding_ ? &discardBufferList_ : ringBufferList();
}

int64_t AFMemory::commitRender(int32_t n) noexcept {
  if (discarding_) {
    if (eof()) return 0;
    overruns_.fetch_add(1, std::memory_order_relaxed);
    overrunSamples_.fetch_add(static_cast<uint64_t>(std::max(n, 0)), std::memory_order_relaxed);
    return 0;
  }
  wrapAroundRingBuffer(n);
  return advanceProducer(n);
}

float* AFMemory::ringBufferProducerPtr(int32_t channel) noexcept {
  if (channel < 0 || channel >= kMaxChannels || !ringBuffers_[channel]) return nullptr;
  return ringBuffers_[channel] + place(producer_.load(std::memory_order_acquire));
}

int64_t AFMemory::advanceConsumer(int32_t n) noexcept { return consumer_.fetch_add(n) + n; }

float* AFMemory::ringBufferConsumerPtr(int32_t channel, int32_t n) noexcept {
  if (channel < 0 || channel >= kMaxChannels || !ringBuffers_[channel]) return nullptr;
  int32_t offset = place(consumer_.load(std::memory_order_acquire));
  n = std::clamp(n, 0, kOverhang);
  if (offset + n > kRingSpan) extendRingBuffer(channel, offset + n - kRingSpan);
  return ringBuffers_[channel] + offset;
}

void AFMemory::extendRingBuffer(int32_t channel, int32_t k) noexcept {
  if (channel < 0 || channel >= kMaxChannels || !ringBuffers_[channel]) return;
  k = std::clamp(k, 0, kOverhang);
  std::memcpy(ringBuffers_[channel] + kRingSpan, ringBuffers_[channel], static_cast<std::size_t>(k) * sizeof(float));
}

float* AFMemory::resampledBuffer(int32_t channel) noexcept {
  return channel >= 0 && channel < kMaxChannels ? resampledBuffers_[channel] : nullptr;
}

float* AFMemory::resamplingBuffer(int32_t channel) noexcept {
  return channel >= 0 && channel < kMaxChannels ? resamplingBuffers_[channel] : nullptr;
}

void AFMemory::releaseBuffers() {
  std::lock_guard guard(bufferLock_);
  for (int32_t ch = 0; ch < kMaxChannels; ++ch) {
    delete[] ringBuffers_[ch];
    delete[] resampledBuffers_[ch];
    delete[] resamplingBuffers_[ch];
    delete[] discardBuffers_[ch];
    ringBuffers_[ch] = resampledBuffers_[ch] = resamplingBuffers_[ch] = discardBuffers_[ch] = nullptr;
    entry(discardBufferList_, ch).mData = nullptr;
    entry(ringBufferList_, ch).mData = nullptr;
    entry(resampledBufferList_, ch).mData = nullptr;
    entry(resamplingBufferList_, ch).mData = nullptr;
  }
  setNumberBuffers(ringBufferList_, 0);
  setNumberBuffers(resampledBufferList_, 0);
  setNumberBuffers(resamplingBufferList_, 0);
  setNumberBuffers(discardBufferList_, 0);
  // A later layout must allocate again rather than take the freed blocks for
  // still being there.
  allocatedChannels_ = 0;
  bufferLength_ = 0;
  producer_.exchange(0);
  consumer_.exchange(0);
  activeChannels_.exchange(0);
}
