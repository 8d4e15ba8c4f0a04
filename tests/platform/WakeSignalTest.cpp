// The wake-up the real-time threads post to the threads that wait on them.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/audio/rt/WakeSignal.h"

namespace {

using platform::audio::rt::WakeSignal;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(WakeSignal, NotifiesBeforeAWaitAreOneWakeUpAndResetForgetsIt) {
  WakeSignal wake;
  EXPECT_FALSE(wake.waitFor(1ms));
  wake.notify();
  wake.notify();
  wake.notify();
  EXPECT_TRUE(wake.waitFor(0ms));
  EXPECT_FALSE(wake.waitFor(1ms)) << "three notifies before a wait are one wake-up";
  wake.notify();
  wake.reset();
  EXPECT_FALSE(wake.waitFor(1ms));
  wake.notify();
  wake.wait();  // returns at once
  const auto begin = Clock::now();
  EXPECT_FALSE(wake.waitFor(20ms));
  EXPECT_GE(Clock::now() - begin, 20ms);
}

// What the waiter reads after a wake-up includes everything the notifier
// wrote before its notify.
TEST(WakeSignal, AWakeUpPublishesWhatWasWrittenBeforeTheNotify) {
  WakeSignal wake;
  std::atomic<uint64_t> acknowledged{0};
  uint64_t data = 0;  // written by the notifier, read by the waiter, no lock
  constexpr uint64_t kRounds = 20000;
  std::thread waiter([&] {
    for (uint64_t seen = 0; seen < kRounds;) {
      wake.wait();
      if (data == seen + 1) acknowledged.store(++seen, std::memory_order_release);
    }
  });
  for (uint64_t i = 1; i <= kRounds; ++i) {
    data = i;
    wake.notify();
    while (acknowledged.load(std::memory_order_acquire) != i) std::this_thread::yield();
  }
  waiter.join();
  EXPECT_EQ(acknowledged.load(), kRounds);
}

// Busy notifiers on every core (a sound server's callback, a card, a stop)
// while the waiter waits with a timeout, as the I/O threads do: a wait never
// sleeps much past its timeout. A semaphore whose timed wait misses such
// wake-ups kept the I/O threads asleep for seconds, and the device's
// samples were lost meanwhile.
TEST(WakeSignal, BusyNotifiersNeverKeepATimedWaiterAsleep) {
  WakeSignal wake;
  std::atomic<bool> done{false};
  std::vector<std::thread> notifiers;
  for (int i = 0; i < 4; ++i)
    notifiers.emplace_back([&] {
      while (!done.load(std::memory_order_relaxed)) {
        wake.notify();
        std::this_thread::yield();
      }
    });
  // A plain 20 ms sleep beside it measures what the machine's load alone
  // keeps a thread from running: the wait may oversleep by that, not more.
  std::atomic<Clock::rep> longestSleep{0};
  std::thread sleeper([&] {
    for (auto last = Clock::now(); !done.load(std::memory_order_relaxed);) {
      std::this_thread::sleep_for(20ms);
      const auto now = Clock::now();
      longestSleep = std::max(longestSleep.load(), (now - last).count());
      last = now;
    }
  });
  Clock::duration longest{};
  int wakeUps = 0;
  const auto begin = Clock::now();
  for (auto last = begin; Clock::now() - begin < 3s;) {
    if (wake.waitFor(20ms)) ++wakeUps;
    const auto now = Clock::now();
    longest = std::max(longest, now - last);
    last = now;
  }
  done = true;
  for (auto& t : notifiers) t.join();
  sleeper.join();
  EXPECT_GT(wakeUps, 0);
  const Clock::duration load(longestSleep.load());
  EXPECT_LT(longest, 1s + load) << "a wait of 20 ms slept " << std::chrono::duration<double>(longest).count()
                                << " s, a plain sleep beside it at most "
                                << std::chrono::duration<double>(load).count() << " s";
}

}  // namespace
