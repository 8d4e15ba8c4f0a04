// The plot's fractional-octave bands: their levels from the live trace at
// each detection pass, for the renderer's bars and the overall level.

#include <algorithm>

#include "display/PlotContent.h"
#include "dsp/PlotTrace.h"

namespace display {

void PlotContent::updateBands() {
  bandsShown_ = false;
  if (!shared_ || !traceData_ || traceData_->bins <= 0 || !dsp::isBandFraction(shared_->bands)) return;
  const TraceData& live = *traceData_;
  // From the first bin above 0 Hz: the bands below it cannot be read.
  const float lowest = std::max(shared_->span.startFrequency, 1.0f / live.binsPerHertz);
  const BandSetting setting{shared_->bands, lowest, shared_->span.endFrequency, live.binsPerHertz,
                            shared_->span.bandwidth, live.bins};
  if (!(setting == bandSetting_)) {
    bandSetting_ = setting;
    bandAnalysis_.configure(setting.fraction, setting.lower, setting.upper, setting.binsPerHertz, setting.bins,
                            setting.bandwidth);
    bandLevels_.assign(bandAnalysis_.bands().size(), 0.0);
  }
  // Weighted as the trace is shown, but not smoothed: a band's filter does
  // its own averaging.
  const float* gains = treating() ? treater_.gainsFor(live) : nullptr;
  bandAnalysis_.measure(live.averaged, live.bins, gains, bandLevels_.data());
  overallLevel_ = bandAnalysis_.overallPower(live.averaged, live.bins, shared_->span.startFrequency,
                                             shared_->span.endFrequency, gains);
  bandsShown_ = true;
}

}  // namespace display
