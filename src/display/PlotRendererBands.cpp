// The renderer's bands: a bar per fractional-octave band from the plot's
// bottom to the band's level, filled where the band is resolved and only
// outlined where it is narrower than the RBW can read, and the line that
// says the span's overall level (and what an outlined bar means).

#include <QPainter>
#include <QPen>
#include <cmath>
#include <cstdio>

#include "display/PlotContent.h"
#include "display/PlotRenderer.h"
#include "dsp/PlotTrace.h"

namespace display {

namespace {

QColor colorOf(const RGBAColor& c, float alpha) { return QColor::fromRgbF(c.red, c.green, c.blue, c.alpha * alpha); }

}  // namespace

void PlotRenderer::drawBands(QPainter& painter, const ColorPalette& palette) const {
  const PlotContent& plot = *plot_;
  if (!plot.showsBands() || !palette.curve.isSet || !plot.trace()) return;
  const PlotGeometry& g = plot.plotGeometry();
  const auto& bands = plot.bandAnalysis().bands();
  const std::vector<double>& levels = plot.bandLevels();
  const double bins = plot.trace()->bins;
  const double bottom = g.plotBounds().y();
  QPen outline(colorOf(palette.curve, 0.9f));
  outline.setWidthF(1.0);
  QPen unresolved = outline;
  unresolved.setDashPattern({2, 2});
  for (std::size_t i = 0; i < bands.size() && i < levels.size(); ++i) {
    if (!(levels[i] > 0)) continue;
    // The trace's units: a mean square times bins².
    const double top = plot.yForValue(static_cast<float>(levels[i] * bins * bins)) - g.yOffset();
    const double left = plot.xForFrequency(static_cast<float>(bands[i].lower));
    const double right = plot.xForFrequency(static_cast<float>(bands[i].upper));
    // A point apart, so that neighbouring bars stay two.
    const QRectF bar(QPointF(left + 0.5, bottom), QPointF(std::max(right - 0.5, left + 1.0), std::max(top, bottom)));
    const bool resolved = plot.bandAnalysis().resolved(static_cast<int>(i));
    if (resolved) painter.fillRect(bar, colorOf(palette.curve, 0.35f));
    painter.setPen(resolved ? outline : unresolved);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(bar);
  }
}

void PlotRenderer::drawBandsText(QPainter& painter, double px, double pw, double y, double f,
                                 const PlotCaptions& captions) const {
  const PlotContent& plot = *plot_;
  if (!plot.showsBands() || !plot.shared()) return;
  char text[96];
  bool anyUnresolved = false;
  for (std::size_t i = 0; i < plot.bandAnalysis().bands().size(); ++i)
    if (!plot.bandAnalysis().resolved(static_cast<int>(i))) anyUnresolved = true;
  const double level = plot.overallLevel();
  const double refDb = 10 * std::log10(static_cast<double>(plot.shared()->refScale));
  char reading[64];
  if (level > 0)
    std::snprintf(text, sizeof text, "Overall  %s%s",
                  plot.formatLevel(reading, sizeof reading, 10 * std::log10(level) + refDb, 1),
                  anyUnresolved ? "   (dashed bands: below the RBW)" : "");
  else
    std::snprintf(text, sizeof text, "Overall  no power%s", anyUnresolved ? "   (dashed bands: below the RBW)" : "");
  drawTextInRect(painter, text, QRectF(px + 0.5 * pw - 14 * f, y, 28 * f, 1.5 * f), captions.center());
}

}  // namespace display
