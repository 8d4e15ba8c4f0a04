// Zoom and pan on the plot: the wheel zooms around the frequency under the
// pointer, a drag with the left button moves the span, a double-click shows
// the whole band, and +, −, the arrow keys and Home do the same from the
// keyboard. The view only asks; the controller sets the span (or refuses
// while a sweep runs), exactly as if it had been typed into the span fields.

#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>
#include <QWheelEvent>
#include <cmath>

#include "display/Display.h"
#include "dsp/PlotTrace.h"

namespace display {

SpanEdges Display::currentSpan() const {
  if (pendingSpan_) return *pendingSpan_;
  if (!shared_) return {};
  return {shared_->span.startFrequency, shared_->span.endFrequency};
}

std::optional<SpanLimits> Display::spanLimits() const {
  if (!traceData_ || !(traceData_->samplingRate > 0) || !std::isfinite(traceData_->samplingRate))
    return std::nullopt;
  SpanLimits limits;
  limits.highest = 0.5 * static_cast<double>(traceData_->samplingRate);
  return limits;
}

void Display::requestSpan(const SpanEdges& span) {
  if (!callbacks_.requestSpan) return;
  const bool queued = pendingSpan_.has_value();
  pendingSpan_ = span;
  if (queued) return;
  // A burst of wheel steps or drag moves reconfigures the engine once.
  QTimer::singleShot(0, this, [this] {
    if (!pendingSpan_) return;
    const SpanEdges span = *pendingSpan_;
    pendingSpan_.reset();
    if (span == SpanEdges{shared_->span.startFrequency, shared_->span.endFrequency}) return;
    callbacks_.requestSpan(span.lower, span.upper);
  });
}

void Display::wheelEvent(QWheelEvent* event) {
  const std::optional<SpanLimits> limits = spanLimits();
  const int eighths = event->angleDelta().y();
  if (!limits || !shared_ || eighths == 0) {
    QWidget::wheelEvent(event);
    return;
  }
  // One notch (15°, 120 eighths of a degree) is one step; a wheel that
  // scrolls finely gives parts of one.
  const double steps = eighths / 120.0;
  const SpanEdges span = currentSpan();
  requestSpan(zoomedSpan(span, frequencyAtX(event->position().x(), span), std::pow(kZoomStep, steps), *limits));
  event->accept();
}

void Display::mouseMoveEvent(QMouseEvent* event) {
  const std::optional<SpanLimits> limits = spanLimits();
  if (!dragSpan_ || !(event->buttons() & Qt::LeftButton) || !limits || !(plotBounds().width() > 0)) {
    QWidget::mouseMoveEvent(event);
    return;
  }
  // The frequency under the pointer stays under it.
  const double hertzPerPoint = (dragSpan_->upper - dragSpan_->lower) / plotBounds().width();
  requestSpan(pannedSpan(*dragSpan_, -(event->position().x() - dragX_) * hertzPerPoint, *limits));
}

void Display::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) dragSpan_.reset();
  QWidget::mouseReleaseEvent(event);
}

void Display::mouseDoubleClickEvent(QMouseEvent* event) {
  const std::optional<SpanLimits> limits = spanLimits();
  if (event->button() != Qt::LeftButton || !limits) {
    QWidget::mouseDoubleClickEvent(event);
    return;
  }
  dragSpan_.reset();
  requestSpan(fullSpan(*limits));
}

void Display::keyPressEvent(QKeyEvent* event) {
  const std::optional<SpanLimits> limits = spanLimits();
  if (!limits || !shared_) {
    QWidget::keyPressEvent(event);
    return;
  }
  const SpanEdges span = currentSpan();
  const double centre = (span.lower + span.upper) / 2;
  const double step = kPanStep * (span.upper - span.lower);
  switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:  // + without Shift on most layouts
      requestSpan(zoomedSpan(span, centre, kZoomStep, *limits));
      break;
    case Qt::Key_Minus:
      requestSpan(zoomedSpan(span, centre, 1 / kZoomStep, *limits));
      break;
    case Qt::Key_Left:
      requestSpan(pannedSpan(span, -step, *limits));
      break;
    case Qt::Key_Right:
      requestSpan(pannedSpan(span, step, *limits));
      break;
    case Qt::Key_Home:
      requestSpan(fullSpan(*limits));
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

}  // namespace display
