// The print and export page. Geometry is in page points with y up, as in the
// on-screen view; drawing flips it on top of whatever transform the painter
// brings, so the same page goes into an image at one pixel per point or onto
// a printer at its resolution.

#include "display/Printing.h"

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <mutex>

#include "dsp/PlotTrace.h"
#include "plot/TruncToInt.h"

namespace display {

Printing::Printing(const QRectF& frame, QWidget* parent) : QWidget(parent), PlotContent(kPageMargins) {
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

void Printing::setReference(TraceData* reference, TraceData* trace) {
  referenceData_ = reference;
  traceData_ = trace;
  referenceTreated_ = false;
}

void Printing::createPlotFromTraceData(TraceData* trace) {
  traceData_ = trace;
  updateFrameFromBounds(pageBounds_);
  // A curve of an earlier page belongs to its own geometry.
  plotPath_.removeAllPoints();
  if (!trace || trace->bins <= 0) return;
  // A page is laid out by a command, where taking the normalised trace's
  // storage is allowed.
  takeMeasureStorage();
  std::lock_guard<std::mutex> hold(trace->lock);
  updateScale();
  const int last = geometry_.lastColumn();
  treatLive();
  updateBands();
  if (normalising()) normaliseBins(0, trace->bins);
  const TraceData* shown = shownTrace();
  for (int i = 0; i <= last; ++i) detectPixel(i, shown, detectedData_);
  createPlotPath(plotPath_, detectedData_, false);
  peakTable_.count = 0;
  if (shared_ && shared_->measure.peakTable) updatePeakTable();
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

void Printing::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  drawRect(painter);
}

void Printing::drawRect(QPainter& painter) {
  static const ColorPalette kNoPalette{};
  const ColorPalette& P = color_ ? *color_ : kNoPalette;

  setCaptionColor(P.caption);
  updateStrings();
  // The screen's markers as they are now, then the reference path for the
  // page (a reference removed since the last page leaves none behind).
  if (displayMarkerCache_) markerCache_ = *displayMarkerCache_;
  if (displayReferenceMarkerCache_) referenceMarkerCache_ = *displayReferenceMarkerCache_;
  referencePath_.removeAllPoints();
  if (referenceData_) createReferencePath();
  if (markerCache_.type != kNoMarker) updateMarkerInfo();
  updateMeasureReadout();

  renderer_.drawPage(painter, *this, P, drawBorder_ != 0);
}

void Printing::sweptColumns(int& first, int& last) const {
  const SharedData* shared = shared_;
  const PlotScale& page = geometry_.scale();
  if (!shared || shared->lowestBin > shared->highestBin || !(page.binsPerPixel > 0)) {
    first = last + 1;  // nothing measured yet
    return;
  }
  const double from = std::ceil(geometry_.columnOfBin(shared->lowestBin));
  const double to = std::floor(geometry_.columnOfBin(shared->highestBin)) + 1;
  first = std::max(first, static_cast<int>(std::clamp(from, -1.0, 1.0e6)));
  last = std::min(last, static_cast<int>(std::clamp(to, -1.0, 1.0e6)));
}

}  // namespace display
