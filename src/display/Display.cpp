// The on-screen plot view: the widget over the plot's state, its queued
// detection passes, the context menu that places markers and the painting.
// Zoom and pan are in DisplayZoom.cpp.

#include "display/Display.h"

#include <algorithm>

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include "display/SpectrogramPane.h"
#include "dsp/PlotTrace.h"
#include "plot/TruncToInt.h"
#include "ui/MainThread.h"

namespace display {

namespace {

// Views that may have detection passes queued. A queued pass names its view
// by slot, so a view destroyed before its pass runs is simply not found (its
// slot may by then hold a newer view, which then makes one extra pass).
// Main thread only, like every view.
constexpr int kViewSlots = 64;
Display* gViews[kViewSlots] = {};

}  // namespace

Display::Display(QWidget* parent) : QWidget(parent), PlotContent(kScreenMargins) {
  // The keys that zoom and pan reach the plot once it is clicked.
  setFocusPolicy(Qt::StrongFocus);

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

int Display::plotColumns() const {
  const float laidOut = plotWidth();
  const float columns =
      laidOut > 0 ? laidOut : static_cast<float>(width()) - kScreenMargins.left - kScreenMargins.right;
  return std::clamp(truncToInt(columns), 0, PlotGeometry::kColumns - 2);
}

void Display::cachePlotTask(void* slot) {
  Display* view = gViews[reinterpret_cast<intptr_t>(slot)];
  if (view) view->cachePlot();
}

void Display::setPlotScale(float dBPerDivision) {
  geometry_.setDBPerDivision(dBPerDivision);
  needsPlotUpdate_ = 1;
  referenceMarkerCached_ = 0;
  update();
}

void Display::setReference(TraceData* reference, TraceData* trace) { attachReference(reference, trace); }

void Display::sweptColumns(int& first, int& last) const {
  if (shared_->track.lowest > 0) first = truncToInt(shared_->track.lowest);
  if (shared_->track.highest < static_cast<float>(last)) last = truncToInt(shared_->track.highest);
}

void Display::traceDetected(const TraceData& shown) noexcept {
  if (spectrogramPane_) spectrogramPane_->traceDetected(geometry_, shown);
}

bool Display::takesSweepSpectra() const noexcept {
  return spectrogramPane_ && spectrogramPane_->active() && !spectrogramPane_->paused();
}

// --- Markers -------------------------------------------------------------------

void Display::setMarker(int tag) { setMarkerType(tag, clickedPoint_); }

void Display::setMarkerType(int type, QPointF screenLocation) {
  const QPointF local = mapFromGlobal(screenLocation);
  placeMarker(type, local.x(), QWidget::height() - local.y());  // view points, y up
  update();
}

void Display::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    // The start of a drag that moves the span.
    dragSpan_ = currentSpan();
    dragX_ = event->position().x();
    return;
  }
  if (event->button() != Qt::RightButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  // The hot spot of the pointer is the event's position itself.
  clickedPoint_ = event->globalPosition();
  clickMenu_->exec(event->globalPosition().toPoint());
}

// --- Drawing ---------------------------------------------------------------------

void Display::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  drawRect(painter);
}

void Display::drawRect(QPainter& painter) {
  if (!shared_ || !shared_->ready) return;
  static const ColorPalette kNoPalette{};

  bool sizeChanged = false;
  const QRectF current(0, 0, QWidget::width(), QWidget::height());
  if (current.width() != bounds().width() || current.height() != bounds().height()) {
    updateFrameFromBounds(current);
    needsPlotUpdate_ = 1;
    sizeChanged = true;
  }
  if (needsPlotUpdate_) {
    updateScale();
    if (referenceData_) createReferencePath();
    createPlotPath(plotPath_, detectedData_, false);
    updateStrings();
    needsPlotUpdate_ = 0;
  }
  if (markerCache_.type != kNoMarker || needsMarkerUpdate_) {
    updateMarkerInfo();
    needsMarkerUpdate_ = 0;
  }
  updateMeasureReadout();
  renderer_.drawScreen(painter, *this, color_ ? *color_ : kNoPalette, sizeChanged);
}

}  // namespace display
