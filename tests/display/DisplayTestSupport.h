#pragma once
// A plot view with its shared state, palette and a hand-built trace, as the
// controller would wire them.

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <memory>

#include "display/Display.h"
#include "dsp/PlotTrace.h"
#include "ui/MainThread.h"

inline QApplication& testApplication() {
  static int argc = 1;
  static char name[] = "display_test";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

// Distinct, fully opaque colours so that a rendered image tells the elements apart.
inline ColorPalette testPalette() {
  ColorPalette p;
  p.graticule = RGBAColor::rgba(0, 1, 0, 1);
  p.curve = RGBAColor::rgba(1, 0, 0, 1);
  p.background = RGBAColor::rgba(0, 0, 0, 1);
  p.caption = RGBAColor::rgba(0, 0, 1, 1);
  p.marker = RGBAColor::rgba(1, 1, 0, 1);
  p.avgMarker = RGBAColor::rgba(1, 0, 1, 1);
  p.reference = RGBAColor::rgba(0, 1, 1, 1);
  return p;
}

using display::DetectedData;
using display::MarkerCache;
using display::PlotScale;
using display::PolylinePath;

struct PlotRig {
  SharedData shared;
  ColorPalette palette = testPalette();
  std::unique_ptr<TraceData> trace = std::make_unique<TraceData>();
  std::unique_ptr<display::Display> display;

  // A view of w x h points showing start … end Hz of a trace with `bins`
  // bins at sampling rate `rate`.
  PlotRig(int w, int h, float start, float end, int bins, float rate) {
    testApplication();
    display = std::make_unique<display::Display>();
    display->resize(w, h);
    display->updateFrameFromBounds(QRectF(0, 0, w, h));
    display->setSharedData(&shared);
    display->setColorPalette(&palette, false);
    display->setCaptionColor(palette.caption);
    shared.span = {start, end, 10.0f};
    shared.ready = 1;
    trace->bins = bins;
    trace->samplingRate = rate;
    trace->binsPerHertz = PlotTrace::binsPerHertz(bins, rate);
    trace->traces = 1;
  }

  // A full normal update, as the controller's trace hand-over and the main
  // thread's queue do it.
  void showTrace() {
    display->addTraceData(trace.get());
    ui::MainThread::instance().drain();
  }

  // The linear power value of a level in dB on this plot.
  float valueForDecibels(double dB) const {
    const double bins = trace->bins;
    return static_cast<float>(std::pow(10.0, dB / 10) * bins * bins / shared.refScale);
  }

  QImage render() {
    QImage image(display->size(), QImage::Format_ARGB32);
    image.fill(QColor(128, 128, 128));
    display->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
  }

  // Marker choice after a right-click at column `column` of the plot, at
  // height y (view points, y up).
  void click(int type, int column, double y) {
    const QPointF local(display->plotBounds().x() + column + 0.25, display->height() - y);
    display->setMarkerType(type, display->mapToGlobal(local));
  }
  const MarkerCache& marker() { return *display->marker(); }
  int index() const { return shared.marker.index; }

  // Device row of a y in view points (y up).
  int rowOf(double y) const { return static_cast<int>(display->height() - y); }
};
