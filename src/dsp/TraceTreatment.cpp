#include "dsp/TraceTreatment.h"

#include <algorithm>

#include "dsp/PlotTrace.h"
#include "dsp/SensorResponse.h"

namespace dsp {

TraceTreater::TraceTreater() = default;
TraceTreater::~TraceTreater() = default;

void TraceTreater::setTreatment(const TraceTreatment& treatment) {
  treatment_ = treatment;
  if (!isSmoothingFraction(treatment_.smoothing)) treatment_.smoothing = 0;
  if (treatment_.smoothing > 0 && !smoothing_) smoothing_ = std::make_unique<OctaveSmoothing>(TraceData::kCapacity);
  if ((treatment_.weighting != Weighting::Z || treatment_.response) && gains_.empty())
    gains_.resize(TraceData::kCapacity);
  gainBins_ = -1;  // the gains are filled for the next trace
}

const float* TraceTreater::gainsFor(const TraceData& trace) noexcept {
  if ((treatment_.weighting == Weighting::Z && !treatment_.response) || gains_.empty()) return nullptr;
  const int bins = std::clamp(trace.bins, 0, TraceData::kCapacity);
  if (bins != gainBins_ || trace.binsPerHertz != gainBinsPerHertz_ || treatment_.weighting != gainWeighting_ ||
      treatment_.response != gainResponse_) {
    if (treatment_.weighting != Weighting::Z) {
      fillWeightingGains(treatment_.weighting, trace.binsPerHertz, bins, gains_.data());
    } else {
      std::fill(gains_.begin(), gains_.begin() + bins, 1.0f);
    }
    if (treatment_.response) treatment_.response->applyGains(trace.binsPerHertz, bins, gains_.data());
    gainBins_ = bins;
    gainBinsPerHertz_ = trace.binsPerHertz;
    gainWeighting_ = treatment_.weighting;
    gainResponse_ = treatment_.response;
  }
  return gains_.data();
}

void TraceTreater::weighBins(const TraceData& in, TraceData& out, int first, int last) noexcept {
  const int bins = std::clamp(in.bins, 0, TraceData::kCapacity);
  first = std::clamp(first, 0, bins);
  last = std::clamp(last, first, bins);
  takeHeader(in, out);
  if (const float* gains = gainsFor(in))
    for (int k = first; k < last; ++k) out.averaged[k] = in.averaged[k] * gains[k];
  else if (&in != &out)
    std::copy(in.averaged + first, in.averaged + last, out.averaged + first);
}

void TraceTreater::takeHeader(const TraceData& in, TraceData& out) noexcept {
  if (&in == &out) return;
  out.bins = in.bins;
  out.samplingRate = in.samplingRate;
  out.binsPerHertz = in.binsPerHertz;
  out.traces = in.traces;
}

void TraceTreater::treat(const TraceData& in, TraceData& out) noexcept {
  const int bins = std::clamp(in.bins, 0, TraceData::kCapacity);
  if (treatment_.smoothing <= 0 || !smoothing_) return weighBins(in, out, 0, bins);
  if (smoothing_->fraction() != treatment_.smoothing || smoothing_->bins() != bins)
    smoothing_->configure(treatment_.smoothing, bins, in.binsPerHertz);
  // Without gains the smoothing reads the trace itself: no copy first.
  if (gainsFor(in)) {
    weighBins(in, out, 0, bins);
    smoothing_->apply(out.averaged, out.averaged, bins);
  } else {
    takeHeader(in, out);
    smoothing_->apply(in.averaged, out.averaged, bins);
  }
}

}  // namespace dsp
