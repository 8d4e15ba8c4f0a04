// The input card on simulated input devices. The provider is stepped by the
// test, so the test thread is the device's I/O thread while it advances; the
// consumer is the card's own thread, so every check of what was delivered
// first waits (boundedly) until the consumer has caught up.

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AudioTestSupport.h"
#include "audio/AFInputSoundcard.h"
#include "audio/AFManager.h"
#include "support/AllocationCounter.h"
#include "support/ThreadCount.h"

namespace {

using namespace audiotest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kSineHz = 1000.0;
constexpr double kSineAmplitude = 0.5;
const double kSineRms = kSineAmplitude / std::sqrt(2.0);

// Polls until `done` holds or `limit` has passed; true when it held.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// The cards' consumer threads once those that ended have left /proc (a
// joined thread may linger there for a moment).
int consumers(int expected) {
  return testsupport::settledCount([] { return testsupport::threadsNamed(AFInputSoundcard::kConsumerThreadName); },
                                   expected);
}

// Runs work on another thread and gives it `limit` to finish. A call that
// never returns cannot be recovered from: the program ends with a message.
void finishesWithin(std::chrono::milliseconds limit, const char* what, const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  if (!eventually([&] { return done.load(); }, limit)) {
    std::fprintf(stderr, "FAILED: %s did not finish within %lld ms\n", what, static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }
  worker.join();
}

// Takes the input blocks: counts them, keeps the shape of the latest and,
// when asked, channel 0's samples. It can hold the consumer inside a call.
class InputRecorder : public AFSoundcardDelegate {
 public:
  explicit InputRecorder(uint32_t methods = kInputReceived) : methods_(methods) {}
  uint32_t implementedMethods() const override { return methods_; }

  void inputReceivedFromSoundcard(AFSoundcard*, float** buffers, int32_t numberOfBuffers, int32_t samples) override {
    std::unique_lock guard(lock_);
    ++blocks_;
    lastBuffers_ = numberOfBuffers;
    lastSamples_ = samples;
    if (keepSamples_) samples_.insert(samples_.end(), buffers[0], buffers[0] + samples);
    if (holdAtBlock_ == blocks_) {
      const std::vector<float> before(buffers[0], buffers[0] + samples);
      held_ = true;
      changed_.notify_all();
      changed_.wait(guard, [this] { return !holding_; });
      held_ = false;
      heldBlockKept_ = std::equal(before.begin(), before.end(), buffers[0]);
    }
  }

  int blocks() {
    std::lock_guard guard(lock_);
    return blocks_;
  }
  int lastBuffers() {
    std::lock_guard guard(lock_);
    return lastBuffers_;
  }
  int lastSamples() {
    std::lock_guard guard(lock_);
    return lastSamples_;
  }
  std::vector<float> samples() {
    std::lock_guard guard(lock_);
    return samples_;
  }
  void keepSamples() {
    std::lock_guard guard(lock_);
    keepSamples_ = true;
    samples_.reserve(1 << 17);
  }
  // The consumer stays inside delivery number `block` until release().
  void holdAt(int block) {
    std::lock_guard guard(lock_);
    holdAtBlock_ = block;
    holding_ = true;
  }
  // Whether the held block's samples were the same when it was let go.
  bool heldBlockKept() {
    std::lock_guard guard(lock_);
    return heldBlockKept_;
  }
  bool waitUntilHeld() {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, 5s, [this] { return held_; });
  }
  void release() {
    {
      std::lock_guard guard(lock_);
      holding_ = false;
    }
    changed_.notify_all();
  }

 private:
  const uint32_t methods_;
  std::mutex lock_;
  std::condition_variable changed_;
  int blocks_ = 0;
  int lastBuffers_ = 0;
  int lastSamples_ = 0;
  bool keepSamples_ = false;
  std::vector<float> samples_;
  int holdAtBlock_ = -1;
  bool holding_ = false;
  bool held_ = false;
  bool heldBlockKept_ = false;
};

// A stereo input carrying a 1 kHz sine of amplitude 0.5 on both channels.
sim::DeviceDescription sineInput(const std::string& name, double rate, double maxFrames = 4096) {
  sim::DeviceDescription d =
      inputDevice(name, "sim:test:" + name + ":Bus1:0", {ranged(2, 24, 44100, 48000)}, rate);
  d.input->signal = {sim::Signal::Sine, kSineHz, 3500.0, kSineAmplitude};
  d.bufferFrameSizeRange = {32, maxFrames};
  return d;
}

class InputCardTest : public AudioTest {
 protected:
  void SetUp() override {
    mic = provider->addDevice(sineInput("Mic", 48000));
    ASSERT_NE(mic, 0u);
    settle();
  }
  void TearDown() override {
    card.reset();
    mainThread.drain();
  }

  // A card from the manager, on the current default input device.
  void makeCard(uint32_t methods = AFSoundcardDelegate::kInputReceived) {
    settle();
    manager = std::make_unique<AFManager>();
    card = manager->newInputSoundcard();
    ASSERT_TRUE(card);
    recorder = std::make_unique<InputRecorder>(methods);
    card->setDelegate(recorder.get());
  }
  void useDevice(pa::AudioObjectID device) {
    ASSERT_TRUE(provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, device));
    mic = device;
    settle();
  }

  // Runs the device's cycles on this thread (the I/O thread) until `frames`
  // more frames have been cycled.
  void cycle(uint64_t frames) {
    const uint64_t target = provider->framesCycled(mic, pa::kAudioObjectPropertyScopeInput) + frames;
    for (int step = 0; step < 1000 && provider->framesCycled(mic, pa::kAudioObjectPropertyScopeInput) < target;
         ++step)
      provider->advance(0.0005);
    ASSERT_EQ(provider->framesCycled(mic, pa::kAudioObjectPropertyScopeInput), target);
  }
  // Waits until the consumer has taken every complete block: the delegate
  // is called before the consumer position moves past its block.
  void waitConsumed() {
    ASSERT_TRUE(eventually([this] { return card->memory().available() < card->bufferLength(); }));
  }
  int linesStartingWith(LogCapture& log, const std::string& text) {
    auto lines = log.lines();
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(text, 0) == 0; }));
  }

  pa::AudioObjectID mic = 0;
  std::unique_ptr<AFManager> manager;
  std::unique_ptr<InputRecorder> recorder;
  AFSoundcardPtr<AFInputSoundcard> card;
};

TEST_F(InputCardTest, EachDeviceCycleOfTheBlockLengthDeliversOneBlockPerChannel) {
  makeCard();
  ASSERT_EQ(card->channelMask(), 0);  // every channel of the stereo device
  ASSERT_EQ(card->bufferLength(), 512);
  ASSERT_TRUE(card->start());
  for (int k = 1; k <= 10; ++k) {
    cycle(512);
    waitConsumed();
    // The first block after the start is not delivered.
    ASSERT_EQ(recorder->blocks(), k - 1) << "after device cycle " << k;
  }
  EXPECT_EQ(recorder->lastBuffers(), 2);
  EXPECT_EQ(recorder->lastSamples(), 512);
  EXPECT_EQ(card->overruns(), 0u);
}

TEST_F(InputCardTest, TheFirstBlockAfterAStartIsDropped) {
  makeCard();
  ASSERT_TRUE(card->start());
  cycle(512);
  waitConsumed();
  EXPECT_EQ(recorder->blocks(), 0);
  EXPECT_EQ(card->memory().consumer(), 512);  // taken, not handed on
  cycle(512);
  waitConsumed();
  EXPECT_EQ(recorder->blocks(), 1);

  card->stop();
  ASSERT_TRUE(card->start());
  cycle(512);
  waitConsumed();
  EXPECT_EQ(recorder->blocks(), 1);
  cycle(512);
  waitConsumed();
  EXPECT_EQ(recorder->blocks(), 2);
}

TEST_F(InputCardTest, DeviceBlocksOfAQuarterBlockDeliverOnEveryFourthCycle) {
  makeCard();
  card->setBufferLength(1024);
  ASSERT_TRUE(card->start());
  // The device changes its block size by itself while the card runs.
  ASSERT_EQ(provider->setBufferFrameSize(mic, 256), pa::noErr);
  settle();
  for (int k = 1; k <= 16; ++k) {
    cycle(256);
    waitConsumed();
    ASSERT_EQ(recorder->blocks(), std::max(0, k / 4 - 1)) << "after device cycle " << k;
  }
  EXPECT_EQ(recorder->lastSamples(), 1024);
}

TEST_F(InputCardTest, BufferLengthStaysInTheDeviceRangeAndTheRing) {
  makeCard();
  card->setBufferLength(100000);
  EXPECT_EQ(card->bufferLength(), 4096);  // the device's maximum
  card->setBufferLength(8);
  EXPECT_EQ(card->bufferLength(), 32);  // its minimum

  // A device that reports no range keeps the request.
  sim::DeviceDescription unranged = sineInput("Unranged", 48000);
  unranged.bufferFrameSizeRange = {0, 0};
  useDevice(provider->addDevice(unranged));
  makeCard();
  ASSERT_EQ(card->bufferLengthRange().maximum, 0.0);
  card->setBufferLength(1000);
  EXPECT_EQ(card->bufferLength(), 1000);

  // A device that allows 8192 frames still gets blocks the ring can hold.
  useDevice(provider->addDevice(sineInput("Wide", 48000, 8192)));
  makeCard();
  ASSERT_EQ(card->bufferLengthRange().maximum, 8192.0);
  card->setBufferLength(8192);
  EXPECT_EQ(card->bufferLength(), AFMemory::kOverhang);
  ASSERT_TRUE(card->start());
  for (int k = 0; k < 3; ++k) {
    cycle(4096);
    waitConsumed();
  }
  EXPECT_EQ(recorder->blocks(), 2);
  EXPECT_EQ(recorder->lastSamples(), 4096);
  EXPECT_EQ(card->overruns(), 0u);
}

TEST_F(InputCardTest, ADelegateWithoutTheInputMethodNeverStarts) {
  makeCard(~0u & ~AFSoundcardDelegate::kInputReceived);
  EXPECT_FALSE(card->start());
  EXPECT_FALSE(card->isRunning());
  EXPECT_FALSE(provider->isRunning(mic));
  EXPECT_EQ(consumers(0), 0);
}

TEST_F(InputCardTest, RateScalarIsTheDevicesWhileRunningAndOneOtherwise) {
  ASSERT_EQ(provider->setRateScalar(mic, 1.0005), pa::noErr);
  makeCard();
  EXPECT_EQ(card->rateScalar(), 1.0);
  ASSERT_TRUE(card->start());
  cycle(512);
  EXPECT_DOUBLE_EQ(card->rateScalar(), 1.0005);
  card->stop();
  EXPECT_EQ(card->rateScalar(), 1.0);
}

TEST_F(InputCardTest, ARestartNeverLeavesAnEarlierConsumerRunning) {
  makeCard();
  ASSERT_EQ(consumers(0), 0);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(card->start());
    ASSERT_TRUE(card->start());  // running already: no second consumer
    ASSERT_EQ(consumers(1), 1) << "round " << i;
    card->stop();  // the consumer was waiting for samples
    ASSERT_TRUE(card->memory().eof());
    ASSERT_FALSE(card->isRunning());
  }
  EXPECT_EQ(consumers(0), 0);
}

TEST_F(InputCardTest, TheIoThreadNeverWaitsForAStalledConsumer) {
  makeCard();
  recorder->holdAt(1);
  ASSERT_TRUE(card->start());
  cycle(512);
  cycle(512);
  ASSERT_TRUE(recorder->waitUntilHeld());

  // The consumer sits inside the delegate; the device goes on for 24 more
  // cycles, three times what the ring holds.
  std::atomic<bool> done{false};
  std::thread io([&] {
    cycle(24 * 512);
    done = true;
  });
  const bool finished = eventually([&] { return done.load(); }, 5000ms);
  recorder->release();
  io.join();
  EXPECT_TRUE(finished) << "the device cycles waited for the consumer";

  // What the stalled consumer could not take is counted, not hidden, and the
  // block it was reading all along was never written over.
  waitConsumed();
  EXPECT_TRUE(recorder->heldBlockKept());
  // Producer at 2 blocks, consumer held at block 1: of the 24 device blocks
  // the ring had room for 15, the last nine were lost.
  EXPECT_EQ(card->overruns(), 9u);
  EXPECT_EQ(card->overrunSamples(), uint64_t(26 * 512 - 512 - AFMemory::kRingSpan));
}

TEST_F(InputCardTest, ResamplingTo48kHzKeepsTheLevelAndTheFrequency) {
  sim::DeviceDescription slow = sineInput("Slow", 44100);
  useDevice(provider->addDevice(slow));
  makeCard();
  recorder->keepSamples();
  card->setResamplingRate(48000);
  ASSERT_TRUE(card->start());
  for (int k = 0; k < 120; ++k) {
    cycle(512);
    ASSERT_TRUE(eventually([&] { return card->memory().available() < 1024; }));
  }
  card->stop();
  EXPECT_EQ(card->overruns(), 0u);
  EXPECT_EQ(recorder->lastSamples(), 512);

  // A window of whole periods at 48 kHz (48 samples each), past the
  // converter's settling.
  const std::vector<float> out = recorder->samples();
  const size_t first = 4800, length = 48 * 1000;
  ASSERT_GE(out.size(), first + length);
  double energy = 0;
  for (size_t i = first; i < first + length; ++i) energy += double(out[i]) * out[i];
  const double levelDb = 20 * std::log10(std::sqrt(energy / double(length)) / kSineRms);
  EXPECT_NEAR(levelDb, 0.0, 0.1) << "resampled level against the source RMS, dB";

  // Rising zero crossings, interpolated: unconverted 44.1 kHz samples read as
  // 48 kHz would show 1088 Hz.
  double firstCrossing = -1, lastCrossing = -1;
  int crossings = 0;
  for (size_t i = first + 1; i < first + length; ++i) {
    if (out[i - 1] < 0 && out[i] >= 0) {
      const double t = double(i - 1) + double(out[i - 1]) / double(out[i - 1] - out[i]);
      if (firstCrossing < 0) firstCrossing = t;
      lastCrossing = t;
      ++crossings;
    }
  }
  ASSERT_GT(crossings, 100);
  const double frequency = double(crossings - 1) * 48000.0 / (lastCrossing - firstCrossing);
  EXPECT_NEAR(frequency, kSineHz, 0.5);
}

TEST_F(InputCardTest, ARefusedConverterIsRetriedCalmlyAndEndsWithTheStream) {
  LogCapture log;
  makeCard();
  card->setResamplingRate(2e7f);  // beyond any converter's reach
  ASSERT_TRUE(card->start());
  const std::string refused = "AFInputSoundcard: setupRateConverter error.\n";
  ASSERT_TRUE(eventually([&] { return linesStartingWith(log, refused) >= 1; }));
  // The device goes on delivering blocks, each of which wakes the consumer.
  const auto until = Clock::now() + 300ms;
  while (Clock::now() < until) {
    cycle(512);
    std::this_thread::sleep_for(5ms);
  }
  // Paced by a pause between attempts (about four in this time); a consumer
  // retrying at every wake-up logs dozens, one without a pause thousands.
  EXPECT_LE(linesStartingWith(log, refused), 10);

  finishesWithin(2000ms, "stop with a refused converter", [&] { card->stop(); });
  EXPECT_EQ(consumers(0), 0);
  EXPECT_EQ(recorder->blocks(), 0);
}

// Makes the running card's unit refuse to render into the card's ring: its
// client side now claims more channels than the ring has buffers.
void breakRendering(AFInputSoundcard& card) {
  pa::AudioStreamBasicDescription format{};
  ASSERT_EQ(card.audioUnit()->getStreamFormat(pa::kAudioUnitScope_Output, 1, format), pa::noErr);
  format.mChannelsPerFrame = 4;
  ASSERT_EQ(card.audioUnit()->setStreamFormat(pa::kAudioUnitScope_Output, 1, format), pa::noErr);
}

std::string renderFailure() {
  char text[96];
  std::snprintf(text, sizeof text, "processInput: AudioUnitRender failed %d\n", pa::kAudioUnitErr_FormatNotSupported);
  return text;
}

TEST_F(InputCardTest, AFailedRenderIsLoggedAndRestartedOnTheMainThread) {
  LogCapture log;
  makeCard();
  ASSERT_TRUE(card->start());
  cycle(512);
  cycle(512);
  waitConsumed();
  ASSERT_EQ(recorder->blocks(), 1);

  breakRendering(*card);
  cycle(512);  // the render fails on this, the I/O, thread
  ASSERT_TRUE(eventually([&] { return card->restartPending(); }));
  // Nothing was logged or restarted from within the device cycle.
  EXPECT_EQ(linesStartingWith(log, "processInput"), 0);

  EXPECT_EQ(mainThread.drain(), 1u);
  auto lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), renderFailure()), 1);
  EXPECT_FALSE(card->restartPending());
  EXPECT_TRUE(card->isRunning());

  // A fresh unit: blocks flow again, the first after the restart dropped.
  cycle(512);
  cycle(512);
  waitConsumed();
  EXPECT_EQ(recorder->blocks(), 2);
}

TEST_F(InputCardTest, ARestartQueuedForADestroyedCardOnlyLogs) {
  LogCapture log;
  makeCard();
  ASSERT_TRUE(card->start());
  cycle(512);
  breakRendering(*card);
  cycle(512);
  ASSERT_TRUE(eventually([&] { return card->restartPending(); }));

  card.reset();
  EXPECT_EQ(mainThread.drain(), 1u);  // the queued restart runs after the card has gone
  auto lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), renderFailure()), 1);
}

// The I/O thread of a real-time provider counts its own allocations.
TEST_F(InputCardTest, TheIoThreadAllocatesNothing) {
  sim::Options realTime;
  realTime.ioThreadStarted = [] { testsupport::countAllocationsOnThisThread(true); };
  auto live = std::make_shared<sim::SimulatedProvider>(realTime);
  pa::installProvider(live);
  makeCard();
  ASSERT_TRUE(card->start());
  ASSERT_TRUE(eventually([&] { return recorder->blocks() >= 5; }));
  testsupport::resetAllocationCount();
  const int blocksBefore = recorder->blocks();
  ASSERT_TRUE(eventually([&] { return recorder->blocks() >= blocksBefore + 20; }));
  const long allocations = testsupport::allocationCount();
  card->stop();
  EXPECT_EQ(allocations, 0);
  card.reset();
  pa::installProvider(provider);
}

}  // namespace
