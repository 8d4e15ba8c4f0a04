// The distortion readout's commands and settings, and its share of the
// block path. The readout starts switched off; a settings file without its
// keys leaves it off, over 20 Hz – 20 kHz with the noise unweighted, and an
// older build keeps the keys as keys it does not know.

#include <cmath>
#include <optional>

#include "app/controller/AppDelegate.h"

namespace {

const char* const kReadout = "Distortion Readout";
const char* const kUpperLimit = "Distortion Upper Limit";  // Hz; 0: half the rate
const char* const kNoiseWeighted = "Distortion Noise A-Weighted";

// The readout's band starts at 20 Hz; its upper limit is at least 1 kHz
// (below that no harmonic of an audio fundamental would be in reach).
constexpr double kLowerLimit = 20;
constexpr double kLeastUpperLimit = 1000;

bool validUpperLimit(double hz) { return std::isfinite(hz) && (hz == 0 || hz >= kLeastUpperLimit); }

}  // namespace

void AppDelegate::loadDistortionSettings() {
  MeasureState& m = sharedData.measure;
  if (const platform::PropertyValue* value = plist.find(kReadout))
    if (std::optional<bool> on = value->boolean()) m.distortion = *on ? 1 : 0;
  if (const platform::PropertyValue* value = plist.find(kUpperLimit))
    if (std::optional<double> hz = value->number(); hz && validUpperLimit(*hz)) m.distortionReadout.upperHz = *hz;
  if (const platform::PropertyValue* value = plist.find(kNoiseWeighted))
    if (std::optional<bool> on = value->boolean()) m.distortionReadout.weightNoise = *on ? 1 : 0;
}

void AppDelegate::storeDistortionSettings() {
  const MeasureState& m = sharedData.measure;
  plist.set(kReadout, m.distortion != 0);
  plist.set(kUpperLimit, m.distortionReadout.upperHz);
  plist.set(kNoiseWeighted, m.distortionReadout.weightNoise != 0);
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
