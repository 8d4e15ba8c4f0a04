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
  const float* gains = gainsFor(in);
  if (&in != &out) {
    out.bins = in.bins;
    out.samplingRate = in.samplingRate;
    out.binsPerHertz = in.binsPerHertz;
    out.traces = in.traces;
  }
  for (int k = first; k < last; ++k) out.averaged[k] = gains ? in.averaged[k] * gains[k] : in.averaged[k];
}

void TraceTreater::treat(const TraceData& in, TraceData& out) noexcept {
  const int bins = std::clamp(in.bins, 0, TraceData::kCapacity);
  weighBins(in, out, 0, bins);
  if (treatment_.smoothing > 0 && smoothing_) {
    if (smoothing_->fraction() != treatment_.smoothing || smoothing_->bins() != bins)
      smoothing_->configure(treatment_.smoothing, bins, in.binsPerHertz);
    smoothing_->apply(out.averaged, out.averaged, bins);
  }
}

}  // namespace dsp
