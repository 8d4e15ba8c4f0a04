// The ring between a producer thread and a consumer thread, as the input card
// drives it: every sample arrives once, in order.

#include <gtest/gtest.h>

#include <thread>

#include "audio/AFMemory.h"

namespace {

TEST(MemoryThreads, ConsumerSeesEverySampleInOrder) {
  AFMemory memory;
  memory.setChannels(2, 384);
  constexpr int64_t kTotal = 1 << 20;
  constexpr int32_t kRender = 500;  // does not divide the ring: renders straddle its end
  constexpr int32_t kBlock = 384;

  std::thread producer([&] {
    int64_t written = 0;
    while (written < kTotal) {
      // The test's producer stays a block short of overwriting unread samples.
      if (written - memory.consumer() > AFMemory::kRingSpan - kRender) {
        std::this_thread::yield();
        continue;
      }
      auto* list = memory.ringBufferList();
      for (uint32_t ch = 0; ch < list->mNumberBuffers; ++ch) {
        auto* data = static_cast<float*>(list->mBuffers[ch].mData);
        for (int32_t i = 0; i < kRender; ++i) data[i] = static_cast<float>((written + i) % 1000003 + ch);
      }
      memory.wrapAroundRingBuffer(kRender);
      written = memory.advanceProducer(kRender);
    }
  });

  int64_t read = 0;
  int64_t mismatches = 0;
  while (read + kBlock <= kTotal) {
    if (memory.available() < kBlock) {
      std::this_thread::yield();
      continue;
    }
    for (int32_t ch = 0; ch < 2; ++ch) {
      const float* block = memory.ringBufferConsumerPtr(ch, kBlock);
      for (int32_t i = 0; i < kBlock; ++i)
        if (block[i] != static_cast<float>((read + i) % 1000003 + ch)) ++mismatches;
    }
    read = memory.advanceConsumer(kBlock);
  }
  producer.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(memory.overruns(), 0u);
}

}  // namespace
