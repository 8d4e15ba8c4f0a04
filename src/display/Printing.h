#pragma once
// The print and export view: the plot of the on-screen Display drawn as one
// static page, by a PlotRenderer of its own over a PlotContent of its own.
// Same traces, scale and markers as the screen, but with the page's own
// margins (45 points left, 50 bottom, 8 right, 30 top) and fonts,
// an optional border, the markers re-placed for the page geometry, and
// nothing that only makes sense on screen (wait indicator, out-of-range bar,
// sweep cursor).
//
// The page is never shown; it is drawn with a QPainter on whatever device
// the controller opens, so it needs no window and works on the offscreen
// platform. One export or print, on the main thread:
//
//   printing.setMarker(display.marker(), display.referenceMarker());
//   printing.setPageSize(QSizeF(w, h));      // points
//   printing.createPlotFromTraceData(trace); // the live trace; null draws no curve
//
// then, to export an image of trunc(w) x trunc(h) pixels (1 pixel per point):
//
//   QImage image = printing.renderImage();
//   image.save(path, "PNG");
//
// or, to print (or draw into any other QPaintDevice):
//
//   QPainter painter(&printer);              // QPrinter, QPdfWriter, QImage ...
//   printing.renderPage(painter, target);    // the page fills target
//
// target is in the painter's own coordinates, which for a printer are device
// pixels of its printable area: a page printed at its size in points is
// QRectF(x, y, w * k, h * k) with k = printer.resolution() / 72.0, times any
// fit-to-paper factor, and x, y placing it (for instance centred) in
// printer.pageRect(QPrinter::DevicePixel).size(). Texts are sized in points
// of the page, so they scale with it.
//
// The view keeps pointers to the shared plot state, the palette, the traces
// and the on-screen display's two marker records; it owns none of them, and
// the display must outlive every drawing of the page.

#include <QImage>
#include <QRectF>
#include <QSizeF>
#include <QWidget>

#include "display/PlotContent.h"
#include "display/PlotRenderer.h"

class QPainter;

namespace display {

// A widget only so that QWidget::render() draws the same page; it is never
// shown.
class Printing : public QWidget, public PlotContent {
 public:
  // A page of frame's size (points); texts start at 11 (scale) and 11.8
  // points (information) until the page's size sets them.
  explicit Printing(const QRectF& frame = QRectF(0, 0, 800, 600), QWidget* parent = nullptr);

  // The on-screen display's marker records, copied at every drawing.
  void setMarker(const MarkerCache* marker, const MarkerCache* referenceMarker);
  // The page's frame and bounds: (0, 0, size), in points.
  void setPageSize(const QSizeF& size);
  QSizeF pageSize() const { return pageBounds_.size(); }
  // Geometry for the page and, with a trace of at least one bin, detection
  // and the trace path (under the trace's lock).
  void createPlotFromTraceData(TraceData* trace);

  // Only stores dB per division: the page is drawn when asked.
  void setPlotScale(float dBPerDivision) { geometry_.setDBPerDivision(dBPerDivision); }
  // Only stores both pointers (either may be null); the reference path is
  // built at drawing.
  void setReference(TraceData* reference, TraceData* trace);
  // Places both markers anew for the page, from the marker's frequency.
  void updateMarkerInfo() { updatePageMarkers(); }
  // Takes what the measurements need; the page is laid out when asked.
  void measurementsChanged() { takeMeasureStorage(); }

  // Draws the page in the painter's current coordinates: page points, origin
  // at the top-left corner, y down. The painter's state is left as found.
  void drawRect(QPainter& painter);
  // Draws the page scaled to fill target (the painter's coordinates).
  void renderPage(QPainter& painter, const QRectF& target);
  // The page as an image of trunc(w) x trunc(h) pixels (at least 1 x 1):
  // RGB32 when the palette's background is opaque, else premultiplied ARGB32.
  QImage renderImage();

 protected:
  void requestRedraw() override { update(); }
  // The page has its own columns: the sweep's measured bins are mapped onto
  // them, as the screen's columns would cut a larger page short.
  void sweptColumns(int& first, int& last) const override;
  void paintEvent(QPaintEvent* event) override;

 private:
  PlotRenderer renderer_;
  const MarkerCache* displayMarkerCache_ = nullptr;
  const MarkerCache* displayReferenceMarkerCache_ = nullptr;
  QRectF pageBounds_;
};

}  // namespace display
