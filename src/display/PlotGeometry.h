#pragma once
// The plot's geometry, as arithmetic on the view's size and the span alone:
// the plot rectangle inside the view's margins, the grid's line positions,
// the bin-to-column maps and the power-to-height mapping. Nothing here paints
// or knows a widget; the screen and the printed page each keep one.
//
// Positions are in view points with y growing upwards (the origin at the
// view's lower-left corner); only a painter flips them.

#include <QRectF>
#include <array>
#include <string>
#include <cstdint>
#include <vector>

#include "plot/FrequencyAxis.h"
#include "plot/SpanZoom.h"

namespace display {

// Bin-to-pixel and dB-to-height mapping of the current pass.
struct PlotScale {
  int startBin = 0;         // bin at the left edge; negative left of 0 Hz
  int endBin = 0;           // bin at the right edge
  int firstBin = 0;         // max(startBin, 0)
  float hertzPerPixel = 0;  // span / plot width (on a logarithmic axis, on average)
  float binsPerPixel = 0;   // hertzPerPixel * binsPerHertz
  float logScale = 0;       // points per decade of power
  float linearScale = 0;    // refScale / bins^2
  float top = 0;            // height + y0
  uint8_t valid = 0;        // a trace path exists
};

// The room a view leaves around its plot, in points.
struct PlotMargins {
  float left = 0;
  float bottom = 0;
  float right = 0;
  float top = 0;
};

// The screen's margins, and the printed page's.
inline constexpr PlotMargins kScreenMargins{45, 45, 4, 28};
inline constexpr PlotMargins kPageMargins{45, 50, 8, 30};

class PlotGeometry {
 public:
  // Pixel columns the maps (and the detectors) hold.
  static constexpr int kColumns = 32768;

  // Allocates the column maps once.
  explicit PlotGeometry(const PlotMargins& margins);

  // The view's bounds and the plot rectangle inside the margins.
  void setBounds(const QRectF& rect);
  // setBounds(), then the frame, the clip rectangle and the grid's lines.
  void layOut(const QRectF& rect);
  // The scale and the column maps for a span of a trace with `bins` bins at
  // binsPerHertz, at the reference power refScale. Column c is centred on
  // the axis's frequency at c points. On a logarithmic axis the graticule's
  // vertical lines follow the span (and are laid out again only when the
  // axis changes, so the per-trace path does not allocate).
  void updateScale(float startFrequency, float endFrequency, float binsPerHertz, int bins, float refScale);
  // Linear (the default) or logarithmic; takes effect with the next
  // layOut() and updateScale().
  void setAxisScale(AxisScale scale) { axisScale_ = scale; }
  // The logarithmic axis labels its lines in a row of its own below the
  // plot: the plot's bottom margin grows by this much, and the rows of
  // texts beneath keep their places in the view.
  static constexpr float kAxisLabelRoom = 17;
  float axisLabelRoom() const { return axisScale_ == AxisScale::logarithmic ? kAxisLabelRoom : 0; }
  AxisScale axisScale() const { return axisScale_; }
  const FrequencyAxis& axis() const { return axis_; }

  // y (view points, before the yOffset shift) of a linear power value.
  float yForValue(float value) const;
  // Where yForValue puts a value without power: far enough below the
  // plot's bottom edge that no part of a line to it shows.
  float noPowerY() const { return static_cast<float>(plotBounds_.y()) - kNoPowerDepth + yOffset_; }
  static constexpr float kNoPowerDepth = 100.0f;
  // x (view points) of a frequency on a trace of binsPerHertz.
  float xForFrequency(float frequency, float binsPerHertz) const;
  // The column (not clamped, fractional) a bin of the mapped trace lies in:
  // its whole part is the column whose bins hold it.
  double columnOfBin(double bin) const;
  // The frequency under a view x (points from the left edge), on the span.
  double frequencyAtX(double x, const SpanEdges& span) const;
  // Last column detected and drawn: the plot width, within the column arrays.
  int lastColumn() const;
  // A rectangle in view points (y up) in the device's rows (y down).
  QRectF toDevice(const QRectF& rect) const;
  // The dB scale's seven labels, from the first division below the
  // reference line down: each the previous one less dBPerDivision, truncated.
  static std::array<int, 7> scaleLabels(float dBPerDivision);

  float width() const { return width_; }
  float height() const { return height_; }
  float yOffset() const { return yOffset_; }
  float x0() const { return x0_; }
  float y0() const { return y0_; }
  const QRectF& plotBounds() const { return plotBounds_; }
  const QRectF& bounds() const { return bounds_; }
  const QRectF& frame() const { return frame_; }
  const QRectF& plotFrame() const { return plotFrame_; }
  float plotFrameLineWidth() const { return plotFrameLineWidth_; }
  const QRectF& clipFrame() const { return clipFrame_; }
  const std::vector<float>& graticuleX() const { return graticuleX_; }  // vertical lines
  // The logarithmic axis's fainter lines, and its labels under the plot.
  const std::vector<float>& minorGraticuleX() const { return minorGraticuleX_; }
  struct AxisLabel {
    float x = 0;
    std::string text;
  };
  const std::vector<AxisLabel>& axisLabels() const { return axisLabels_; }
  const std::vector<float>& graticuleY() const { return graticuleY_; }  // horizontal lines
  const PlotScale& scale() const { return scale_; }
  PlotScale& scale() { return scale_; }
  const int* pixelToBinMap() const { return pixelToBinMap_.data(); }
  const float* pixelToFractionalBin() const { return pixelToFractionalBin_.data(); }
  int binAt(int column) const { return pixelToBinMap_[static_cast<size_t>(column)]; }
  float fractionalBinAt(int column) const { return pixelToFractionalBin_[static_cast<size_t>(column)]; }
  float dBPerDivision() const { return dBPerDivision_; }
  void setDBPerDivision(float dBPerDivision) { dBPerDivision_ = dBPerDivision; }

 private:
  PlotMargins margins_;
  QRectF bounds_;
  QRectF plotBounds_;
  float width_ = 0;
  float height_ = 0;
  float fullHeight_ = 0;
  float yOffset_ = 0;
  float x0_ = 45;
  float y0_ = 45;

  // The view rectangle, plot rectangle and clip rectangle are plain rects;
  // the dashed grid is drawn from its line positions.
  QRectF frame_;
  QRectF plotFrame_;
  float plotFrameLineWidth_ = 1.25f;
  QRectF clipFrame_;
  std::vector<float> graticuleX_;
  std::vector<float> graticuleY_;
  std::vector<float> minorGraticuleX_;
  std::vector<AxisLabel> axisLabels_;
  // The lines of the linear axis (tenths of the width), laid out with the
  // bounds; the logarithmic axis's, from the span.
  void layOutVerticalLines();
  void updateLogarithmicScale(float binsPerHertz, int bins, float refScale);

  AxisScale axisScale_ = AxisScale::linear;
  FrequencyAxis axis_;
  FrequencyAxis linesAxis_;  // the axis the vertical lines were laid out for
  double lowestFrequency_ = 1;  // the first bin above 0 Hz of the mapped trace

  PlotScale scale_;
  std::vector<int> pixelToBinMap_;
  std::vector<float> pixelToFractionalBin_;
  // What the column maps were made for. A trace's work on an unchanged span
  // keeps them, instead of mapping every column (two exp() a column on the
  // logarithmic axis) anew for each spectrum.
  struct MapKey {
    FrequencyAxis axis;
    float binsPerHertz = 0;
    int bins = -1;
    bool operator==(const MapKey&) const = default;
  };
  MapKey mapped_;
  float dBPerDivision_ = 10;
};

}  // namespace display
