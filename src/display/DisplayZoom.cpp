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
#include "display/PlotDetectors.h"
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

bool Display::logarithmic() const { return shared_ && shared_->axisScale == AxisScale::logarithmic; }

double Display::lowestFrequency() const {
  const float bph = traceData_ ? binsPerHertzOf(traceData_) : 0.0f;
  return bph > 0 ? 1.0 / static_cast<double>(bph) : 1.0;
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
  const double anchor = frequencyAtX(event->position().x(), span);
  const double factor = std::pow(kZoomStep, steps);
  requestSpan(logarithmic() ? zoomedLogSpan(span, anchor, factor, *limits, lowestFrequency())
                            : zoomedSpan(span, anchor, factor, *limits));
  event->accept();
}

void Display::mouseMoveEvent(QMouseEvent* event) {
  const std::optional<SpanLimits> limits = spanLimits();
  if (!dragSpan_ || !(event->buttons() & Qt::LeftButton) || !limits || !(plotBounds().width() > 0)) {
    QWidget::mouseMoveEvent(event);
    return;
  }
  // The frequency under the pointer stays under it.
  if (logarithmic()) {
    const double share = -(event->position().x() - dragX_) / plotBounds().width();
    requestSpan(pannedLogSpan(*dragSpan_, share, *limits, lowestFrequency()));
    return;
  }
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
  const bool log = logarithmic();
  const double lowest = lowestFrequency();
  auto zoom = [&](double factor) {
    // On the logarithmic axis the centre is the geometric mean.
    return log ? zoomedLogSpan(span, std::sqrt(std::max(span.lower, lowest) * span.upper), factor, *limits, lowest)
               : zoomedSpan(span, centre, factor, *limits);
  };
  auto pan = [&](int direction) {
    return log ? pannedLogSpan(span, direction * kPanStep, *limits, lowest)
               : pannedSpan(span, direction * step, *limits);
  };
  switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:  // + without Shift on most layouts
      requestSpan(zoom(kZoomStep));
      break;
    case Qt::Key_Minus:
      requestSpan(zoom(1 / kZoomStep));
      break;
    case Qt::Key_Left:
      requestSpan(pan(-1));
      break;
    case Qt::Key_Right:
      requestSpan(pan(1));
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
