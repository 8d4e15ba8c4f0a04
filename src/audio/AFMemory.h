#pragma once
// The sample memory of one input sound card: per channel (up to 64) a ring of
// 8192 float samples with a 4096-sample overhang past its end, plus two
// 4096-sample scratch blocks used by the sampling-rate converter.
//
// The render call writes straight into the ring at the producer position and
// may run into the overhang; wrapAroundRingBuffer() then copies the part that
// ran over back to the ring's start. A block read at the consumer position
// that straddles the ring's end is made contiguous by first copying the
// ring's start into the overhang. Positions are absolute 64-bit sample
// counts; the place in the ring is the count modulo 8192, and a producer of
// -1 marks the end of the stream.
//
// Threads: safe for one producer thread (the audio I/O thread: ringBufferList,
// the render, wrapAroundRingBuffer, advanceProducer) and one consumer thread
// (available, ringBufferConsumerPtr, advanceConsumer) at a time, without
// locks on the data path. Samples are written before the producer advances
// (release) and read before the consumer advances. Layout changes, resetRing
// and releaseBuffers belong to the configuring thread and happen only while
// the stream is stopped; setEOF may come from any thread.
//
// The producer never waits for free space, and the device's render never
// overwrites samples the consumer has not freed (it may be reading them that
// moment): a render the ring has no room for goes into a discard block and is
// lost whole. Every such loss is counted (overruns(), overrunSamples()) so a
// lost stretch of input is known rather than invisible. advanceProducer on
// its own still lets a producer write over unread samples, and counts that.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/audio/AudioTypes.h"

class AFMemory {
 public:
  using AudioBufferList = platform::audio::AudioBufferList;

  static constexpr int32_t kRingSpan = 8192;
  static constexpr int32_t kOverhang = 4096;
  static constexpr int32_t kRingBlock = kRingSpan + kOverhang;
  static constexpr int32_t kScratchBlock = 4096;
  static constexpr int32_t kMaxChannels = 64;

  AFMemory();
  ~AFMemory();
  AFMemory(const AFMemory&) = delete;
  AFMemory& operator=(const AFMemory&) = delete;

  // Lays the memory out for count channels (at most 64) and blocks of length
  // samples (at most 4096), allocating the blocks of channels not seen
  // before, and resets both positions. Blocks are kept when the count goes
  // down and reused when it goes up again. Configuring thread, stream stopped.
  void setChannels(int32_t count, int32_t length);
  // Writes one list entry {1 channel, length × 4 bytes, data}.
  static void setAudioBuffer(platform::audio::AudioBuffer& buffer, int32_t length, float* data);

  // Both positions to 0; clears the end mark. Stream stopped.
  void resetRing();
  // Marks the end of the stream: producer := -1. Any thread.
  void setEOF();
  bool eof() const { return producer_.load(std::memory_order_acquire) < 0; }

  int32_t channels() const { return activeChannels_.load(std::memory_order_acquire); }
  // Readable samples: producer − consumer in 32 bits, 0 when not positive.
  int32_t available() const;
  int64_t producer() const { return producer_.load(std::memory_order_acquire); }
  int64_t consumer() const { return consumer_.load(std::memory_order_acquire); }

  // Producer side. Publishes n samples; at the end of the stream returns 0 and
  // changes nothing, else returns the new producer position. Counts the
  // unread samples this write overwrote. Real-time safe.
  int64_t advanceProducer(int32_t n) noexcept;
  // Points each active entry at its ring block + (producer mod 8192) and
  // returns the list, ready for a render of up to 4096 samples. Real-time safe.
  AudioBufferList* ringBufferList() noexcept;
  // After a render of n samples (before advanceProducer): copies the part
  // that ran past the ring's end back to its start. Real-time safe.
  void wrapAroundRingBuffer(int32_t n) noexcept;
  // The device's render of n samples (at most 4096): renderBufferList(n)
  // gives the ring at the producer position when it has room for n more
  // unread samples, else the discard blocks; commitRender(n) afterwards
  // publishes the samples (wrap-around and advance) or counts them lost, and
  // returns the new producer position, or 0 when nothing was published.
  // Producer thread, real-time safe.
  AudioBufferList* renderBufferList(int32_t n) noexcept;
  int64_t commitRender(int32_t n) noexcept;
  // Ring block + (producer mod 8192); nullptr for a channel out of range.
  float* ringBufferProducerPtr(int32_t channel) noexcept;

  // Consumer side. Frees n samples and returns the new consumer position.
  int64_t advanceConsumer(int32_t n) noexcept;
  // A pointer to n (at most 4096) contiguous samples at the consumer
  // position; nullptr for a channel out of range. The samples stay put until
  // the producer writes that ring place again.
  float* ringBufferConsumerPtr(int32_t channel, int32_t n) noexcept;
  // Copies ring samples 0..k−1 to the overhang, 8192..8192+k−1 (k at most 4096).
  void extendRingBuffer(int32_t channel, int32_t k) noexcept;

  // Scratch blocks of the converter: output and input staging.
  float* resampledBuffer(int32_t channel) noexcept;
  float* resamplingBuffer(int32_t channel) noexcept;
  AudioBufferList* resampledBufferList() noexcept { return &resampledBufferList_; }
  AudioBufferList* resamplingBufferList() noexcept { return &resamplingBufferList_; }

  // Frees every block and zeroes counts and positions. Stream stopped.
  void releaseBuffers();

  // Overwrites of unread samples since creation: how many writes overwrote
  // something, and how many unread samples were lost. Any thread.
  uint64_t overruns() const { return overruns_.load(std::memory_order_relaxed); }
  uint64_t overrunSamples() const { return overrunSamples_.load(std::memory_order_relaxed); }

  int32_t allocatedChannels() const { return allocatedChannels_; }
  int32_t bufferLength() const { return bufferLength_; }

 private:
  static_assert(platform::audio::kAudioBufferListCapacity >= kMaxChannels);
  static int32_t place(int64_t position) { return static_cast<int32_t>(position & (kRingSpan - 1)); }

  float* ringBuffers_[kMaxChannels] = {};
  AudioBufferList ringBufferList_{};
  float* resampledBuffers_[kMaxChannels] = {};
  AudioBufferList resampledBufferList_{};
  float* resamplingBuffers_[kMaxChannels] = {};
  AudioBufferList resamplingBufferList_{};
  float* discardBuffers_[kMaxChannels] = {};
  AudioBufferList discardBufferList_{};
  bool discarding_ = false;  // the producer's last renderBufferList; its thread only
  int32_t allocatedChannels_ = 0;
  int32_t bufferLength_ = 0;
  std::atomic<int64_t> producer_{0};
  std::atomic<int64_t> consumer_{0};
  std::atomic<int32_t> activeChannels_{0};
  std::mutex bufferLock_;
  std::atomic<uint64_t> overruns_{0};
  std::atomic<uint64_t> overrunSamples_{0};
};
