// The input ring: wrap-around and extension copies at the ring's end, the
// end mark, layouts, overrun counting, and an allocation-free data path.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "audio/AFMemory.h"

namespace {

// Allocations made on this thread while counting is switched on.
thread_local bool countingAllocations = false;
thread_local int allocations = 0;

struct CountAllocations {
  CountAllocations() {
    allocations = 0;
    countingAllocations = true;
  }
  ~CountAllocations() { countingAllocations = false; }
};

}  // namespace

// The replaced operators pair malloc with free throughout; GCC cannot see
// that across inlined gtest code.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (countingAllocations) ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (countingAllocations) ++allocations;
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// One render cycle as the input card does it: n samples whose values are
// their absolute positions (plus the channel number × 1e6), written through
// the render list, then published (or, without room, thrown away).
void render(AFMemory& memory, int32_t n) {
  auto* list = memory.renderBufferList(n);
  int64_t start = memory.producer();
  for (uint32_t ch = 0; ch < list->mNumberBuffers; ++ch) {
    auto* data = static_cast<float*>(list->mBuffers[ch].mData);
    for (int32_t i = 0; i < n; ++i) data[i] = static_cast<float>(start + i + ch * 1000000);
  }
  memory.commitRender(n);
}

// Moves both positions to p without touching the samples.
void moveTo(AFMemory& memory, int64_t p) {
  memory.resetRing();
  memory.advanceProducer(static_cast<int32_t>(p));
  memory.advanceConsumer(static_cast<int32_t>(p));
}

class MemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { memory.setChannels(2, 512); }
  AFMemory memory;
};

TEST_F(MemoryTest, RenderAcrossTheRingEndIsCopiedBackToTheStart) {
  moveTo(memory, 8000);
  render(memory, 512);
  EXPECT_EQ(memory.producer(), 8512);
  // The 320 samples that ran over (render samples 192..511) sit at 0..319.
  memory.resetRing();
  float* ring = memory.ringBufferProducerPtr(1);
  for (int i = 0; i < 320; ++i) ASSERT_EQ(ring[i], 8192.0f + i + 1000000) << i;
}

TEST_F(MemoryTest, BlockAcrossTheRingEndReadsContiguousSamples) {
  moveTo(memory, 7000);
  render(memory, 512);
  render(memory, 512);
  render(memory, 512);  // positions 7000..8535, of which 8192..8535 at 0..343
  memory.advanceConsumer(1000);
  ASSERT_EQ(memory.consumer(), 8000);
  ASSERT_GE(memory.available(), 512);
  for (int32_t ch = 0; ch < 2; ++ch) {
    const float* block = memory.ringBufferConsumerPtr(ch, 512);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(block[i], 8000.0f + i + ch * 1000000) << "channel " << ch << " " << i;
  }
  EXPECT_EQ(memory.advanceConsumer(512), 8512);
  EXPECT_EQ(memory.available(), 24);
}

TEST_F(MemoryTest, WritesAndBlocksEndingAtTheRingEndCopyNothing) {
  float* start = memory.ringBufferProducerPtr(0);  // producer at 0
  start[0] = -5.0f;
  start[AFMemory::kRingSpan] = -7.0f;
  moveTo(memory, 8192 - 512);
  render(memory, 512);
  EXPECT_EQ(start[0], -5.0f);
  memory.ringBufferConsumerPtr(0, 512);
  EXPECT_EQ(start[AFMemory::kRingSpan], -7.0f);
  // One more sample either way does copy.
  moveTo(memory, 8192 - 512);
  render(memory, 513);
  EXPECT_EQ(start[0], 8192.0f);
}

TEST_F(MemoryTest, EndMarkStopsTheProducerUntilReset) {
  render(memory, 512);
  memory.setEOF();
  EXPECT_TRUE(memory.eof());
  EXPECT_EQ(memory.available(), 0);
  EXPECT_EQ(memory.advanceProducer(512), 0);
  EXPECT_EQ(memory.producer(), -1);
  // A render after the end still lands inside the block.
  render(memory, 4096);
  EXPECT_EQ(memory.producer(), -1);
  memory.resetRing();
  EXPECT_FALSE(memory.eof());
  EXPECT_EQ(memory.advanceProducer(512), 512);
  memory.setEOF();
  memory.setChannels(2, 256);
  EXPECT_FALSE(memory.eof());
}

TEST_F(MemoryTest, LayoutsReuseTheirBlocksAndResetPositions) {
  float* ring0 = memory.ringBufferProducerPtr(0);
  float* scratch1 = memory.resamplingBuffer(1);
  render(memory, 512);
  memory.advanceConsumer(100);
  {
    CountAllocations counting;
    memory.setChannels(2, 512);
    EXPECT_EQ(allocations, 0);
  }
  EXPECT_EQ(memory.producer(), 0);
  EXPECT_EQ(memory.consumer(), 0);
  EXPECT_EQ(memory.ringBufferProducerPtr(0), ring0);

  memory.setChannels(1, 512);
  EXPECT_EQ(memory.channels(), 1);
  EXPECT_EQ(memory.ringBufferList()->mNumberBuffers, 1u);
  {
    CountAllocations counting;
    memory.setChannels(2, 1024);
    EXPECT_EQ(allocations, 0);
  }
  EXPECT_EQ(memory.resamplingBuffer(1), scratch1);
  EXPECT_EQ(memory.resampledBufferList()->mBuffers[1].mDataByteSize, 4096u);
  EXPECT_EQ(memory.resamplingBufferList()->mBuffers[1].mNumberChannels, 1u);

  {
    CountAllocations counting;
    memory.setChannels(3, 1024);
    EXPECT_EQ(allocations, 4);  // the new channel's ring, two scratch blocks and its discard block
  }

  memory.setChannels(100, 512);
  EXPECT_EQ(memory.channels(), 64);
  EXPECT_NE(memory.ringBufferProducerPtr(63), nullptr);
  EXPECT_EQ(memory.ringBufferProducerPtr(64), nullptr);

  memory.setChannels(0, 512);
  EXPECT_EQ(memory.channels(), 0);
}

TEST_F(MemoryTest, LayoutAfterReleaseAllocatesAgain) {
  memory.releaseBuffers();
  EXPECT_EQ(memory.ringBufferProducerPtr(0), nullptr);
  EXPECT_EQ(memory.channels(), 0);
  memory.setChannels(2, 512);
  ASSERT_NE(memory.ringBufferProducerPtr(1), nullptr);
  render(memory, 512);
  EXPECT_EQ(memory.ringBufferConsumerPtr(1, 512)[511], 511.0f + 1000000);
}

TEST_F(MemoryTest, OversizedRequestsStayInsideTheBlocks) {
  memory.setChannels(1, 100000);
  EXPECT_EQ(memory.bufferLength(), 4096);
  EXPECT_EQ(memory.ringBufferList()->mBuffers[0].mDataByteSize, 4096u * 4);
  moveTo(memory, 8191);
  // Asking for more than an overhang gets at most an overhang copied.
  float* block = memory.ringBufferConsumerPtr(0, 100000);
  EXPECT_EQ(block, memory.ringBufferProducerPtr(0));
  EXPECT_EQ(memory.ringBufferConsumerPtr(-1, 1), nullptr);
}

TEST_F(MemoryTest, ARenderTheRingHasNoRoomForIsLostWholeAndCounted) {
  for (int i = 0; i < 16; ++i) render(memory, 512);  // exactly one ring span
  EXPECT_EQ(memory.overruns(), 0u);
  render(memory, 512);
  EXPECT_EQ(memory.overruns(), 1u);
  EXPECT_EQ(memory.overrunSamples(), 512u);
  render(memory, 100);
  EXPECT_EQ(memory.overruns(), 2u);
  EXPECT_EQ(memory.overrunSamples(), 612u);
  // Nothing unread was written over (the consumer may be reading it), and
  // nothing was published.
  EXPECT_EQ(memory.producer(), 8192);
  EXPECT_EQ(memory.ringBufferConsumerPtr(0, 1)[0], 0.0f);
  EXPECT_EQ(memory.ringBufferConsumerPtr(0, 4096)[4095], 4095.0f);
  // Freed room takes the next render, and the count stops.
  memory.advanceConsumer(512);
  render(memory, 512);
  EXPECT_EQ(memory.producer(), 8704);
  EXPECT_EQ(memory.overruns(), 2u);
  EXPECT_EQ(memory.ringBufferConsumerPtr(0, 1)[0], 512.0f);
  memory.advanceConsumer(7680);
  EXPECT_EQ(memory.ringBufferConsumerPtr(0, 1)[0], 8192.0f);
}

TEST_F(MemoryTest, AProducerAdvancingOnItsOwnOverUnreadSamplesCountsThem) {
  memory.advanceProducer(8192);
  EXPECT_EQ(memory.overruns(), 0u);
  memory.advanceProducer(100);
  EXPECT_EQ(memory.overruns(), 1u);
  EXPECT_EQ(memory.overrunSamples(), 100u);
}

TEST_F(MemoryTest, DataPathAllocatesNothing) {
  CountAllocations counting;
  for (int i = 0; i < 40; ++i) {
    render(memory, 512);
    memory.ringBufferConsumerPtr(0, 512);
    memory.ringBufferConsumerPtr(1, 512);
    memory.advanceConsumer(512);
  }
  EXPECT_EQ(allocations, 0);
}

}  // namespace
