// Geometry, mapping, detectors, paths and the normal and sweep updates of
// the plot view. The markers are in DisplayMarkers.cpp, drawing in
// DisplayDraw.cpp.

#include "display/Display.h"
#include "plot/TruncToInt.h"

#include <QMenu>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

#include "dsp/PlotTrace.h"
#include "ui/MainThread.h"

namespace display {

namespace {

// Views that may have detection passes queued. A queued pass names its view
// by slot, so a view destroyed before its pass runs is simply not found (its
// slot may by then hold a newer view, which then makes one extra pass).
// Main thread only, like every view.
constexpr int kViewSlots = 64;
Display* gViews[kViewSlots] = {};

constexpr float kPi20 = 0.15707963267948952f;
constexpr float kPi10 = 0.31415926535897903f;
constexpr float kTwoPi = 6.28318530717958f;

}  // namespace

Display::Display(QWidget* parent)
    : QWidget(parent),
      pixelToBinMap_(kColumns, 0),
      pixelToFractionalBin_(kColumns, 0.0f),
      detectedStorage_(2),
      plotPath_(kColumns + 1, 1.5f),
      referencePath_(kColumns + 1, 1.5f),
      outOfBoundsPath_(2, 20.0f),
      segments_(kColumns) {
  referencePath_.dashPattern = {8, 3, 3, 3};
  // The keys that zoom and pan reach the plot once it is clicked.
  setFocusPolicy(Qt::StrongFocus);
  detectedData_ = &detectedStorage_[0];
  detectedReference_ = &detectedStorage_[1];
  graticuleX_.reserve(9);
  graticuleY_.reserve(8);

  wait_[0].color = RGBAColor::rgba(1, 1, 1, 0.6f);
  wait_[1].color = RGBAColor::rgba(1, 1, 1, 0.25f);
  wait_[2].color = RGBAColor::rgba(1, 1, 1, 0.15f);

  updateFrameFromBounds(QRectF(0, 0, QWidget::width(), QWidget::height()));
  setScaleFont(10, 11);

  for (int slot = 0; slot < kViewSlots; ++slot) {
    if (!gViews[slot]) {
      gViews[slot] = this;
      slot_ = slot;
      break;
    }
  }

  clickMenu_ = new QMenu(this);
  const struct {
    const char* title;
    int tag;
  } items[] = {{"Marker", kPlainMarker},
               {"Band Marker", kBandMarker},
               {"Peak Marker", kPeakMarker},
               {"Minimum Marker", kMinimumMarker},
               {"Remove Marker", kNoMarker}};
  for (const auto& item : items) {
    QAction* action = clickMenu_->addAction(QString::fromUtf8(item.title));
    action->setData(item.tag);
    const int tag = item.tag;
    QObject::connect(action, &QAction::triggered, this, [this, tag] { setMarker(tag); });
  }
}

Display::~Display() {
  if (slot_ >= 0) gViews[slot_] = nullptr;
}

// --- Controller interface ----------------------------------------------------

void Display::setSharedData(SharedData* shared) {
  shared_ = shared;
  markerCache_.valid = 0;
  markerCache_.type = kNoMarker;
  if (!shared_) return;
  shared_->lowestBin = 1048576;
  shared_->highestBin = -1;
  shared_->dateString.assign(1, ' ');
  shared_->secondsDateString = shared_->dateString;
}

void Display::setColorPalette(const ColorPalette* palette, bool border) {
  color_ = palette;
  drawBorder_ = border ? 1 : 0;
}

void Display::addTraceData(TraceData* trace) { addTraceDataBin(trace, -1); }

void Display::addTraceDataBin(TraceData* trace, int bin) {
  if (!shared_) return;
  makeDateStrings();
  shared_->trackedBin = bin;
  traceData_ = trace;
  shared_->hasData = 1;
  if (bin >= 0) {
    accumulateBinToPlot();
  } else if (slot_ >= 0) {
    ui::MainThread::instance().runAsync(&Display::cachePlotTask, reinterpret_cast<void*>(static_cast<intptr_t>(slot_)));
  } else {
    cachePlot();  // more views than slots: detect at once rather than risk a stale pass
  }
}

void Display::cachePlotTask(void* slot) {
  Display* view = gViews[reinterpret_cast<intptr_t>(slot)];
  if (view) view->cachePlot();
}

void Display::newSweep() {
  if (!shared_) return;
  shared_->lowestBin = 1048576;
  shared_->highestBin = -1;
}

void Display::clearPlot() {
  markerCache_.type = kNoMarker;
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
  update();
}

void Display::setTrackingGeneratorMode(bool enabled) {
  trackingGeneratorEnabled_ = enabled ? 1 : 0;
  if (!enabled && drawWait_) {
    drawWait_ = 0;
    update();
  }
}

void Display::setPlotScale(float dBPerDivision) {
  dBPerDivision_ = dBPerDivision;
  needsPlotUpdate_ = 1;
  referenceMarkerCached_ = 0;
  update();
}

void Display::setCaptionColor(const RGBAColor& color) {
  captionFontAttribute_.foreground = color;
  scaleFontAttribute_.foreground = color;
  leftFontAttribute_.foreground = color;
  centerFontAttribute_.foreground = color;
  rightFontAttribute_.foreground = color;
}

void Display::setReference(TraceData* reference, TraceData* trace) {
  referenceData_ = reference;
  traceData_ = trace;
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
  if (shared_ && shared_->measure.normalise) measurementsChanged();
  update();
}

// --- Geometry and mapping ------------------------------------------------------

void Display::setPlotBounds(const QRectF& rect) {
  bounds_ = rect;
  width_ = static_cast<float>(rect.width());
  fullHeight_ = static_cast<float>(rect.height());
  x0_ = y0_ = 45;
  plotBounds_ = QRectF(45, 45, width_ - 45 - 4, fullHeight_ - 45 - 28);
  width_ = width_ - 49;
  height_ = fullHeight_ - 73;
  yOffset_ = height_ * 0.05f;
}

void Display::updateFrameFromBounds(const QRectF& rect) {
  setPlotBounds(rect);

  float s = static_cast<float>(std::sqrt(static_cast<double>(width_) * height_) * 10 / 480);
  if (!(s >= 10)) s = 10;  // also a negative area (NaN)
  if (s > 12) s = 12;
  if (std::fabs(s - scaleFontSize_) > 0.1f) {
    captionFontSize_ = scaleFontSize_ = s;
    infoFontSize_ = s * 1.1f;
    captionFontAttribute_.size = s;
    scaleFontAttribute_.size = s;
    leftFontAttribute_.size = infoFontSize_;
    centerFontAttribute_.size = infoFontSize_;
    rightFontAttribute_.size = infoFontSize_;
  }

  frame_ = bounds_;
  plotFrame_ = plotBounds_;
  clipFrame_ = plotBounds_.adjusted(0.5, 0.5, -0.5, -0.5);

  graticuleY_.clear();
  graticuleX_.clear();
  for (int i = 1; i <= 8; ++i) {
    const float y = static_cast<float>(i) * (height_ * 0.125f) + y0_ - yOffset_;
    graticuleY_.push_back(static_cast<float>(truncToInt(y)) + 0.5f);
  }
  for (int i = 1; i <= 9; ++i) {
    const float x = static_cast<float>(i) * (width_ / 10) + x0_;
    graticuleX_.push_back(static_cast<float>(truncToInt(x)) + 0.5f);
  }
}

void Display::updateScale() {
  if (!traceData_ || !shared_) return;
  const float start = shared_->span.startFrequency;
  const float end = shared_->span.endFrequency;
  const float bph = traceData_->binsPerHertz;
  const int bins = traceData_->bins;
  const double plotWidth = plotBounds_.width();

  scale_.hertzPerPixel = static_cast<float>(static_cast<double>(end - start) / plotWidth);
  scale_.binsPerPixel = scale_.hertzPerPixel * bph;
  scale_.startBin = truncToInt(static_cast<double>(start * bph) - 0.5 * scale_.binsPerPixel);
  scale_.endBin = truncToInt(bph * end + scale_.binsPerPixel);
  scale_.firstBin = scale_.startBin > 0 ? scale_.startBin : 0;
  scale_.logScale = static_cast<float>((10.0 / dBPerDivision_) * (height_ * 0.125));
  scale_.linearScale = static_cast<float>((1.0 / bins) * shared_->refScale / bins);
  scale_.top = height_ + y0_;

  const auto lastBin = static_cast<float>(bins - 1);
  auto mapColumn = [&](int i) {
    float f = static_cast<float>(scale_.startBin) + static_cast<float>(i) * scale_.binsPerPixel;
    if (!(f < static_cast<float>(bins))) f = lastBin;
    pixelToFractionalBin_[static_cast<size_t>(i)] = f;
    pixelToBinMap_[static_cast<size_t>(i)] = truncToInt(f);
  };
  int i = 0;
  for (; i < kColumns && i <= plotWidth; ++i) mapColumn(i);
  // A plot narrower than its margins computes no column; its map holds the
  // left edge throughout.
  if (i == 0) mapColumn(i++);
  const int lastMapped = pixelToBinMap_[static_cast<size_t>(i - 1)];
  const float lastFraction = pixelToFractionalBin_[static_cast<size_t>(i - 1)];
  std::fill(pixelToBinMap_.begin() + i, pixelToBinMap_.end(), lastMapped);
  std::fill(pixelToFractionalBin_.begin() + i, pixelToFractionalBin_.end(), lastFraction);
}

float Display::yForValue(float value) const {
  // A bin without power has no level: it lies below the plot, where the
  // clip hides it, and a trace of nothing but such bins gets the bar that
  // says "below the plot" (a made-up level would read as a noise floor).
  if (!(value > 0)) return noPowerY();
  // A product that underflows to 0 (or overflows) would put the point at
  // infinity; hold it at the smallest (largest) normal float instead.
  float power = scale_.linearScale * value;
  power = std::clamp(power, std::numeric_limits<float>::min(), std::numeric_limits<float>::max());
  return scale_.top + scale_.logScale * std::log10(power);
}

float Display::xForFrequency(float frequency) const {
  const float bph = traceData_ ? traceData_->binsPerHertz : 1.0f;
  return (frequency * bph - static_cast<float>(scale_.startBin)) / scale_.binsPerPixel + x0_;
}

// --- Detectors -------------------------------------------------------------------

// Bin values read the mirror image left of 0 Hz, and never past the trace's
// last bin (a reference recorded at another rate maps beyond it).
float Display::valueAt(const TraceData* trace, int bin) const {
  int k = bin < 0 ? -bin : bin;
  const int last = std::clamp(trace->bins - 1, 0, TraceData::kCapacity - 1);
  if (k > last) k = last;
  return trace->averaged[k];
}

void Display::detectColumn(const TraceData* input, int a, int b, float fraction, DetectedData* output,
                           int column, int lastKnownBin) const {
  float mn, mx, mean;
  int flags = 0;
  // A column that holds no whole bin, or only the one its left edge lies
  // in, interpolates at its left edge as the narrower columns beside it do:
  // read as bin a alone it would break the line between them with a tick
  // at every bin boundary. A bin not measured yet is not interpolated to.
  const bool interpolates = b <= a || (b == a + 1 && truncToInt(fraction) + 1 <= lastKnownBin);
  if (!interpolates) {
    const int last = std::clamp(input->bins - 1, 0, TraceData::kCapacity - 1);
    float v = valueAt(input, a);
    mn = mx = v;
    float sum = v;
    auto scan = [&](auto valueOf) {
      for (int k = a + 1; k < b; ++k) {
        v = valueOf(k);
        if (v > mx) {
          flags |= 1;
          mx = v;
        }
        if (v < mn) {
          flags |= 2;
          mn = v;
        }
        sum += v;
      }
    };
    if (a >= 0 && b - 1 <= last) {
      // The usual case: every bin of the column lies in the trace.
      const float* values = input->averaged;
      scan([values](int k) { return values[k]; });
    } else {
      scan([this, input](int k) { return valueAt(input, k); });
    }
    mean = sum / static_cast<float>(b - a);
  } else {
    // Narrower than a bin: interpolate between the two nearest bins.
    const int k = truncToInt(fraction);
    const float t = fraction - static_cast<float>(k);
    mean = (1 - t) * valueAt(input, k) + t * valueAt(input, k + 1);
    mn = mx = mean;
  }
  output->min[column] = mn;
  output->max[column] = mx;
  output->mean[column] = mean;
  output->updown[column] = flags;
}

void Display::detectPixel(int column, const TraceData* input, DetectedData* output) const {
  if (column < 0 || column + 1 >= kColumns) return;
  const int a = pixelToBinMap_[static_cast<size_t>(column)];
  const int b = pixelToBinMap_[static_cast<size_t>(column) + 1];
  detectColumn(input, a, b, pixelToFractionalBin_[static_cast<size_t>(column)], output, column,
               std::numeric_limits<int>::max());
}

void Display::detectTrackingPixel(int column) {
  if (!traceData_ || !shared_ || column < 0 || column + 1 >= kColumns) return;
  const int b = pixelToBinMap_[static_cast<size_t>(column) + 1];
  if (shared_->highestBin < b - 1) return;  // the sweep has not finished this column
  const int a = std::max(pixelToBinMap_[static_cast<size_t>(column)], shared_->lowestBin);
  detectColumn(shownTrace(), a, b, pixelToFractionalBin_[static_cast<size_t>(column)], detectedData_, column,
               shared_->highestBin);
  shared_->track.lowest = std::min(shared_->track.lowest, static_cast<float>(column));
  shared_->track.highest = std::max(shared_->track.highest, static_cast<float>(column));
}

void Display::detectReferencePixel(int column, const TraceData* input, DetectedData* output, float scale) const {
  if (column < 0 || column + 1 >= kColumns) return;
  const int a = truncToInt(scale * static_cast<float>(pixelToBinMap_[static_cast<size_t>(column)]));
  const int b = truncToInt(scale * static_cast<float>(pixelToBinMap_[static_cast<size_t>(column) + 1]));
  detectColumn(input, a, b, scale * pixelToFractionalBin_[static_cast<size_t>(column)], output, column,
               std::numeric_limits<int>::max());
}

// Last column detected and drawn: the plot width, within the column arrays.
static int lastColumnFor(float width) { return std::min(truncToInt(width), DetectedData::kColumns - 2); }

// Bins per hertz of a trace; a record that lacks them (a reference file
// without the key) has them from its bin count and rate, or 0.
static float binsPerHertzOf(const TraceData* trace) {
  if (trace->binsPerHertz > 0 && std::isfinite(trace->binsPerHertz)) return trace->binsPerHertz;
  if (trace->bins > 0 && trace->samplingRate > 0) return static_cast<float>(trace->bins) / (trace->samplingRate / 2);
  return 0;
}

// A reference may come from an analysis of another rate or bin count: a live
// bin k is at the reference's bin k times this, each trace mapped by its own
// bins per hertz. Without usable values the reference is read bin for bin.
float Display::referenceBinsPerBin() const {
  if (!traceData_ || !referenceData_) return 1;
  const float ratio = binsPerHertzOf(referenceData_) / binsPerHertzOf(traceData_);
  return ratio > 0 && std::isfinite(ratio) ? ratio : 1;
}

// Power values grow with the square of the bin count (value / bins^2 is the
// mean square of a sine), so a reference of another bin count is brought to
// the live trace's units before the live trace's dB mapping reads it.
float Display::referencePowerFactor() const {
  if (!traceData_ || !referenceData_ || traceData_->bins <= 0 || referenceData_->bins <= 0) return 1;
  const double ratio = static_cast<double>(traceData_->bins) / referenceData_->bins;
  return static_cast<float>(ratio * ratio);
}

void Display::createReferencePath() {
  if (!traceData_ || !referenceData_) return;
  referenceMapping_ = currentMapping();
  const float s = referenceBinsPerBin();
  const float factor = referencePowerFactor();
  const int last = lastColumnFor(width_);
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
    detectReferencePixel(i, referenceData_, detectedReference_, s);
    if (columns > last && truncToInt(s * pixelToFractionalBin_[static_cast<size_t>(i)]) > lastBin) columns = i;
    if (factor != 1) {
      detectedReference_->min[i] *= factor;
      detectedReference_->max[i] *= factor;
      detectedReference_->mean[i] *= factor;
    }
  }
  referencePath_.removeAllPoints();
  createPlotPath(referencePath_, detectedReference_, true, columns);
}

// --- Paths -----------------------------------------------------------------------

void Display::sweptColumns(int& first, int& last) const {
  if (shared_->track.lowest > 0) first = truncToInt(shared_->track.lowest);
  if (shared_->track.highest < static_cast<float>(last)) last = truncToInt(shared_->track.highest);
}

void Display::createPlotPath(PolylinePath& path, DetectedData* detected, bool isReference, int columns) {
  path.removeAllPoints();
  outOfBoundsPath_.removeAllPoints();
  scale_.valid = 0;
  if (!shared_ || !shared_->hasData) return;

  int last = lastColumnFor(width_);
  const float* values;
  switch (shared_->detectorMode) {
    case 0:
      values = detected->mean;
      break;
    case 1:
      values = detected->max;
      break;
    case 2:
      values = detected->min;
      break;
    default: {
      const bool minimumMode = shared_->detectorMode == 3;
      for (int i = 0; i <= last; ++i) {
        if (detected->updown[i] == 3) {
          if (i & 1) {
            detected->rosenfell[i] = std::max(detected->max[i - 1], detected->max[i]);
          } else {
            detected->rosenfell[i] = minimumMode ? detected->min[i] : detected->mean[i];
          }
        } else {
          detected->rosenfell[i] = detected->max[i];
        }
      }
      values = detected->rosenfell;
    }
  }
  scale_.valid = 1;

  int first = 0;
  last = std::min(last, std::max(columns, 0));
  if (!isReference && trackingGeneratorEnabled_) sweptColumns(first, last);

  float smallest = 1000;
  float largest = 0;
  for (int column = first; column < last; ++column) {
    const float y = yForValue(values[column]);
    const double x = x0_ + column;
    if (column == first) {
      path.moveTo(x, y - yOffset_);
    } else {
      path.lineTo(x, y - yOffset_);
    }
    if (column < last - 1) {
      smallest = std::min(smallest, y);
      largest = std::max(largest, y);
    }
  }

  // The out-of-range bar: the whole trace lies near or below the bottom or
  // above the reference line. A plot without any point has nothing to flag.
  if (isReference || path.isEmpty()) return;
  const double py = plotBounds_.y();
  if (largest < py + 30 || smallest > scale_.top - 1) {
    const double yb = largest < py + 32 ? py + 10 : py + plotBounds_.height() - 10;
    outOfBoundsPath_.moveTo(x0_ + first + 1.2, yb);
    outOfBoundsPath_.lineTo(x0_ + last - 1.2, yb);
  }
}

// --- Updates ---------------------------------------------------------------------

void Display::cachePlot() {
  if (!traceData_ || !shared_ || traceData_->bins <= 0) return;
  {
    std::lock_guard<std::mutex> hold(traceData_->lock);
    updateScale();
    if (referenceData_ && !(currentMapping() == referenceMapping_)) createReferencePath();
    shared_->lowestBin = 0;
    shared_->highestBin = traceData_->bins;
    const int last = lastColumnFor(width_);
    if (normalising()) normaliseBins(0, traceData_->bins);
    const TraceData* shown = shownTrace();
    for (int i = 0; i <= last; ++i) detectPixel(i, shown, detectedData_);
    createPlotPath(plotPath_, detectedData_, false);
    if (shared_->measure.peakTable) updatePeakTable();
    updateStrings();
  }
  update();
}

void Display::accumulateBinToPlot() {
  if (!traceData_ || !shared_ || traceData_->bins <= 0) return;
  bool redraw = false;
  bool leftPlot = false;
  {
    std::lock_guard<std::mutex> hold(traceData_->lock);
    updateScale();
    if (referenceData_ && !(currentMapping() == referenceMapping_)) createReferencePath();
    const int c = shared_->trackedBin;
    shared_->lowestBin = std::min(shared_->lowestBin, c);
    shared_->highestBin = std::max(shared_->highestBin, c);
    if (normalising()) normaliseBins(c, c + 1);

    // The wait indicator turns while the sweep runs up to the plot's left edge.
    if (c < scale_.startBin + 80) {
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
        if (c < scale_.startBin + 6) shared_->track.pixel = -10;
        redraw = true;
      }
      waitCycle_ += 1;
    } else {
      drawWait_ = 0;
    }

    float quotient = static_cast<float>(c - scale_.startBin) / scale_.binsPerPixel;
    if (std::isnan(quotient)) quotient = 0;  // a zero-width span at its own bin
    const int p = truncToInt(quotient);
    if (static_cast<float>(p) >= width_) leftPlot = true;

    // Detect the column whose last bin has just arrived: column p, or p + 1
    // when the columns are narrower than a bin. Only columns of the plot.
    int column = -1;
    if (p >= -1 && p + 2 < kColumns) {
      if (p >= 0 && c == pixelToBinMap_[static_cast<size_t>(p) + 1] - 1) {
        column = p;
      } else if (c == pixelToBinMap_[static_cast<size_t>(p) + 2] - 1) {
        column = p + 1;
      }
    }
    if (column >= 0) {
      detectTrackingPixel(column);
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
  if (redraw) update();
}

// --- Texts -------------------------------------------------------------------------

TextAttributes Display::createAttributeForFontSize(float size, int alignment) {
  TextAttributes attributes;
  attributes.size = size;
  attributes.alignment = alignment;
  attributes.foreground = RGBAColor::rgba(1, 1, 1, 1);
  return attributes;
}

void Display::setScaleFont(float scaleSize, float infoSize) {
  scaleFontSize_ = scaleSize;
  scaleFontAttribute_ = createAttributeForFontSize(scaleFontSize_, 1);
  captionFontSize_ = scaleFontSize_;
  captionFontAttribute_ = createAttributeForFontSize(captionFontSize_, -1);
  infoFontSize_ = infoSize;
  leftFontAttribute_ = createAttributeForFontSize(infoFontSize_, 0);
  centerFontAttribute_ = createAttributeForFontSize(infoFontSize_, 2);
  rightFontAttribute_ = createAttributeForFontSize(infoFontSize_, 1);
}

void Display::updateStrings() {
  if (!shared_) return;
  const float bandwidth = shared_->span.bandwidth;
  if (cachedBandwidth_ == bandwidth) return;
  cachedBandwidth_ = bandwidth;
  const int whole = truncToInt(bandwidth);
  const char* format = whole == 3 ? "RBW  %.2f Hz" : whole == 31 ? "RBW  %.1f Hz" : "RBW  %.0f Hz";
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<double>(bandwidth));
  bandwidthString_.assign(text);
}

void Display::makeDateStrings() {
  if (!shared_) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  // Assigning into the existing strings reuses their storage after the first trace.
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H%M", &local);
  shared_->dateString.assign(text, n);
  n = std::strftime(text, sizeof text, "%Y-%m-%d %H%M%S", &local);
  shared_->secondsDateString.assign(text, n);
}

}  // namespace display
