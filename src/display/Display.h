#pragma once
// The on-screen plot view: a widget over the plot's state (PlotContent) that
// takes the controller's traces, queues the detection passes on the main
// thread, places markers where the user clicks, zooms and pans the span on
// the wheel, a drag and the keys, and paints the plot with a PlotRenderer.
//
// A detection pass queued by addTraceData() finds its view through a slot
// that the view clears when it is destroyed, so a pass never outlives it.
// The view never owns what it is given: the shared plot state, the palette
// and the trace records belong to the controller and must outlive the view.

#include <QPointF>
#include <QRectF>
#include <QWidget>
#include <optional>

#include "display/PlotContent.h"
#include "display/PlotRenderer.h"
#include "plot/SpanZoom.h"

class QMenu;
class QPainter;

// The view's types live in namespace display: Qt's X11 native interface
// (pulled in by <QGuiApplication>) declares a global `Display` typedef.
namespace display {

class SpectrogramPane;

class Display : public QWidget, public PlotContent {
 public:
  explicit Display(QWidget* parent = nullptr);
  ~Display() override;

  // --- Controller interface (main thread) ---------------------------------

  // Whether the spectrogram pane keeps a sweep's spectra now (shown and not
  // paused).
  bool takesSweepSpectra() const noexcept override;

  // A new averaged trace (normal analysis): queues the detection pass on the
  // main thread without waiting. Does not allocate.
  void addTraceData(TraceData* trace);
  // A new trace; bin >= 0 is the bin a sweep has just measured and is
  // detected at once, bin < 0 queues the full pass as addTraceData().
  void addTraceDataBin(TraceData* trace, int bin);
  // dB per division; rebuilds the paths at the next drawing.
  void setPlotScale(float dBPerDivision);
  // Reference trace (or null) and the live trace; builds the reference path.
  void setReference(TraceData* reference, TraceData* trace);
  // The shared state's measure settings changed: takes what they need (the
  // normalised trace's 2 MiB, the first time normalising is asked for) and
  // detects the trace anew. A command's work, never a block's.
  void measurementsChanged() { remeasure(); }
  // The plot's width in columns: as last laid out, else as the widget's
  // present width leaves it between the margins.
  int plotColumns() const;
  // The spectrogram pane that takes each trace this view detects in full
  // (null for none); it must outlive its attachment.
  void setSpectrogramPane(SpectrogramPane* pane) { spectrogramPane_ = pane; }
  SpectrogramPane* spectrogramPane() const { return spectrogramPane_; }

  // --- Markers -------------------------------------------------------------

  // The context menu's action: the item's tag is the marker type.
  void setMarker(int tag);
  // Records a marker of the type at a point in screen (global) coordinates.
  void setMarkerType(int type, QPointF screenLocation);
  // The marker's bin, value and position for the present trace: nearest to
  // the click, then following its peak or minimum.
  void updateMarkerInfo() { updateScreenMarkers(); }
  QMenu* clickMenu() const { return clickMenu_; }

  // --- Zoom and pan (DisplayZoom.cpp) --------------------------------------

  // The span the next zoom or pan starts from: the one asked for and not
  // yet taken, else the one shown.
  SpanEdges currentSpan() const;
  // The band the input can show, from the trace's rate; empty without one.
  std::optional<SpanLimits> spanLimits() const;
  // Whether the axis is logarithmic, and the trace's first bin above 0 Hz
  // (where that axis starts at the lowest).
  bool logarithmic() const;
  double lowestFrequency() const;
  // The frequency under a view x (points from the left edge), on the span.
  double frequencyAtX(double x, const SpanEdges& span) const { return geometry_.frequencyAtX(x, span); }
  // Asks the controller for the span; requests made in one pass of the
  // event loop reach it once, as the last one.
  void requestSpan(const SpanEdges& span);

  // Brings the plot up to date for the widget's size and draws it with the
  // painter, whose device spans bounds().
  void drawRect(QPainter& painter);

 protected:
  void requestRedraw() override { update(); }
  // The columns the screen has detected so far, as it kept them.
  void sweptColumns(int& first, int& last) const override;
  void traceDetected(const TraceData& shown) noexcept override;

  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  // The wheel, a drag with the left button, a double-click for the whole
  // band, and +, −, the arrows and Home.
  void wheelEvent(QWheelEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  static void cachePlotTask(void* slot);

  PlotRenderer renderer_;
  QMenu* clickMenu_ = nullptr;
  QPointF clickedPoint_;
  std::optional<SpanEdges> pendingSpan_;  // asked for, not yet handed over
  std::optional<SpanEdges> dragSpan_;     // the span when a drag began
  double dragX_ = 0;
  int slot_ = -1;                         // where queued passes find this view
  SpectrogramPane* spectrogramPane_ = nullptr;
};

}  // namespace display
