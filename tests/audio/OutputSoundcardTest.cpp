// The output card on simulated output devices. The provider is stepped by the
// test, so nothing renders unless the test advances it (the test thread is
// then the I/O thread) or hands the card a pull of its own through
// renderOutput, which lets a test choose the exact length of every pull.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AudioTestSupport.h"
#include "audio/AFManager.h"
#include "audio/AFOutputSoundcard.h"
#include "support/AllocationCounter.h"
#include "support/ThreadCount.h"

namespace {

using namespace audiotest;
using namespace std::chrono_literals;

// What a pull buffer holds before the card writes it: anything the card
// leaves unwritten still reads as this.
constexpr float kUnwritten = -7.0f;

sim::DeviceDescription outputDevice(const std::string& name, uint32_t channels) {
  sim::DeviceDescription d;
  d.name = name;
  d.uid = "sim:test:" + name + ":Bus1:0";
  sim::StreamDescription out;
  out.channels = channels;
  out.formats = {ranged(channels, 24, 44100, 48000)};
  out.physicalFormat = out.formats[0].mFormat;
  out.physicalFormat.mSampleRate = 48000;
  d.output = out;
  return d;
}

// The sample source: channel c of the n-th sample it hands out carries
// n + 100000 c, so what reaches the device shows which sample it was. It
// records each call's shape without allocating (it runs on the I/O thread).
class BlockSource : public AFSoundcardDelegate {
 public:
  struct Call {
    int32_t buffers;
    int32_t samples;
    const float* first;
  };
  explicit BlockSource(uint32_t methods = kOutputNeeded) : methods_(methods) {}
  uint32_t implementedMethods() const override { return methods_; }
  bool outputNeededBySoundcard(AFSoundcard*, float** buffers, int32_t numberOfBuffers, int32_t samples) override {
    const size_t n = count.fetch_add(1);
    if (n < calls.size()) calls[n] = {numberOfBuffers, samples, buffers[0]};
    if (!answer) return false;
    for (int32_t c = 0; c < numberOfBuffers; ++c)
      for (int32_t t = 0; t < samples; ++t) buffers[c][t] = float(next + t + 100000 * c);
    next += samples;
    return true;
  }
  std::array<Call, 128> calls{};
  std::atomic<size_t> count{0};
  int64_t next = 0;
  bool answer = true;

 private:
  const uint32_t methods_;
};

// One pull of `frames` frames on `channels` buffers, handed to the card
// directly as its render callback would be.
struct Pull {
  Pull(int channels, uint32_t frames) : data(channels, std::vector<float>(frames, kUnwritten)) {
    list.mNumberBuffers = uint32_t(channels);
    for (int c = 0; c < channels; ++c) list.mBuffers[c] = {1, frames * 4, data[c].data()};
  }
  void render(AFOutputSoundcard& card) {
    card.renderOutput(nullptr, nullptr, 0, uint32_t(data[0].size()), &list);
  }
  // True when channel c holds `first`, first + 1, ... throughout.
  bool counts(int c, float first) const {
    for (size_t t = 0; t < data[c].size(); ++t)
      if (data[c][t] != first + float(t)) return false;
    return true;
  }
  bool silent(int c) const {
    return std::all_of(data[c].begin(), data[c].end(), [](float v) { return v == 0.0f; });
  }
  std::vector<std::vector<float>> data;
  pa::AudioBufferList list{};
};

class OutputCardTest : public AudioTest {
 protected:
  void SetUp() override { useDevice(provider->addDevice(outputDevice("Speakers", 2))); }
  void TearDown() override {
    card.reset();
    mainThread.drain();
  }
  void useDevice(pa::AudioObjectID device) {
    ASSERT_NE(device, 0u);
    ASSERT_TRUE(provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, device));
    speakers = device;
    settle();
  }
  // A card from the manager on the default output device, with `source`
  // as its delegate, started but not yet rendered.
  void startCard(uint32_t methods = AFSoundcardDelegate::kOutputNeeded, int32_t mask = 0) {
    card.reset();
    manager = std::make_unique<AFManager>();
    card = manager->newOutputSoundcard();
    ASSERT_TRUE(card);
    source = std::make_unique<BlockSource>(methods);
    card->setDelegate(source.get());
    card->setChannelMask(mask);
    ASSERT_TRUE(card->start());
    ASSERT_TRUE(card->isRunning());
  }
  float playbackRate() {
    float rate = 0;
    EXPECT_EQ(pa::AudioUnitGetParameter(card->varispeedUnit(), pa::kVarispeedParam_PlaybackRate,
                                        pa::kAudioUnitScope_Global, 0, &rate),
              pa::noErr);
    return rate;
  }

  std::unique_ptr<AFManager> manager;
  AFSoundcardPtr<AFOutputSoundcard> card;
  std::unique_ptr<BlockSource> source;
  pa::AudioObjectID speakers = 0;
};

TEST_F(OutputCardTest, PullsAreFilledWithWholeBlocksAndTheRestOfABlockIsKeptForTheNext) {
  startCard();
  ASSERT_EQ(card->bufferLength(), 512);

  Pull a(2, 1000);
  a.render(*card);
  ASSERT_EQ(source->count, 2u);
  EXPECT_EQ(source->calls[0].first, a.data[0].data());  // the first block goes straight into the pull
  EXPECT_NE(source->calls[1].first, a.data[0].data() + 512);
  EXPECT_EQ(card->heldSamples(), 24);
  EXPECT_TRUE(a.counts(0, 0));
  EXPECT_TRUE(a.counts(1, 100000));

  Pull b(2, 1000);
  b.render(*card);
  ASSERT_EQ(source->count, 4u);
  EXPECT_EQ(source->calls[2].first, b.data[0].data() + 24);  // after the 24 kept samples
  EXPECT_EQ(card->heldSamples(), 48);
  EXPECT_TRUE(b.counts(0, 1000));

  // A pull of whole blocks leaves nothing behind, also after a restart.
  card->stop();
  ASSERT_TRUE(card->start());
  Pull c(2, 3 * 512);
  c.render(*card);
  EXPECT_EQ(source->count, 7u);
  EXPECT_EQ(card->heldSamples(), 0);
  EXPECT_TRUE(c.counts(0, 2048));
}

TEST_F(OutputCardTest, PullsOfManyBlocksAreFilledToTheEnd) {
  startCard();
  card->setBufferLength(64);
  Pull exact(2, 4096);  // 64 blocks
  exact.render(*card);
  EXPECT_EQ(source->count, 64u);
  EXPECT_EQ(card->heldSamples(), 0);
  EXPECT_TRUE(exact.counts(0, 0));

  Pull ragged(2, 4000);  // 62 blocks and 32 samples of another
  ragged.render(*card);
  EXPECT_EQ(card->heldSamples(), 32);
  EXPECT_TRUE(ragged.counts(0, 4096));
  EXPECT_TRUE(ragged.counts(1, 104096));
}

TEST_F(OutputCardTest, TheDefaultSelectionOffersTheFirstEightChannelsAndSilencesTheRest) {
  startCard();
  Pull stereo(2, 512);
  stereo.render(*card);
  EXPECT_EQ(source->calls[0].buffers, 2);

  useDevice(provider->addDevice(outputDevice("Surround", 10)));
  startCard();
  Pull ten(10, 1000);
  ten.render(*card);
  EXPECT_EQ(source->calls[0].buffers, 8);
  EXPECT_EQ(source->calls[1].buffers, 8);
  EXPECT_TRUE(ten.counts(7, 700000));
  EXPECT_TRUE(ten.silent(8));
  EXPECT_TRUE(ten.silent(9));

  // Channels 0 and 2 only: they become the source's buffers 0 and 1.
  startCard(AFSoundcardDelegate::kOutputNeeded, 0b101);
  Pull picked(10, 1000);
  picked.render(*card);
  EXPECT_EQ(source->calls[0].buffers, 2);
  EXPECT_TRUE(picked.counts(0, 0));
  EXPECT_TRUE(picked.silent(1));
  EXPECT_TRUE(picked.counts(2, 100000));
  EXPECT_TRUE(picked.silent(3));
}

TEST_F(OutputCardTest, ADelegateThatDoesNotFillGivesSilence) {
  startCard();
  source->answer = false;
  Pull refused(2, 1000);
  refused.render(*card);
  EXPECT_EQ(source->count, 2u);
  EXPECT_TRUE(refused.silent(0) && refused.silent(1));

  startCard(AFSoundcardDelegate::kInputReceived);
  Pull absent(2, 1000);
  absent.render(*card);
  EXPECT_EQ(source->count, 0u);
  EXPECT_TRUE(absent.silent(0) && absent.silent(1));
}

TEST_F(OutputCardTest, BufferLengthsAreClampedBetweenOneAndTheLongestBlock) {
  startCard();
  card->setBufferLength(100000);
  EXPECT_EQ(card->bufferLength(), AFOutputSoundcard::kMaxBufferLength);
  card->setBufferLength(0);
  EXPECT_EQ(card->bufferLength(), 1);
}

TEST_F(OutputCardTest, ThePlaybackRateFollowsTheDeviceClock) {
  startCard();
  ASSERT_EQ(provider->setRateScalar(speakers, 1.25), pa::noErr);
  provider->advance(0.05);
  EXPECT_FLOAT_EQ(playbackRate(), 0.8f);

  // A scalar of 0.1 or less is no clock reading: the rate stays.
  ASSERT_EQ(provider->setRateScalar(speakers, 0.1), pa::noErr);
  provider->advance(0.05);
  EXPECT_FLOAT_EQ(playbackRate(), 0.8f);
}

// Counting starts before the first cycle: the first pull that needs a
// partial block must find the local blocks already there.
TEST_F(OutputCardTest, RenderingAllocatesNothingFromTheFirstCycle) {
  startCard();
  long allocations = 0;
  {
    testsupport::AllocationScope scope;
    provider->advance(0.2);
    allocations = scope.allocations();
  }
  EXPECT_GT(source->count, 10u);
  EXPECT_NE(card->heldSamples(), 0);  // pulls and blocks did not line up
  EXPECT_EQ(allocations, 0);
}

// The provider's clock thread renders here, while this thread configures.
TEST_F(OutputCardTest, PlayingInRealTimeAndRestartingLeavesNoThreadBehind) {
  auto live = std::make_shared<sim::SimulatedProvider>(sim::Options{});
  pa::installProvider(live);
  startCard();
  for (int wait = 0; wait < 1000 && source->count == 0; ++wait) std::this_thread::sleep_for(1ms);
  ASSERT_GT(source->count, 0u);
  std::this_thread::sleep_for(100ms);
  card->stop();

  const int before = testsupport::threadCount();
  for (int k = 0; k < 1000; ++k) {
    ASSERT_TRUE(card->start());
    card->stop();
    ASSERT_FALSE(card->isRunning());
  }
  // Threads that ended may stay in /proc for a moment (and one that was
  // ending may have been counted before): none may be left over.
  EXPECT_LE(testsupport::settledAtMost(testsupport::threadCount, before), before);
  card.reset();
  pa::installProvider(provider);
}

}  // namespace
