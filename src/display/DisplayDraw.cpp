// Drawing of the plot view, its context menu and mouse handling.
//
// The geometry is in view points with y up; drawing converts at the painter:
// shapes are drawn through a flipping transform, texts unflipped into the
// converted rectangle.

#include <QFont>
#include <QFontMetricsF>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "display/Display.h"
#include "dsp/PlotTrace.h"

namespace display {

namespace {

QColor toQColor(const RGBAColor& c) { return QColor::fromRgbF(c.red, c.green, c.blue, c.alpha); }

// Qt measures dashes in line widths; the plot's patterns are in points.
void applyDash(QPen& pen, const std::vector<float>& pattern, float lineWidth) {
  if (pattern.empty() || lineWidth <= 0) return;
  QList<qreal> dashes;
  for (float length : pattern) dashes.append(length / lineWidth);
  pen.setDashPattern(dashes);
}

QPen linePen(const RGBAColor& color, float lineWidth) {
  QPen pen(toQColor(color));
  pen.setWidthF(lineWidth);
  pen.setCapStyle(Qt::FlatCap);
  pen.setJoinStyle(Qt::MiterJoin);
  return pen;
}

bool finite(double a, double b) { return std::isfinite(a) && std::isfinite(b); }

std::string formatNumber(const char* fmt, double value) {
  char text[96];
  std::snprintf(text, sizeof text, fmt, value);
  return text;
}

}  // namespace

QRectF Display::toDevice(const QRectF& rect) const {
  return QRectF(rect.x(), bounds_.height() - rect.y() - rect.height(), rect.width(), rect.height());
}

void Display::strokePath(QPainter& painter, const PolylinePath& path, const RGBAColor& color) const {
  if (!color.isSet || path.isEmpty()) return;
  QPen pen = linePen(color, path.lineWidth);
  painter.setBrush(Qt::NoBrush);
  if (path.count() == 1) {
    painter.setPen(pen);
    painter.drawPoint(path.point(0));
    return;
  }
  // The raster engine strokes a wide polyline, and above all a dashed one, as
  // one outline at a cost that grows much faster than its length (a detected
  // noise floor took tens, dashed hundreds of milliseconds). Separate segments
  // go through its fast line rasterizer; square caps close the joins of a
  // solid line, and the dashes are cut here.
  bool dashed = !path.dashPattern.empty();
  for (float length : path.dashPattern) dashed = dashed && length > 0;
  pen.setCapStyle(dashed ? Qt::FlatCap : Qt::SquareCap);
  painter.setPen(pen);

  size_t used = 0;
  auto add = [&](const QPointF& a, const QPointF& b) {
    segments_[used++] = QLineF(a, b);
    if (used == segments_.size()) {
      painter.drawLines(segments_.data(), static_cast<int>(used));
      used = 0;
    }
  };
  const int n = path.count() - 1;
  if (!dashed) {
    for (int k = 0; k < n; ++k) add(path.point(k), path.point(k + 1));
  } else {
    const std::vector<float>& pattern = path.dashPattern;
    size_t element = 0;
    bool on = true;
    double remaining = pattern[0];
    for (int k = 0; k < n; ++k) {
      const QPointF a = path.point(k), b = path.point(k + 1);
      const double length = QLineF(a, b).length();
      auto at = [&](double t) { return a + (b - a) * (t / length); };
      double t = 0;
      while (length - t > remaining) {
        if (on) add(at(t), at(t + remaining));
        t += remaining;
        element = (element + 1) % pattern.size();
        on = !on;
        remaining = pattern[element];
      }
      if (on && length > t) add(at(t), b);
      remaining -= length - t;
    }
  }
  if (used > 0) painter.drawLines(segments_.data(), static_cast<int>(used));
}

void Display::strokeLine(QPainter& painter, QPointF from, QPointF to, float lineWidth, const RGBAColor& color) const {
  if (!color.isSet || !finite(from.x(), from.y()) || !finite(to.x(), to.y())) return;
  painter.setPen(linePen(color, lineWidth));
  painter.drawLine(from, to);
}

void Display::fillOval(QPainter& painter, const QRectF& rect, const RGBAColor& color) const {
  if (!color.isSet || !finite(rect.x(), rect.y())) return;
  painter.setPen(Qt::NoPen);
  painter.setBrush(toQColor(color));
  painter.drawEllipse(rect);
}

void Display::fillRect(QPainter& painter, const QRectF& rect, const RGBAColor& color) const {
  if (!color.isSet) return;
  painter.fillRect(rect, toQColor(color));
}

QFont Display::fontFor(QPainter& painter, const TextAttributes& attributes) const {
  // Text sizes are in points of the view: one point is one device pixel of
  // the unscaled painter, whatever the device's nominal resolution.
  QFont font(QStringLiteral("Helvetica"));
  const int dpi = painter.device() ? painter.device()->logicalDpiY() : 72;
  font.setPointSizeF(attributes.size * 72.0 / (dpi > 0 ? dpi : 72));
  return font;
}

void Display::drawTextAtPoint(QPainter& painter, const std::string& text, QPointF point,
                              const TextAttributes& attributes) const {
  if (!attributes.foreground.isSet) return;
  const QFont font = fontFor(painter, attributes);
  const QFontMetricsF metrics(font, painter.device());  // a printer's resolution, not the screen's
  painter.setFont(font);
  painter.setPen(toQColor(attributes.foreground));
  // The point is the lower-left corner of the line: the baseline is the
  // descent above it.
  painter.drawText(QPointF(point.x(), bounds_.height() - point.y() - metrics.descent()), QString::fromStdString(text));
}

void Display::drawTextInRect(QPainter& painter, const std::string& text, const QRectF& rect,
                             const TextAttributes& attributes) const {
  if (!attributes.foreground.isSet) return;
  painter.setFont(fontFor(painter, attributes));
  painter.setPen(toQColor(attributes.foreground));
  int flags = Qt::AlignTop | Qt::TextSingleLine;
  switch (attributes.alignment) {
    case 1:
      flags |= Qt::AlignRight;
      break;
    case 2:
      flags |= Qt::AlignHCenter;
      break;
    default:
      flags |= Qt::AlignLeft;
  }
  painter.drawText(toDevice(rect), flags, QString::fromStdString(text));
}

void Display::strokeGraticule(QPainter& painter, const RGBAColor& color) const {
  if (!color.isSet) return;
  QPen pen = linePen(color, 0.7f);
  applyDash(pen, {2, 1}, 0.7f);
  painter.setPen(pen);
  for (float y : graticuleY_) painter.drawLine(QPointF(x0_, y), QPointF(x0_ + width_, y));
  for (float x : graticuleX_) painter.drawLine(QPointF(x, y0_), QPointF(x, y0_ + height_));
  painter.setPen(linePen(color, plotFrameLineWidth_));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(plotFrame_);
}

std::array<int, 7> Display::scaleLabels(float dBPerDivision) {
  std::array<int, 7> labels{};
  int value = 0;
  for (int& label : labels) label = value = static_cast<int>(static_cast<float>(value) - dBPerDivision);
  return labels;
}

void Display::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  drawRect(painter);
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

void Display::drawRect(QPainter& painter) {
  if (!shared_ || !shared_->ready) return;
  const SharedData& sd = *shared_;
  static const ColorPalette kNoPalette{};
  const ColorPalette& P = color_ ? *color_ : kNoPalette;

  bool sizeChanged = false;
  const QRectF current(0, 0, QWidget::width(), QWidget::height());
  if (current.width() != bounds_.width() || current.height() != bounds_.height()) {
    updateFrameFromBounds(current);
    needsPlotUpdate_ = 1;
    sizeChanged = true;
  }

  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  const QTransform flip(1, 0, 0, -1, 0, bounds_.height());
  const QTransform identity;

  fillRect(painter, toDevice(frame_), P.background);

  if (needsPlotUpdate_) {
    updateScale();
    if (referenceData_) createReferencePath();
    createPlotPath(plotPath_, detectedData_, false);
    updateStrings();
    needsPlotUpdate_ = 0;
  }

  const double px = plotBounds_.x(), py = plotBounds_.y(), pw = plotBounds_.width(), ph = plotBounds_.height();
  const double pt = py + ph;
  const double s = scaleFontSize_;
  const double i = infoFontSize_;

  // Header line.
  const double header = pt + 0.5 * s;
  if (sd.printDate && !sd.dateString.empty()) {
    drawTextAtPoint(painter, sd.dateString, QPointF(px + 0.3 * s, header), leftFontAttribute_);
  }
  if (!sd.title.empty()) {
    drawTextInRect(painter, sd.title, QRectF(px + pw - 100.4 * i, header, 100 * i, 1.5 * i), rightFontAttribute_);
  }
  if (!trackingGeneratorEnabled_ && traceData_ && traceData_->traces >= 2) {
    drawTextInRect(painter, formatNumber("%.0f traces", traceData_->traces),
                   QRectF(px + 0.5 * pw - 6 * i, header, 12 * i, 1.5 * i), centerFontAttribute_);
  }

  // Wait indicator, or the out-of-range bar.
  painter.setTransform(flip);
  if (drawWait_) {
    const double cx = px + 0.5 * pw, cy = py + 0.5 * ph;
    for (int k = 2; k >= 0; --k) {
      const double angle = wait_[k].angle;
      fillOval(painter, QRectF(cx + 30 * std::cos(angle) - 6, cy + 30 * std::sin(angle) - 6, 10, 10), wait_[k].color);
    }
  } else if (!outOfBoundsPath_.isEmpty()) {
    strokePath(painter, outOfBoundsPath_, wait_[1].color);
  }

  // Sweep cursor.
  if (sd.track.pixel > 0) {
    strokeLine(painter, QPointF(px + sd.track.pixel, py + 2), QPointF(px + sd.track.pixel, pt - 2), 1.0f,
               wait_[0].color);
  }
  painter.setTransform(identity);

  // dB scale.
  const double scaleTop = pt - 0.6 * s - yOffset_;
  drawTextAtPoint(painter, "dB", QPointF(px - 2 * s, scaleTop), captionFontAttribute_);
  const std::array<int, 7> labels = scaleLabels(dBPerDivision_);
  for (int n = 1; n <= 7; ++n) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", labels[static_cast<size_t>(n - 1)]);
    drawTextInRect(painter, text, QRectF(px - 4.2 * s, scaleTop - n * (height_ / 8.0), 3.5 * s, 1.5 * s),
                   scaleFontAttribute_);
  }

  // Bottom lines.
  const double y1 = py - 2 * i;
  const double y2 = y1 - 1.4 * i;
  drawTextInRect(painter, formatNumber("%.0f Hz", sd.span.startFrequency), QRectF(px + 0.33 * i, y1, 7 * i, 1.5 * i),
                 leftFontAttribute_);
  drawTextInRect(painter, formatNumber("%.0f Hz", sd.span.endFrequency), QRectF(px + pw - 7.5 * i, y1, 7 * i, 1.5 * i),
                 rightFontAttribute_);
  drawTextInRect(painter, bandwidthString_, QRectF(px + 0.5 * pw - 6 * i, y1, 12 * i, 1.5 * i), centerFontAttribute_);
  drawTextInRect(painter, formatNumber("Reference  %.1f dB", 10 * std::log10(static_cast<double>(sd.refScale))),
                 QRectF(px + 0.25 * i, y2, 12 * i, 1.5 * i), leftFontAttribute_);

  // Marker readouts.
  if (markerCache_.type != kNoMarker || needsMarkerUpdate_) {
    updateMarkerInfo();
    needsMarkerUpdate_ = 0;
  }
  updateMeasureReadout();
  if (markerCache_.valid) drawMarkerReadout(painter, px, pw, y2, i);
  drawMeasureTexts(painter, px, pw, pt, header, i);

  // Graticule and frame, then everything else clipped to the plot.
  painter.setTransform(flip);
  strokeGraticule(painter, P.graticule);
  painter.setClipRect(clipFrame_);

  if (traceData_ && !sizeChanged) {
    if (!referencePath_.isEmpty()) strokePath(painter, referencePath_, P.reference);
    if (!plotPath_.isEmpty() && traceData_->lock.try_lock()) {
      strokePath(painter, plotPath_, P.curve);
      traceData_->lock.unlock();
    }
    if (markerCache_.valid && markerCache_.type != kNoMarker) {
      const MarkerCache& m = markerCache_;
      if (m.type == kBandMarker) {
        const double y = m.v - yOffset_;
        strokeLine(painter, QPointF(xForFrequency(m.lowerFrequency), y), QPointF(xForFrequency(m.upperFrequency), y),
                   8.5f, P.avgMarker);
      } else {
        fillOval(painter, QRectF(m.h - 3, m.v - yOffset_ - 3, 7, 7), P.marker);
      }
      if (!referencePath_.isEmpty()) {
        const MarkerCache& r = referenceMarkerCache_;
        if (m.type == kBandMarker) {
          const double y = r.v - yOffset_;
          strokeLine(painter, QPointF(xForFrequency(r.lowerFrequency), y), QPointF(xForFrequency(r.upperFrequency), y),
                     5.5f, P.avgMarker);
        } else {
          fillOval(painter, QRectF(r.h - 2, r.v - yOffset_ - 2, 5, 5), P.marker);
        }
      }
      drawMeasureSymbols(painter);
    }
  }
  painter.setClipping(false);
  painter.setTransform(identity);
}

std::string Display::markerReadoutText() const {
  char text[128];
  if (measureReadout_.precise) {
    // The peak reading: a sine's frequency and level between bins.
    std::snprintf(text, sizeof text, "Marker:  %.2f Hz   %.2f dB", static_cast<double>(measureReadout_.frequency),
                  static_cast<double>(measureReadout_.dB));
  } else if (!markerCache_.hasPower) {
    // A bin without power has no level to read.
    std::snprintf(text, sizeof text, "Marker:  %.0f Hz   no power", static_cast<double>(markerCache_.frequency));
  } else {
    // The bin as it is; "~" where the peak reading was asked for but the
    // sine lies too close to its image to be read between bins.
    std::snprintf(text, sizeof text, "Marker:  %s%.0f Hz   %.1f dB", measureReadout_.uncertain ? "~" : "",
                  static_cast<double>(markerCache_.frequency), static_cast<double>(markerCache_.dB));
  }
  return text;
}

void Display::drawMarkerReadout(QPainter& painter, double px, double pw, double y, double f) const {
  drawTextInRect(painter, markerReadoutText(), QRectF(px + pw - 24 * f, y, 24 * f - 4, 1.5 * f),
                 rightFontAttribute_);
  if (!referencePath_.isEmpty()) {
    drawTextInRect(painter, formatNumber("(Ref. Marker %.1f dB)", referenceMarkerCache_.dB),
                   QRectF(px + 0.5 * pw - 12 * f, y, 24 * f, 1.5 * f), centerFontAttribute_);
  }
}

}  // namespace display
