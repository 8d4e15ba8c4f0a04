#include "dsp/DistortionMeter.h"

#include <algorithm>

#include "dsp/Spectrum.h"
#include "dsp/WindowShape.h"

namespace dsp {

namespace {

bool sameSettings(const DistortionSettings& a, const DistortionSettings& b) {
  return a.lowerHz == b.lowerHz && a.upperHz == b.upperHz && a.fundamentalHz == b.fundamentalHz &&
         a.noiseWeighting == b.noiseWeighting;
}

}  // namespace

DistortionMeter::DistortionMeter() = default;
DistortionMeter::~DistortionMeter() = default;

bool DistortionMeter::configure(float samplingRate, float displayBandwidth, const DistortionSettings& settings) {
  const float bandwidth = std::min(displayBandwidth, kCoarsestBandwidth);
  if (engine_ && samplingRate == samplingRate_ && bandwidth == bandwidth_ && sameSettings(settings, settings_))
    return analysis_.configured();
  samplingRate_ = samplingRate;
  bandwidth_ = bandwidth;
  settings_ = settings;
  if (!engine_) {
    engine_ = std::make_unique<Spectrum>(bandwidth, samplingRate, WindowShape::BlackmanHarris7);
  } else {
    engine_->setResolutionBandwidth(bandwidth, samplingRate, WindowShape::BlackmanHarris7, 1.0f);
  }
  engine_->clearBuffer();
  response_.prepare(*engine_);
  mean_.assign(static_cast<size_t>(engine_->bins()), 0.0f);
  spectra_ = 0;
  if (intermodulation_) configureIntermodulation(&*intermodulation_);
  return analysis_.configure(response_, settings_);
}

void DistortionMeter::configureIntermodulation(const IntermodulationSettings* settings) {
  if (!settings) {
    intermodulation_.reset();
    return;
  }
  intermodulation_ = *settings;
  intermodulation_->lowerHz = settings_.lowerHz;
  intermodulation_->upperHz = settings_.upperHz;
  if (engine_) intermodulationAnalysis_.configure(response_, *intermodulation_);
}

void DistortionMeter::clear() {
  if (engine_) engine_->clearBuffer();
  std::fill(mean_.begin(), mean_.end(), 0.0f);
  spectra_ = 0;
}

void DistortionMeter::restartMean() noexcept {
  std::fill(mean_.begin(), mean_.end(), 0.0f);
  spectra_ = 0;
}

bool DistortionMeter::take(const float* samples, int count, DistortionReading* reading,
                           IntermodulationReading* imd) noexcept {
  if (!engine_ || !analysis_.configured()) return false;
  const SpectrumResult* result = engine_->compute(samples, count);
  if (result->validBins <= 0 || result->bins != static_cast<int>(mean_.size())) return false;
  spectra_ = std::min(spectra_ + 1, kAveragedSpectra);
  const float weight = 1.0f / static_cast<float>(spectra_);
  float* mean = mean_.data();
  const float* power = result->output;
  for (int k = 0; k < result->bins; ++k) mean[k] += (power[k] - mean[k]) * weight;
  *reading = analysis_.analyse(mean, result->bins);
  if (imd && intermodulation_) *imd = intermodulationAnalysis_.analyse(mean, result->bins);
  return true;
}

}  // namespace dsp
