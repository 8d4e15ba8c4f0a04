#include "display/SpectrogramPane.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "display/Display.h"
#include "display/PlotGeometry.h"
#include "display/SpectrogramPage.h"
#include "display/SpectrogramPainter.h"
#include "dsp/PlotTrace.h"

namespace display {

namespace {

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

QColor toQColor(const RGBAColor& c, const QColor& otherwise) {
  return c.isSet ? QColor::fromRgbF(c.red, c.green, c.blue, c.alpha) : otherwise;
}

QFont smallFont() {
  QFont font(QStringLiteral("Helvetica"));
  font.setPixelSize(10);
  return font;
}

}  // namespace

SpectrogramPane::SpectrogramPane(Display* plot, QWidget* parent) : QWidget(parent), plot_(plot), clock_(&steadySeconds) {
  setMouseTracking(true);
  setMinimumHeight(kTopMargin + kLegendHeight + 40);
  setVisible(false);
  plot_->setSpectrogramPane(this);
}

SpectrogramPane::~SpectrogramPane() {
  if (plot_->spectrogramPane() == this) plot_->setSpectrogramPane(nullptr);
}

void SpectrogramPane::setActive(bool active) {
  if (active == active_) return;
  active_ = active;
  setVisible(active);
  if (active) configure();
}

void SpectrogramPane::setHistorySeconds(int seconds) {
  int nearest = kSpectrogramHistories[0];
  for (int h : kSpectrogramHistories)
    if (std::abs(h - seconds) < std::abs(nearest - seconds)) nearest = h;
  if (nearest == historySeconds_) return;
  historySeconds_ = nearest;
  // A hidden pane keeps no ring; showing it configures one.
  if (active_) configure();
}

void SpectrogramPane::setOwnRange(std::optional<OwnLevelRange> range) {
  if (range && !(range->top > range->bottom)) return;
  ownRange_ = range;
  followRange();
  update();
}

double SpectrogramPane::referenceDb() const {
  const SharedData* shared = plot_->shared();
  return shared && shared->refScale > 0 ? 10.0 * std::log10(static_cast<double>(shared->refScale)) : 0.0;
}

OwnLevelRange SpectrogramPane::shownRange() const {
  const LevelRange& r = spectrogram_.range();
  const double reference = referenceDb();
  return {r.top + reference, r.bottom + reference};
}

void SpectrogramPane::followRange() noexcept {
  // The rows keep levels from the reference line; an own range is read in
  // the reference level's dB.
  if (ownRange_) {
    const double reference = referenceDb();
    spectrogram_.setRange({static_cast<float>(ownRange_->top - reference), static_cast<float>(ownRange_->bottom - reference)});
  } else {
    spectrogram_.setRange(LevelRange::ofPlot(plot_->dBPerDivision()));
  }
}

void SpectrogramPane::setPaused(bool paused) {
  if (paused == paused_) return;
  paused_ = paused;
  // The paused time is left out: the slots go on from the newest row.
  if (paused) pausedAt_ = clock_();
  else origin_ += clock_() - pausedAt_;
}

QRectF SpectrogramPane::rowsRect() const {
  const PlotGeometry& g = plot_->plotGeometry();
  const double left = g.toDevice(g.plotBounds()).left();
  const int columns = spectrogram_.columns() > 0 ? spectrogram_.columns() : plot_->plotColumns() + 1;
  const double rows = std::max(1, height() - kTopMargin - kLegendHeight);
  return QRectF(left, kTopMargin, columns, rows);
}

void SpectrogramPane::configure() {
  configurePending_ = false;
  const int columns = plot_->plotGeometry().lastColumn() + 1;
  const int rows = std::max(1, height() - kTopMargin - kLegendHeight);
  spectrogram_.configure(std::max(1, columns), rows);
  mapping_ = {};
  lastSlot_ = -1;
  followRange();
  update();
}

void SpectrogramPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int rows = std::max(1, height() - kTopMargin - kLegendHeight);
  if (!active_ || rows == spectrogram_.rows()) return;
  if (configurePending_ || spectrogram_.columns() != plot_->plotGeometry().lastColumn() + 1) {
    configure();
    return;
  }
  // Taller or shorter only (the splitter moved): the history stays, on the
  // new rows, and the next trace begins a row of the new length.
  spectrogram_.resizeRows(rows);
  lastSlot_ = -1;
  update();
}

void SpectrogramPane::traceDetected(const PlotGeometry& geometry, const TraceData& trace) noexcept {
  if (!active_ || paused_ || configurePending_) return;
  const PlotScale& scale = geometry.scale();
  const Mapping mapping{scale.startBin,        scale.endBin, trace.bins, geometry.lastColumn() + 1, scale.binsPerPixel,
                        scale.linearScale,     trace.samplingRate, geometry.axis().logarithmic()};
  if (mapping.columns != spectrogram_.columns()) {
    // The plot's width changed: the ring is configured anew outside this
    // path, and the traces wait for it.
    configurePending_ = true;
    QTimer::singleShot(0, this, [this] { configure(); });
    return;
  }
  if (!(mapping == mapping_)) {
    spectrogram_.clear();
    mapping_ = mapping;
    lastSlot_ = -1;
  }
  followRange();
  const double now = clock_();
  if (lastSlot_ < 0) origin_ = now;
  const int64_t slot = static_cast<int64_t>(std::floor((now - origin_) / rowSeconds()));
  if (lastSlot_ >= 0) {
    if (slot <= lastSlot_) return;  // this row is written already
    const int64_t gap = std::min<int64_t>(slot - lastSlot_ - 1, spectrogram_.rows());
    for (int64_t i = 0; i < gap; ++i) spectrogram_.repeatRow();
  }
  const SharedData* shared = plot_->shared();
  spectrogram_.addRow(geometry, trace, shared ? shared->detectorMode : 4);
  lastSlot_ = slot;
  update();
}

std::optional<SpectrogramPane::Readout> SpectrogramPane::readoutAt(QPointF point) const {
  const QRectF rows = rowsRect();
  if (!rows.contains(point) || spectrogram_.rows() <= 0) return std::nullopt;
  const int age = static_cast<int>((point.y() - rows.top()) / rows.height() * spectrogram_.rows());
  const int column = static_cast<int>(point.x() - rows.left());
  if (age < 0 || age >= spectrogram_.filledRows() || column < 0 || column >= spectrogram_.columns()) return std::nullopt;
  Readout r;
  r.secondsAgo = age * rowSeconds();
  const SharedData* shared = plot_->shared();
  const SpanEdges span{shared ? shared->span.startFrequency : 0.0, shared ? shared->span.endFrequency : 0.0};
  r.frequency = plot_->frequencyAtX(plot_->x0() + column + 0.5, span);
  const float level = spectrogram_.levelsOfAge(age)[column];
  r.hasPower = level > Spectrogram::kNoPower;
  r.level = r.hasPower ? level + referenceDb() : 0.0;
  return r;
}

std::string SpectrogramPane::readoutText() const {
  if (!pointer_) return {};
  const std::optional<Readout> r = readoutAt(*pointer_);
  if (!r) return {};
  char level[48] = "no power";
  if (r->hasPower) plot_->formatLevel(level, sizeof level, r->level, 1);
  char text[128];
  std::snprintf(text, sizeof text, "%.1f s ago   %.1f Hz   %s", r->secondsAgo, r->frequency, level);
  return text;
}

void SpectrogramPane::mouseMoveEvent(QMouseEvent* event) {
  pointer_ = event->position();
  update();
}

void SpectrogramPane::leaveEvent(QEvent* event) {
  pointer_.reset();
  update();
  QWidget::leaveEvent(event);
}

// --- Drawing -------------------------------------------------------------------

void SpectrogramPane::drawTimeAxis(QPainter& painter, const QRectF& rows, const QColor& color) const {
  painter.setFont(smallFont());
  painter.setPen(color);
  for (const TimeLabel& label : timeLabels(0, historySeconds_, rows.height())) {
    const double y = rows.top() + label.seconds / historySeconds_ * rows.height();
    painter.drawLine(QPointF(rows.left() - 3, y), QPointF(rows.left(), y));
    painter.drawText(QRectF(0, y - 6, rows.left() - 5, 12), Qt::AlignRight | Qt::AlignVCenter,
                     QString::fromStdString(label.text));
  }
}

void SpectrogramPane::drawLegend(QPainter& painter, const QRectF& rows, const QColor& color) const {
  // A bar of the map from the range's bottom (left) to its top, under the rows.
  const QRectF bar(rows.left(), rows.bottom() + 6, std::min(200.0, rows.width() / 2), 8);
  const OwnLevelRange range = shownRange();
  const LevelRange& levels = spectrogram_.range();
  const int steps = std::max(1, static_cast<int>(bar.width()));
  for (int i = 0; i < steps; ++i) {
    const float level = levels.bottom + (i + 0.5f) / steps * (levels.top - levels.bottom);
    painter.fillRect(QRectF(bar.left() + i * bar.width() / steps, bar.top(), bar.width() / steps + 0.5, bar.height()),
                     QColor::fromRgb(spectrogram_.colorOf(level)));
  }
  painter.setFont(smallFont());
  painter.setPen(color);
  char bottom[48], top[48];
  plot_->formatLevel(bottom, sizeof bottom, range.bottom, 0);
  plot_->formatLevel(top, sizeof top, range.top, 0);
  const QString text = QStringLiteral("%1 … %2%3")
                           .arg(QString::fromUtf8(bottom), QString::fromUtf8(top),
                                ownRange_ ? QString() : QStringLiteral("  (following the reference level)"));
  painter.drawText(QRectF(bar.right() + 6, bar.top() - 3, rows.right() - bar.right() - 6, 14),
                   Qt::AlignLeft | Qt::AlignVCenter, text);
  painter.drawText(QRectF(0, bar.top() - 3, rows.left() - 5, 14), Qt::AlignRight | Qt::AlignVCenter,
                   QStringLiteral("s ago"));
}

void SpectrogramPane::drawFrequencyTicks(QPainter& painter, const QRectF& rows, const ColorPalette& palette) const {
  const PlotGeometry& g = plot_->plotGeometry();
  // The plot's vertical lines as ticks on both edges, the marker as a line.
  QPen pen(toQColor(palette.graticule, Qt::gray));
  pen.setWidthF(1);
  painter.setPen(pen);
  for (float x : g.graticuleX()) {
    painter.drawLine(QPointF(x, rows.top()), QPointF(x, rows.top() + 4));
    painter.drawLine(QPointF(x, rows.bottom() - 4), QPointF(x, rows.bottom()));
  }
  const MarkerCache& marker = *plot_->marker();
  if (marker.type != MarkerCache::kNone && marker.valid) {
    QPen markerPen(toQColor(palette.marker, Qt::red));
    markerPen.setWidthF(1);
    markerPen.setStyle(Qt::DashLine);
    painter.setPen(markerPen);
    painter.drawLine(QPointF(marker.h, rows.top()), QPointF(marker.h, rows.bottom()));
  }
}

void SpectrogramPane::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  static const ColorPalette kNoPalette{};
  const ColorPalette& palette = plot_->colorPalette() ? *plot_->colorPalette() : kNoPalette;
  painter.fillRect(rect(), toQColor(palette.background, Qt::black));
  const QRectF rows = rowsRect();
  drawSpectrogram(painter, spectrogram_, rows);
  drawFrequencyTicks(painter, rows, palette);
  const QColor caption = toQColor(palette.caption, Qt::white);
  drawTimeAxis(painter, rows, caption);
  drawLegend(painter, rows, caption);
  QString corner = QString::fromStdString(readoutText());
  if (paused_) corner = corner.isEmpty() ? QStringLiteral("Paused") : QStringLiteral("Paused   ") + corner;
  if (!corner.isEmpty()) {
    painter.setFont(smallFont());
    const QRectF box(rows.left() + 4, rows.top() + 2, std::min(rows.width() - 8, 300.0), 14);
    painter.fillRect(box, QColor(0, 0, 0, 160));
    painter.setPen(Qt::white);
    painter.drawText(box.adjusted(3, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, corner);
  }
}

// --- The page --------------------------------------------------------------------

QImage SpectrogramPane::page(int width, int height, const ColorPalette& palette) const {
  PlotGeometry geometry(kSpectrogramPageMargins);
  const PlotGeometry& shown = plot_->plotGeometry();
  const SharedData* shared = plot_->shared();
  const TraceData* trace = plot_->trace();
  geometry.setAxisScale(shown.axisScale());
  geometry.setDBPerDivision(shown.dBPerDivision());
  geometry.layOut(QRectF(0, 0, std::max(1, width), std::max(1, height)));
  SpectrogramPageContent content;
  content.spectrogram = &spectrogram_;
  content.geometry = &geometry;
  if (shared && trace && trace->bins > 0) {
    geometry.updateScale(shared->span.startFrequency, shared->span.endFrequency, trace->binsPerHertz, trace->bins,
                         shared->refScale);
    content.startFrequency = shared->span.startFrequency;
    content.endFrequency = shared->span.endFrequency;
    content.bandwidth = shared->span.bandwidth;
  }
  // Seconds before the newest row's top edge, the oldest at the bottom.
  content.startSeconds = -static_cast<double>(historySeconds_);
  content.endSeconds = 0;
  content.levelUnit = plot_->levelUnit();
  content.palette = palette;
  return renderSpectrogramPage(content);
}

}  // namespace display
