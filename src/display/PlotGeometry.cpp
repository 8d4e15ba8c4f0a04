#include "display/PlotGeometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "plot/TruncToInt.h"

namespace display {

PlotGeometry::PlotGeometry(const PlotMargins& margins)
    : margins_(margins), pixelToBinMap_(kColumns, 0), pixelToFractionalBin_(kColumns, 0.0f) {
  graticuleX_.reserve(9);
  graticuleY_.reserve(8);
}

void PlotGeometry::setBounds(const QRectF& rect) {
  bounds_ = rect;
  width_ = static_cast<float>(rect.width());
  fullHeight_ = static_cast<float>(rect.height());
  const float bottom = margins_.bottom + axisLabelRoom();
  x0_ = margins_.left;
  y0_ = bottom;
  plotBounds_ = QRectF(margins_.left, bottom, width_ - margins_.left - margins_.right,
                       fullHeight_ - bottom - margins_.top);
  width_ = width_ - (margins_.left + margins_.right);
  height_ = fullHeight_ - (bottom + margins_.top);
  yOffset_ = height_ * 0.05f;
}

void PlotGeometry::layOut(const QRectF& rect) {
  setBounds(rect);
  frame_ = bounds_;
  plotFrame_ = plotBounds_;
  clipFrame_ = plotBounds_.adjusted(0.5, 0.5, -0.5, -0.5);

  graticuleY_.clear();
  graticuleX_.clear();
  for (int i = 1; i <= 8; ++i) {
    const float y = static_cast<float>(i) * (height_ * 0.125f) + y0_ - yOffset_;
    graticuleY_.push_back(static_cast<float>(truncToInt(y)) + 0.5f);
  }
  linesAxis_ = FrequencyAxis();
  layOutVerticalLines();
}

void PlotGeometry::layOutVerticalLines() {
  graticuleX_.clear();
  minorGraticuleX_.clear();
  axisLabels_.clear();
  linesAxis_ = axis_;
  auto lineAt = [this](double x) { return static_cast<float>(truncToInt(x + x0_)) + 0.5f; };
  if (!axis_.logarithmic()) {
    for (int i = 1; i <= 9; ++i) graticuleX_.push_back(lineAt(static_cast<double>(i) * (width_ / 10)));
    return;
  }
  for (const AxisTick& tick : logarithmicTicks(axis_.lower(), axis_.upper())) {
    // Column c is centred half a point right of x0 + c.
    const double at = axis_.xOf(tick.frequency) + 0.5;
    const float x = lineAt(at);
    // The frame draws the edges; a label there stays.
    const bool onEdge = at < 1.5 || at > width_ - 1;
    if (!tick.major) {
      if (onEdge) continue;
      minorGraticuleX_.push_back(x);
      continue;
    }
    if (!onEdge) graticuleX_.push_back(x);
    axisLabels_.push_back({x, tick.label});
  }
}

void PlotGeometry::updateScale(float start, float end, float bph, int bins, float refScale) {
  const double plotWidth = plotBounds_.width();
  lowestFrequency_ = bph > 0 ? 1.0 / bph : 1.0;
  axis_ = FrequencyAxis(axisScale_, start, end, plotWidth, lowestFrequency_);
  if (axisScale_ == AxisScale::logarithmic) {
    updateLogarithmicScale(bph, bins, refScale);
    return;
  }
  if (!(linesAxis_.scale() == AxisScale::linear)) layOutVerticalLines();

  scale_.hertzPerPixel = static_cast<float>(static_cast<double>(end - start) / plotWidth);
  scale_.binsPerPixel = scale_.hertzPerPixel * bph;
  scale_.startBin = truncToInt(static_cast<double>(start * bph) - 0.5 * scale_.binsPerPixel);
  scale_.endBin = truncToInt(bph * end + scale_.binsPerPixel);
  scale_.firstBin = scale_.startBin > 0 ? scale_.startBin : 0;
  scale_.logScale = static_cast<float>((10.0 / dBPerDivision_) * (height_ * 0.125));
  scale_.linearScale = static_cast<float>((1.0 / bins) * refScale / bins);
  scale_.top = height_ + y0_;

  const MapKey key{axis_, bph, bins};
  if (key == mapped_) return;
  mapped_ = key;
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

void PlotGeometry::updateLogarithmicScale(float bph, int bins, float refScale) {
  const double plotWidth = plotBounds_.width();
  if (!(axis_ == linesAxis_)) layOutVerticalLines();
  scale_.hertzPerPixel = static_cast<float>((axis_.upper() - axis_.lower()) / plotWidth);
  scale_.binsPerPixel = scale_.hertzPerPixel * bph;
  // Column 0 begins half a column left of the lower edge.
  scale_.startBin = truncToInt(axis_.frequencyAt(-0.5) * bph);
  scale_.endBin = truncToInt(axis_.frequencyAt(plotWidth + 1) * bph) + 1;
  scale_.firstBin = scale_.startBin > 0 ? scale_.startBin : 0;
  scale_.logScale = static_cast<float>((10.0 / dBPerDivision_) * (height_ * 0.125));
  scale_.linearScale = static_cast<float>((1.0 / bins) * refScale / bins);
  scale_.top = height_ + y0_;

  const MapKey key{axis_, bph, bins};
  if (key == mapped_) return;
  mapped_ = key;
  // A column holds the bins from its left edge to the next column's; where
  // columns are narrower than bins it reads the trace between the two bins
  // around its centre, so the low octaves are drawn as a line through the
  // bins' centres rather than a staircase.
  const double lastBin = bins - 1;
  auto mapColumn = [&](int i) {
    const double edge = std::min(axis_.frequencyAt(i - 0.5) * bph, lastBin);
    const double centre = std::min(axis_.frequencyAt(i) * bph, lastBin);
    pixelToBinMap_[static_cast<size_t>(i)] = truncToInt(edge);
    pixelToFractionalBin_[static_cast<size_t>(i)] = static_cast<float>(centre);
  };
  int i = 0;
  for (; i < kColumns && i <= plotWidth + 1; ++i) mapColumn(i);
  if (i == 0) mapColumn(i++);
  std::fill(pixelToBinMap_.begin() + i, pixelToBinMap_.end(), pixelToBinMap_[static_cast<size_t>(i - 1)]);
  std::fill(pixelToFractionalBin_.begin() + i, pixelToFractionalBin_.end(),
            pixelToFractionalBin_[static_cast<size_t>(i - 1)]);
}

float PlotGeometry::yForValue(float value) const {
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

float PlotGeometry::xForFrequency(float frequency, float bph) const {
  if (axis_.logarithmic()) return static_cast<float>(axis_.xOf(frequency) + 0.5) + x0_;
  return (frequency * bph - static_cast<float>(scale_.startBin)) / scale_.binsPerPixel + x0_;
}

double PlotGeometry::frequencyAtX(double x, const SpanEdges& span) const {
  const double width = plotBounds_.width();
  if (!(width > 0)) return (span.lower + span.upper) / 2;
  const double share = std::clamp((x - plotBounds_.x()) / width, 0.0, 1.0);
  if (axisScale_ == AxisScale::logarithmic)
    return FrequencyAxis(axisScale_, span.lower, span.upper, width, lowestFrequency_).frequencyAt(share * width);
  return span.lower + share * (span.upper - span.lower);
}

double PlotGeometry::columnOfBin(double bin) const {
  if (axis_.logarithmic()) return axis_.xOf(bin * lowestFrequency_) + 0.5;
  return (bin - scale_.startBin) / static_cast<double>(scale_.binsPerPixel);
}

int PlotGeometry::lastColumn() const { return std::min(truncToInt(width_), kColumns - 2); }

QRectF PlotGeometry::toDevice(const QRectF& rect) const {
  return QRectF(rect.x(), bounds_.height() - rect.y() - rect.height(), rect.width(), rect.height());
}

std::array<int, 7> PlotGeometry::scaleLabels(float dBPerDivision) {
  std::array<int, 7> labels{};
  int value = 0;
  for (int& label : labels) label = value = static_cast<int>(static_cast<float>(value) - dBPerDivision);
  return labels;
}

}  // namespace display
