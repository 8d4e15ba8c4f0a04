#include "dsp/PlotTrace.h"

#include <algorithm>
#include <cstring>

#include "ui/MainThread.h"

namespace {

int boundedBins(int bins) { return std::clamp(bins, 0, TraceData::kCapacity); }

}  // namespace

PlotTrace::PlotTrace() {
  spectrumValues = new float[TraceData::kCapacity]();
  spectrum.output = spectrumValues;
}

PlotTrace::~PlotTrace() { delete[] spectrumValues; }

void PlotTrace::addDataSamplingRateBin(const SpectrumResult* result, float samplingRate, int bin) {
  if (!result) return;
  const int bins = boundedBins(result->bins);
  traceData_.bins = bins;
  traceData_.samplingRate = samplingRate;
  traceData_.binsPerHertz = binsPerHertz(bins, samplingRate);
  // Keep our own copy of the values: the averaging step runs later, when the
  // engine may have been reconfigured or replaced.
  spectrum = *result;
  spectrum.bins = bins;
  if (result->output && bins > 0)
    std::memcpy(spectrumValues, result->output, sizeof(float) * static_cast<size_t>(bins));
  spectrum.output = spectrumValues;

  if (bin < 0) {
    ui::MainThread::instance().runAsync(&PlotTrace::cachePlotTask, this);
  } else if (bin < traceData_.bins) {
    std::lock_guard guard(traceData_.lock);
    traceData_.averaged[bin] = spectrumValues[bin];
  }
}

void PlotTrace::addDataSamplingRate(const SpectrumResult* result, float samplingRate) {
  addDataSamplingRateBin(result, samplingRate, -1);
}

void PlotTrace::cachePlotTask(void* context) { static_cast<PlotTrace*>(context)->cachePlot(); }

void PlotTrace::cachePlot() {
  const int bins = boundedBins(traceData_.bins);
  const float* values = spectrum.output;
  std::lock_guard guard(traceData_.lock);
  float traces = traceData_.traces;
  bool restart = true;
  if (spectrum.validBins < bins || traces == 0) {
    // A partial or dropped spectrum, or the first after a reset.
    delayedAverageTrace = 0;
  } else {
    // The first spectra after a reset come from a partly filled ring: each of
    // the first three replaces the trace.
    int discarded = delayedAverageTrace++;
    if (discarded >= 2) {
      delayedAverageTrace = 2;
      traces = traces + 1;
      if (traces > numberOfTraces) traces = numberOfTraces;
      traceData_.traces = traces;
      const float w = 1.0f / traces;
      const float u = 1.0f - w;
      float* averaged = traceData_.averaged;
      for (int k = 0; k < bins; ++k) averaged[k] = averaged[k] * u + values[k] * w;
      restart = false;
    }
  }
  if (restart) {
    traceData_.traces = 1;
    std::memcpy(traceData_.averaged, values, sizeof(float) * static_cast<size_t>(bins));
  }
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
  std::lock_guard guard(traceData_.lock);
  std::fill_n(traceData_.averaged, bins, 0.0f);
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
