// The published device time that the output card's render reads on every
// cycle: consistent under a busy writer, and never a reader that waits.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/audio/rt/TimeAnchor.h"

namespace platform::audio::rt {

// Stops a publish halfway, the way a reader on another core can meet it.
class TimeAnchorProbe {
 public:
  // The first half of publish(): the count is odd and copy 0 holds the new value.
  static void beginPublish(TimeAnchor& anchor, const AnchorValue& value) {
    anchor.sequence_.store(anchor.sequence_.load() + 1);
    TimeAnchor::store(anchor.copies_[0], value);
  }
  static void finishPublish(TimeAnchor& anchor, const AnchorValue& value) {
    anchor.sequence_.store(anchor.sequence_.load() + 1);
    TimeAnchor::store(anchor.copies_[1], value);
  }
  // A writer that changes the steady copy under the reader: the count moves
  // at every read, as when the writer publishes again and again while a
  // reader is preempted.
  static void bumpCount(const TimeAnchor& anchor) {
    auto& sequence = const_cast<std::atomic<uint32_t>&>(anchor.sequence_);
    sequence.store(sequence.load() + 2);
  }
};

namespace {

AnchorValue valueAt(uint64_t host) { return {true, host, double(host) * 2, double(host) + 1, 1.0 + double(host % 7)}; }

TEST(TimeAnchor, AReaderThatMeetsAWriterMidUpdateReadsThePreviousValueAtOnce) {
  TimeAnchor anchor;
  anchor.publish(valueAt(10));
  TimeAnchorProbe::beginPublish(anchor, valueAt(20));
  AnchorValue seen;
  int attempts = 0;
  ASSERT_TRUE(anchor.read(seen, &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(seen.host, 10u) << "the copy being written is never read";
  EXPECT_DOUBLE_EQ(seen.frames, 20.0);
  TimeAnchorProbe::finishPublish(anchor, valueAt(20));
  ASSERT_TRUE(anchor.read(seen));
  EXPECT_EQ(seen.host, 20u);
  EXPECT_DOUBLE_EQ(seen.rate, 21.0);
}

// A writer that never stops moving the count (a reader preempted again and
// again meets the same): every read still returns after at most its
// attempts, either with the value or with nothing changed. A reader that
// spun until the writer paused would hang here.
TEST(TimeAnchor, AReadAWriterKeepsDisturbingReturnsWithinItsAttempts) {
  TimeAnchor anchor;
  anchor.publish(valueAt(5));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop.load()) TimeAnchorProbe::bumpCount(anchor);
  });
  uint64_t gaveUp = 0;
  std::string fault;
  for (int i = 0; i < 200000 && fault.empty(); ++i) {
    AnchorValue value = valueAt(99);
    int attempts = 0;
    if (anchor.read(value, &attempts)) {
      if (value.host != 5u || attempts > TimeAnchor::kReadAttempts) fault = "a read past its attempts or torn";
    } else {
      ++gaveUp;
      if (attempts != TimeAnchor::kReadAttempts) fault = "gave up before its attempts";
      if (value.host != 99u) fault = "a read that gave up changed the caller's value";
    }
  }
  stop.store(true);
  writer.join();
  EXPECT_EQ(fault, "");
  RecordProperty("gave_up", std::to_string(gaveUp));
}

TEST(TimeAnchor, EveryReadUnderABusyWriterIsOneWholePublishedValue) {
  TimeAnchor anchor;
  anchor.publish(valueAt(1));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (uint64_t host = 2; !stop.load(); ++host) anchor.publish(valueAt(host));
  });
  uint64_t reads = 0, last = 0;
  std::string fault;
  for (int i = 0; i < 1000000 && fault.empty(); ++i) {
    AnchorValue v;
    if (!anchor.read(v)) continue;
    ++reads;
    const AnchorValue expected = valueAt(v.host);
    if (v.frames != expected.frames || v.rate != expected.rate || v.scalar != expected.scalar)
      fault = "a torn read at " + std::to_string(v.host);
    else if (v.host < last)
      fault = "time went back to " + std::to_string(v.host);
    last = v.host;
  }
  stop.store(true);
  writer.join();
  EXPECT_EQ(fault, "");
  EXPECT_GT(reads, 0u);
}

TEST(TimeAnchor, TheCurrentTimeExtrapolatesFromTheAnchorAndSaysWhenTheIoIsStopped) {
  TimeAnchor anchor;
  AudioTimeStamp time{};
  time.mSampleTime = -1;
  EXPECT_EQ(anchor.currentTime([] { return uint64_t(0); }, time), kAudioHardwareNotRunningError);
  EXPECT_EQ(time.mSampleTime, -1) << "nothing is written while stopped";
  EXPECT_FALSE(anchor.running());

  anchor.publish({true, 1'000'000'000, 4800, 48000 * 1.001, 1.001});
  EXPECT_TRUE(anchor.running());
  ASSERT_EQ(anchor.currentTime([] { return uint64_t(1'500'000'000); }, time), noErr);
  EXPECT_EQ(time.mHostTime, 1'500'000'000u);
  EXPECT_NEAR(time.mSampleTime, 4800 + 24000 * 1.001, 1e-6);
  EXPECT_DOUBLE_EQ(time.mRateScalar, 1.001);
  EXPECT_EQ(time.mFlags, kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid |
                             kAudioTimeStampRateScalarValid);
  // A host time a little before the anchor (read on another core) goes back
  // from it, not to a huge unsigned distance.
  ASSERT_EQ(anchor.currentTime([] { return uint64_t(999'000'000); }, time), noErr);
  EXPECT_NEAR(time.mSampleTime, 4800 - 48 * 1.001, 1e-6);
}

}  // namespace
}  // namespace platform::audio::rt
