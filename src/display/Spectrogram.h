#pragma once
// The spectrogram's history: a preallocated ring of rows, one row per
// completed spectrum, each row the trace's bins mapped onto the plot's pixel
// columns by the plot's own column maps (PlotGeometry) and detectors
// (PlotDetectors.h), so that a column of the spectrogram covers the same
// frequencies as the same column of the spectrum above it, on the linear
// and the logarithmic axis alike.
//
// Each row is kept twice: as levels (dB as the plot reads them,
// 10·log10(power · scale().linearScale), so 0 dB lies on the reference line)
// for the cursor's read-out and to colour the history again when the range
// or the map changes (a command, not per spectrum), and as 32-bit colours
// (ColorMaps.h) that are drawn as they are, without a colour pass per paint.
// At 1800 columns and 600 rows the two take 8.6 MB.
//
// Rows are written at descending ring positions, so that from the newest
// row upwards in memory (wrapping once) the rows run from the newest to the
// oldest: a view draws the newest at the top from two pieces of the one
// image, the scroll offset being newestRow(), and no row is ever copied.
//
// Only configure() allocates. addRow(), repeatRow() and the accessors
// neither allocate nor lock; they map only the new row.
//
// Threads: main thread only, like the display that feeds and draws it (the
// trace's detection pass and the view's paint both run there). The caller
// holds the trace's lock around addRow(), as the display does
// around its detection pass.

#include <cstdint>
#include <memory>
#include <vector>

#include "display/ColorMaps.h"
#include "display/PlotGeometry.h"

struct TraceData;

namespace display {

struct DetectedData;

// The levels shown from the bottom colour to the top one, in dB as the
// spectrogram keeps them (0 dB on the reference line).
struct LevelRange {
  float top = 0;
  float bottom = -80;
  // The plot's own range: the reference line down through the plot's eight
  // divisions of dBPerDivision.
  static LevelRange ofPlot(float dBPerDivision) { return {0.0f, -8.0f * dBPerDivision}; }
  bool valid() const { return top > bottom; }
};

class Spectrogram {
 public:
  Spectrogram();
  ~Spectrogram();
  Spectrogram(const Spectrogram&) = delete;
  Spectrogram& operator=(const Spectrogram&) = delete;

  // Allocates the ring for columns × rows (each at least 1; columns at most
  // PlotGeometry::kColumns − 1) and empties it. Not per spectrum.
  void configure(int columns, int rows);
  // Gives the ring another number of rows over the same columns, keeping
  // its history: every row takes the old row where its share of the history
  // begins, so the newest stays the newest (a pane made taller or shorter).
  // Allocates; never on the per-spectrum path.
  void resizeRows(int rows);
  // The range and the map; a change colours the whole history again from
  // its levels (columns × rows table look-ups, no allocation). An invalid
  // range is ignored.
  void setRange(const LevelRange& range);
  void setColorMap(ColorMap map);
  // Forgets the history; the storage stays.
  void clear() noexcept;

  // A new row from the trace, its bins mapped onto the columns as the
  // geometry maps them (the geometry's scale updated for this trace), with
  // the detector mode of detectorValues() (0 mean, 1 maximum, 2 minimum,
  // 3 and above rosenfell). The oldest row gives way once the ring is full.
  void addRow(const PlotGeometry& geometry, const TraceData& trace, int detectorMode) noexcept;
  // The newest row again as a new row (a length of time no spectrum ended in).
  void repeatRow() noexcept;

  int columns() const { return columns_; }
  int rows() const { return rows_; }
  // Rows written, at most rows().
  int filledRows() const { return filled_; }
  // Rows written since the last configure() or clear(), the ones that gave
  // way included.
  int64_t rowsAdded() const { return added_; }
  // The ring position of the newest row (the scroll offset); row age a
  // (0 the newest) lies at (newestRow() + a) % rows().
  int newestRow() const { return newest_; }
  // Colours and levels of the row of age a (0 the newest, < filledRows()).
  const uint32_t* colorsOfAge(int age) const { return colors_.data() + rowOffset(age); }
  const float* levelsOfAge(int age) const { return levels_.data() + rowOffset(age); }
  // The whole ring's colours, rows() rows of columns() in ring order, for a
  // painter (SpectrogramPainter.h).
  const uint32_t* ringColors() const { return colors_.data(); }

  const LevelRange& range() const { return range_; }
  ColorMap colorMap() const { return map_; }
  // The colour of a level under the present range and map: the levels
  // outside the range take the end colours, a level without power (−inf or
  // NaN) the bottom one.
  uint32_t colorOf(float level) const noexcept;
  // A bin without power reads as this level.
  static constexpr float kNoPower = -1e30f;

 private:
  size_t rowOffset(int age) const {
    return static_cast<size_t>((newest_ + age) % rows_) * static_cast<size_t>(columns_);
  }
  // The trace detected into scratch_ as levels.
  void detectInto(const PlotGeometry& geometry, const TraceData& trace, int detectorMode) noexcept;
  void colorRow(size_t offset) noexcept;
  void advance() noexcept;
  void recolor() noexcept;

  int columns_ = 0;
  int rows_ = 0;
  int newest_ = 0;
  int filled_ = 0;
  int64_t added_ = 0;
  LevelRange range_;
  ColorMap map_ = ColorMap::viridis;
  const ColorTable* table_ = nullptr;
  std::vector<float> levels_;
  std::vector<uint32_t> colors_;
  std::vector<float> scratch_;                // one row of levels
  std::unique_ptr<DetectedData> detected_;    // the detectors' columns, 655 kB
};

}  // namespace display
