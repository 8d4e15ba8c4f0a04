// The clock of the devices without hardware: when their cycles fall due, how
// a stalled process catches up, and the thread that runs them.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/audio/rt/DeviceClock.h"

namespace {

using platform::audio::rt::DeviceClock;
using platform::audio::rt::DeviceSchedule;

constexpr uint64_t kSecond = 1'000'000'000;

TEST(DeviceSchedule, CyclesFallDueAtWholeBuffersFromTheAnchor) {
  DeviceSchedule schedule;
  schedule.restart(5 * kSecond);
  EXPECT_EQ(schedule.nextDue(480, 48000), 5 * kSecond + 10'000'000) << "the first buffer is due 10 ms after the start";
  schedule.framesDone += 480;
  EXPECT_EQ(schedule.nextDue(480, 48000), 5 * kSecond + 20'000'000);
  EXPECT_DOUBLE_EQ(schedule.framesAt(5 * kSecond + 500'000'000, 48000), 24000.0);
  // A rate change re-anchors where the device stands; cycles go on from there.
  schedule.anchorFrames = double(schedule.framesDone);
  schedule.anchorHost = 6 * kSecond;
  EXPECT_EQ(schedule.nextDue(441, 44100), 6 * kSecond + 10'000'000);
}

TEST(DeviceSchedule, AProcessThatStalledSkipsAheadInsteadOfRunningABurstOfLateCycles) {
  DeviceSchedule schedule;
  schedule.restart(0);
  // Due at 10 ms; twenty buffers late (210 ms) is still caught up cycle by cycle...
  EXPECT_FALSE(schedule.skipIfFarBehind(210'000'000, 480, 48000));
  EXPECT_EQ(schedule.anchorHost, 0u);
  // ...more than that goes on from now, without the missed cycles.
  schedule.framesDone = 960;
  EXPECT_TRUE(schedule.skipIfFarBehind(kSecond, 480, 48000));
  EXPECT_EQ(schedule.anchorHost, kSecond);
  EXPECT_DOUBLE_EQ(schedule.anchorFrames, 960.0);
  EXPECT_EQ(schedule.nextDue(480, 48000), kSecond + 10'000'000);
  EXPECT_EQ(schedule.framesDone, 960u) << "the frames cycled stay counted";
}

uint64_t steadyNow() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

// Waits (without a time limit of its own: ctest's ends a hang) until `done`.
template <typename Done>
void waitUntil(Done done) {
  while (!done()) std::this_thread::yield();
}

TEST(DeviceClock, WithNothingDueItSleepsUntilKickedAndStopsWithoutAnotherCycle) {
  std::atomic<int> calls{0};
  std::atomic<bool> started{false};
  DeviceClock clock;
  clock.start(
      [&](uint64_t) {
        calls.fetch_add(1);
        return UINT64_MAX;  // nothing runs
      },
      steadyNow, [&] { started.store(true); });
  waitUntil([&] { return calls.load() == 1; });
  EXPECT_TRUE(started.load()) << "the start hook runs on the clock thread before the first pass";
  clock.kick();
  waitUntil([&] { return calls.load() == 2; });
  clock.stop();
  EXPECT_EQ(calls.load(), 2) << "an idle clock made a pass nobody asked for";
  EXPECT_FALSE(clock.running());
}

TEST(DeviceClock, ADueTimeAlreadyPastRunsAgainAtOnceAndAKickDuringAPassIsKept) {
  std::atomic<int> calls{0};
  DeviceClock clock;
  clock.start(
      [&](uint64_t now) -> uint64_t {
        const int n = calls.fetch_add(1) + 1;
        if (n == 1) return now - 1;  // already due: no sleep
        if (n == 2) clock.kick();    // a client came while this pass ran
        return UINT64_MAX;
      },
      steadyNow);
  waitUntil([&] { return calls.load() == 3; });
  clock.stop();
  EXPECT_EQ(calls.load(), 3);
}

}  // namespace
