#pragma once
// The window's spectrogram pane: a widget under the spectrum plot that
// shares the plot's frequency axis column for column (the plot's own
// geometry and detector map each trace onto the pane's columns), with time
// running downwards and the newest row at the top.
//
// Time: the pane's height in pixels is its number of rows, and each row
// covers historySeconds() / rows() seconds of the main thread's clock. A
// trace detected by the plot opens the row of its time; rows no trace ended
// in repeat the one before (a slower spectrum rate), and a trace that ends
// in a row already written is left out (a faster one: the trace's own
// averaging carries it). So a row's age times rowSeconds() is exactly how
// long ago it was, to within one row. While paused no row is written, and
// the paused time is left out of the history's time axis.
//
// Levels: the range of colours follows the plot (its reference line down
// through its eight divisions) unless an own range is set, in the levels'
// dB as the reference level reads. A change of span, axis, RBW or
// reference level empties the history, since its rows no longer lie where
// the plot's columns are nor read in the same scale. A tracking
// generator's sweep, whose bins come one at a time, writes no rows.
//
// Threads: main thread only, like the plot that feeds it. traceDetected()
// runs on the plot's per-spectrum path and allocates nothing; the ring is
// configured when the pane's size, the plot's width or the history change.

#include <QImage>
#include <QWidget>
#include <optional>
#include <string>

#include "display/ColorMaps.h"
#include "display/Spectrogram.h"
#include "plot/SharedData.h"

struct TraceData;

namespace display {

class Display;
class PlotGeometry;

// The history lengths offered, in seconds.
inline constexpr int kSpectrogramHistories[] = {10, 30, 60, 180, 600};
inline constexpr int kDefaultSpectrogramHistory = 60;

// A range of levels in dB as the reference level reads them (top above bottom).
struct OwnLevelRange {
  double top = 0;
  double bottom = -80;
  bool operator==(const OwnLevelRange&) const = default;
};

class SpectrogramPane final : public QWidget {
 public:
  // Seconds of a monotonic clock; the default is std::chrono::steady_clock.
  using Clock = double (*)();

  // The room the pane leaves above its rows, and below them for the colour
  // legend; left and right it keeps the plot's own margins.
  static constexpr int kTopMargin = 4;
  static constexpr int kLegendHeight = 26;

  // plot: the spectrum plot it follows; it must outlive the pane. The pane
  // attaches itself to the plot's per-spectrum path.
  SpectrogramPane(Display* plot, QWidget* parent);
  ~SpectrogramPane() override;

  // Whether the pane takes traces (View ▸ Spectrogram); the widget is shown
  // or hidden with it. Turning it on starts an empty history.
  void setActive(bool active);
  bool active() const { return active_; }
  // One of kSpectrogramHistories (others are taken as the nearest); empties
  // the history.
  void setHistorySeconds(int seconds);
  int historySeconds() const { return historySeconds_; }
  double rowSeconds() const { return historySeconds_ / static_cast<double>(std::max(1, spectrogram_.rows())); }
  void setColorMap(ColorMap map) {
    spectrogram_.setColorMap(map);
    update();
  }
  ColorMap colorMap() const { return spectrogram_.colorMap(); }
  // An own range, or none to follow the plot's reference level and dB/div.
  void setOwnRange(std::optional<OwnLevelRange> range);
  const std::optional<OwnLevelRange>& ownRange() const { return ownRange_; }
  // The range shown now, in the levels' dB.
  OwnLevelRange shownRange() const;
  // Freezes the history; the plot's traces go on.
  void setPaused(bool paused);
  bool paused() const { return paused_; }
  void setClock(Clock clock) { clock_ = clock; }

  const Spectrogram& spectrogram() const { return spectrogram_; }
  // Where the rows are drawn, in the widget's pixels (y down).
  QRectF rowsRect() const;

  // What lies under a point of the widget: how long ago (the row's top
  // edge), the frequency of the column's middle and the level in the
  // levels' dB. Nothing outside the rows or on a row not written yet.
  struct Readout {
    double secondsAgo = 0;
    double frequency = 0;
    double level = 0;
    bool hasPower = false;
  };
  std::optional<Readout> readoutAt(QPointF point) const;
  // The read-out shown while the pointer is over the rows, else empty.
  std::string readoutText() const;

  // The pane as one page in the print view's conventions (SpectrogramPage.h):
  // width × height pixels in the palette, with its time axis in seconds
  // before the newest row, the plot's frequency axis and the colour legend.
  QImage page(int width, int height, const ColorPalette& palette) const;

  // The plot's per-spectrum path, under the trace's lock: the trace just
  // detected on the plot's geometry becomes the row of its time. Allocates
  // nothing.
  void traceDetected(const PlotGeometry& geometry, const TraceData& trace) noexcept;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  // What the history's rows were mapped with; a change empties it.
  struct Mapping {
    int startBin = 0, endBin = 0, bins = 0, columns = 0;
    float binsPerPixel = 0, linearScale = 0, samplingRate = 0;
    bool logarithmic = false;
    bool operator==(const Mapping&) const = default;
  };
  void configure();
  void followRange() noexcept;
  double referenceDb() const;
  void drawTimeAxis(QPainter& painter, const QRectF& rows, const QColor& color) const;
  void drawLegend(QPainter& painter, const QRectF& rows, const QColor& color) const;
  void drawFrequencyTicks(QPainter& painter, const QRectF& rows, const ColorPalette& palette) const;

  Display* plot_;
  Spectrogram spectrogram_;
  Clock clock_;
  bool active_ = false;
  bool paused_ = false;
  bool configurePending_ = false;
  int historySeconds_ = kDefaultSpectrogramHistory;
  std::optional<OwnLevelRange> ownRange_;
  Mapping mapping_;
  double origin_ = 0;      // the clock's time of row slot 0
  double pausedAt_ = 0;
  int64_t lastSlot_ = -1;  // the slot of the newest row
  std::optional<QPointF> pointer_;
};

}  // namespace display
