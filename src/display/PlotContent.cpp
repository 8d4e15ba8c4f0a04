// The plot's passes: the normal update of a whole trace, a sweep's update of
// one bin, the reference's path, and the state the controller sets. The
// markers are in PlotMarkers.cpp, the measurements in PlotMeasure.cpp.

#include "display/PlotContent.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "dsp/PlotTrace.h"
#include "plot/TruncToInt.h"

namespace display {

namespace {

constexpr float kPi20 = 0.15707963267948952f;
constexpr float kPi10 = 0.31415926535897903f;
constexpr float kTwoPi = 6.28318530717958f;

}  // namespace

PlotContent::PlotContent(const PlotMargins& margins)
    : geometry_(margins),
      detectedStorage_(2),
      plotPath_(kColumns + 1, 1.5f),
      referencePath_(kColumns + 1, 1.5f),
      outOfBoundsPath_(2, 20.0f) {
  referencePath_.dashPattern = {8, 3, 3, 3};
  detectedData_ = &detectedStorage_[0];
  detectedReference_ = &detectedStorage_[1];

  wait_[0].color = RGBAColor::rgba(1, 1, 1, 0.6f);
  wait_[1].color = RGBAColor::rgba(1, 1, 1, 0.25f);
  wait_[2].color = RGBAColor::rgba(1, 1, 1, 0.15f);
}

PlotContent::~PlotContent() = default;

// --- Controller interface ----------------------------------------------------

void PlotContent::setSharedData(SharedData* shared) {
  shared_ = shared;
  markerCache_.valid = 0;
  markerCache_.type = kNoMarker;
  if (!shared_) return;
  shared_->lowestBin = 1048576;
  shared_->highestBin = -1;
  shared_->dateString.assign(1, ' ');
  shared_->secondsDateString = shared_->dateString;
}

void PlotContent::setColorPalette(const ColorPalette* palette, bool border) {
  color_ = palette;
  drawBorder_ = border ? 1 : 0;
}

void PlotContent::newSweep() {
  sweptBin_ = -1;
  if (!shared_) return;
  shared_->lowestBin = 1048576;
  shared_->highestBin = -1;
}

void PlotContent::addSweptTrace(TraceData* trace, int lowestBin, int highestBin) {
  if (!shared_) return;
  newSweep();
  makeDateStrings();
  traceData_ = trace;
  shared_->hasData = 1;
  shared_->trackedBin = -1;
  shared_->lowestBin = lowestBin;
  shared_->highestBin = highestBin;
  // The columns are found from the measured bins, as after a change of axis.
  shared_->track.lowest = 0.0f;
  shared_->track.highest = 0.0f;
  remeasure();
}

void PlotContent::addSweepSpectrum(const SpectrumResult* result, float samplingRate) noexcept {
  if (!sweepSpectrum_ || !shared_ || !result || !result->output || result->validBins <= 0 || !takesSweepSpectra())
    return;
  const int bins = std::clamp(result->bins, 0, TraceData::kCapacity);
  const float binsPerHertz = PlotTrace::binsPerHertz(bins, samplingRate);
  // The plot's geometry maps the trace's bins: a spectrum of another
  // configuration waits for the trace to follow.
  if (traceData_ && traceData_->bins > 0 && (traceData_->bins != bins || traceData_->binsPerHertz != binsPerHertz))
    return;
  TraceData& row = *sweepSpectrum_;
  row.bins = bins;
  row.samplingRate = samplingRate;
  row.binsPerHertz = binsPerHertz;
  row.traces = 1;
  std::copy_n(result->output, bins, row.averaged);
  if (!treater_.treatment().none()) treater_.treat(row, row);
  geometry_.updateScale(shared_->span.startFrequency, shared_->span.endFrequency, binsPerHertz, bins, shared_->refScale);
  traceDetected(row);
}

void PlotContent::clearPlot() {
  markerCache_.type = kNoMarker;
  sweptBin_ = -1;
  if (shared_) {
    shared_->lowestBin = 1048576;
    shared_->highestBin = -1;
    shared_->track.lowest = 1000000.0f;
    shared_->track.highest = -1.0f;
  }
  plotPath_.removeAllPoints();
  // The out-of-range bar belongs to the plot it was made for; the wait
  // indicator to the sweep that was turning it.
  outOfBoundsPath_.removeAllPoints();
  drawWait_ = 0;
  requestRedraw();
}

void PlotContent::setTrackingGeneratorMode(bool enabled) {
  trackingGeneratorEnabled_ = enabled ? 1 : 0;
  if (enabled && !sweepSpectrum_) sweepSpectrum_ = std::make_unique<TraceData>();
  if (!enabled && drawWait_) {
    drawWait_ = 0;
    requestRedraw();
  }
}

void PlotContent::attachReference(TraceData* reference, TraceData* trace) {
  referenceData_ = reference;
  traceData_ = trace;
  referenceTreated_ = false;
  if (referenceData_) {
    // The span may have changed with the reference (it brings its own):
    // map with the present one, not the one of the last update.
    if (traceData_ && traceData_->bins > 0) {
      std::lock_guard<std::mutex> hold(traceData_->lock);
      updateScale();
    }
    createReferencePath();
    needsMarkerUpdate_ = 1;
  } else {
    referencePath_.removeAllPoints();
  }
  // The normalised trace follows the reference (and ends with it).
  if (shared_ && shared_->measure.normalise) remeasure();
  requestRedraw();
}

// --- Geometry and mapping ------------------------------------------------------

void PlotContent::updateFrameFromBounds(const QRectF& rect) {
  geometry_.layOut(rect);
  captions_.fitToPlot(geometry_.width(), geometry_.height());
}

void PlotContent::updateScale() {
  if (!traceData_ || !shared_) return;
  if (shared_->axisScale != geometry_.axisScale()) {
    // The logarithmic axis's labels take a row of the bottom margin.
    geometry_.setAxisScale(shared_->axisScale);
    if (!geometry_.bounds().isEmpty()) updateFrameFromBounds(geometry_.bounds());
  }
  geometry_.updateScale(shared_->span.startFrequency, shared_->span.endFrequency, traceData_->binsPerHertz,
                        traceData_->bins, shared_->refScale);
}

float PlotContent::xForFrequency(float frequency) const {
  return geometry_.xForFrequency(frequency, traceData_ ? traceData_->binsPerHertz : 1.0f);
}

// --- Detectors -------------------------------------------------------------------

void PlotContent::detectTrackingPixel(int column) {
  if (!traceData_ || !shared_ || column < 0 || column + 1 >= kColumns) return;
  const int b = geometry_.binAt(column + 1);
  if (shared_->highestBin < b - 1) return;  // the sweep has not finished this column
  const int a = std::max(geometry_.binAt(column), shared_->lowestBin);
  detectColumn(shownTrace(), a, b, geometry_.fractionalBinAt(column), detectedData_, column, shared_->highestBin);
  shared_->track.lowest = std::min(shared_->track.lowest, static_cast<float>(column));
  shared_->track.highest = std::max(shared_->track.highest, static_cast<float>(column));
}

// A reference may come from an analysis of another rate or bin count: a live
// bin k is at the reference's bin k times this, each trace mapped by its own
// bins per hertz. Without usable values the reference is read bin for bin.
float PlotContent::referenceBinsPerBin() const {
  if (!traceData_ || !referenceData_) return 1;
  const float ratio = binsPerHertzOf(referenceData_) / binsPerHertzOf(traceData_);
  return ratio > 0 && std::isfinite(ratio) ? ratio : 1;
}

// Power values grow with the square of the bin count (value / bins^2 is the
// mean square of a sine), so a reference of another bin count is brought to
// the live trace's units before the live trace's dB mapping reads it.
float PlotContent::referencePowerFactor() const {
  if (!traceData_ || !referenceData_ || traceData_->bins <= 0 || referenceData_->bins <= 0) return 1;
  const double ratio = static_cast<double>(traceData_->bins) / referenceData_->bins;
  return static_cast<float>(ratio * ratio);
}

// --- Paths -----------------------------------------------------------------------

void PlotContent::createReferencePath() {
  if (!traceData_ || !referenceData_) return;
  treatReference();
  referenceMapping_ = currentMapping();
  const float s = referenceBinsPerBin();
  const float factor = referencePowerFactor();
  const int last = geometry_.lastColumn();
  // The path ends with the reference's data: columns from the first one that
  // starts past its last bin (a reference of a lower rate ends below the
  // live span's top) are not drawn.
  const int lastBin = std::max(referenceData_->bins - 1, 0);
  int columns = last + 1;
  if (normalising()) {
    // Relative to itself the reference is the reference level throughout.
    const float unity = unityPower();
    for (int i = 0; i <= last; ++i) {
      detectedReference_->min[i] = detectedReference_->max[i] = detectedReference_->mean[i] = unity;
      detectedReference_->updown[i] = 0;
    }
    referencePath_.removeAllPoints();
    createPlotPath(referencePath_, detectedReference_, true, columns);
    return;
  }
  for (int i = 0; i <= last; ++i) {
    detectReferencePixel(i, referenceTrace(), detectedReference_, s);
    if (columns > last && truncToInt(s * geometry_.fractionalBinAt(i)) > lastBin) columns = i;
    if (factor != 1) {
      detectedReference_->min[i] *= factor;
      detectedReference_->max[i] *= factor;
      detectedReference_->mean[i] *= factor;
    }
  }
  referencePath_.removeAllPoints();
  createPlotPath(referencePath_, detectedReference_, true, columns);
}

void PlotContent::createPlotPath(PolylinePath& path, DetectedData* detected, bool isReference, int columns) {
  path.removeAllPoints();
  outOfBoundsPath_.removeAllPoints();
  PlotScale& scale = geometry_.scale();
  scale.valid = 0;
  if (!shared_ || !shared_->hasData) return;

  int last = geometry_.lastColumn();
  const float* values = detectorValues(shared_->detectorMode, detected, last);
  scale.valid = 1;

  int first = 0;
  last = std::min(last, std::max(columns, 0));
  if (!isReference && trackingGeneratorEnabled_) sweptColumns(first, last);

  const PathExtent extent = buildTracePath(path, geometry_, values, first, last);
  // A plot without any point has nothing to flag.
  if (isReference || path.isEmpty()) return;
  buildOutOfRangeBar(outOfBoundsPath_, geometry_, extent, first, last);
}

// --- Updates ---------------------------------------------------------------------

void PlotContent::cachePlot() {
  if (!traceData_ || !shared_ || traceData_->bins <= 0) return;
  {
    std::lock_guard<std::mutex> hold(traceData_->lock);
    updateScale();
    if (referenceData_ && !(currentMapping() == referenceMapping_)) createReferencePath();
    shared_->lowestBin = 0;
    shared_->highestBin = traceData_->bins;
    const int last = geometry_.lastColumn();
    treatLive();
    updateBands();
    if (normalising()) normaliseBins(0, traceData_->bins);
    const TraceData* shown = shownTrace();
    for (int i = 0; i <= last; ++i) detectPixel(i, shown, detectedData_);
    createPlotPath(plotPath_, detectedData_, false);
    if (shared_->measure.peakTable) updatePeakTable();
    updateStrings();
    traceDetected(*shown);
  }
  requestRedraw();
}

void PlotContent::accumulateBinToPlot() {
  if (!traceData_ || !shared_ || traceData_->bins <= 0) return;
  bool redraw = false;
  bool leftPlot = false;
  {
    std::lock_guard<std::mutex> hold(traceData_->lock);
    updateScale();
    if (referenceData_ && !(currentMapping() == referenceMapping_)) createReferencePath();
    const PlotScale& scale = geometry_.scale();
    const int c = shared_->trackedBin;
    // On the logarithmic axis a sweep measures points: the trace's bins
    // since the last one shown came with this one.
    const bool logarithmic = geometry_.axis().logarithmic();
    const int first = logarithmic && sweptBin_ >= 0 && sweptBin_ < c ? sweptBin_ + 1 : c;
    sweptBin_ = c;
    shared_->lowestBin = std::min(shared_->lowestBin, first);
    shared_->highestBin = std::max(shared_->highestBin, c);
    // A sweep's bins are weighted as they come; smoothing needs the bins
    // above them and waits for the swept curve to be detected again.
    treatLiveBins(first, c + 1);
    if (normalising()) normaliseBins(first, c + 1);

    // The wait indicator turns while the sweep runs up to the plot's left edge.
    if (c < scale.startBin + 80) {
      drawWait_ = 1;
      if (waitCycle_ >= 4) {
        waitCycle_ = 0;
        const float oldAngle0 = wait_[0].angle;
        wait_[2].angle = wait_[1].angle + kPi20;
        if (wait_[2].angle > kTwoPi) wait_[2].angle -= kTwoPi;
        wait_[1].angle = oldAngle0 + kPi20;
        if (wait_[1].angle > kTwoPi) wait_[1].angle -= kTwoPi;
        wait_[0].angle = oldAngle0 - kPi10;
        if (wait_[0].angle < -kTwoPi) wait_[0].angle += kTwoPi;
        if (c < scale.startBin + 6) shared_->track.pixel = -10;
        redraw = true;
      }
      waitCycle_ += 1;
    } else {
      drawWait_ = 0;
    }

    float quotient = static_cast<float>(geometry_.columnOfBin(c));
    if (std::isnan(quotient)) quotient = 0;  // a zero-width span at its own bin
    const int p = truncToInt(quotient);
    if (static_cast<float>(p) >= geometry_.width()) leftPlot = true;

    // Detect the column whose last bin has just arrived: column p, or p + 1
    // when the columns are narrower than a bin. Only columns of the plot.
    int column = -1;
    if (!logarithmic && p >= -1 && p + 2 < kColumns) {
      if (p >= 0 && c == geometry_.binAt(p + 1) - 1) {
        column = p;
      } else if (c == geometry_.binAt(p + 2) - 1) {
        column = p + 1;
      }
    }
    if (column >= 0) detectTrackingPixel(column);
    // On the logarithmic axis the columns complete now are those whose last
    // bin came with this point and, where columns are narrower than a bin
    // and read the trace between the two bins around their centres, those
    // whose upper bin did (several, or one that also holds a bin's edge and
    // read that bin alone until its upper bin came).
    if (logarithmic) {
      const int from = std::clamp(truncToInt(geometry_.columnOfBin(first - 1)) - 1, 0, kColumns - 2);
      const int to = std::clamp(truncToInt(geometry_.columnOfBin(c)) + 2, from, std::min(kColumns - 2, from + 4096));
      for (int k = from; k <= to; ++k) {
        const int a = geometry_.binAt(k), b = geometry_.binAt(k + 1);
        const int last = b > a + 1 ? b - 1 : truncToInt(geometry_.fractionalBinAt(k)) + 1;
        if (last < first || last > c) continue;
        detectTrackingPixel(k);
        column = std::max(column, k);
      }
    }
    if (column >= 0) {
      updateBands();
      createPlotPath(plotPath_, detectedData_, false);
      if (shared_->measure.peakTable) updatePeakTable();
      updateStrings();
      shared_->track.pixel = static_cast<float>(column);
      redraw = true;
    }
  }
  // Told after the lock is released, so that the controller may do anything
  // with the trace when it stops the sweep.
  if (leftPlot && callbacks_.stopTrackingGenerator) callbacks_.stopTrackingGenerator();
  if (redraw) requestRedraw();
}

// --- Texts -------------------------------------------------------------------------

void PlotContent::updateStrings() {
  if (!shared_) return;
  captions_.updateBandwidth(shared_->span.bandwidth);
}

void PlotContent::makeDateStrings() {
  if (!shared_) return;
  PlotCaptions::makeDateStrings(*shared_);
}

}  // namespace display
