#include "display/SpectrogramPage.h"

#include <QFont>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "display/PlotCaptions.h"
#include "display/Spectrogram.h"
#include "display/SpectrogramPainter.h"

namespace display {

namespace {

QColor toQColor(const RGBAColor& c) { return QColor::fromRgbF(c.red, c.green, c.blue, c.alpha); }

// As the plot's renderer sizes its texts: points of the page, one point a
// device pixel of the unscaled painter.
QFont fontOf(QPainter& painter, float size) {
  QFont font(QStringLiteral("Helvetica"));
  const int dpi = painter.device() ? painter.device()->logicalDpiY() : 72;
  font.setPointSizeF(size * 72.0 / (dpi > 0 ? dpi : 72));
  return font;
}

void drawText(QPainter& painter, const std::string& text, const QRectF& rect, int flags,
              const TextAttributes& attributes) {
  if (!attributes.foreground.isSet) return;
  painter.setFont(fontOf(painter, attributes.size));
  painter.setPen(toQColor(attributes.foreground));
  painter.drawText(rect, flags | Qt::TextSingleLine, QString::fromStdString(text));
}

// 1, 2 or 5 times a power of ten, the least at or above step.
double niceStep(double step) {
  if (!(step > 0) || !std::isfinite(step)) return 1;
  const double power = std::pow(10.0, std::floor(std::log10(step)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * power >= step * (1 - 1e-9)) return m * power;
  return 10 * power;
}

std::string secondsText(double seconds, double step) {
  const int decimals = step >= 1 ? 0 : std::min(6, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, seconds);
  return text;
}

// The time axis on the left of the plot rectangle (device rows, y down).
void drawTimeAxis(QPainter& painter, const SpectrogramPageContent& c, const QRectF& plot, const PlotCaptions& captions) {
  const double s = captions.scaleFontSize();
  const double span = c.endSeconds - c.startSeconds;
  if (!(span > 0)) return;
  QPen pen(toQColor(c.palette.graticule));
  pen.setWidthF(0.7);
  for (const TimeLabel& label : timeLabels(c.startSeconds, c.endSeconds, plot.height())) {
    const double y = plot.bottom() - (label.seconds - c.startSeconds) / span * plot.height();
    if (c.palette.graticule.isSet) {
      painter.setPen(pen);
      painter.drawLine(QPointF(plot.left() - 0.3 * s, y), QPointF(plot.left(), y));
    }
    drawText(painter, label.text, QRectF(plot.left() - 4.4 * s, y - 0.75 * s, 3.9 * s, 1.5 * s),
             Qt::AlignRight | Qt::AlignVCenter, captions.scale());
  }
  drawText(painter, "s", QRectF(plot.left() - 2.2 * s, plot.top() - 1.7 * s, 2 * s, 1.5 * s), Qt::AlignLeft,
           captions.caption());
}

// The frequency axis below the plot: the logarithmic axis's labels under
// their ticks, the span's edges, and the RBW in the middle of the row below.
void drawFrequencyAxis(QPainter& painter, const SpectrogramPageContent& c, const QRectF& plot,
                       const PlotCaptions& captions) {
  const PlotGeometry& g = *c.geometry;
  const double s = captions.scaleFontSize();
  const double f = captions.infoFontSize();
  QPen pen(toQColor(c.palette.graticule));
  pen.setWidthF(0.7);
  painter.setPen(pen);
  for (float x : g.graticuleX())
    if (c.palette.graticule.isSet) painter.drawLine(QPointF(x, plot.bottom()), QPointF(x, plot.bottom() + 0.3 * s));
  double previousRight = -1e9;
  for (const PlotGeometry::AxisLabel& label : g.axisLabels()) {
    // Centred under its line, kept inside the plot's width; one that would
    // run into the previous one is left out, as on the plot.
    const double half = 0.35 * s * static_cast<double>(label.text.size()) + 0.2 * s;
    const double left = std::clamp(label.x - half, plot.left() - 0.5 * s, plot.right() + 0.5 * s - 2 * half);
    if (left < previousRight + 0.4 * s) continue;
    previousRight = left + 2 * half;
    drawText(painter, label.text, QRectF(left, plot.bottom() + 0.2 * s, 2 * half, 1.5 * s), Qt::AlignHCenter,
             captions.centeredScale());
  }
  const double below = plot.bottom() + g.axisLabelRoom() + 0.4 * f;
  char text[48];
  std::snprintf(text, sizeof text, "%.0f Hz", c.startFrequency);
  drawText(painter, text, QRectF(plot.left() + 0.25 * f, below, 7 * f, 1.5 * f), Qt::AlignLeft, captions.left());
  std::snprintf(text, sizeof text, "%.0f Hz", c.endFrequency);
  drawText(painter, text, QRectF(plot.right() - 7.25 * f, below, 7 * f, 1.5 * f), Qt::AlignRight, captions.right());
  PlotCaptions rbw;
  rbw.updateBandwidth(c.bandwidth);
  drawText(painter, rbw.bandwidthString(), QRectF(plot.center().x() - 6 * f, below, 12 * f, 1.5 * f),
           Qt::AlignHCenter, captions.center());
}

// The colour legend right of the plot: the map from the range's top (at the
// plot's top) to its bottom, labelled every 1, 2 or 5 times a power of ten dB.
void drawLegend(QPainter& painter, const SpectrogramPageContent& c, const QRectF& plot, const PlotCaptions& captions) {
  const Spectrogram& sg = *c.spectrogram;
  const double s = captions.scaleFontSize();
  const QRectF bar(plot.right() + 8, plot.top(), 12, plot.height());
  const LevelRange& range = sg.range();
  const double dB = range.top - range.bottom;
  const int rows = std::max(1, static_cast<int>(std::lround(bar.height())));
  for (int i = 0; i < rows; ++i) {
    const double level = range.top - (i + 0.5) / rows * dB;
    const QRgb rgb = sg.colorOf(static_cast<float>(level));
    painter.fillRect(QRectF(bar.left(), bar.top() + i * bar.height() / rows, bar.width(), bar.height() / rows + 0.5),
                     QColor::fromRgb(rgb));
  }
  if (c.palette.graticule.isSet) {
    QPen pen(toQColor(c.palette.graticule));
    pen.setWidthF(0.7);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(bar);
  }
  const double step = niceStep(dB * 40.0 / std::max(40.0, bar.height()));
  for (double level = std::ceil(range.bottom / step - 1e-9) * step; level <= range.top + 1e-9; level += step) {
    const double y = bar.top() + (range.top - level) / dB * bar.height();
    char text[24];
    std::snprintf(text, sizeof text, "%.0f", level);
    drawText(painter, text, QRectF(bar.right() + 0.3 * s, y - 0.75 * s, 4 * s, 1.5 * s),
             Qt::AlignLeft | Qt::AlignVCenter, captions.scale());
  }
  drawText(painter, c.levelUnit, QRectF(bar.left() - 0.5 * s, bar.top() - 1.7 * s, 4 * s, 1.5 * s), Qt::AlignLeft,
           captions.caption());
}

}  // namespace

std::vector<TimeLabel> timeLabels(double start, double end, double height) {
  std::vector<TimeLabel> labels;
  const double span = end - start;
  if (!(span > 0) || !(height > 0)) return labels;
  const double step = niceStep(span * 40.0 / std::max(40.0, height));
  for (double k = std::ceil(start / step - 1e-9); k * step <= end + 1e-9 * step; k += 1)
    labels.push_back({k * step + 0.0, secondsText(k * step + 0.0, step)});
  return labels;
}

QImage renderSpectrogramPage(const SpectrogramPageContent& c) {
  const PlotGeometry& g = *c.geometry;
  const QSize size(std::max(1, static_cast<int>(g.bounds().width())), std::max(1, static_cast<int>(g.bounds().height())));
  const bool opaque = !c.palette.background.isSet || c.palette.background.alpha >= 1.0f;
  QImage image(size, opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
  image.fill(opaque ? Qt::white : Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  if (c.palette.background.isSet) painter.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), toQColor(c.palette.background));

  PlotCaptions captions;
  captions.fitToPlot(static_cast<float>(g.plotBounds().width()), static_cast<float>(g.plotBounds().height()));
  captions.setColor(c.palette.caption.isSet ? c.palette.caption : RGBAColor::rgba(0, 0, 0, 1));
  const QRectF plot = g.toDevice(g.plotBounds());

  if (c.spectrogram) drawSpectrogram(painter, *c.spectrogram, plot);
  if (c.palette.graticule.isSet) {
    QPen pen(toQColor(c.palette.graticule));
    pen.setWidthF(g.plotFrameLineWidth());
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(plot);
  }
  drawTimeAxis(painter, c, plot, captions);
  drawFrequencyAxis(painter, c, plot, captions);
  if (c.spectrogram) drawLegend(painter, c, plot, captions);
  painter.end();
  return image;
}

}  // namespace display
