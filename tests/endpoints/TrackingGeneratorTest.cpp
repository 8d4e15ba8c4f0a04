// The tracking generator: its tuning and synthesis, driven block by block as
// the output card's render thread drives it, and with a real output card on
// the stepped simulated provider its channel menu and stored settings.

#include "endpoints/TrackingGenerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "InputTestSupport.h"
#include "endpoints/Sweep.h"
#include "support/AllocationCounter.h"

namespace {

using inputtest::WatchedPopUp;
using inputtest::WatchedSlider;
using platform::PropertyDictionary;
namespace sim = audiotest::sim;
namespace pa = audiotest::pa;

constexpr double kTwoPi = TrackingGenerator::kTwoPi;

Sweep sweepOf(int32_t bins, float rate, float hertzPerSecond, int32_t startBin) {
  Sweep s;
  s.bins = bins;
  s.samplingRate = rate;
  s.hertzPerSecond = hertzPerSecond;
  s.startBin = s.currentBin = startBin;
  return s;
}

// Plays blocks the way the output card asks for them.
class Renderer {
 public:
  explicit Renderer(TrackingGenerator& generator, int channels = 1) : generator_(generator), buffers_(channels) {}
  // Renders one block of n samples; returns the selected channel's samples.
  const std::vector<float>& block(int n) {
    for (auto& b : buffers_) b.assign(static_cast<size_t>(n), 7.0f);
    pointers_.clear();
    for (auto& b : buffers_) pointers_.push_back(b.data());
    answered = generator_.outputNeededBySoundcard(nullptr, pointers_.data(), static_cast<int32_t>(buffers_.size()), n);
    return buffers_[static_cast<size_t>(std::max(generator_.selectedChannel() - 1, 0))];
  }
  const std::vector<float>& buffer(int i) const { return buffers_[static_cast<size_t>(i)]; }
  bool answered = false;

 private:
  TrackingGenerator& generator_;
  std::vector<std::vector<float>> buffers_;
  std::vector<float*> pointers_;
};

TEST(TrackingGeneratorTuning, TheToneLeadsTheMeasuredBinByTheSweepsLead) {
  // 65536 bins at 48 kHz, a lead of 1.25 bins: bin 10 plays 11.25 × 24000 / 65536 Hz.
  Sweep large = sweepOf(65536, 48000.0f, 0.0f, 10);
  large.leadBins = 1.25f;
  EXPECT_DOUBLE_EQ(TrackingGenerator::binIncrement(large, 10, 48000.0f), kTwoPi * (11.25 * 24000.0 / 65536.0) / 48000.0);
  // Without a lead the tone is on the bin.
  const Sweep small = sweepOf(512, 48000.0f, 0.0f, 100);
  EXPECT_DOUBLE_EQ(TrackingGenerator::binIncrement(small, 100, 48000.0f), kTwoPi * (100.0 * 24000.0 / 512.0) / 48000.0);
  // A card at another rate than the analysis plays the same frequency.
  EXPECT_DOUBLE_EQ(TrackingGenerator::binIncrement(small, 100, 96000.0f),
                   TrackingGenerator::binIncrement(small, 100, 48000.0f) / 2);
  // The speed: hertzPerSecond hertz per second of output.
  EXPECT_DOUBLE_EQ(TrackingGenerator::sweepAcceleration(sweepOf(65536, 48000.0f, 100.0f, 10), 48000.0f),
                   100.0 * kTwoPi / 48000.0 / 48000.0);

  // start tunes to the start bin and sweeps from there.
  TrackingGenerator generator;
  Renderer render(generator);
  Sweep sweep = sweepOf(65536, 48000.0f, 100.0f, 10);
  generator.start(&sweep);
  render.block(512);
  const double dt = TrackingGenerator::binIncrement(sweep, 10, 48000.0f);
  const double d2t = TrackingGenerator::sweepAcceleration(sweep, 48000.0f);
  EXPECT_NEAR(generator.phaseIncrement(), dt + 512 * d2t, 1e-15);
  // The first sample of a start is sin(0); the next ones follow the tuning.
  generator.start(&sweep);
  const std::vector<float>& again = render.block(4);
  EXPECT_EQ(again[0], 0.0f);
  EXPECT_FLOAT_EQ(again[1], static_cast<float>(0.25 * std::sin(dt)));
  EXPECT_FLOAT_EQ(again[2], static_cast<float>(0.25 * std::sin(2 * dt + d2t)));
}

TEST(TrackingGeneratorSynthesis, ThePhaseRunsOnAcrossBlocksAndRetunes) {
  TrackingGenerator generator;
  Renderer render(generator);
  Sweep sweep = sweepOf(65536, 48000.0f, 2000.0f, 10);
  generator.start(&sweep);
  std::vector<float> stream;
  double largest = 0;
  const int lengths[] = {512, 37, 1024, 300};
  for (int b = 0; b < 120; ++b) {
    if (b % 3 == 2) {
      // Retunes up to about 3 kHz, where a sample moves by at most a tenth
      // of full scale: a phase jump at a retune would show.
      sweep.currentBin = 100 + 200 * (b / 3);
      generator.updateFrequency(&sweep);
      largest = std::max(largest, TrackingGenerator::binIncrement(sweep, sweep.currentBin, 48000.0f));
    }
    const std::vector<float>& out = render.block(lengths[b % 4]);
    stream.insert(stream.end(), out.begin(), out.end());
    largest = std::max(largest, generator.phaseIncrement());
    ASSERT_GE(generator.phase(), 0.0);
    ASSERT_LE(generator.phase(), kTwoPi);
  }
  // A sine of amplitude 0.25 moves by at most 0.25 × dt per sample.
  ASSERT_LT(largest, 0.4);
  const double bound = 0.25 * largest * 1.0001 + 1e-6;
  for (size_t n = 1; n < stream.size(); ++n)
    ASSERT_LE(std::fabs(stream[n] - stream[n - 1]), bound) << "sample " << n;
}

TEST(TrackingGeneratorSynthesis, ARetuneWhileABlockRendersTakesEffectAtTheNextBlock) {
  TrackingGenerator generator;
  Sweep sweep = sweepOf(65536, 48000.0f, 0.0f, 100);
  generator.start(&sweep);
  const double before = TrackingGenerator::binIncrement(sweep, 100, 48000.0f);
  const double after = TrackingGenerator::binIncrement(sweep, 900, 48000.0f);

  bool landedMidBlock = false;
  for (int length = 1 << 20; !landedMidBlock && length <= 1 << 25; length *= 2) {
    sweep.currentBin = 100;
    generator.updateFrequency(&sweep);
    Renderer(generator).block(1);
    std::vector<float> samples(static_cast<size_t>(length));
    std::atomic<bool> rendering{false}, done{false};
    std::thread renderThread([&] {
      float* buffers[] = {samples.data()};
      rendering = true;
      generator.outputNeededBySoundcard(nullptr, buffers, 1, length);
      done = true;
    });
    while (!rendering) std::this_thread::yield();
    sweep.currentBin = 900;
    generator.updateFrequency(&sweep);
    landedMidBlock = !done;
    renderThread.join();
    // The block under way kept its tuning to the end.
    EXPECT_DOUBLE_EQ(generator.phaseIncrement(), before);
  }
  ASSERT_TRUE(landedMidBlock);
  Renderer(generator).block(16);
  EXPECT_DOUBLE_EQ(generator.phaseIncrement(), after);
}

TEST(TrackingGeneratorSynthesis, ASuspensionHoldsTheFrequencyUntilItEnds) {
  TrackingGenerator generator;
  Renderer render(generator);
  Sweep sweep = sweepOf(65536, 48000.0f, 500.0f, 10);
  const double d2t = TrackingGenerator::sweepAcceleration(sweep, 48000.0f);
  generator.start(&sweep);
  for (int b = 0; b < 4; ++b) render.block(512);
  const double held = generator.phaseIncrement();
  generator.setSuspend(true);
  for (int b = 0; b < 200; ++b) render.block(512);
  // The pitch reached before the suspension holds; the tone goes on.
  EXPECT_EQ(generator.phaseIncrement(), held);
  EXPECT_NE(render.block(512)[100], 0.0f);
  generator.setSuspend(false);
  render.block(512);
  EXPECT_NEAR(generator.phaseIncrement(), held + 512 * d2t, 1e-14);

  // A retune followed at once by a suspension: both reach the next block.
  sweep.currentBin = 700;
  generator.updateFrequency(&sweep);
  generator.setSuspend(true);
  for (int b = 0; b < 10; ++b) render.block(512);
  EXPECT_EQ(generator.phaseIncrement(), TrackingGenerator::binIncrement(sweep, 700, 48000.0f));
  // stop ends the suspension.
  generator.stop();
  render.block(512);
  EXPECT_GT(generator.phaseIncrement(), TrackingGenerator::binIncrement(sweep, 700, 48000.0f));
}

TEST(TrackingGeneratorSynthesis, TheSineGoesToTheSelectedChannelOnlyAndNeedsThatChannel) {
  TrackingGenerator generator;
  WatchedPopUp channels;
  channels.addItemWithTitle("L");
  channels.addItemWithTitle("R");
  generator.channelPopup = &channels;
  generator.setInterface(&channels, &TrackingGenerator::channelChanged);
  channels.pick(1);
  ASSERT_EQ(generator.selectedChannel(), 2);
  Sweep sweep = sweepOf(65536, 48000.0f, 0.0f, 360);  // about 150 Hz
  generator.start(&sweep);

  Renderer stereo(generator, 2);
  const std::vector<float>& right = stereo.block(4800);
  EXPECT_TRUE(stereo.answered);
  EXPECT_TRUE(std::all_of(stereo.buffer(0).begin(), stereo.buffer(0).end(), [](float x) { return x == 0.0f; }));
  const auto [low, high] = std::minmax_element(right.begin(), right.end());
  EXPECT_NEAR(*high, 0.25f, 1e-3f);
  EXPECT_NEAR(*low, -0.25f, 1e-3f);

  // A mono card has no channel 2: no answer, nothing written.
  Renderer mono(generator, 1);
  mono.block(512);
  EXPECT_FALSE(mono.answered);
  EXPECT_TRUE(std::all_of(mono.buffer(0).begin(), mono.buffer(0).end(), [](float x) { return x == 7.0f; }));
}

TEST(TrackingGeneratorSynthesis, RenderingAllocatesNothing) {
  TrackingGenerator generator;
  Sweep sweep = sweepOf(65536, 48000.0f, 500.0f, 10);
  std::vector<float> left(512), right(512);
  float* buffers[] = {left.data(), right.data()};
  generator.start(&sweep);
  long allocations = 0;
  for (int b = 0; b < 50; ++b) {
    if (b % 10 == 5) {
      ++sweep.currentBin;
      generator.updateFrequency(&sweep);
      generator.setSuspend(b % 20 == 5);
    }
    // A tone and its changes in between, the second sine too.
    if (b == 20) generator.playTone({997, 0.5});
    if (b == 25) generator.playTone({60, 0.4, 7000, 0.25});
    if (b == 30) generator.stopTone();
    testsupport::AllocationScope scope;
    generator.outputNeededBySoundcard(nullptr, buffers, 2, 512);
    allocations += scope.allocations();
  }
  EXPECT_EQ(allocations, 0);
}

// The amplitude of the component at f Hz in a stream at 48 kHz holding a
// whole number of its periods.
double amplitudeAt(const std::vector<float>& x, double f) {
  double c = 0, q = 0;
  for (size_t n = 0; n < x.size(); ++n) {
    c += x[n] * std::cos(kTwoPi * f * static_cast<double>(n) / 48000.0);
    q += x[n] * std::sin(kTwoPi * f * static_cast<double>(n) / 48000.0);
  }
  return 2.0 * std::hypot(c, q) / static_cast<double>(x.size());
}

std::vector<float> renderSeconds(Renderer& render, int blocks, int length = 480) {
  std::vector<float> stream;
  for (int b = 0; b < blocks; ++b) {
    const std::vector<float>& out = render.block(length);
    stream.insert(stream.end(), out.begin(), out.end());
  }
  return stream;
}

TEST(TrackingGeneratorTone, AToneTakesOverTheRunningPhaseAtItsFrequencyAndLevelAndTheSweepComesBackAfterIt) {
  TrackingGenerator generator;
  Renderer render(generator);
  Sweep sweep = sweepOf(65536, 48000.0f, 500.0f, 1000);
  generator.start(&sweep);
  render.block(300);
  const double phase = generator.phase();
  ASSERT_TRUE(generator.playTone({1000, 0.5}));
  // The tone starts where the sweep's sine left off, 1 kHz at half of full scale.
  const std::vector<float>& first = render.block(3);
  EXPECT_FLOAT_EQ(first[0], static_cast<float>(0.5 * std::sin(phase)));
  EXPECT_FLOAT_EQ(first[2], static_cast<float>(0.5 * std::sin(phase + 2 * kTwoPi * 1000 / 48000)));
  EXPECT_DOUBLE_EQ(generator.phaseIncrement(), kTwoPi * 1000 / 48000);
  const std::vector<float> second = renderSeconds(render, 100);
  EXPECT_NEAR(amplitudeAt(second, 1000), 0.5, 1e-6);
  EXPECT_LT(amplitudeAt(second, 2000), 1e-6);

  // Retuned in frequency and level, it stays continuous: a sine of 0.5 at
  // 3 kHz moves by at most 0.5 × 2π × 3000 / 48000 per sample.
  std::vector<float> stream = renderSeconds(render, 3);
  ASSERT_TRUE(generator.playTone({3000, 0.5}));
  const std::vector<float> after = renderSeconds(render, 3);
  stream.insert(stream.end(), after.begin(), after.end());
  for (size_t n = 1; n < stream.size(); ++n)
    ASSERT_LE(std::fabs(stream[n] - stream[n - 1]), 0.5 * kTwoPi * 3000 / 48000 * 1.0001 + 1e-6) << "sample " << n;

  // Suspension holds the sweep, not the tone.
  generator.setSuspend(true);
  EXPECT_NEAR(amplitudeAt(renderSeconds(render, 100), 3000), 0.5, 1e-6);

  // After the tone the sweep starts as it always does, from sin(0), at its
  // own level and tuning.
  generator.stopTone();
  generator.start(&sweep);
  const double dt = TrackingGenerator::binIncrement(sweep, 1000, 48000.0f);
  const std::vector<float>& again = render.block(3);
  EXPECT_EQ(again[0], 0.0f);
  EXPECT_FLOAT_EQ(again[1], static_cast<float>(0.25 * std::sin(dt)));
}

TEST(TrackingGeneratorTone, TwoTonesPlayEachAtItsLevelAndATonePastFullScaleOrTheBandIsRefused) {
  TrackingGenerator generator;
  Renderer render(generator);
  // 60 Hz and 7 kHz at 4 : 1, the intermodulation test's pair.
  ASSERT_TRUE(generator.playTone({60, 0.4, 7000, 0.25}));
  const std::vector<float> stream = renderSeconds(render, 100);
  EXPECT_NEAR(amplitudeAt(stream, 60), 0.4, 1e-6);
  EXPECT_NEAR(amplitudeAt(stream, 7000), 0.1, 1e-6);
  EXPECT_LT(amplitudeAt(stream, 7060), 1e-6);
  EXPECT_LE(*std::max_element(stream.begin(), stream.end()), 0.5f + 1e-6f);

  EXPECT_FALSE(generator.playTone({24000, 0.5}));           // at half the rate
  EXPECT_FALSE(generator.playTone({1000, 0}));              // no level
  EXPECT_FALSE(generator.playTone({1000, 1.5}));            // past full scale
  EXPECT_FALSE(generator.playTone({1000, 0.8, 2000, 0.5})); // together past full scale
  EXPECT_FALSE(generator.playTone({1000, 0.5, -5, 0.5}));
  // The tone playing stays.
  const std::vector<float> still = renderSeconds(render, 100);
  EXPECT_NEAR(amplitudeAt(still, 60), 0.4, 1e-6);
  EXPECT_NEAR(amplitudeAt(still, 7000), 0.1, 1e-6);
}

// ---------------------------------------------------------------- with an output card

sim::DeviceDescription outputDevice(const std::string& name, uint32_t channels) {
  sim::DeviceDescription d;
  d.name = name;
  d.uid = "sim:test:" + name + ":Bus7:0";
  sim::StreamDescription out;
  out.channels = channels;
  out.formats = {audiotest::ranged(channels, 24, 44100, 192000)};
  out.physicalFormat = out.formats[0].mFormat;
  out.physicalFormat.mSampleRate = 48000;
  for (uint32_t c = 0; c <= channels; ++c) out.volumes.push_back({c, 1.0f, true});
  d.output = out;
  return d;
}

class TrackingGeneratorCardTest : public audiotest::AudioTest {
 protected:
  ~TrackingGeneratorCardTest() override {
    generator.reset();
    mainThread.drain();
  }

  void launch(PropertyDictionary settings = {}) {
    settle();
    if (!manager) manager = std::make_unique<AFManager>();
    generator = std::make_unique<TrackingGenerator>();
    generator->devicePopup = &devicePopup;
    generator->sourcePopup = &sourcePopup;
    generator->channelPopup = &channelPopup;
    generator->samplingRatePopup = &ratePopup;
    generator->outputSlider = &slider;
    generator->applicationFinishLaunching(settings, *manager);
    mainThread.drain();
  }

  AFSoundcard* card() { return generator->soundcard(); }

  WatchedPopUp devicePopup, sourcePopup, channelPopup, ratePopup;
  WatchedSlider slider;
  std::unique_ptr<AFManager> manager;
  std::unique_ptr<TrackingGenerator> generator;
};

TEST_F(TrackingGeneratorCardTest, TheChannelMenuFollowsTheDefaultDeviceOnTheMainThreadFromTheFirstChannel) {
  const pa::AudioObjectID mono = provider->addDevice(outputDevice("One", 1));
  const pa::AudioObjectID stereo = provider->addDevice(outputDevice("Two", 2));
  const pa::AudioObjectID six = provider->addDevice(outputDevice("Six", 6));
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, mono);
  launch();
  EXPECT_EQ(channelPopup.items(), (std::vector<std::string>{"mono"}));

  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, stereo);
  settle();
  EXPECT_EQ(channelPopup.items(), (std::vector<std::string>{"L", "R"}));
  channelPopup.pick(1);
  EXPECT_EQ(generator->selectedChannel(), 2);

  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, six);
  settle();
  EXPECT_EQ(channelPopup.items(), (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
  // Back to the first channel, although the new device has a second one.
  EXPECT_EQ(channelPopup.titleOfSelectedItem(), "1");
  EXPECT_EQ(generator->selectedChannel(), 1);
  // The changes were noticed on the notification thread; the menu was
  // rebuilt on the main thread all the same.
  EXPECT_EQ(channelPopup.offMainThread.load(), 0);
}

TEST_F(TrackingGeneratorCardTest, SettingsSurviveATerminationAndAStoredChannelStartsOnTheFirst) {
  sim::DeviceDescription a = outputDevice("Deck", 2);
  a.output->sources = {{1, "Speakers", {}}, {2, "Headphones", {}}};
  a.output->currentSource = 1;
  provider->addDevice(a);
  provider->addDevice(outputDevice("Other", 2));
  launch();
  devicePopup.pick(devicePopup.indexOfItemWithTitle("Deck"));
  sourcePopup.pick(sourcePopup.indexOfItemWithTitle("Headphones"));
  ratePopup.pick(ratePopup.indexOfItemWithTitle("96000"));
  settle();
  channelPopup.pick(1);
  ASSERT_TRUE(card()->setVolume(0.25f, 2));
  PropertyDictionary saved;
  generator->applicationTerminating(saved);
  EXPECT_EQ(*saved.string(TrackingGenerator::kSoundCardKey), "Deck");
  EXPECT_EQ(*saved.string(TrackingGenerator::kDestinationKey), "Headphones");
  EXPECT_EQ(*saved.string(TrackingGenerator::kSamplingRateKey), "96000");
  EXPECT_EQ(saved.number(TrackingGenerator::kChannelKey), 2.0);
  EXPECT_NEAR(*saved.number(TrackingGenerator::kSliderKey), 0.25, 1e-6);

  // Another run: the device has been set back meanwhile.
  generator.reset();
  const pa::AudioObjectID deck = provider->deviceNamed("Deck");
  provider->setNominalSampleRate(deck, 48000);
  provider->setDataSource(deck, pa::kAudioObjectPropertyScopeOutput, 1);
  provider->setVolume(deck, pa::kAudioObjectPropertyScopeOutput, 1, 1.0f);
  launch(saved);
  EXPECT_EQ(devicePopup.titleOfSelectedItem(), "Deck");
  EXPECT_EQ(sourcePopup.titleOfSelectedItem(), "Headphones");
  EXPECT_FLOAT_EQ(card()->samplingRate(), 96000.0f);
  EXPECT_FLOAT_EQ(generator->samplingRate(), 96000.0f);
  // The stored channel 2 is not restored: the generator starts on L, and
  // the stored volume goes to the channel it starts on.
  EXPECT_EQ(channelPopup.titleOfSelectedItem(), "L");
  EXPECT_EQ(generator->selectedChannel(), 1);
  EXPECT_NEAR(card()->volumeForChannel(1), 0.25f, 1e-6);

  // A stored volume below 0 is left alone.
  generator.reset();
  provider->setVolume(deck, pa::kAudioObjectPropertyScopeOutput, 1, 0.6f);
  saved.set(TrackingGenerator::kSliderKey, -1.0);
  launch(saved);
  EXPECT_NEAR(card()->volumeForChannel(1), 0.6f, 1e-6);
}

TEST_F(TrackingGeneratorCardTest, TheCardPlaysFromStartToStop) {
  provider->addDevice(outputDevice("Two", 2));
  launch();
  EXPECT_FALSE(card()->isRunning());
  Sweep sweep = sweepOf(65536, 48000.0f, 0.0f, 400);
  generator->start(&sweep);
  EXPECT_TRUE(card()->isRunning());
  provider->advance(0.1);
  EXPECT_DOUBLE_EQ(generator->phaseIncrement(), TrackingGenerator::binIncrement(sweep, 400, 48000.0f));
  generator->stop();
  EXPECT_FALSE(card()->isRunning());

  // A tone starts the card by itself, at the card's rate.
  ratePopup.pick(ratePopup.indexOfItemWithTitle("96000"));
  settle();
  ASSERT_TRUE(generator->playTone({1000, 0.5}));
  EXPECT_TRUE(card()->isRunning());
  provider->advance(0.1);
  EXPECT_DOUBLE_EQ(generator->phaseIncrement(), kTwoPi * 1000 / 96000);
  generator->stopTone();
  EXPECT_FALSE(card()->isRunning());
}

}  // namespace

namespace {

// A log sweep plays sample for sample as LogSweep renders it, from its first
// sample on the next block, and silence after its end; the progress counts
// its samples and says when it ended; another playSweep starts over, a
// sweep of another rate is refused, and the render allocates nothing.
TEST(TrackingGeneratorLogSweep, ASweepPlaysFromItsFirstSampleToItsEndAndTellsItsProgress) {
  TrackingGenerator generator;
  Renderer render(generator, 2);
  dsp::LogSweepSettings settings;
  settings.length = 1 << 16;
  const dsp::LogSweep sweep(settings);
  EXPECT_EQ(generator.sweepPlayback().sweep, 0u);
  Sweep tracking = sweepOf(65536, 48000.0f, 500.0f, 1000);
  generator.start(&tracking);
  render.block(512);  // the renderer's buffers made before the allocations are counted
  ASSERT_TRUE(generator.playSweep(sweep));
  std::vector<float> expected(512);
  int64_t at = 0;
  long allocations = 0;
  while (at < sweep.length() + 1024) {
    testsupport::AllocationScope scope;
    const std::vector<float>& out = render.block(512);
    allocations += scope.allocations();
    sweep.render(at, 512, expected.data());
    ASSERT_EQ(out, expected) << "block at " << at;
    EXPECT_TRUE(std::all_of(render.buffer(1).begin(), render.buffer(1).end(), [](float x) { return x == 0.0f; }));
    at += 512;
    const SweepPlayback p = generator.sweepPlayback();
    EXPECT_EQ(p.sweep, 1u);
    EXPECT_EQ(p.played, std::min(at, sweep.length()));
    EXPECT_EQ(p.ended, at >= sweep.length());
  }
  EXPECT_EQ(allocations, 0);

  ASSERT_TRUE(generator.playSweep(sweep));
  sweep.render(0, 512, expected.data());
  EXPECT_EQ(render.block(512), expected);
  EXPECT_EQ(generator.sweepPlayback().sweep, 2u);
  EXPECT_FALSE(generator.sweepPlayback().ended);

  settings.sampleRate = 44100;
  EXPECT_FALSE(generator.playSweep(dsp::LogSweep(settings)));
  EXPECT_EQ(render.block(512)[0], [&] { sweep.render(512, 1, expected.data()); return expected[0]; }());

  // After it the tracking tone is back where start() puts it.
  generator.stopSweep();
  generator.start(&tracking);
  const std::vector<float>& again = render.block(3);
  EXPECT_EQ(again[0], 0.0f);
  EXPECT_FLOAT_EQ(again[1], static_cast<float>(0.25 * std::sin(TrackingGenerator::binIncrement(tracking, 1000, 48000.0f))));
}

}  // namespace
