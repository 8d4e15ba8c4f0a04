// The measurements' texts and symbols on the plot: the trace's mode and
// normalisation, the delta and noise readings, the peak table with each
// peak's number, the distortion readout, and the delta marker's anchor.

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "plot/DistortionTexts.h"
#include "display/PlotContent.h"
#include "display/PlotRenderer.h"
#include "dsp/PeakReading.h"
#include "dsp/PlotTrace.h"

namespace display {

namespace {

int binsOf(const TraceData* trace) { return std::clamp(trace->bins, 0, TraceData::kCapacity); }

double decibels(double power) { return 10 * std::log10(power); }

}  // namespace

void PlotRenderer::drawMeasureTexts(QPainter& painter, double px, double pw, double pt, double y, double f) const {
  const PlotContent& plot = *plot_;
  const SharedData* shared = plot.shared();
  if (!shared) return;
  const PlotCaptions& captions = plot.captions();
  const MeasureState& m = shared->measure;
  const double yOffset = plot.yOffset();
  char text[128];

  // A log sweep's phase has its scale at the plot's right edge, and its
  // curves are named at the plot's foot.
  if (shared->sweptResponse.shown) {
    const SharedData::SweptResponse& r = shared->sweptResponse;
    const bool delay = r.rightScale == SharedData::SweptResponse::groupDelay;
    const double bottom = plot.plotBounds().y(), height = plot.plotBounds().height();
    const double low = r.scaleHigh > r.scaleLow ? r.scaleLow : -180, high = r.scaleHigh > r.scaleLow ? r.scaleHigh : 180;
    const double step = r.scaleStep > 0 && (high - low) / r.scaleStep <= 20 ? r.scaleStep : high - low;
    for (int i = 0; low + i * step <= high + 1e-9 * step; ++i) {
      double value = low + i * step;
      if (std::fabs(value) < 1e-9 * step) value = 0;
      std::snprintf(text, sizeof text, delay ? "%g ms" : "%g\u00b0", value);
      const double at = bottom + (value - low) / (high - low) * height;
      const double y = std::clamp(at - 0.75 * f, bottom + 0.1 * f, bottom + height - 1.6 * f);
      drawTextInRect(painter, text, QRectF(px + pw - 6.2 * f, y, 6 * f, 1.5 * f), captions.right());
    }
    const char* curve = delay ? "Group delay" : r.rightScale == SharedData::SweptResponse::unwrappedPhase ? "Unwrapped phase" : "Phase";
    std::snprintf(text, sizeof text, "%s (right scale, from the %s)   H2, H3 (re fundamental)", curve,
                  r.absolutePhase ? "reference" : "impulse peak");
    drawTextInRect(painter, text, QRectF(px + 0.5 * f, bottom + 0.3 * f, 40 * f, 1.5 * f), captions.left());
  }

  // A distortion sweep over level has its levels along the plot's foot
  // (its curves run from the lowest at the left edge to the highest at the
  // right).
  const MeasureState::Distortion& sweep = m.distortionReadout;
  if (m.distortion && sweep.overLevel && sweep.sweep.size() > 1) {
    const double lowest = sweep.sweep.front().levelDbfs, highest = sweep.sweep.back().levelDbfs;
    const double bottom = plot.plotBounds().y();
    for (double dB = std::ceil(lowest / 10) * 10; highest > lowest && dB <= highest + 1e-9; dB += 10) {
      std::snprintf(text, sizeof text, "%g dBFS", dB == 0 ? 0.0 : dB);
      const double x = px + (dB - lowest) * pw / (highest - lowest);
      drawTextInRect(painter, text, QRectF(std::clamp(x - 3 * f, px, px + pw - 6 * f), bottom + 0.3 * f, 6 * f, 1.5 * f),
                     captions.center());
    }
  }

  std::string caption = m.traceMode == 1 ? "Max Hold" : m.traceMode == 2 ? "Min Hold" : "";
  if (plot.normalising()) caption += caption.empty() ? "Relative to reference" : "   Relative to reference";
  if (!caption.empty())
    drawTextInRect(painter, caption, QRectF(px + 0.5 * pw + 6.5 * f, y, 24 * f, 1.5 * f), captions.left());

  // The marker's further readings, from the plot's top left down.
  const MeasureReadout& r = plot.measureReadout();
  double line = pt - yOffset - 1.7 * f;
  if (r.delta) {
    std::snprintf(text, sizeof text, r.precise ? "Delta:  %+.2f Hz   %+.2f dB" : "Delta:  %+.1f Hz   %+.2f dB",
                  static_cast<double>(r.deltaFrequency), static_cast<double>(r.deltaDB));
    drawTextInRect(painter, text, QRectF(px + 0.4 * f, line, 24 * f, 1.5 * f), captions.left());
    line -= 1.5 * f;
  }
  if (r.noise) {
    const dsp::LevelScale& levels = plot.levelScale();
    const double density = levels.fromDb(static_cast<double>(r.noiseDB));
    char reading[64];
    if (levels.logarithmic()) {
      std::snprintf(text, sizeof text, "Noise:  %.1f %s", density, dsp::densityUnitName(levels.unit()));
    } else {
      std::snprintf(text, sizeof text, "Noise:  %s",
                    dsp::formatLinearLevel(reading, sizeof reading, density, dsp::densityUnitName(levels.unit())));
    }
    drawTextInRect(painter, text, QRectF(px + 0.4 * f, line, 24 * f, 1.5 * f), captions.left());
  }

  // The peak table at the top right, and each peak's number above it; the
  // distortion readout below it.
  const PeakTable& peaks = plot.peakTable();
  const PlotScale& scale = plot.scale();
  const bool table = m.peakTable && plot.trace() && peaks.count > 0 && scale.binsPerPixel > 0;
  if (m.distortion) {
    DistortionTexts texts;
    makeDistortionTexts(*shared, texts);
    line = pt - yOffset - 1.7 * f - (table ? 1.5 * f * (peaks.count + 0.5) : 0.0);
    for (int i = 0; i < texts.count; ++i, line -= 1.5 * f)
      drawTextInRect(painter, texts.lines[static_cast<size_t>(i)].data(),
                     QRectF(px + pw - 26.4 * f, line, 26 * f, 1.5 * f), captions.right());
  }
  if (!table) return;
  const TraceData* trace = plot.shownTrace();
  const int bins = binsOf(trace);
  const WindowResponse* window =
      m.precisePeak && !plot.normalising() && !plot.trackingGenerator() ? plot.fittingWindow() : nullptr;
  line = pt - yOffset - 1.7 * f;
  for (int i = 0; i < peaks.count; ++i) {
    const PeakTable::Entry& e = peaks.entries[i];
    double frequency = e.bin / static_cast<double>(trace->binsPerHertz);
    double dB = decibels(static_cast<double>(e.power) * scale.linearScale);
    const char* format = "%d   %.1f Hz   %s";
    int decimals = 1;
    if (window) {
      const PeakReading p = readPeakAt(*window, trace->averaged, bins, e.bin, trace->binsPerHertz);
      if (p.uncertain) {
        format = "%d   ~%.1f Hz   %s";  // the bin's own reading
      } else {
        frequency = p.frequency;
        dB = p.level + decibels(shared->refScale);
        format = "%d   %.2f Hz   %s";
        decimals = 2;
      }
    }
    char reading[64];
    std::snprintf(text, sizeof text, format, i + 1, frequency, plot.formatLevel(reading, sizeof reading, dB, decimals));
    drawTextInRect(painter, text, QRectF(px + pw - 22.4 * f, line, 22 * f, 1.5 * f), captions.right());
    line -= 1.5 * f;

    const double x = plot.x0() + plot.plotGeometry().columnOfBin(e.bin);
    const double top = plot.yForValue(e.power) - yOffset + 0.2 * f;
    if (x < px || x > px + pw || top < plot.plotBounds().y() || top + 1.5 * f > pt) continue;
    std::snprintf(text, sizeof text, "%d", i + 1);
    drawTextInRect(painter, text, QRectF(x - 2 * f, top, 4 * f, 1.5 * f), captions.center());
  }
}

void PlotRenderer::drawDistortionSweep(QPainter& painter, const ColorPalette& palette) const {
  const PlotContent& plot = *plot_;
  if (!plot.shared() || !plot.colorPalette()) return;
  const PlotScale& scale = plot.scale();
  // The distortion sweep's THD+N and THD against frequency, in dB on the
  // level scale, each a line through its points (a point without a
  // harmonic in reach breaks THD's). A sweep over level runs across the
  // plot from its lowest level at the left edge to its highest at the
  // right, with the levels written along the plot's foot.
  const MeasureState& m = plot.shared()->measure;
  if (m.distortion && m.distortionReadout.sweep.size() > 1) {
    const auto& points = m.distortionReadout.sweep;
    auto yOf = [&](double dB) { return scale.top + dB * scale.logScale / 10 - plot.yOffset(); };
    const bool overLevel = m.distortionReadout.overLevel != 0;
    const double lowest = points.front().levelDbfs, highest = points.back().levelDbfs;
    const double perDb = highest > lowest ? plot.plotWidth() / (highest - lowest) : 0;
    auto xOf = [&](const MeasureState::Distortion::SweepPoint& p) {
      return overLevel ? plot.x0() + (p.levelDbfs - lowest) * perDb : plot.xForFrequency(static_cast<float>(p.hz));
    };
    for (std::size_t i = 1; i < points.size(); ++i) {
      const auto& p = points[i - 1];
      const auto& q = points[i];
      const double x0 = xOf(p), x1 = xOf(q);
      if (std::isfinite(p.thdnDb) && std::isfinite(q.thdnDb))
        strokeLine(painter, QPointF(x0, yOf(p.thdnDb)), QPointF(x1, yOf(q.thdnDb)), 1.5f, palette.reference);
      if (std::isfinite(p.thdDb) && std::isfinite(q.thdDb))
        strokeLine(painter, QPointF(x0, yOf(p.thdDb)), QPointF(x1, yOf(q.thdDb)), 1.5f, palette.marker);
    }
  }
}

void PlotRenderer::drawSweptResponse(QPainter& painter, const ColorPalette& palette) const {
  const PlotContent& plot = *plot_;
  const SharedData* shared = plot.shared();
  if (!shared || !shared->sweptResponse.shown) return;
  const SharedData::SweptResponse& r = shared->sweptResponse;
  const PlotScale& scale = plot.scale();
  const QRectF& bounds = plot.plotBounds();
  // The right scale's curve, clipped at the plot's top and bottom.
  const bool wrapped = r.rightScale == SharedData::SweptResponse::wrappedPhase;
  const std::vector<double>& right = r.rightScale == SharedData::SweptResponse::groupDelay ? r.groupDelayMs
                                     : wrapped                                              ? r.phaseDeg
                                                                                            : r.unwrappedPhaseDeg;
  const double low = r.scaleHigh > r.scaleLow ? r.scaleLow : -180, high = r.scaleHigh > r.scaleLow ? r.scaleHigh : 180;
  auto rightY = [&](double v) {
    return bounds.y() + std::clamp((v - low) / (high - low), -0.01, 1.01) * bounds.height();
  };
  auto levelY = [&](double dB) { return scale.top + dB * scale.logScale / 10 - plot.yOffset(); };
  const std::size_t n = std::min({r.frequencyHz.size(), right.size(), r.h2Db.size(), r.h3Db.size()});
  for (std::size_t i = 1; i < n; ++i) {
    const double x0 = plot.xForFrequency(static_cast<float>(r.frequencyHz[i - 1]));
    const double x1 = plot.xForFrequency(static_cast<float>(r.frequencyHz[i]));
    auto finite = [](double a, double b) { return std::isfinite(a) && std::isfinite(b); };
    // The wrapped phase breaks where it wraps.
    if (finite(right[i - 1], right[i]) && (!wrapped || std::fabs(right[i] - right[i - 1]) < 180))
      strokeLine(painter, QPointF(x0, rightY(right[i - 1])), QPointF(x1, rightY(right[i])), 1.2f, palette.marker);
    if (finite(r.h2Db[i - 1], r.h2Db[i]))
      strokeLine(painter, QPointF(x0, levelY(r.h2Db[i - 1])), QPointF(x1, levelY(r.h2Db[i])), 1.2f, palette.reference);
    if (finite(r.h3Db[i - 1], r.h3Db[i]))
      strokeLine(painter, QPointF(x0, levelY(r.h3Db[i - 1])), QPointF(x1, levelY(r.h3Db[i])), 0.6f, palette.reference);
  }
}

void PlotRenderer::drawMeasureSymbols(QPainter& painter, const ColorPalette& palette) const {
  const PlotContent& plot = *plot_;
  if (!plot.shared() || !plot.colorPalette()) return;
  const PlotScale& scale = plot.scale();
  if (!plot.measureReadout().delta) return;
  const MeasureState::Anchor& a = plot.shared()->measure.anchor;
  const double x = plot.xForFrequency(a.frequency);
  const double y = scale.top + a.dB * scale.logScale / 10 - plot.yOffset();
  strokeLine(painter, QPointF(x - 4, y - 4), QPointF(x + 4, y + 4), 1.5f, palette.marker);
  strokeLine(painter, QPointF(x - 4, y + 4), QPointF(x + 4, y - 4), 1.5f, palette.marker);
}

}  // namespace display
