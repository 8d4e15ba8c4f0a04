#include "dsp/PlotTrace.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

int boundedBins(int bins) { return std::clamp(bins, 0, TraceData::kCapacity); }

constexpr size_t kSweptWords = TraceData::kCapacity / 64;

}  // namespace

PlotTrace::PlotTrace() {
  // Zeroed pages from the system, untouched until a spectrum is copied in:
  // a trace of a few thousand bins never touches the rest.
  spectrumValues = static_cast<float*>(std::calloc(TraceData::kCapacity, sizeof(float)));
  if (!spectrumValues) throw std::bad_alloc();
  spectrum.output = spectrumValues;
}

PlotTrace::~PlotTrace() { std::free(spectrumValues); }

void PlotTrace::takeSpectrum(const SpectrumResult* result, float samplingRate) {
  const int bins = boundedBins(result->bins);
  // Values of another bin count belong to another configuration.
  if (bins != traceData_.bins && mode_ != TraceMode::average) resetHold();
  traceData_.bins = bins;
  traceData_.samplingRate = samplingRate;
  traceData_.binsPerHertz = binsPerHertz(bins, samplingRate);
  // Keep our own copy of the values: a queued averaging step runs later,
  // when the engine may have been reconfigured or replaced.
  spectrum = *result;
  spectrum.bins = bins;
  if (result->output && bins > 0)
    std::memcpy(spectrumValues, result->output, sizeof(float) * static_cast<size_t>(bins));
  spectrum.output = spectrumValues;
}

void PlotTrace::addDataSamplingRateBin(const SpectrumResult* result, float samplingRate, int bin, int fromBin) {
  if (!result) return;
  takeSpectrum(result, samplingRate);
  if (bin >= 0 && bin < traceData_.bins) {
    const float value = spectrumValues[bin];
    std::lock_guard guard(traceData_.lock);
    auto store = [&](int k, float v) {
      if (mode_ == TraceMode::average)
        traceData_.averaged[k] = v;
      else
        holdBin(k, v);
    };
    if (fromBin > 0 && fromBin == sweptBin_ && fromBin + 1 < bin) {
      // Straight in dB over log frequency: v0^(1 − t)·v1^t.
      constexpr float kFloor = 1e-30f;
      const double low = std::log(std::max(sweptValue_, kFloor));
      const double rise = std::log(std::max(value, kFloor)) - low;
      const double extent = std::log(static_cast<double>(bin) / fromBin);
      for (int k = fromBin + 1; k < bin; ++k)
        store(k, static_cast<float>(std::exp(low + rise * std::log(static_cast<double>(k) / fromBin) / extent)));
    }
    store(bin, value);
    sweptBin_ = bin;
    sweptValue_ = value;
  }
}

PlotTrace::AveragingStep PlotTrace::addDataSamplingRate(const SpectrumResult* result, float samplingRate) {
  if (!result) return {};
  takeSpectrum(result, samplingRate);
  return {&PlotTrace::cachePlotTask, this};
}

void PlotTrace::averageDataSamplingRate(const SpectrumResult* result, float samplingRate) {
  if (!result) return;
  takeSpectrum(result, samplingRate);
  cachePlot();
}

void PlotTrace::setRestartSpectra(int count) { restartSpectra_ = std::max(count, 1); }

void PlotTrace::cachePlotTask(void* context) { static_cast<PlotTrace*>(context)->cachePlot(); }

void PlotTrace::cachePlot() {
  const int bins = boundedBins(traceData_.bins);
  const float* values = spectrum.output;
  std::lock_guard guard(traceData_.lock);
  // A hold keeps `averaged` and runs the average beside it.
  float* averaged = mode_ == TraceMode::average ? traceData_.averaged : average_.get();
  float traces = traceData_.traces;
  bool restart = true;
  if (spectrum.validBins < bins || traces == 0) {
    // A partial or dropped spectrum, or the first after a reset.
    delayedAverageTrace = 0;
  } else {
    // The first spectra after a reset may come from a partly filled ring:
    // each of the first restartSpectra_ replaces the trace.
    int discarded = delayedAverageTrace++;
    if (discarded >= restartSpectra_ - 1) {
      delayedAverageTrace = restartSpectra_ - 1;
      traces = traces + 1;
      if (traces > numberOfTraces) traces = numberOfTraces;
      traceData_.traces = traces;
      const float w = 1.0f / traces;
      const float u = 1.0f - w;
      for (int k = 0; k < bins; ++k) averaged[k] = averaged[k] * u + values[k] * w;
      restart = false;
    }
  }
  if (restart) {
    traceData_.traces = 1;
    std::memcpy(averaged, values, sizeof(float) * static_cast<size_t>(bins));
  }
  if (mode_ != TraceMode::average) holdStep(averaged, bins);
}

void PlotTrace::holdStep(const float* average, int bins) noexcept {
  float* held = traceData_.averaged;
  if (!holdStarted_) {
    std::memcpy(held, average, sizeof(float) * static_cast<size_t>(bins));
    holdStarted_ = true;
  } else if (mode_ == TraceMode::maxHold) {
    for (int k = 0; k < bins; ++k) held[k] = std::max(held[k], average[k]);
  } else {
    for (int k = 0; k < bins; ++k) held[k] = std::min(held[k], average[k]);
  }
}

void PlotTrace::holdBin(int bin, float value) noexcept {
  float& held = traceData_.averaged[bin];
  uint64_t& word = sweptBins_[static_cast<size_t>(bin) / 64];
  const uint64_t mark = uint64_t{1} << (bin % 64);
  if (!(word & mark)) {
    held = value;
    word |= mark;
  } else {
    held = mode_ == TraceMode::maxHold ? std::max(held, value) : std::min(held, value);
  }
}

void PlotTrace::setTraceMode(TraceMode mode) {
  if (mode != TraceMode::average && !average_) {
    average_ = std::make_unique<float[]>(TraceData::kCapacity);
    sweptBins_ = std::make_unique<uint64_t[]>(kSweptWords);
  }
  const bool wasHolding = mode_ != TraceMode::average;
  {
    std::lock_guard guard(traceData_.lock);
    const size_t bytes = sizeof(float) * static_cast<size_t>(boundedBins(traceData_.bins));
    // The running average moves to wherever the mode keeps it.
    if (wasHolding && mode == TraceMode::average) std::memcpy(traceData_.averaged, average_.get(), bytes);
    if (!wasHolding && mode != TraceMode::average) std::memcpy(average_.get(), traceData_.averaged, bytes);
    mode_ = mode;
  }
  resetHold();
}

void PlotTrace::resetHold() {
  holdStarted_ = false;
  if (sweptBins_) std::fill_n(sweptBins_.get(), kSweptWords, uint64_t{0});
  if (mode_ != TraceMode::average) resetTraceAverages();
}

void PlotTrace::importData(const TraceData* source) {
  if (!source || source == &traceData_) {
    if (source) traceData_.traces = 1;
    return;
  }
  const int bins = boundedBins(source->bins);
  std::lock_guard guard(traceData_.lock);
  traceData_.bins = bins;
  traceData_.samplingRate = source->samplingRate;
  traceData_.binsPerHertz = source->binsPerHertz;
  traceData_.traces = 1;
  std::memcpy(traceData_.averaged, source->averaged, sizeof(float) * static_cast<size_t>(bins));
}

void PlotTrace::clearTrace() {
  const int bins = boundedBins(spectrum.bins);
  {
    std::lock_guard guard(traceData_.lock);
    std::fill_n(traceData_.averaged, bins, 0.0f);
  }
  // An emptied trace holds nothing.
  if (mode_ != TraceMode::average) resetHold();
}

void PlotTrace::resetTraceAverages() {
  traceData_.traces = 0;
  delayedAverageTrace = 0;
}

void PlotTrace::setTraceAverages(float n) {
  // An averaging length below one would weigh spectra by more than one.
  numberOfTraces = n >= 1 ? n : 1;
  resetTraceAverages();
}

float PlotTrace::binsPerHertz(int bins, float samplingRate) {
  return static_cast<float>(static_cast<double>(bins) / (static_cast<double>(samplingRate) * 0.5));
}

void PlotTrace::applicationFinishLaunching(platform::PropertyDictionary&) { resetTraceAverages(); }

void PlotTrace::applicationTerminating(platform::PropertyDictionary&) {}
