// The lock-free ring between the sound server's thread or a file's reader
// and a device's I/O thread.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/rt/SampleRing.h"

namespace {

using platform::audio::rt::RingPositions;
using platform::audio::rt::SampleRing;

TEST(SampleRing, FullAndEmptyAreRespectedAcrossTheEndOfTheRegion) {
  SampleRing ring;
  ring.allocate(6);  // eight places
  EXPECT_EQ(ring.writable(), 8u);
  float out[16] = {};
  EXPECT_EQ(ring.read(out, 4), 0u) << "an empty ring gives nothing";

  const float first[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(ring.write(first, 6), 6u);
  ASSERT_EQ(ring.read(out, 5), 5u);
  // Nine more fit only as eight less the one still unread; they wrap.
  const float second[9] = {7, 8, 9, 10, 11, 12, 13, 14, 15};
  EXPECT_EQ(ring.write(second, 9), 7u) << "a full ring takes no more";
  EXPECT_EQ(ring.writable(), 0u);
  EXPECT_EQ(ring.readable(), 8u);
  ASSERT_EQ(ring.read(out, 16), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], float(6 + i)) << "at " << i;
  // Zeros when written from nothing, also across the end.
  ASSERT_EQ(ring.write(nullptr, 5), 5u);
  ASSERT_EQ(ring.read(out, 5), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], 0.0f);
}

TEST(SampleRing, APositionsPairWithoutRoomOrDataMovesNothing) {
  RingPositions positions;  // no capacity yet: a device not configured
  uint64_t index = 7;
  EXPECT_EQ(positions.writeIndex(index), 0u);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(positions.readIndex(index), 0u);
  SampleRing ring;  // never allocated
  float sample = 1;
  EXPECT_EQ(ring.write(&sample, 1), 0u);
  EXPECT_EQ(ring.read(&sample, 1), 0u);
  EXPECT_EQ(sample, 1.0f);
}

// A producer and a consumer on two threads for two million samples through a
// ring of 61 places (a size that is no power of two, so every place is met
// at every phase): every sample arrives once, in order, and neither side
// ever sees more room or more data than there is.
TEST(SampleRing, TwoThreadsPassEverySampleOnceAndInOrder) {
  constexpr uint64_t kSamples = 2'000'000, kCapacity = 61;
  std::vector<float> region(kCapacity);
  RingPositions positions(kCapacity);
  std::atomic<bool> overfilled{false};
  std::thread producer([&] {
    uint64_t next = 0;
    float block[17];
    while (next < kSamples) {
      uint64_t index;
      const uint64_t room = positions.writeIndex(index);
      if (room > kCapacity) overfilled.store(true);
      const size_t n = size_t(std::min<uint64_t>({room, 1 + next % 17, kSamples - next}));
      for (size_t i = 0; i < n; ++i) block[i] = float((next + i) % 1'000'003);
      platform::audio::rt::copyIntoRing(region.data(), kCapacity, index, block, n);
      positions.writeUpdate(index + n);
      next += n;
    }
  });
  std::string fault;
  uint64_t expected = 0, emptyReads = 0;
  float block[23];
  while (expected < kSamples && fault.empty()) {
    uint64_t index;
    const uint64_t filled = positions.readIndex(index);
    if (filled > kCapacity) fault = "more to read than the ring holds";
    if (filled == 0) ++emptyReads;
    const size_t n = size_t(std::min<uint64_t>(filled, 1 + expected % 23));
    platform::audio::rt::copyOutOfRing(region.data(), kCapacity, index, block, n);
    for (size_t i = 0; i < n && fault.empty(); ++i)
      if (block[i] != float((expected + i) % 1'000'003)) fault = "sample " + std::to_string(expected + i) + " wrong";
    positions.readUpdate(index + n);
    expected += n;
  }
  if (!fault.empty()) {  // let the producer finish into a drained ring
    while (positions.consumed() < kSamples) positions.readUpdate(positions.written());
  }
  producer.join();
  EXPECT_EQ(fault, "");
  EXPECT_FALSE(overfilled.load()) << "the producer saw more room than the ring has";
  EXPECT_EQ(positions.filled(), 0u);
  RecordProperty("empty_reads", std::to_string(emptyReads));
}

TEST(SampleRing, DroppingTheUnreadLeavesBothSidesAtTheProducersPosition) {
  RingPositions positions(16);
  uint64_t index;
  positions.writeIndex(index);
  positions.writeUpdate(index + 10);
  EXPECT_EQ(positions.readIndex(index), 10u);
  EXPECT_EQ(positions.discardUnread(), 10u);
  EXPECT_EQ(positions.readIndex(index), 0u);
  EXPECT_EQ(index, 10u);
  EXPECT_EQ(positions.writeIndex(index), 16u) << "the whole ring is room again";
}

}  // namespace
