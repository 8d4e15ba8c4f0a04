#pragma once
// Paints a plot onto any QPainter: the screen's plot into a widget, or the
// printed page into an image, a printer or any other paint device. It only
// reads the plot's state (a PlotContent) and the palette it is given; every
// update of that state is the view's, before it asks for a drawing.
//
// The geometry is in view points with y up; drawing converts at the painter:
// shapes are drawn through a flipping transform, texts unflipped into the
// converted rectangle. Main thread only.

#include <QLineF>
#include <QPointF>
#include <QRectF>
#include <string>
#include <vector>

#include "plot/SharedData.h"

class QFont;
class QPainter;

namespace display {

class PlotContent;
class PlotCaptions;
class PolylinePath;
struct TextAttributes;

class PlotRenderer {
 public:
  // Allocates the curve's segment storage once.
  PlotRenderer();

  // The screen's plot, with the painter's device spanning the plot's
  // bounds: texts, wait indicator or out-of-range bar, sweep cursor, scale,
  // grid, then the reference, the curve (only while the trace's lock is
  // free) and the markers, unless the view's size has just changed.
  void drawScreen(QPainter& painter, const PlotContent& plot, const ColorPalette& palette, bool sizeChanged);
  // The printed page in the painter's current coordinates: page points,
  // origin at the top-left corner, y down. Both traces only while the live
  // trace's lock is free; the marker placed from its frequency and level.
  // The painter's state is left as found.
  void drawPage(QPainter& painter, const PlotContent& plot, const ColorPalette& palette, bool border);

 private:
  // The marker's readout (and the reference marker's) on the text line at
  // y, right of the plot's left edge px over its width pw, in font units f.
  void drawMarkerReadout(QPainter& painter, double px, double pw, double y, double f) const;
  // The measurements' texts: the trace's mode and normalisation on the
  // header line at y, the delta and noise readings and the peak table inside
  // the plot's top (pt, its top edge). Unflipped painter.
  void drawMeasureTexts(QPainter& painter, double px, double pw, double pt, double y, double f) const;
  // The delta marker's anchor, under the flipped and clipped painter.
  // The delta marker's anchor, with the markers.
  void drawMeasureSymbols(QPainter& painter, const ColorPalette& palette) const;
  // The distortion sweep's curves, whether or not a marker is placed.
  void drawDistortionSweep(QPainter& painter, const ColorPalette& palette) const;
  // A log sweep's phase and harmonics beside its magnitude.
  void drawSweptResponse(QPainter& painter, const ColorPalette& palette) const;
  // Both markers, under the flipped and clipped painter: the screen's dot
  // where the marker record places it, the page's at its frequency and level.
  void drawMarkers(QPainter& painter, const ColorPalette& palette, bool atFrequency) const;

  // Drawing helpers; rectangles and points are in view points (y up).
  QRectF toDevice(const QRectF& rect) const;
  void strokePath(QPainter& painter, const PolylinePath& path, const RGBAColor& color) const;
  void strokeLine(QPainter& painter, QPointF from, QPointF to, float lineWidth, const RGBAColor& color) const;
  void fillOval(QPainter& painter, const QRectF& rect, const RGBAColor& color) const;
  void fillRect(QPainter& painter, const QRectF& rect, const RGBAColor& color) const;
  void drawTextAtPoint(QPainter& painter, const std::string& text, QPointF point,
                       const TextAttributes& attributes) const;
  void drawTextInRect(QPainter& painter, const std::string& text, const QRectF& rect,
                      const TextAttributes& attributes) const;
  QFont fontFor(QPainter& painter, const TextAttributes& attributes) const;
  // The grid and the frame; the logarithmic axis's fainter lines mixed
  // with the plot's background.
  void strokeGraticule(QPainter& painter, const RGBAColor& color, const RGBAColor& background) const;
  // The logarithmic axis's labels, in the row below the plot.
  void drawAxisLabels(QPainter& painter, const PlotCaptions& captions) const;
  // The bands' bars, in the plot's clip (painter flipped), and the line that
  // gives the span's overall level, centred in the row at y.
  void drawBands(QPainter& painter, const ColorPalette& palette) const;
  void drawBandsText(QPainter& painter, double px, double pw, double y, double f, const PlotCaptions& captions) const;

  const PlotContent* plot_ = nullptr;       // the plot being drawn
  mutable std::vector<QLineF> segments_;  // curve segments for drawing, allocated once
};

}  // namespace display
