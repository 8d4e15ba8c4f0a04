// The whole live path on the stepped simulated provider: the Test Signal
// device, the input card, the analyzer input, the controller, the engine and
// the trace, with the main thread driven by the test.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/ControllerHarness.h"
#include "audio/AFInputSoundcard.h"
#include "endpoints/Input.h"
#include "platform/audio/simulated/SimulatedProvider.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;
using app_fakes::ControllerHarness;

struct LiveInput {
  LiveInput() {
    sim::Options options;
    options.clock = sim::ClockMode::Stepped;
    provider = std::make_shared<sim::SimulatedProvider>(options);
    pa::installProvider(provider);
    input = std::make_unique<Input>(&h.app);
    input->trace = h.app.trace.get();
    input->devicePopup = &devicePopup;
    input->sourcePopup = &sourcePopup;
    input->channelPopup = &channelPopup;
    input->samplingRatePopup = &ratePopup;
    input->inputSlider = &slider;
    h.app.input = input.get();
  }
  ~LiveInput() {
    input.reset();
    h.mainThread.drain();
    pa::installProvider(nullptr);
  }

  void launch() {
    h.launch();
    settle();
  }

  AFInputSoundcard* card() { return static_cast<AFInputSoundcard*>(input->soundcard()); }

  // Waits until every notification so far has been handled, serving the
  // main thread meanwhile (listeners wait for it).
  void settle() { app_fakes::settle(*provider, h.mainThread); }

  // Runs the devices one buffer at a time; after each the card delivers and
  // the main thread analyses.
  void run(double seconds) {
    const double rate = card()->samplingRate();
    const int steps = static_cast<int>(std::ceil(seconds * rate / 512));
    for (int i = 0; i < steps; ++i) {
      provider->advance(512 / rate);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (card()->isRunning() && card()->memory().available() >= card()->bufferLength() &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      h.mainThread.drain();
    }
  }

  // The level of the strongest tone in the live trace, dB of mean square:
  // the power around the peak over the window's noise bandwidth in bins,
  // which the engine makes the RBW, so that a tone between two bins reads
  // its level as well as one on a bin.
  double toneLevel() {
    TraceData* t = h.app.trace->traceData();
    int peak = 1;
    for (int k = 1; k < t->bins; ++k)
      if (t->averaged[k] > t->averaged[peak]) peak = k;
    const double bins = t->bins;
    const double noiseBandwidthBins = h.app.sharedData.span.bandwidth * t->binsPerHertz;
    // The whole main lobe: a few noise bandwidths either side.
    const int reach = static_cast<int>(std::ceil(4 * noiseBandwidthBins)) + 4;
    double sum = 0;
    for (int k = std::max(1, peak - reach); k <= std::min(t->bins - 1, peak + reach); ++k) sum += t->averaged[k];
    return 10 * std::log10(sum / (bins * bins) / noiseBandwidthBins);
  }
  double peakFrequency() {
    TraceData* t = h.app.trace->traceData();
    int peak = 1;
    for (int k = 1; k < t->bins; ++k)
      if (t->averaged[k] > t->averaged[peak]) peak = k;
    return peak / t->binsPerHertz;
  }

  std::shared_ptr<sim::SimulatedProvider> provider;
  ControllerHarness h;
  ui::fakes::FakePopUpButton devicePopup, sourcePopup, channelPopup, ratePopup;
  ui::fakes::FakeSlider slider;
  std::unique_ptr<Input> input;
};

// The Test Signal's sine: 1 kHz at amplitude 0.5, mean square -9.031 dB.
constexpr double kSineLevel = -9.0309;

TEST(LiveInput, WithoutSettingsTheTestSignalSineReadsItsTrueLevel) {
  LiveInput live;
  live.launch();
  EXPECT_EQ(live.devicePopup.titleOfSelectedItem(), "Test Signal");
  EXPECT_EQ(live.sourcePopup.titleOfSelectedItem(), "Sine");
  ASSERT_TRUE(live.card()->isRunning());
  live.run(2.0);
  EXPECT_GT(live.h.display.traces, 5);
  EXPECT_NEAR(live.peakFrequency(), 1000.0, 3.0);
  EXPECT_NEAR(live.toneLevel(), kSineLevel, 0.05);
}

TEST(LiveInput, TheLevelHoldsAtEveryRateAndBandwidth) {
  LiveInput live;
  live.launch();
  for (const char* rate : {"44100", "96000"}) {
    for (int tag : {0, 20}) {  // 1 Hz and 100 Hz
      live.ratePopup.pickTitle(rate);
      live.settle();
      live.h.bandwidthPopup.pickTag(tag);
      live.run(tag == 0 ? 6.0 : 1.0);
      EXPECT_EQ(live.h.app.spectrum->samplingRate(), std::stof(rate));
      EXPECT_NEAR(live.toneLevel(), kSineLevel, 0.05) << rate << " Hz, RBW tag " << tag;
    }
  }
}

TEST(LiveInput, ADefaultDeviceChangeAndAnUnpluggedDeviceKeepTheAnalysisGoing) {
  LiveInput live;
  live.launch();
  live.run(0.5);

  // A new device becomes the default while the input runs.
  sim::DeviceDescription six;
  six.name = "Six";
  six.uid = "sim:test:six:Bus8:0";
  sim::StreamDescription in;
  in.channels = 6;
  in.formats = sim::discreteFormats(6, 24, {48000});
  in.physicalFormat = in.formats[0].mFormat;
  in.signal = {sim::Signal::Sine, 2000.0, 0.0, 0.5};
  six.input = in;
  const pa::AudioObjectID id = live.provider->addDevice(six);
  live.provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, id);
  live.settle();
  EXPECT_EQ(live.devicePopup.titleOfSelectedItem(), "Six");
  EXPECT_EQ(live.channelPopup.numberOfItems(), 6);
  ASSERT_TRUE(live.card()->isRunning());
  live.run(1.0);
  EXPECT_NEAR(live.peakFrequency(), 2000.0, 3.0);

  // It is unplugged: the input follows the platform back to the Test Signal.
  live.provider->removeDevice(id);
  live.settle();
  EXPECT_EQ(live.devicePopup.titleOfSelectedItem(), "Test Signal");
  EXPECT_EQ(live.channelPopup.numberOfItems(), 2);
  ASSERT_TRUE(live.card()->isRunning());
  live.run(1.0);
  EXPECT_NEAR(live.peakFrequency(), 1000.0, 3.0);
  EXPECT_NEAR(live.toneLevel(), kSineLevel, 0.05);
}

TEST(LiveInput, NonFiniteSamplesAreCountedAsLostAndLeaveTheAveragedTraceFiniteAndTrue) {
  LiveInput live;
  live.h.traceAverageField.setStringValue("1000");  // a running mean of every spectrum
  live.launch();
  // The card stopped, the test hands the input the blocks the card's thread
  // would: the sine of the Test Signal, which a plug-in before the input
  // spoils in places.
  live.input->pause();
  const EndpointIoHealth before = live.input->ioHealth();
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  std::vector<float> left(512), right(512);
  float* buffers[2] = {left.data(), right.data()};
  for (int b = 0; b < 400; ++b) {
    for (int i = 0; i < 512; ++i)
      left[size_t(i)] = float(0.5 * std::sin(2 * M_PI * 1000.0 * (b * 512 + i) / 48000.0));
    if (b == 100 || b == 101) {
      left[7] = nan;  // with the next a run of two
      left[8] = inf;
      left[300] = -inf;
    }
    if (b == 200) std::fill(left.begin(), left.end(), nan);  // a block of nothing else
    live.input->inputReceivedFromSoundcard(live.card(), buffers, 2, 512);
    live.h.mainThread.drain();
  }
  const EndpointIoHealth health = live.input->ioHealth();
  EXPECT_EQ(live.input->nonFiniteSamples(), 6u + 512u);
  EXPECT_EQ(health.lostSamples - before.lostSamples, 6u + 512u);
  EXPECT_EQ(health.gaps - before.gaps, 5u);

  const TraceData* t = live.h.app.trace->traceData();
  ASSERT_GT(t->traces, 20);
  for (int k = 0; k < t->bins; ++k) ASSERT_TRUE(std::isfinite(t->averaged[k])) << "bin " << k;
  EXPECT_NEAR(live.peakFrequency(), 1000.0, 3.0);
  EXPECT_NEAR(live.toneLevel(), kSineLevel, 0.05);
}

}  // namespace

// The levels read through the calibration of the device and channel the
// input records from, and follow it when either changes.
TEST(LiveInput, TheLevelsFollowTheCalibrationOfTheDeviceAndChannelRecordedFrom) {
  LiveInput live;
  ui::fakes::FakePopUpButton unitPopup{interface_menus::levelUnitItems()};
  live.h.app.unitPopup = &unitPopup;
  live.launch();
  EXPECT_EQ(live.input->deviceName(), "Test Signal");
  EXPECT_EQ(live.h.app.presentInputName(), "Test Signal, channel 1");
  std::string error;
  ASSERT_TRUE(live.h.app.setFullScaleLevel("+4dBu", &error)) << error;
  unitPopup.pickTag(static_cast<int>(dsp::LevelUnit::dBu));
  ASSERT_EQ(live.h.app.levelUnitInUse(), dsp::LevelUnit::dBu);
  live.run(1.0);
  const std::optional<AppDelegate::LiveLevel> level = live.h.app.measureLiveLevel();
  ASSERT_TRUE(level && level->peak);
  // -9.03 dB is -6.02 dBFS, 4 dB below +4 dBu.
  EXPECT_NEAR(live.h.app.sharedData.levelScale.fromDb(level->dB), -2.02, 0.02);

  // Channel 2 has no calibration of its own: dB, until channel 1 is back.
  live.channelPopup.pick(1);
  EXPECT_EQ(live.h.app.levelUnitInUse(), dsp::LevelUnit::dB);
  live.channelPopup.pick(0);
  EXPECT_EQ(live.h.app.levelUnitInUse(), dsp::LevelUnit::dBu);

  // A new default device, followed on the platform's notification: dB on it.
  sim::DeviceDescription two;
  two.name = "Two";
  two.uid = "sim:test:two:Bus9:0";
  sim::StreamDescription in;
  in.channels = 2;
  in.formats = sim::discreteFormats(2, 24, {48000});
  in.physicalFormat = in.formats[0].mFormat;
  in.signal = {sim::Signal::Sine, 1000.0, 0.0, 0.5};
  two.input = in;
  const pa::AudioObjectID id = live.provider->addDevice(two);
  live.provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, id);
  live.settle();
  EXPECT_EQ(live.h.app.presentInputName(), "Two, channel 1");
  EXPECT_EQ(live.h.app.levelUnitInUse(), dsp::LevelUnit::dB);
  live.provider->removeDevice(id);
  live.settle();
  EXPECT_EQ(live.h.app.levelUnitInUse(), dsp::LevelUnit::dBu);
}
