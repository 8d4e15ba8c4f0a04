#pragma once
// A frequency-response measurement end to end: the controller in tracking
// mode with the real analyzer input and tracking generator on the installed
// provider's default devices; the engine and the trace measure the response
// bin by bin.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <numbers>
#include <functional>
#include <memory>
#include <thread>

#include "ControllerHarness.h"
#include "audio/AFInputSoundcard.h"
#include "endpoints/Input.h"
#include "endpoints/TrackingGenerator.h"
#include "support/ServeMainThread.h"

namespace app_fakes {

// The generator's level: a sine of amplitude 0.25, mean square -15.05 dB.
inline const double kGeneratorLevel = 10 * std::log10(0.25 * 0.25 / 2);

// The response in dB at f of a simulated loopback's filter, from the same
// definition the device uses (the band-pass biquad with 0 dB at its centre).
inline double filterResponse(const platform::audio::simulated::BandPassFilter& filter, double f, double rate) {
  const double w0 = 2 * std::numbers::pi * filter.centerHz / rate;
  const double alpha = std::sin(w0) / (2 * filter.q);
  const std::complex<double> z = std::polar(1.0, 2 * std::numbers::pi * f / rate);
  const std::complex<double> zi = 1.0 / z;
  const std::complex<double> h =
      (alpha - alpha * zi * zi) / ((1 + alpha) - 2 * std::cos(w0) * zi + (1 - alpha) * zi * zi);
  return 20 * std::log10(std::abs(h));
}

class TrackingRig {
 public:
  // `step` advances a stepped provider by one device buffer; without it the
  // devices run by themselves and the rig serves the main thread meanwhile.
  // `settle` waits for the provider's notifications so far.
  TrackingRig(std::shared_ptr<platform::audio::Provider> provider, std::function<void()> settle,
              std::function<void()> step = {})
      : provider_(std::move(provider)), settle_(std::move(settle)), step_(std::move(step)) {
    // Each rig starts afresh: a settings file left by an earlier rig in the
    // same process would choose its devices (the designed restore) instead
    // of the provider's defaults.
    h.app.usesSettingsFile = false;
    platform::audio::installProvider(provider_);
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
  ~TrackingRig() {
    h.app.applicationWillTerminate();
    generator.reset();
    input.reset();
    h.mainThread.drain();
    platform::audio::installProvider(nullptr);
  }

  AFInputSoundcard* inputCard() { return static_cast<AFInputSoundcard*>(input->soundcard()); }

  // Waits until every notification so far has been handled, serving the
  // main thread meanwhile (listeners wait for it).
  void settle() {
    testsupport::serveMainThreadWhile(h.mainThread, [&] { settle_(); });
  }

  // Launches the controller with the span lower … upper Hz.
  void launch(const char* lower, const char* upper) {
    h.lowerSpanField.setStringValue(lower);
    h.upperSpanField.setStringValue(upper);
    h.launch();
    settle();
  }

  // Sweeps lower … upper Hz at the RBW of that bandwidth tag; returns when
  // the sweep has measured the span's last bin.
  void sweep(const char* lower, const char* upper, int bandwidthTag) {
    launch(lower, upper);
    sweepLaunched(bandwidthTag);
  }

  // The same on a launched controller (its devices picked already);
  // `meanwhile` runs on the main thread between the blocks.
  void sweepLaunched(int bandwidthTag, const std::function<void()>& meanwhile = {}) {
    h.bandwidthPopup.pickTag(bandwidthTag);
    h.enterTrackingMode();
    h.pressStart();
    ASSERT_EQ(h.app.sweep.running, 1);
    ASSERT_TRUE(generator->soundcard() && generator->soundcard()->isRunning()) << "the generator's card plays";
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    while (h.app.sweep.currentBin <= h.app.sweep.rightBin + 1 && std::chrono::steady_clock::now() < limit) {
      if (meanwhile) meanwhile();
      if (!step_) {
        // The devices run by themselves: serve the main thread as the event loop would.
        h.mainThread.drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      step();
    }
    ASSERT_GT(h.app.sweep.currentBin, h.app.sweep.rightBin) << "the sweep did not reach the span's end in time";
  }

  // One device buffer of a stepped provider, delivered and analysed.
  void step() {
    deliver();
    h.mainThread.drain();
  }
  // The same delivered only: its block waits for the main thread.
  void deliver() {
    step_();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (inputCard()->memory().available() >= inputCard()->bufferLength() &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(20));
  }

  // The level the trace holds for bin k, dB of mean square.
  double level(int k) {
    const TraceData* t = h.app.trace->traceData();
    const double bins = t->bins;
    return 10 * std::log10(t->averaged[k] / (bins * bins));
  }
  double frequency(int k) { return k / h.app.trace->traceData()->binsPerHertz; }

  ControllerHarness h;
  FakePopUpButton inputDevice, inputSource, inputChannel, inputRate;
  FakeSlider inputSlider;
  FakePopUpButton outputDevice, outputDestination, outputChannel, outputRate;
  FakeSlider outputSlider;
  std::unique_ptr<Input> input;
  std::unique_ptr<TrackingGenerator> generator;

 private:
  std::shared_ptr<platform::audio::Provider> provider_;
  std::function<void()> settle_, step_;
};

}  // namespace app_fakes
