// The print and export page. Geometry is in page points with y up, as in the
// on-screen view; drawing flips it on top of whatever transform the painter
// brings, so the same page goes into an image at one pixel per point or onto
// a printer at its resolution.

#include "display/Printing.h"
#include "plot/TruncToInt.h"

#include <QPainter>
#include <QPen>
#include <QTransform>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>

#include "dsp/PlotTrace.h"

namespace display {

namespace {

std::string formatNumber(const char* format, double value) {
  char text[96];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

Printing::Printing(const QRectF& frame, QWidget* parent) : Display(parent) {
  // The base class laid out its own default size with the screen's margins.
  setPageSize(frame.size());
  updateFrameFromBounds(pageBounds_);
  setScaleFont(11, 11.8f);
  takesAnchor_ = false;  // the screen's marker sets the delta marker's anchor
}

void Printing::setMarker(const MarkerCache* marker, const MarkerCache* referenceMarker) {
  displayMarkerCache_ = marker;
  displayReferenceMarkerCache_ = referenceMarker;
}

void Printing::setPageSize(const QSizeF& size) {
  pageBounds_ = QRectF(QPointF(0, 0), size);
  // The widget follows, so that QWidget::render() would draw the same page.
  resize(std::max(1, static_cast<int>(std::ceil(size.width()))),
         std::max(1, static_cast<int>(std::ceil(size.height()))));
}

void Printing::setPlotBounds(const QRectF& rect) {
  bounds_ = rect;
  width_ = static_cast<float>(rect.width());
  fullHeight_ = static_cast<float>(rect.height());
  x0_ = 45;
  y0_ = 50;
  plotBounds_ = QRectF(45, 50, width_ - 45 - 8, fullHeight_ - 50 - 30);
  width_ = width_ - 53;
  height_ = fullHeight_ - 80;
  yOffset_ = height_ * 0.05f;
}

void Printing::setPlotScale(float dBPerDivision) { dBPerDivision_ = dBPerDivision; }

void Printing::setReference(TraceData* reference, TraceData* trace) {
  referenceData_ = reference;
  traceData_ = trace;
}

void Printing::createPlotFromTraceData(TraceData* trace) {
  traceData_ = trace;
  updateFrameFromBounds(pageBounds_);
  // A curve of an earlier page belongs to its own geometry.
  plotPath_.removeAllPoints();
  if (!trace || trace->bins <= 0) return;
  // A page is laid out by a command, where taking the normalised trace's
  // storage is allowed.
  if (shared_ && shared_->measure.normalise && !normalised_) normalised_ = std::make_unique<TraceData>();
  std::lock_guard<std::mutex> hold(trace->lock);
  updateScale();
  const int last = std::min(truncToInt(width_), kColumns - 2);
  if (normalising()) normaliseBins(0, trace->bins);
  const TraceData* shown = shownTrace();
  for (int i = 0; i <= last; ++i) detectPixel(i, shown, detectedData_);
  createPlotPath(plotPath_, detectedData_, false);
  peakTable_.count = 0;
  if (shared_ && shared_->measure.peakTable) updatePeakTable();
}

void Printing::measurementsChanged() {
  if (shared_ && shared_->measure.normalise && !normalised_) normalised_ = std::make_unique<TraceData>();
}

void Printing::updateMarkerInfo() {
  // A marker the screen has not placed yet keeps its record as it is: the
  // page then shows its shape but no readout.
  if (!traceData_ || markerCache_.type == kNoMarker || !markerCache_.valid) return;
  // The frequency was made from a whole bin; rounding finds that bin again
  // where the float product falls just short of it.
  const int index =
      static_cast<int>(std::lround(static_cast<double>(markerCache_.frequency * traceData_->binsPerHertz)));
  const int k = cacheMarkerIndex(index, scale_.firstBin, scale_.endBin, true);
  if (referenceData_) cacheReferenceMarkerIndex(k, scale_.firstBin, scale_.endBin, true);
}

void Printing::renderPage(QPainter& painter, const QRectF& target) {
  const QSizeF page = pageBounds_.size();
  if (page.isEmpty() || target.isEmpty()) return;
  painter.save();
  painter.translate(target.topLeft());
  painter.scale(target.width() / page.width(), target.height() / page.height());
  drawRect(painter);
  painter.restore();
}

QImage Printing::renderImage() {
  const int w = std::max(1, truncToInt(pageBounds_.width()));
  const int h = std::max(1, truncToInt(pageBounds_.height()));
  // An opaque background covers the whole page: the image needs no alpha
  // channel, which makes its PNG encoding a quarter faster.
  const bool opaque = color_ && color_->background.isSet && color_->background.alpha >= 1;
  QImage image(w, h, opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
  // One pixel per point: 72 pixels per inch in the file.
  image.setDotsPerMeterX(2835);
  image.setDotsPerMeterY(2835);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  drawRect(painter);
  return image;
}

void Printing::drawRect(QPainter& painter) {
  static const ColorPalette kNoPalette{};
  const ColorPalette& P = color_ ? *color_ : kNoPalette;

  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  // Texts are placed in device-row rectangles under the painter's own
  // transform; shapes in y-up page points under the flipped one.
  const QTransform base = painter.worldTransform();
  const QTransform flipped = QTransform(1, 0, 0, -1, 0, bounds_.height()) * base;

  const double px = plotBounds_.x(), py = plotBounds_.y(), pw = plotBounds_.width(), ph = plotBounds_.height();
  const double s = scaleFontSize_;
  const double f = infoFontSize_;
  const double top = py + ph + 0.5 * s;   // the line above the plot
  const double below = py - 1.9 * f;      // the line below it
  const double second = below - 1.6 * f;  // and the one below that

  setCaptionColor(P.caption);

  fillRect(painter, toDevice(frame_), P.background);
  if (drawBorder_ && P.graticule.isSet) {
    painter.setTransform(flipped);
    QPen pen(QColor::fromRgbF(P.graticule.red, P.graticule.green, P.graticule.blue, P.graticule.alpha));
    pen.setWidthF(1.0);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(frame_);
    painter.setTransform(base);
  }

  updateStrings();

  if (shared_) {
    if (shared_->printDate && !shared_->dateString.empty()) {
      drawTextAtPoint(painter, shared_->dateString, QPointF(px + 0.3 * s, top), leftFontAttribute_);
    }
    if (!shared_->title.empty()) {
      drawTextInRect(painter, shared_->title, QRectF(px + pw - 100.4 * f, top, 100 * f, 1.5 * f), rightFontAttribute_);
    }
  }
  if (!trackingGeneratorEnabled_ && traceData_ && traceData_->traces >= 2) {
    drawTextInRect(painter, formatNumber("%.0f traces", traceData_->traces),
                   QRectF(px + 0.5 * pw - 6 * f, top, 12 * f, 1.5 * f), centerFontAttribute_);
  }

  // The dB scale: "dB" level with the reference line, a label per division below it.
  const double scaleTop = py + ph - 0.6 * s - yOffset_;
  drawTextAtPoint(painter, "dB", QPointF(px - 2.2 * s, scaleTop), captionFontAttribute_);
  const std::array<int, 7> labels = scaleLabels(dBPerDivision_);
  for (int k = 1; k <= 7; ++k) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", labels[static_cast<size_t>(k - 1)]);
    drawTextInRect(painter, text, QRectF(px - 4.2 * s, scaleTop - k * (height_ * 0.125), 3.5 * s, 1.5 * s),
                   scaleFontAttribute_);
  }

  if (shared_) {
    drawTextInRect(painter, formatNumber("%.0f Hz", shared_->span.startFrequency),
                   QRectF(px + 0.25 * f, below, 7 * f, 1.5 * f), leftFontAttribute_);
    drawTextInRect(painter, formatNumber("%.0f Hz", shared_->span.endFrequency),
                   QRectF(px + pw - 7.5 * f, below, 7 * f, 1.5 * f), rightFontAttribute_);
  }
  drawTextInRect(painter, bandwidthString_, QRectF(px + 0.5 * pw - 6 * f, below, 12 * f, 1.5 * f),
                 centerFontAttribute_);
  if (shared_) {
    drawTextInRect(painter, formatNumber("Reference  %.1f dB", 10 * std::log10(static_cast<double>(shared_->refScale))),
                   QRectF(px, second, 12 * f, 1.5 * f), leftFontAttribute_);
  }

  // The screen's markers as they are now, then the reference path for the
  // page (a reference removed since the last page leaves none behind).
  if (displayMarkerCache_) markerCache_ = *displayMarkerCache_;
  if (displayReferenceMarkerCache_) referenceMarkerCache_ = *displayReferenceMarkerCache_;
  referencePath_.removeAllPoints();
  if (referenceData_) createReferencePath();

  if (markerCache_.type != kNoMarker) {
    updateMarkerInfo();
    updateMeasureReadout();
    if (markerCache_.valid == 1) drawMarkerReadout(painter, px, pw, second, f);
  } else {
    updateMeasureReadout();
  }
  drawMeasureTexts(painter, px, pw, py + ph, top, f);

  painter.setTransform(flipped);
  strokeGraticule(painter, P.graticule);
  painter.setClipRect(clipFrame_, painter.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);

  // Both traces only while no detection pass holds the live trace.
  if (traceData_ && traceData_->lock.try_lock()) {
    if (!referencePath_.isEmpty()) strokePath(painter, referencePath_, P.reference);
    if (!plotPath_.isEmpty()) strokePath(painter, plotPath_, P.curve);
    traceData_->lock.unlock();
  }

  // The marker is placed from its frequency and level, whether or not the
  // screen had placed it; the reference marker from its record.
  if (traceData_ && markerCache_.type != kNoMarker) {
    const MarkerCache& m = markerCache_;
    const double y = m.dB * scale_.logScale / 10 + scale_.top - yOffset_;
    if (m.type != kBandMarker) {
      fillOval(painter, QRectF(xForFrequency(m.frequency) - 3.5, y - 3.5, 7, 7), P.marker);
    } else {
      strokeLine(painter, QPointF(xForFrequency(m.lowerFrequency), y), QPointF(xForFrequency(m.upperFrequency), y),
                 8.5f, P.avgMarker);
    }
    if (!referencePath_.isEmpty()) {
      const MarkerCache& r = referenceMarkerCache_;
      if (m.type != kBandMarker) {
        fillOval(painter, QRectF(r.h - 2, r.v - yOffset_ - 2, 5, 5), P.marker);
      } else {
        const double ry = r.v - yOffset_;
        strokeLine(painter, QPointF(xForFrequency(r.lowerFrequency), ry), QPointF(xForFrequency(r.upperFrequency), ry),
                   5.5f, P.avgMarker);
      }
    }
    drawMeasureSymbols(painter);
  }
  painter.restore();
}

void Printing::sweptColumns(int& first, int& last) const {
  const SharedData* shared = shared_;
  const PlotScale& page = scale_;
  if (!shared || shared->lowestBin > shared->highestBin || !(page.binsPerPixel > 0)) {
    first = last + 1;  // nothing measured yet
    return;
  }
  const double from = std::ceil((shared->lowestBin - static_cast<double>(page.startBin)) / page.binsPerPixel);
  const double to = std::floor((shared->highestBin - static_cast<double>(page.startBin)) / page.binsPerPixel) + 1;
  first = std::max(first, static_cast<int>(std::clamp(from, -1.0, 1.0e6)));
  last = std::min(last, static_cast<int>(std::clamp(to, -1.0, 1.0e6)));
}

}  // namespace display
