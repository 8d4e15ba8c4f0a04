// The plot's painting: the screen's plot and the printed page, from the same
// drawing helpers. The measurements' texts and symbols are in
// PlotRendererMeasure.cpp.

#include "display/PlotRenderer.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPen>
#include <QTransform>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "display/PlotContent.h"
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

// "Reference  -20.0 dB": the reference level in the levels' unit.
std::string referenceText(const PlotContent& plot, const SharedData& shared) {
  char level[64];
  const dsp::LevelScale& scale = plot.levelScale();
  return std::string("Reference  ") + scale.format(level, sizeof level, 10 * std::log10(static_cast<double>(shared.refScale)),
                                                   1, scale.signsLevels());
}

}  // namespace

PlotRenderer::PlotRenderer() : segments_(PlotGeometry::kColumns) {}

// --- Drawing helpers -------------------------------------------------------------

QRectF PlotRenderer::toDevice(const QRectF& rect) const { return plot_->plotGeometry().toDevice(rect); }

void PlotRenderer::strokePath(QPainter& painter, const PolylinePath& path, const RGBAColor& color) const {
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

void PlotRenderer::strokeLine(QPainter& painter, QPointF from, QPointF to, float lineWidth,
                              const RGBAColor& color) const {
  if (!color.isSet || !finite(from.x(), from.y()) || !finite(to.x(), to.y())) return;
  painter.setPen(linePen(color, lineWidth));
  painter.drawLine(from, to);
}

void PlotRenderer::fillOval(QPainter& painter, const QRectF& rect, const RGBAColor& color) const {
  if (!color.isSet || !finite(rect.x(), rect.y())) return;
  painter.setPen(Qt::NoPen);
  painter.setBrush(toQColor(color));
  painter.drawEllipse(rect);
}

void PlotRenderer::fillRect(QPainter& painter, const QRectF& rect, const RGBAColor& color) const {
  if (!color.isSet) return;
  painter.fillRect(rect, toQColor(color));
}

QFont PlotRenderer::fontFor(QPainter& painter, const TextAttributes& attributes) const {
  // Text sizes are in points of the view: one point is one device pixel of
  // the unscaled painter, whatever the device's nominal resolution.
  QFont font(QStringLiteral("Helvetica"));
  const int dpi = painter.device() ? painter.device()->logicalDpiY() : 72;
  font.setPointSizeF(attributes.size * 72.0 / (dpi > 0 ? dpi : 72));
  return font;
}

void PlotRenderer::drawTextAtPoint(QPainter& painter, const std::string& text, QPointF point,
                                   const TextAttributes& attributes) const {
  if (!attributes.foreground.isSet) return;
  const QFont font = fontFor(painter, attributes);
  const QFontMetricsF metrics(font, painter.device());  // a printer's resolution, not the screen's
  painter.setFont(font);
  painter.setPen(toQColor(attributes.foreground));
  // The point is the lower-left corner of the line: the baseline is the
  // descent above it.
  painter.drawText(QPointF(point.x(), plot_->bounds().height() - point.y() - metrics.descent()),
                   QString::fromStdString(text));
}

void PlotRenderer::drawTextInRect(QPainter& painter, const std::string& text, const QRectF& rect,
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

void PlotRenderer::drawAxisLabels(QPainter& painter, const PlotCaptions& captions) const {
  const PlotGeometry& g = plot_->plotGeometry();
  if (g.axisLabels().empty()) return;
  const double s = captions.scaleFontSize();
  const double px = g.plotBounds().x(), py = g.plotBounds().y(), pw = g.plotBounds().width();
  // Centred under its line, but kept inside the plot's width; a label that
  // would run into the previous one is left out.
  double previousRight = -1e9;
  for (const PlotGeometry::AxisLabel& label : g.axisLabels()) {
    const double half = 0.35 * s * static_cast<double>(label.text.size()) + 0.2 * s;
    const double left = std::clamp(label.x - half, px - 0.5 * s, px + pw + 0.5 * s - 2 * half);
    if (left < previousRight + 0.4 * s) continue;
    previousRight = left + 2 * half;
    drawTextInRect(painter, label.text, QRectF(left, py - 1.5 * s, 2 * half, 1.5 * s), captions.centeredScale());
  }
}

void PlotRenderer::strokeGraticule(QPainter& painter, const RGBAColor& color, const RGBAColor& background) const {
  if (!color.isSet) return;
  const PlotGeometry& g = plot_->plotGeometry();
  QPen pen = linePen(color, 0.7f);
  applyDash(pen, {2, 1}, 0.7f);
  painter.setPen(pen);
  for (float y : g.graticuleY()) painter.drawLine(QPointF(g.x0(), y), QPointF(g.x0() + g.width(), y));
  for (float x : g.graticuleX()) painter.drawLine(QPointF(x, g.y0()), QPointF(x, g.y0() + g.height()));
  if (!g.minorGraticuleX().empty()) {
    // The logarithmic axis's lines between 1, 2 and 5: fainter, as an
    // opaque mix with the background where there is one (a translucent pen
    // would have Qt blend the many dash spans on its thread pool).
    RGBAColor faint = color;
    if (background.isSet) {
      constexpr float kShare = 0.45f;
      faint.red = kShare * color.red + (1 - kShare) * background.red;
      faint.green = kShare * color.green + (1 - kShare) * background.green;
      faint.blue = kShare * color.blue + (1 - kShare) * background.blue;
    } else {
      faint.alpha *= 0.45f;
    }
    pen = linePen(faint, 0.7f);
    applyDash(pen, {1, 2}, 0.7f);
    painter.setPen(pen);
    for (float x : g.minorGraticuleX()) painter.drawLine(QPointF(x, g.y0()), QPointF(x, g.y0() + g.height()));
  }
  painter.setPen(linePen(color, g.plotFrameLineWidth()));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(g.plotFrame());
}

// --- Markers ---------------------------------------------------------------------

void PlotRenderer::drawMarkers(QPainter& painter, const ColorPalette& P, bool atFrequency) const {
  const PlotContent& plot = *plot_;
  const PlotScale& scale = plot.scale();
  const double yOffset = plot.yOffset();
  const MarkerCache& m = *plot.marker();
  if (atFrequency) {
    // The page places the marker from its frequency and level, whether or
    // not the screen had placed it.
    const double y = m.dB * scale.logScale / 10 + scale.top - yOffset;
    if (m.type != PlotContent::kBandMarker) {
      fillOval(painter, QRectF(plot.xForFrequency(m.frequency) - 3.5, y - 3.5, 7, 7), P.marker);
    } else {
      strokeLine(painter, QPointF(plot.xForFrequency(m.lowerFrequency), y),
                 QPointF(plot.xForFrequency(m.upperFrequency), y), 8.5f, P.avgMarker);
    }
  } else if (m.type == PlotContent::kBandMarker) {
    const double y = m.v - yOffset;
    strokeLine(painter, QPointF(plot.xForFrequency(m.lowerFrequency), y),
               QPointF(plot.xForFrequency(m.upperFrequency), y), 8.5f, P.avgMarker);
  } else {
    fillOval(painter, QRectF(m.h - 3, m.v - yOffset - 3, 7, 7), P.marker);
  }
  // The reference marker from its record.
  if (!plot.referencePath().isEmpty()) {
    const MarkerCache& r = *plot.referenceMarker();
    if (m.type == PlotContent::kBandMarker) {
      const double y = r.v - yOffset;
      strokeLine(painter, QPointF(plot.xForFrequency(r.lowerFrequency), y),
                 QPointF(plot.xForFrequency(r.upperFrequency), y), 5.5f, P.avgMarker);
    } else {
      fillOval(painter, QRectF(r.h - 2, r.v - yOffset - 2, 5, 5), P.marker);
    }
  }
  drawMeasureSymbols(painter, P);
}

void PlotRenderer::drawMarkerReadout(QPainter& painter, double px, double pw, double y, double f) const {
  const PlotCaptions& captions = plot_->captions();
  drawTextInRect(painter, plot_->markerReadoutText(), QRectF(px + pw - 24 * f, y, 24 * f - 4, 1.5 * f),
                 captions.right());
  if (!plot_->referencePath().isEmpty()) {
    char level[64], text[96];
    std::snprintf(text, sizeof text, "(Ref. Marker %s)",
                  plot_->formatLevel(level, sizeof level, plot_->referenceMarker()->dB, 1));
    drawTextInRect(painter, text, QRectF(px + 0.5 * pw - 12 * f, y, 24 * f, 1.5 * f), captions.center());
  }
}

// --- The screen --------------------------------------------------------------------

void PlotRenderer::drawScreen(QPainter& painter, const PlotContent& plot, const ColorPalette& P, bool sizeChanged) {
  plot_ = &plot;
  const SharedData& sd = *plot.shared();
  const PlotGeometry& g = plot.plotGeometry();
  const PlotCaptions& captions = plot.captions();
  TraceData* trace = plot.trace();

  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  const QTransform flip(1, 0, 0, -1, 0, g.bounds().height());
  const QTransform identity;

  fillRect(painter, toDevice(g.frame()), P.background);

  const double px = g.plotBounds().x(), py = g.plotBounds().y(), pw = g.plotBounds().width(),
               ph = g.plotBounds().height();
  const double pt = py + ph;
  const double s = captions.scaleFontSize();
  const double i = captions.infoFontSize();

  // Header line.
  const double header = pt + 0.5 * s;
  if (sd.printDate && !sd.dateString.empty()) {
    drawTextAtPoint(painter, sd.dateString, QPointF(px + 0.3 * s, header), captions.left());
  }
  if (!sd.title.empty()) {
    drawTextInRect(painter, sd.title, QRectF(px + pw - 100.4 * i, header, 100 * i, 1.5 * i), captions.right());
  }
  if (!plot.trackingGenerator() && trace && trace->traces >= 2) {
    drawTextInRect(painter, formatNumber("%.0f traces", trace->traces),
                   QRectF(px + 0.5 * pw - 6 * i, header, 12 * i, 1.5 * i), captions.center());
  }

  // Wait indicator, or the out-of-range bar.
  painter.setTransform(flip);
  if (plot.drawWait()) {
    const double cx = px + 0.5 * pw, cy = py + 0.5 * ph;
    for (int k = 2; k >= 0; --k) {
      const double angle = plot.waitDot(k).angle;
      fillOval(painter, QRectF(cx + 30 * std::cos(angle) - 6, cy + 30 * std::sin(angle) - 6, 10, 10),
               plot.waitDot(k).color);
    }
  } else if (!plot.outOfBoundsPath().isEmpty()) {
    strokePath(painter, plot.outOfBoundsPath(), plot.waitDot(1).color);
  }

  // Sweep cursor.
  if (sd.track.pixel > 0) {
    strokeLine(painter, QPointF(px + sd.track.pixel, py + 2), QPointF(px + sd.track.pixel, pt - 2), 1.0f,
               plot.waitDot(0).color);
  }
  painter.setTransform(identity);

  // dB scale.
  const double scaleTop = pt - 0.6 * s - g.yOffset();
  drawTextAtPoint(painter, plot.levelUnit(), QPointF(px - 2 * s, scaleTop), captions.caption());
  const std::array<int, 7> labels = PlotGeometry::scaleLabels(g.dBPerDivision());
  for (int n = 1; n <= 7; ++n) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", labels[static_cast<size_t>(n - 1)]);
    drawTextInRect(painter, text, QRectF(px - 4.2 * s, scaleTop - n * (g.height() / 8.0), 3.5 * s, 1.5 * s),
                   captions.scale());
  }

  drawAxisLabels(painter, captions);

  // Bottom lines.
  const double y1 = py - g.axisLabelRoom() - 2 * i;
  const double y2 = y1 - 1.4 * i;
  drawTextInRect(painter, formatNumber("%.0f Hz", sd.span.startFrequency), QRectF(px + 0.33 * i, y1, 7 * i, 1.5 * i),
                 captions.left());
  drawTextInRect(painter, formatNumber("%.0f Hz", sd.span.endFrequency), QRectF(px + pw - 7.5 * i, y1, 7 * i, 1.5 * i),
                 captions.right());
  drawTextInRect(painter, captions.bandwidthString(), QRectF(px + 0.5 * pw - 6 * i, y1, 12 * i, 1.5 * i),
                 captions.center());
  drawTextInRect(painter, referenceText(plot, sd), QRectF(px + 0.25 * i, y2, 12 * i, 1.5 * i), captions.left());

  drawBandsText(painter, px, pw, y2, i, captions);

  // Marker readouts.
  if (plot.marker()->valid) drawMarkerReadout(painter, px, pw, y2, i);
  drawMeasureTexts(painter, px, pw, pt, header, i);

  // Graticule and frame, then everything else clipped to the plot.
  painter.setTransform(flip);
  strokeGraticule(painter, P.graticule, P.background);
  painter.setClipRect(g.clipFrame());

  if (trace && !sizeChanged) {
    drawBands(painter, P);
    // A log sweep's phase and harmonics under the traces.
    drawSweptResponse(painter, P);
    if (!plot.referencePath().isEmpty()) strokePath(painter, plot.referencePath(), P.reference);
    if (!plot.plotPath().isEmpty() && trace->lock.try_lock()) {
      strokePath(painter, plot.plotPath(), P.curve);
      trace->lock.unlock();
    }
    drawDistortionSweep(painter, P);
    const MarkerCache& m = *plot.marker();
    if (m.valid && m.type != PlotContent::kNoMarker) drawMarkers(painter, P, false);
  }
  painter.setClipping(false);
  painter.setTransform(identity);
}

// --- The page ----------------------------------------------------------------------

void PlotRenderer::drawPage(QPainter& painter, const PlotContent& plot, const ColorPalette& P, bool border) {
  plot_ = &plot;
  const SharedData* shared = plot.shared();
  const PlotGeometry& g = plot.plotGeometry();
  const PlotCaptions& captions = plot.captions();
  TraceData* trace = plot.trace();

  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  // Texts are placed in device-row rectangles under the painter's own
  // transform; shapes in y-up page points under the flipped one.
  const QTransform base = painter.worldTransform();
  const QTransform flipped = QTransform(1, 0, 0, -1, 0, g.bounds().height()) * base;

  const double px = g.plotBounds().x(), py = g.plotBounds().y(), pw = g.plotBounds().width(),
               ph = g.plotBounds().height();
  const double s = captions.scaleFontSize();
  const double f = captions.infoFontSize();
  const double top = py + ph + 0.5 * s;   // the line above the plot
  const double below = py - g.axisLabelRoom() - 1.9 * f;  // the line below it
  const double second = below - 1.6 * f;  // and the one below that

  fillRect(painter, toDevice(g.frame()), P.background);
  if (border && P.graticule.isSet) {
    painter.setTransform(flipped);
    QPen pen(QColor::fromRgbF(P.graticule.red, P.graticule.green, P.graticule.blue, P.graticule.alpha));
    pen.setWidthF(1.0);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(g.frame());
    painter.setTransform(base);
  }

  if (shared) {
    if (shared->printDate && !shared->dateString.empty()) {
      drawTextAtPoint(painter, shared->dateString, QPointF(px + 0.3 * s, top), captions.left());
    }
    if (!shared->title.empty()) {
      drawTextInRect(painter, shared->title, QRectF(px + pw - 100.4 * f, top, 100 * f, 1.5 * f), captions.right());
    }
  }
  if (!plot.trackingGenerator() && trace && trace->traces >= 2) {
    drawTextInRect(painter, formatNumber("%.0f traces", trace->traces),
                   QRectF(px + 0.5 * pw - 6 * f, top, 12 * f, 1.5 * f), captions.center());
  }

  // The dB scale: "dB" level with the reference line, a label per division below it.
  const double scaleTop = py + ph - 0.6 * s - g.yOffset();
  drawTextAtPoint(painter, plot.levelUnit(), QPointF(px - 2.2 * s, scaleTop), captions.caption());
  const std::array<int, 7> labels = PlotGeometry::scaleLabels(g.dBPerDivision());
  for (int k = 1; k <= 7; ++k) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", labels[static_cast<size_t>(k - 1)]);
    drawTextInRect(painter, text, QRectF(px - 4.2 * s, scaleTop - k * (g.height() * 0.125), 3.5 * s, 1.5 * s),
                   captions.scale());
  }

  drawAxisLabels(painter, captions);
  if (shared) {
    drawTextInRect(painter, formatNumber("%.0f Hz", shared->span.startFrequency),
                   QRectF(px + 0.25 * f, below, 7 * f, 1.5 * f), captions.left());
    drawTextInRect(painter, formatNumber("%.0f Hz", shared->span.endFrequency),
                   QRectF(px + pw - 7.5 * f, below, 7 * f, 1.5 * f), captions.right());
  }
  drawTextInRect(painter, captions.bandwidthString(), QRectF(px + 0.5 * pw - 6 * f, below, 12 * f, 1.5 * f),
                 captions.center());
  if (shared) {
    drawTextInRect(painter, referenceText(plot, *shared), QRectF(px, second, 12 * f, 1.5 * f), captions.left());
  }

  drawBandsText(painter, px, pw, second, f, captions);
  const MarkerCache& m = *plot.marker();
  if (m.type != PlotContent::kNoMarker && m.valid == 1) drawMarkerReadout(painter, px, pw, second, f);
  drawMeasureTexts(painter, px, pw, py + ph, top, f);

  painter.setTransform(flipped);
  strokeGraticule(painter, P.graticule, P.background);
  painter.setClipRect(g.clipFrame(), painter.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);

  // Both traces only while no detection pass holds the live trace, over a
  // log sweep's phase and harmonics.
  drawBands(painter, P);
  if (trace) drawSweptResponse(painter, P);
  if (trace && trace->lock.try_lock()) {
    if (!plot.referencePath().isEmpty()) strokePath(painter, plot.referencePath(), P.reference);
    if (!plot.plotPath().isEmpty()) strokePath(painter, plot.plotPath(), P.curve);
    trace->lock.unlock();
  }

  if (trace) drawDistortionSweep(painter, P);
  if (trace && m.type != PlotContent::kNoMarker) drawMarkers(painter, P, true);
  painter.restore();
}

}  // namespace display
