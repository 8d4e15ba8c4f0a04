// A frequency-response measurement end to end on the stepped simulated
// provider: the tracking generator plays into the Loopback device, whose
// output reaches its input through a band-pass filter; the analyzer input,
// the controller, the engine and the trace measure the response bin by bin.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <thread>

#include "ControllerHarness.h"
#include "audio/AFInputSoundcard.h"
#include "endpoints/Input.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/audio/simulated/SimulatedProvider.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;
using app_fakes::ControllerHarness;

// The generator's level: a sine of amplitude 0.25, mean square -15.05 dB.
const double kGeneratorLevel = 10 * std::log10(0.25 * 0.25 / 2);

// The filter's response in dB at f, from the same definition the device
// uses (the band-pass biquad with 0 dB at its centre).
double filterResponse(const sim::BandPassFilter& filter, double f, double rate) {
  const double w0 = 2 * std::numbers::pi * filter.centerHz / rate;
  const double alpha = std::sin(w0) / (2 * filter.q);
  const std::complex<double> z = std::polar(1.0, 2 * std::numbers::pi * f / rate);
  const std::complex<double> zi = 1.0 / z;
  const std::complex<double> h = (alpha - alpha * zi * zi) / ((1 + alpha) - 2 * std::cos(w0) * zi + (1 - alpha) * zi * zi);
  return 20 * std::log10(std::abs(h));
}

struct LoopbackSweep {
  explicit LoopbackSweep(bool filtered, bool realTime = false) : realTime(realTime) {
    sim::Options options;
    options.clock = realTime ? sim::ClockMode::RealTime : sim::ClockMode::Stepped;
    provider = std::make_shared<sim::SimulatedProvider>(options);
    if (!filtered) {
      sim::DeviceDescription flat = sim::defaultDevices()[1];
      flat.name = "Flat Loopback";
      flat.uid = "sim:test:flatloop:Bus7:0";
      flat.loopbackFilter->bypassed = true;
      device = provider->addDevice(flat);
    } else {
      device = provider->deviceNamed("Loopback");
    }
    provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, device);
    provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, device);
    pa::installProvider(provider);
    input = std::make_unique<Input>(&h.app);
    input->trace = h.app.trace.get();
    input->devicePopup = &inputDevice;
    input->sourcePopup = &inputSource;
    input->channelPopup = &inputChannel;
    input->samplingRatePopup = &inputRate;
    input->inputSlider = &inputSlider;
    generator = std::make_unique<TrackingGenerator>();
    generator->devicePopup = &outputDevice;
    generator->sourcePopup = &outputDestination;
    generator->channelPopup = &outputChannel;
    generator->samplingRatePopup = &outputRate;
    generator->outputSlider = &outputSlider;
    h.app.input = input.get();
    h.app.trackingGenerator = generator.get();
  }
  ~LoopbackSweep() {
    h.app.applicationWillTerminate();
    generator.reset();
    input.reset();
    h.mainThread.drain();
    pa::installProvider(nullptr);
  }

  AFInputSoundcard* inputCard() { return static_cast<AFInputSoundcard*>(input->soundcard()); }

  // Waits until every notification so far has been handled, serving the
  // main thread meanwhile (listeners wait for it).
  void settle() { app_fakes::settle(*provider, h.mainThread); }

  // Sweeps lower … upper Hz at the RBW of that bandwidth tag; returns when
  // the sweep has measured the span's last bin.
  void sweep(const char* lower, const char* upper, int bandwidthTag) {
    h.lowerSpanField.setStringValue(lower);
    h.upperSpanField.setStringValue(upper);
    h.launch();
    settle();
    h.bandwidthPopup.pickTag(bandwidthTag);
    h.enterTrackingMode();
    h.pressStart();
    ASSERT_EQ(h.app.sweep.running, 1);
    ASSERT_TRUE(generator->soundcard() && generator->soundcard()->isRunning()) << "the generator's card plays";
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    while (h.app.sweep.currentBin <= h.app.sweep.rightBin + 1 && std::chrono::steady_clock::now() < limit) {
      if (realTime) {
        // The device runs by itself: serve the main thread as the event loop would.
        h.mainThread.drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      step();
    }
    ASSERT_GT(h.app.sweep.currentBin, h.app.sweep.rightBin) << "the sweep did not reach the span's end in time";
  }

  // One device buffer of the loopback, delivered and analysed.
  void step() {
    provider->advanceFrames(device, 512);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (inputCard()->memory().available() >= inputCard()->bufferLength() &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    h.mainThread.drain();
  }

  // The level the trace holds for bin k, dB of mean square.
  double level(int k) {
    const TraceData* t = h.app.trace->traceData();
    const double bins = t->bins;
    return 10 * std::log10(t->averaged[k] / (bins * bins));
  }
  double frequency(int k) { return k / h.app.trace->traceData()->binsPerHertz; }

  ControllerHarness h;
  const bool realTime;
  std::shared_ptr<sim::SimulatedProvider> provider;
  pa::AudioObjectID device = 0;
  ui::fakes::FakePopUpButton inputDevice, inputSource, inputChannel, inputRate;
  ui::fakes::FakeSlider inputSlider;
  ui::fakes::FakePopUpButton outputDevice, outputDestination, outputChannel, outputRate;
  ui::fakes::FakeSlider outputSlider;
  std::unique_ptr<Input> input;
  std::unique_ptr<TrackingGenerator> generator;
};

TEST(SweepThroughTheLoopback, MeasuresTheBandPassFiltersResponse) {
  LoopbackSweep rig(true);
  rig.sweep("50", "20000", 10);  // RBW 10 Hz
  const Sweep& s = rig.h.app.sweep;
  const sim::BandPassFilter filter;
  double worst = 0;
  int measured = 0;
  for (int k = s.leftBin + 1; k < s.rightBin; ++k) {
    const double expected = kGeneratorLevel + filterResponse(filter, rig.frequency(k), 48000);
    if (expected < kGeneratorLevel - 40) continue;
    worst = std::max(worst, std::fabs(rig.level(k) - expected));
    ++measured;
    ASSERT_NEAR(rig.level(k), expected, 0.2) << "bin " << k << " at " << rig.frequency(k) << " Hz";
  }
  EXPECT_GT(measured, 6000);
  RecordProperty("worstDeviationDb", std::to_string(worst));
}

TEST(SweepThroughTheLoopback, WithoutAFilterTheResponseIsFlatAtTheGeneratorsLevel) {
  LoopbackSweep rig(false);
  rig.sweep("50", "2000", 10);
  const Sweep& s = rig.h.app.sweep;
  for (int k = s.leftBin + 1; k < s.rightBin; ++k)
    ASSERT_NEAR(rig.level(k), kGeneratorLevel, 0.05) << "bin " << k << " at " << rig.frequency(k) << " Hz";
}

TEST(SweepThroughTheLoopback, UnpluggingTheOutputDeviceDuringASweepLeavesItStoppable) {
  LoopbackSweep rig(true);
  // A separate output device carries the tone; the input stays on the loopback.
  sim::DeviceDescription speaker = sim::defaultDevices()[2];
  speaker.name = "Speaker";
  speaker.uid = "sim:test:speaker:Bus6:0";
  speaker.input.reset();
  const pa::AudioObjectID id = rig.provider->addDevice(speaker);
  rig.provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, id);
  rig.h.lowerSpanField.setStringValue("500");
  rig.h.upperSpanField.setStringValue("1500");
  rig.h.launch();
  rig.settle();
  ASSERT_EQ(rig.outputDevice.titleOfSelectedItem(), "Speaker");
  rig.h.enterTrackingMode();
  rig.h.pressStart();
  for (int i = 0; i < 50; ++i) rig.step();
  AFSoundcard* card = rig.generator->soundcard();
  ASSERT_TRUE(card->isRunning());

  rig.provider->removeDevice(id);
  rig.settle();
  for (int i = 0; i < 50; ++i) rig.step();  // the sweep goes on without its speaker
  EXPECT_NE(rig.outputDevice.titleOfSelectedItem(), "Speaker");
  rig.h.pressStart();  // Stop
  EXPECT_EQ(rig.h.app.sweep.running, 0);
  EXPECT_FALSE(card->isRunning());
}

TEST(SweepThroughTheLoopback, InRealTimeTheResponseAroundTheCentreIsRight) {
  LoopbackSweep rig(true, true);
  rig.sweep("900", "1100", 20);  // RBW 100 Hz: about 12 s of audio
  const Sweep& s = rig.h.app.sweep;
  const sim::BandPassFilter filter;
  for (int k = s.leftBin + 1; k < s.rightBin; ++k)
    ASSERT_NEAR(rig.level(k), kGeneratorLevel + filterResponse(filter, rig.frequency(k), 48000), 0.2)
        << "bin " << k << " at " << rig.frequency(k) << " Hz";
}

}  // namespace
