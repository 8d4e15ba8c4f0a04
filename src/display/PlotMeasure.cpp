// The plot's measurements: the live trace normalised to the reference, the
// peak table, and the readings beside the marker (the peak reading between
// bins, the delta marker and the noise marker). Off until the shared
// state's MeasureState asks for them; nothing here runs for the plain plot.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <mutex>

#include "display/PlotContent.h"
#include "dsp/PeakReading.h"
#include "dsp/PlotTrace.h"

namespace display {

namespace {

int binsOf(const TraceData* trace) { return std::clamp(trace->bins, 0, TraceData::kCapacity); }

double decibels(double power) { return 10 * std::log10(power); }

}  // namespace

bool PlotContent::normalising() const {
  return shared_ && shared_->measure.normalise && traceData_ && referenceData_ && normalised_;
}

const TraceData* PlotContent::shownTrace() const { return normalising() ? normalised_.get() : liveTrace(); }

float PlotContent::unityPower() const {
  const float bins = traceData_ ? static_cast<float>(binsOf(traceData_)) : 1.0f;
  return bins * bins;
}

const WindowResponse* PlotContent::fittingWindow() const {
  const WindowResponse* window = shared_ ? shared_->measure.window : nullptr;
  if (!window || !window->valid() || !traceData_) return nullptr;
  return window->bins() == traceData_->bins && window->samplingRate() == traceData_->samplingRate ? window : nullptr;
}

const dsp::LevelScale& PlotContent::levelScale() const {
  static const dsp::LevelScale designed;
  return shared_ && !normalising() ? shared_->levelScale : designed;
}

const char* PlotContent::weightingLetter() const {
  const dsp::Weighting weighting = treater_.treatment().weighting;
  return weighting == dsp::Weighting::Z ? nullptr : dsp::weightingName(weighting);
}

void PlotContent::takeMeasureStorage() {
  if (shared_ && shared_->measure.normalise && !normalised_) normalised_ = std::make_unique<TraceData>();
  if (!shared_) return;
  const dsp::TraceTreatment wanted =
      dsp::TraceTreatment::of(shared_->treatment.weighting, shared_->treatment.smoothing, shared_->sensorResponse.get());
  if (!(wanted == treater_.treatment())) {
    treater_.setTreatment(wanted);
    referenceTreated_ = false;
  }
  if (treater_.treatment().none()) return;
  if (!treated_) treated_ = std::make_unique<TraceData>();
  if (!treatedReference_) treatedReference_ = std::make_unique<TraceData>();
}

void PlotContent::treatLive() {
  if (treating() && traceData_) treater_.treat(*traceData_, *treated_);
}

void PlotContent::treatLiveBins(int first, int last) {
  if (treating() && traceData_) treater_.weighBins(*traceData_, *treated_, first, last);
}

void PlotContent::treatReference() {
  if (!treating() || !referenceData_ || referenceTreated_) return;
  treater_.treat(*referenceData_, *treatedReference_);
  referenceTreated_ = true;
}

void PlotContent::remeasure() {
  takeMeasureStorage();
  needsMarkerUpdate_ = 1;
  referenceMarkerCached_ = 0;
  peakTable_.count = 0;
  if (!traceData_ || !shared_ || !shared_->hasData || traceData_->bins <= 0) {
    requestRedraw();
    return;
  }
  // The reference's path first: building a path clears the out-of-range
  // bar, which belongs to the live trace's.
  if (referenceData_) createReferencePath();
  if (!trackingGeneratorEnabled_) {
    cachePlot();
    return;
  }
  // A sweep: the columns it has measured are detected again, nothing more.
  {
    std::lock_guard<std::mutex> hold(traceData_->lock);
    updateScale();
    treatLive();
    updateBands();
    if (normalising()) normaliseBins(0, traceData_->bins);
    // The columns that hold the measured bins, on the axis in force (it
    // may have changed since they were detected).
    int first = static_cast<int>(std::max(shared_->track.lowest, 0.0f));
    int last = static_cast<int>(std::min(shared_->track.highest, static_cast<float>(kColumns - 2)));
    if (shared_->lowestBin <= shared_->highestBin && shared_->track.highest >= 0) {
      first = static_cast<int>(std::clamp(std::floor(geometry_.columnOfBin(shared_->lowestBin)), 0.0, kColumns - 2.0));
      last = static_cast<int>(std::clamp(std::floor(geometry_.columnOfBin(shared_->highestBin)), 0.0, kColumns - 2.0));
      shared_->track.lowest = 1000000.0f;
      shared_->track.highest = -1.0f;
    }
    for (int column = first; column <= last; ++column) detectTrackingPixel(column);
    createPlotPath(plotPath_, detectedData_, false);
    if (shared_->measure.peakTable) updatePeakTable();
  }
  requestRedraw();
}

// Live power over the reference's at the same frequency, in units that read
// the ratio at the reference level: unity power is bins². A reference bin
// without power has no ratio; it reads as no power.
void PlotContent::normaliseBins(int first, int last) {
  TraceData& out = *normalised_;
  const TraceData& live = *liveTrace();
  const TraceData* reference = referenceTrace();
  const int bins = binsOf(&live);
  out.bins = live.bins;
  out.samplingRate = live.samplingRate;
  out.binsPerHertz = live.binsPerHertz;
  out.traces = live.traces;
  first = std::max(first, 0);
  last = std::min(last, bins);
  const float s = referenceBinsPerBin();
  const double factor = referencePowerFactor();
  const double unity = unityPower();
  const bool sameBins = s == 1.0f && binsOf(reference) >= bins;
  for (int k = first; k < last; ++k) {
    const double power =
        (sameBins ? reference->averaged[k] : valueAt(reference, static_cast<int>(s * static_cast<float>(k)))) * factor;
    const double ratio = power > 0 ? live.averaged[k] / power * unity : 0.0;
    out.averaged[k] = static_cast<float>(std::min(ratio, static_cast<double>(FLT_MAX)));
  }
}

int PlotContent::peakSeparation() const {
  if (!traceData_ || !shared_) return 1;
  const double bph = traceData_->binsPerHertz;
  const WindowResponse* window = fittingWindow();
  const double noiseBins = window ? window->noiseBandwidthBins() : shared_->span.bandwidth * bph;
  const double spanBins = (shared_->span.endFrequency - shared_->span.startFrequency) * bph;
  const double separation = std::max(std::ceil(3 * noiseBins), std::floor(spanBins / 100));
  return separation >= 1 && separation < 1e6 ? static_cast<int>(separation) : 1;
}

void PlotContent::updatePeakTable() {
  const TraceData* trace = shownTrace();
  const int bins = binsOf(trace);
  const double bph = trace->binsPerHertz;
  if (bins <= 0 || !(bph > 0)) {
    peakTable_.count = 0;
    return;
  }
  // The span's bins, and in a sweep only those it has measured.
  int first = static_cast<int>(std::clamp(std::ceil(shared_->span.startFrequency * bph), 0.0, double(bins)));
  int last = static_cast<int>(std::clamp(std::floor(shared_->span.endFrequency * bph), -1.0, double(bins - 1)));
  if (trackingGeneratorEnabled_) {
    first = std::max(first, shared_->lowestBin);
    last = std::min(last, shared_->highestBin);
  }
  // Not the DC bin (the top of a DC offset's lobe; the lobe falls from it,
  // so its other bins are no peaks), and only what stands clear of the
  // trace around it.
  PeakRules rules;
  rules.dcGuard = 1;
  rules.margin = kPeakTableMargin;
  rules.range = kPeakTableRange;
  findPeaks(trace->averaged, bins, first, last, peakSeparation(), peakTable_, rules);
}

void PlotContent::updateMeasureReadout() {
  measureReadout_ = MeasureReadout{};
  if (!shared_ || !traceData_ || !markerCache_.valid || markerCache_.type == kNoMarker) return;
  MeasureState& m = shared_->measure;
  MeasureReadout& r = measureReadout_;
  r.frequency = markerCache_.frequency;
  r.dB = markerCache_.dB;
  const TraceData* trace = shownTrace();
  const int bins = binsOf(trace);
  const float bph = trace->binsPerHertz;
  if (bins <= 0 || !(bph > 0)) return;
  // The record's frequency was made from a whole bin.
  const int bin = static_cast<int>(
      std::clamp(std::lround(static_cast<double>(markerCache_.frequency * bph)), 0L, static_cast<long>(bins - 1)));
  const double reference = decibels(shared_->refScale);
  const WindowResponse* window = fittingWindow();

  // A ratio to the reference has no sine level nor noise density of its
  // own; a sweep's bins are each another tone's, not one tone's spectrum.
  if (m.precisePeak && markerCache_.type == kPeakMarker && window && !normalising() && !trackingGeneratorEnabled_) {
    const PeakReading p = readPeakAt(*window, trace->averaged, bins, bin, bph);
    if (p.valid && p.uncertain) {
      r.uncertain = 1;
    } else if (p.valid && std::isfinite(p.level)) {
      r.precise = 1;
      r.frequency = static_cast<float>(p.frequency);
      r.dB = static_cast<float>(p.level + reference);
    }
  }
  if (m.noiseMarker && !normalising()) {
    const PlotScale& scale = geometry_.scale();
    int start = bin, end = bin + 1;
    markerBand(bin, std::min(shared_->highestBin, scale.endBin), start, end);
    const double bandwidth = window ? window->noiseBandwidth() : shared_->span.bandwidth;
    const double density = noiseDensity(trace->averaged, bins, start, end, bandwidth);
    if (density > 0) {
      r.noise = 1;
      r.noiseDB = static_cast<float>(decibels(density) + reference);
    }
  }
  if (m.deltaMarker) {
    if (!m.anchor.valid && takesAnchor_) m.anchor = MeasureState::Anchor{r.frequency, r.dB, 1};
    if (m.anchor.valid) {
      r.delta = 1;
      r.deltaFrequency = r.frequency - m.anchor.frequency;
      r.deltaDB = r.dB - m.anchor.dB;
    }
  }
}

}  // namespace display
