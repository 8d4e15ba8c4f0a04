// The distortion readout's commands and settings, its share of the block
// path, and the generator's fixed tone that feeds it. The readout starts switched off; a settings file without its
// keys leaves it off, over 20 Hz – 20 kHz with the noise unweighted, and an
// older build keeps the keys as keys it does not know.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/controller/AppDelegate.h"

namespace {

const char* const kReadout = "Distortion Readout";
const char* const kUpperLimit = "Distortion Upper Limit";  // Hz; 0: half the rate
const char* const kNoiseWeighted = "Distortion Noise A-Weighted";
const char* const kToneFrequency = "Generator Tone Frequency";  // Hz

// The readout's band starts at 20 Hz; its upper limit is at least 1 kHz
// (below that no harmonic of an audio fundamental would be in reach).
constexpr double kLowerLimit = 20;
constexpr double kLeastUpperLimit = 1000;

bool validUpperLimit(double hz) { return std::isfinite(hz) && (hz == 0 || hz >= kLeastUpperLimit); }

// "1000", "1000 Hz", "1k", "1 kHz"; none for anything else or a frequency
// not above 0.
std::optional<double> parseFrequency(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  double hz = std::strtod(begin, &end);
  if (end == begin || !std::isfinite(hz)) return std::nullopt;
  while (*end == ' ') ++end;
  std::string unit(end);
  if (unit == "k" || unit == "kHz" || unit == "khz") {
    hz *= 1000;
  } else if (!unit.empty() && unit != "Hz" && unit != "hz") {
    return std::nullopt;
  }
  if (!(hz > 0)) return std::nullopt;
  return hz;
}

}  // namespace

void AppDelegate::loadDistortionSettings() {
  MeasureState& m = sharedData.measure;
  if (const platform::PropertyValue* value = plist.find(kReadout))
    if (std::optional<bool> on = value->boolean()) m.distortion = *on ? 1 : 0;
  if (const platform::PropertyValue* value = plist.find(kUpperLimit))
    if (std::optional<double> hz = value->number(); hz && validUpperLimit(*hz)) m.distortionReadout.upperHz = *hz;
  if (const platform::PropertyValue* value = plist.find(kNoiseWeighted))
    if (std::optional<bool> on = value->boolean()) m.distortionReadout.weightNoise = *on ? 1 : 0;
  if (const platform::PropertyValue* value = plist.find(kToneFrequency))
    if (std::optional<double> hz = value->number(); hz && *hz > 0 && std::isfinite(*hz) && toneFrequencyField) {
      char text[32];
      std::snprintf(text, sizeof text, "%g", *hz);
      toneFrequencyField->setStringValue(text);
    }
}

void AppDelegate::storeDistortionSettings() {
  const MeasureState& m = sharedData.measure;
  plist.set(kReadout, m.distortion != 0);
  plist.set(kUpperLimit, m.distortionReadout.upperHz);
  plist.set(kNoiseWeighted, m.distortionReadout.weightNoise != 0);
  if (toneFrequencyField)
    if (std::optional<double> hz = parseFrequency(toneFrequencyField->stringValue())) plist.set(kToneFrequency, *hz);
}

void AppDelegate::configureDistortionMeter() {
  MeasureState& m = sharedData.measure;
  m.distortionReadout.reading = {};
  if (!m.distortion || !spectrum) return;
  dsp::DistortionSettings settings;
  settings.lowerHz = kLowerLimit;
  const double half = 0.5 * static_cast<double>(spectrum->samplingRate());
  settings.upperHz = m.distortionReadout.upperHz > 0 ? std::min(m.distortionReadout.upperHz, half) : half;
  settings.noiseWeighting = m.distortionReadout.weightNoise ? dsp::Weighting::A : dsp::Weighting::Z;
  distortionMeter.configure(spectrum->samplingRate(), sharedData.span.bandwidth, settings);
  distortionMeter.clear();
}

void AppDelegate::distortionFromInput(const float* samples) noexcept {
  dsp::DistortionReading reading;
  if (distortionMeter.take(samples, kBlockLength, &reading)) sharedData.measure.distortionReadout.reading = reading;
}

void AppDelegate::setDistortionReadout(bool on) {
  sharedData.measure.distortion = on ? 1 : 0;
  configureDistortionMeter();
  for (PlotView* view : {display, printView})
    if (view) view->measurementsChanged();
}

void AppDelegate::setDistortionUpperLimit(double hz) {
  if (!validUpperLimit(hz)) return;
  sharedData.measure.distortionReadout.upperHz = hz;
  configureDistortionMeter();
  if (display) display->setNeedsDisplay();
}

void AppDelegate::setDistortionNoiseWeighted(bool on) {
  sharedData.measure.distortionReadout.weightNoise = on ? 1 : 0;
  configureDistortionMeter();
  if (display) display->setNeedsDisplay();
}

bool AppDelegate::playTone(std::string* error) {
  if (!trackingGenerator) {
    *error = "The tone needs an output device.";
    return false;
  }
  if (sweep.enabled) {
    *error = "The tone plays in the normal mode; the tracking mode sweeps the generator.";
    return false;
  }
  const std::string text = toneFrequencyField ? toneFrequencyField->stringValue() : std::string("1000");
  const std::optional<double> hz = parseFrequency(text.empty() ? std::string("1000") : text);
  if (!hz) {
    *error = "\"" + text + "\" is no frequency: give it in Hz (1000, 1 kHz).";
    return false;
  }
  GeneratorTone tone;
  tone.frequencyHz = *hz;
  tone.amplitude = trackingGenerator->amplitude();
  if (!trackingGenerator->playTone(tone)) {
    *error = "The output cannot play " + text + ": the tone must lie below half its rate.";
    return false;
  }
  tonePlaying_ = true;
  if (!sharedData.measure.distortion) setDistortionReadout(true);
  return true;
}

void AppDelegate::stopTone() {
  if (tonePlaying_ && trackingGenerator) trackingGenerator->stopTone();
  tonePlaying_ = false;
  if (toneButton) {
    toneButton->setState(0);
    toneButton->setTitle("Play Tone");
  }
}

void AppDelegate::toneButtonChanged() {
  if (!toneButton || toneButton->state() != 1) {
    stopTone();
    return;
  }
  std::string error;
  if (!playTone(&error)) {
    say(error);
    stopTone();
    return;
  }
  toneButton->setTitle("Stop Tone");
}
