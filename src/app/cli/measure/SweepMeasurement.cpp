#include "app/cli/measure/SweepMeasurement.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "app/views/PrintView.h"
#include "app/formats/ReferenceFile.h"
#include "app/formats/JsonText.h"
#include "audio/AFInputSoundcard.h"
#include "dsp/SensorResponse.h"
#include "ui/MainThread.h"

namespace measure {

namespace {

using Clock = std::chrono::steady_clock;

// The device names a pop-up offers, for a message.
std::string offered(const ui::PopUpButton& popUp) {
  std::string names;
  for (int i = 0; i < popUp.numberOfItems(); ++i) names += (i ? ", '" : "'") + popUp.itemTitleAtIndex(i) + "'";
  return names.empty() ? "none" : names;
}

// Picks the 1-based channel in a channel pop-up as a user would.
bool pickChannel(ui::PlainPopUpButton& popUp, int channel) {
  if (channel < 1 || channel > popUp.numberOfItems()) return false;
  if (popUp.indexOfSelectedItem() != channel - 1) popUp.pick(channel - 1);
  return true;
}

}  // namespace

SweepMeasurement::SweepMeasurement(const Settings& settings, bool withImage) : settings_(settings) {
  app_.usesSettingsFile = false;
  app_.display = &view_;
  if (withImage) {
    printView_ = std::make_unique<PrintView>();
    app_.printView = printView_.get();
  }
  controls_.attach(app_);
  option_values::applyLevels(settings.levels, app_.sharedData);
  controls_.bandwidthPopup.selectItemWithTag(settings.bandwidthTag);
  controls_.windowPopup.selectItemWithTag(settings.windowTag);
  // The response as the window shows it smoothed: the CSV and the image.
  controls_.smoothingPopup.selectItemWithTag(settings.smoothing);
  controls_.axisPopup.selectItemWithTag(static_cast<int>(settings.axis));
  if (settings.pointsPerOctave) app_.sweepPointsPerOctave = *settings.pointsPerOctave;
  if (settings.lowerSpan) controls_.lowerSpanField.setStringValue(printedNumber("%.15g", *settings.lowerSpan));
  if (settings.upperSpan) controls_.upperSpanField.setStringValue(printedNumber("%.15g", *settings.upperSpan));
  if (settings.width) controls_.printWidthField.setStringValue(std::to_string(*settings.width));
  if (settings.height) controls_.printHeightField.setStringValue(std::to_string(*settings.height));

  input_ = std::make_unique<Input>(&app_);
  input_->trace = app_.trace.get();
  input_->devicePopup = &inputDevice_;
  input_->sourcePopup = &inputSource_;
  input_->channelPopup = &inputChannel_;
  input_->samplingRatePopup = &inputRate_;
  input_->inputSlider = &inputSlider_;
  generator_ = std::make_unique<TrackingGenerator>();
  generator_->devicePopup = &outputDevice_;
  generator_->sourcePopup = &outputDestination_;
  generator_->channelPopup = &outputChannel_;
  generator_->samplingRatePopup = &outputRate_;
  generator_->outputSlider = &outputSlider_;
  app_.input = input_.get();
  app_.trackingGenerator = generator_.get();
}

SweepMeasurement::~SweepMeasurement() {
  if (launched_) app_.applicationWillTerminate();
  generator_.reset();
  input_.reset();
  // Whatever the cards queued on the main thread points into them or the
  // controller.
  ui::MainThread::instance().drain();
}

bool SweepMeasurement::prepare(std::string* cause) {
  ui::MainThread& mainThread = ui::MainThread::instance();
  app_.applicationDidFinishLaunching();
  launched_ = true;
  mainThread.drain();
  // The devices are chosen in their pop-ups as a person chooses them, the
  // default ones too: a chosen card stays on its device, where one left on
  // the default would follow a change of the default in mid-sweep.
  const std::string input = settings_.input.empty() ? inputDevice_.titleOfSelectedItem() : settings_.input;
  if (!input.empty() && !inputDevice_.pickTitle(input)) {
    *cause = "unknown input device '" + input + "' (input devices: " + offered(inputDevice_) + ")";
    return false;
  }
  const std::string output = settings_.output.empty() ? outputDevice_.titleOfSelectedItem() : settings_.output;
  if (!output.empty() && !outputDevice_.pickTitle(output)) {
    *cause = "unknown output device '" + output + "' (output devices: " + offered(outputDevice_) + ")";
    return false;
  }
  mainThread.drain();
  inputName_ = inputDevice_.titleOfSelectedItem();
  outputName_ = outputDevice_.titleOfSelectedItem();
  if (inputName_.empty()) {
    *cause = "no input device";
    return false;
  }
  if (outputName_.empty()) {
    *cause = "no output device";
    return false;
  }
  if (!pickChannel(inputChannel_, settings_.inputChannel)) {
    *cause = "the input device '" + inputName_ + "' has " + std::to_string(inputChannel_.numberOfItems()) +
             " channels, no channel " + std::to_string(settings_.inputChannel);
    return false;
  }
  if (!pickChannel(outputChannel_, settings_.outputChannel)) {
    *cause = "the output device '" + outputName_ + "' has " + std::to_string(outputChannel_.numberOfItems()) +
             " channels, no channel " + std::to_string(settings_.outputChannel);
    return false;
  }
  if (settings_.amplitude) generator_->setAmplitude(*settings_.amplitude);
  if (settings_.volume) {
    if (!outputSlider_.isEnabled()) {
      *cause = "the output device '" + outputName_ + "' has no volume control for channel " +
               std::to_string(settings_.outputChannel);
      return false;
    }
    outputSlider_.move(*settings_.volume);
  }
  mainThread.drain();
  return true;
}

bool SweepMeasurement::run(std::string* cause, const std::function<void()>& step,
                           const std::function<void(int, int, double)>& progress) {
  ui::MainThread& mainThread = ui::MainThread::instance();
  controls_.trackingGeneratorMatrix.pick(0, 1);
  controls_.trackingGeneratorButton.press();
  mainThread.drain();
  const Sweep& sweep = app_.sweep;
  if (!sweep.running || !generator_->soundcard() || !generator_->soundcard()->isRunning()) {
    *cause = "the output device '" + outputName_ + "' does not play";
    return false;
  }
  const uint64_t inputGapsBefore = input_->ioHealth().gaps;
  const uint64_t outputGapsBefore = generator_->ioHealth().gaps;
  const auto start = Clock::now();
  auto lastLook = start, lastMove = start;
  int lastBin = sweep.currentBin;
  uint64_t nonFiniteAtMove = input_->nonFiniteSamples();
  const int total = std::max(1, sweep.endBin - sweep.startBin);
  while (sweep.currentBin <= sweep.rightBin + 1) {
    look(step);
    const auto now = Clock::now();
    if (now - lastLook < std::chrono::milliseconds(100)) continue;
    lastLook = now;
    if (std::optional<std::string> gone = vanished()) {
      *cause = *gone + " during the sweep";
      return false;
    }
    if (sweep.currentBin != lastBin) {
      lastBin = sweep.currentBin;
      lastMove = now;
      nonFiniteAtMove = input_->nonFiniteSamples();
    } else if (now - lastMove > std::chrono::seconds(10)) {
      // Input that holds nothing but NaN or infinities comes in and is
      // thrown away: that is no missing input.
      const bool nonFinite = input_->nonFiniteSamples() > nonFiniteAtMove;
      *cause = "the sweep stalled at " + printedNumber("%.1f", frequency(sweep.currentBin)) + " Hz: " +
               (nonFinite ? "the input from '" + inputName_ + "' holds only NaN or infinite samples"
                          : "no input from '" + inputName_ + "'");
      return false;
    }
    if (progress)
      progress(std::clamp(sweep.currentBin - sweep.startBin, 0, total), total,
               std::chrono::duration<double>(now - start).count());
  }
  seconds_ = std::chrono::duration<double>(Clock::now() - start).count();
  inputGaps_ = input_->ioHealth().gaps - inputGapsBefore;
  outputGaps_ = generator_->ioHealth().gaps - outputGapsBefore;
  controls_.trackingGeneratorButton.press();  // Stop
  mainThread.drain();
  if (sweep.uncleanBins > 0) {
    std::string where;
    if (sweep.uncleanInput) where = "'" + inputName_ + "'";
    if (sweep.uncleanOutput) where += (where.empty() ? "'" : " and '") + outputName_ + "'";
    *cause = "drop-outs on " + where + ": " + std::to_string(sweep.uncleanBins) + " bins could not be measured cleanly";
    return false;
  }
  if (maximum().level < -100.0) {
    *cause = "no signal returned from '" + inputName_ + "': check the connection";
    return false;
  }
  return true;
}

void SweepMeasurement::look(const std::function<void()>& step) {
  if (step) {
    step();
    // What the step delivered is taken by the input's consumer before the
    // main thread looks, as it would be in real time.
    auto* card = static_cast<AFInputSoundcard*>(input_->soundcard());
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (card && card->memory().available() >= card->bufferLength() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(20));
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ui::MainThread::instance().drain();
}

std::optional<std::string> SweepMeasurement::vanished() const {
  if (inputDevice_.titleOfSelectedItem() != inputName_) return "the input device '" + inputName_ + "' vanished";
  if (outputDevice_.titleOfSelectedItem() != outputName_) return "the output device '" + outputName_ + "' vanished";
  return std::nullopt;
}

int SweepMeasurement::firstBin() const {
  const int left = std::max(app_.sweep.leftBin, 0);
  return frequency(left) < app_.sharedData.span.startFrequency ? left + 1 : left;
}

int SweepMeasurement::lastBin() const { return app_.sweep.rightBin; }

double SweepMeasurement::level(int bin) const {
  const TraceData* t = app_.trace->traceData();
  const double bins = t->bins;
  const double power = std::max(static_cast<double>(t->averaged[bin]), 1e-30 * bins * bins);
  const dsp::SensorResponse* response = app_.sharedData.sensorResponse.get();
  const double taken = response ? response->responseDb(frequency(bin)) + response->sensitivityDb().value_or(0) : 0;
  return 10.0 * std::log10(power * app_.sharedData.refScale / (bins * bins)) - taken;
}

double SweepMeasurement::frequency(int bin) const {
  const TraceData* t = app_.trace->traceData();
  return t->binsPerHertz > 0 ? bin / static_cast<double>(t->binsPerHertz) : 0.0;
}

Reading SweepMeasurement::maximum() const {
  Reading best{-1e300, 0};
  for (int k = firstBin(); k <= lastBin(); ++k)
    if (level(k) > best.level) best = {level(k), frequency(k)};
  return best;
}

Reading SweepMeasurement::minimum() const {
  Reading least{1e300, 0};
  for (int k = firstBin(); k <= lastBin(); ++k)
    if (level(k) < least.level) least = {level(k), frequency(k)};
  return least;
}

std::optional<Reading> SweepMeasurement::worstDeviation(const ReferenceFile& reference, std::string* cause) const {
  const TraceData* t = app_.trace->traceData();
  if (reference.bins != t->bins || !reference.data ||
      (reference.samplingRate && std::fabs(*reference.samplingRate - t->samplingRate) > 0.5f)) {
    *cause = "the reference was measured with another resolution or sampling rate (" +
             std::to_string(reference.bins) + " bins at " + printedNumber("%g", reference.samplingRate.value_or(0)) +
             " Hz; this sweep has " + std::to_string(t->bins) + " bins at " + printedNumber("%g", t->samplingRate) +
             " Hz)";
    return std::nullopt;
  }
  const double bins = t->bins;
  std::optional<Reading> worst;
  for (int k = firstBin(); k <= lastBin(); ++k) {
    const double power = std::max(static_cast<double>((*reference.data)[k]), 1e-30 * bins * bins);
    const double expected = 10.0 * std::log10(power * app_.sharedData.refScale / (bins * bins));
    const double deviation = level(k) - expected;
    if (!worst || std::fabs(deviation) > std::fabs(worst->level)) worst = Reading{deviation, frequency(k)};
  }
  if (!worst) *cause = "the sweep measured no bin";
  return worst;
}

platform::PropertyDictionary SweepMeasurement::referenceFile() const {
  return referenceDictionary(*app_.trace->traceData(), controls_.lowerSpanField.stringValue(),
                             controls_.upperSpanField.stringValue());
}

}  // namespace measure
