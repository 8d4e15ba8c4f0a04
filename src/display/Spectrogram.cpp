#include "display/Spectrogram.h"

#include <algorithm>
#include <cmath>

#include "display/PlotDetectors.h"
#include "dsp/PlotTrace.h"

namespace display {

Spectrogram::Spectrogram() : table_(&colorTable(map_)), detected_(std::make_unique<DetectedData>()) {}

Spectrogram::~Spectrogram() = default;

void Spectrogram::configure(int columns, int rows) {
  columns_ = std::clamp(columns, 1, PlotGeometry::kColumns - 1);
  rows_ = std::max(rows, 1);
  const size_t cells = static_cast<size_t>(columns_) * static_cast<size_t>(rows_);
  levels_.assign(cells, kNoPower);
  colors_.assign(cells, (*table_)[0]);
  scratch_.assign(static_cast<size_t>(columns_), kNoPower);
  clear();
}

void Spectrogram::resizeRows(int rows) {
  rows = std::max(rows, 1);
  if (levels_.empty()) {
    configure(columns_, rows);
    return;
  }
  if (rows == rows_) return;
  const int oldRows = rows_, oldFilled = filled_;
  std::vector<float> levels(static_cast<size_t>(columns_) * static_cast<size_t>(rows), kNoPower);
  // The new row of age a shows the old row where its share of the history
  // begins, a·oldRows/rows (the newest stays the newest); the rows written
  // cover as much of the history as before, rounded up.
  const int filled = std::min(rows, static_cast<int>((int64_t{oldFilled} * rows + oldRows - 1) / oldRows));
  for (int age = 0; age < filled; ++age) {
    const int old = std::min(oldFilled - 1, static_cast<int>(int64_t{age} * oldRows / rows));
    std::copy_n(levelsOfAge(old), columns_, levels.begin() + static_cast<std::ptrdiff_t>(age) * columns_);
  }
  levels_ = std::move(levels);
  colors_.assign(levels_.size(), (*table_)[0]);
  rows_ = rows;
  newest_ = 0;
  filled_ = filled;
  added_ = filled;
  recolor();
}

void Spectrogram::clear() noexcept {
  newest_ = 0;
  filled_ = 0;
  added_ = 0;
}

void Spectrogram::setRange(const LevelRange& range) {
  if (!range.valid() || (range.top == range_.top && range.bottom == range_.bottom)) return;
  range_ = range;
  recolor();
}

void Spectrogram::setColorMap(ColorMap map) {
  if (map == map_) return;
  map_ = map;
  table_ = &colorTable(map);
  recolor();
}

uint32_t Spectrogram::colorOf(float level) const noexcept {
  // NaN fails the comparison and takes the bottom colour with no power.
  if (!(level > range_.bottom)) return (*table_)[0];
  const float share = (level - range_.bottom) / (range_.top - range_.bottom);
  if (!(share < 1)) return (*table_)[kColorMapEntries - 1];
  return (*table_)[static_cast<size_t>(share * kColorMapEntries)];
}

void Spectrogram::detectInto(const PlotGeometry& geometry, const TraceData& trace, int detectorMode) noexcept {
  const int last = columns_ - 1;
  for (int column = 0; column <= last; ++column) detectPixel(geometry, column, &trace, detected_.get());
  const float* values = detectorValues(detectorMode, detected_.get(), last);
  const float linearScale = geometry.scale().linearScale;
  for (int column = 0; column <= last; ++column) {
    const float power = values[column] * linearScale;
    scratch_[static_cast<size_t>(column)] = power > 0 ? 10.0f * std::log10(power) : kNoPower;
  }
}

void Spectrogram::colorRow(size_t offset) noexcept {
  const float* level = levels_.data() + offset;
  uint32_t* color = colors_.data() + offset;
  for (int column = 0; column < columns_; ++column) color[column] = colorOf(level[column]);
}

void Spectrogram::advance() noexcept {
  newest_ = (newest_ + rows_ - 1) % rows_;
  filled_ = std::min(filled_ + 1, rows_);
  ++added_;
}

void Spectrogram::addRow(const PlotGeometry& geometry, const TraceData& trace, int detectorMode) noexcept {
  if (columns_ <= 0) return;
  detectInto(geometry, trace, detectorMode);
  advance();
  const size_t offset = rowOffset(0);
  std::copy(scratch_.begin(), scratch_.end(), levels_.begin() + static_cast<std::ptrdiff_t>(offset));
  colorRow(offset);
}

void Spectrogram::repeatRow() noexcept {
  if (columns_ <= 0 || filled_ == 0) return;
  const size_t from = rowOffset(0);
  advance();
  const size_t to = rowOffset(0);
  std::copy_n(levels_.begin() + static_cast<std::ptrdiff_t>(from), columns_,
              levels_.begin() + static_cast<std::ptrdiff_t>(to));
  std::copy_n(colors_.begin() + static_cast<std::ptrdiff_t>(from), columns_,
              colors_.begin() + static_cast<std::ptrdiff_t>(to));
}

void Spectrogram::recolor() noexcept {
  for (int row = 0; row < rows_; ++row) colorRow(static_cast<size_t>(row) * static_cast<size_t>(columns_));
}

}  // namespace display
