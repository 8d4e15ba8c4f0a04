#pragma once
// The on-screen plot view: maps a trace's bins onto pixel columns and its
// linear power onto a dB scale, reduces each column with the selected
// detector, builds the trace, reference and out-of-range paths, places the
// markers and draws the whole plot.
//
// Geometry is kept in view points with y growing upwards (the origin at the
// view's lower-left corner); only the painter flips it. Everything here runs
// on the main thread. Detection passes hold the trace's lock for their whole
// run; drawing only tries it and skips the curve when it is busy.
//
// The view never owns what it is given: the shared plot state, the palette
// and the trace records belong to the controller and must outlive the view.
// A detection pass queued by addTraceData() finds its view through a slot
// that the view clears when it is destroyed, so a pass never outlives it.

#include <QLineF>
#include <QPointF>
#include <QRectF>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "plot/SharedData.h"
#include "plot/SpanZoom.h"
#include "dsp/PeakTable.h"

struct TraceData;
class QMenu;
class QPainter;
class QFont;

// The view's types live in namespace display: Qt's X11 native interface
// (pulled in by <QGuiApplication>) declares a global `Display` typedef.
namespace display {

// Bin-to-pixel and dB-to-height mapping of the current pass.
struct PlotScale {
  int startBin = 0;         // bin at the left edge; negative left of 0 Hz
  int endBin = 0;           // bin at the right edge
  int firstBin = 0;         // max(startBin, 0)
  float hertzPerPixel = 0;  // span / plot width
  float binsPerPixel = 0;   // hertzPerPixel * binsPerHertz
  float logScale = 0;       // points per decade of power
  float linearScale = 0;    // refScale / bins^2
  float top = 0;            // height + y0
  uint8_t valid = 0;        // a trace path exists
};

// Per-column results of the detectors. Index = pixel column.
struct DetectedData {
  static constexpr int kColumns = 32768;
  float min[kColumns];
  float max[kColumns];
  float mean[kColumns];
  float rosenfell[kColumns];
  int updown[kColumns];  // 1: values rose past all earlier ones, 2: fell below them, 3: both
};

// One marker's computed position and readout.
struct MarkerCache {
  int type = 255;  // 0 band, 1 peak, 2 minimum, 255 none, anything else plain
  float frequency = 0;
  float lowerFrequency = 0;  // band marker only
  float upperFrequency = 0;  // band marker only
  float dB = 0;  // -80 for a bin without power
  float h = 0;  // x in view points
  float v = 0;  // y before the yOffset shift
  uint8_t valid = 0;
  uint8_t hasPower = 1;  // the marker's value is above 0: dB is a level
};

// What the measurements read beside the marker (SharedData::measure), made
// at every drawing from the marker's record.
struct MeasureReadout {
  uint8_t precise = 0;   // frequency and dB are the peak reading's, not the bin's
  uint8_t uncertain = 0; // the peak reading could not tell the sine from its image
                         // near 0 Hz or the Nyquist frequency: frequency and dB are the bin's
  float frequency = 0;   // Hz
  float dB = 0;
  uint8_t delta = 0;     // the marker's difference to the anchor
  float deltaFrequency = 0;
  float deltaDB = 0;
  uint8_t noise = 0;     // the noise density around the marker
  float noiseDB = 0;     // dB/Hz
};

// A polyline with storage allocated once, so that rebuilding the trace path
// for every new trace does not allocate. Points are in view points (y up).
class PolylinePath {
 public:
  explicit PolylinePath(int capacity = 0, float lineWidth = 1.0f);
  void removeAllPoints() { count_ = 0; }
  void moveTo(double x, double y);  // starts the path
  void lineTo(double x, double y);  // extends it
  bool isEmpty() const { return count_ == 0; }
  int count() const { return count_; }
  const QPointF* points() const { return points_.data(); }
  const QPointF& point(int i) const { return points_[static_cast<size_t>(i)]; }
  int capacity() const { return static_cast<int>(points_.size()); }

  float lineWidth = 1.0f;
  std::vector<float> dashPattern;  // in points; empty = solid

 private:
  std::vector<QPointF> points_;
  int count_ = 0;
};

// Font, alignment and colour of one kind of text.
struct TextAttributes {
  float size = 10;
  int alignment = -1;  // -1 none, 0 left, 1 right, 2 centre
  RGBAColor foreground = RGBAColor::rgba(1, 1, 1, 1);
};

// What the view asks of the controller. Set by the controller; each may be
// left empty (then the view does without).
struct DisplayCallbacks {
  std::function<void()> stopTrackingGenerator;  // the sweep reached the right edge
  std::function<bool()> trackingGeneratorIdle;  // tracking mode on and no sweep running
  // The user zoomed or moved the span on the plot: the controller takes it
  // as if typed into the span fields, or refuses (false) while the span is
  // not the user's to change (a sweep runs, a reference brings its own).
  std::function<bool(double lower, double upper)> requestSpan;
};

class Display : public QWidget {
 public:
  static constexpr int kColumns = DetectedData::kColumns;
  // Context menu tags (the marker types).
  static constexpr int kBandMarker = 0;
  static constexpr int kPeakMarker = 1;
  static constexpr int kMinimumMarker = 2;
  static constexpr int kPlainMarker = 3;
  static constexpr int kNoMarker = 255;

  explicit Display(QWidget* parent = nullptr);
  ~Display() override;

  // --- Controller interface (main thread) ---------------------------------

  // Attaches the shared plot state: resets the received-bin range, removes
  // the marker and sets both date strings to " ".
  void setSharedData(SharedData* shared);
  // Palette to draw with (not owned) and whether a border is drawn (print).
  void setColorPalette(const ColorPalette* palette, bool border);
  void setCallbacks(DisplayCallbacks callbacks) { callbacks_ = std::move(callbacks); }

  // A new averaged trace (normal analysis): queues the detection pass on the
  // main thread without waiting. Does not allocate.
  void addTraceData(TraceData* trace);
  // A new trace; bin >= 0 is the bin a sweep has just measured and is
  // detected at once, bin < 0 queues the full pass as addTraceData().
  void addTraceDataBin(TraceData* trace, int bin);
  // Removes the marker, empties the plot (and the wait indicator) and resets
  // the sweep's ranges.
  void clearPlot();
  // A sweep begins: resets the received-bin range.
  void newSweep();
  // Leaving the tracking mode also takes down the wait indicator, which only
  // a sweep's own updates would otherwise ever clear.
  void setTrackingGeneratorMode(bool enabled);
  // dB per division; rebuilds the paths at the next drawing.
  virtual void setPlotScale(float dBPerDivision);
  // Foreground colour of every text.
  void setCaptionColor(const RGBAColor& color);
  // Reference trace (or null) and the live trace; builds the reference path.
  virtual void setReference(TraceData* reference, TraceData* trace);
  bool hasReference() const { return referenceData_ != nullptr; }
  // The marker records, for the print view.
  MarkerCache* marker() { return &markerCache_; }
  MarkerCache* referenceMarker() { return &referenceMarkerCache_; }

  // --- Measurements (main thread) -----------------------------------------

  // The shared state's measure settings changed: takes what they need (the
  // normalised trace's 2 MiB, the first time normalising is asked for) and
  // detects the trace anew. A command's work, never a block's.
  virtual void measurementsChanged();
  // The trace the detectors and markers read: the live trace, or while
  // normalising (a reference shown) the live trace relative to it, whose
  // reference level reads 0 dB (at the reference level setting).
  const TraceData* shownTrace() const;
  bool normalising() const;
  // The highest peaks of the span in the shown trace, kept by every
  // detection pass while the peak table is on.
  const PeakTable& peakTable() const { return peakTable_; }
  // Bins between two peaks of the table: three noise bandwidths or 1 % of
  // the span's bins, whichever is more.
  int peakSeparation() const;
  // How far a listed peak rises above the mean of the trace around it: 15 dB
  // (a power ratio). A tone's leakage ripples and the peaks of noise rise a
  // few dB (the highest of 262 144 noise bins about 11 dB above their mean).
  static constexpr float kPeakTableMargin = 31.6227766f;
  // And no more than 130 dB below the highest peak, where single-precision
  // rounding (about 140 dB below a tone) still leaves a margin.
  static constexpr float kPeakTableRange = 1e-13f;
  // Recomputes the readout from the marker's record; drawing does it.
  void updateMeasureReadout();
  const MeasureReadout& measureReadout() const { return measureReadout_; }
  // The marker's line below the plot: the peak reading's frequency and
  // level, or the bin's (after "~" when the peak reading was uncertain).
  std::string markerReadoutText() const;

  // --- Passes (main thread) ------------------------------------------------

  // Full detection and path for normal analysis; takes the trace's lock.
  void cachePlot();
  // Per-bin update of a sweep, for sharedData.trackedBin; takes the lock.
  void accumulateBinToPlot();

  // --- Geometry and mapping ------------------------------------------------

  virtual void setPlotBounds(const QRectF& rect);
  void updateFrameFromBounds(const QRectF& rect);
  // Recomputes the scale and the pixel maps; nothing while no trace is set.
  void updateScale();
  float plotWidth() const { return width_; }
  float plotHeight() const { return height_; }
  float yOffset() const { return yOffset_; }
  float x0() const { return x0_; }
  float y0() const { return y0_; }
  const QRectF& plotBounds() const { return plotBounds_; }
  const QRectF& bounds() const { return bounds_; }
  const PlotScale& scale() const { return scale_; }
  const int* pixelToBinMap() const { return pixelToBinMap_.data(); }
  const float* pixelToFractionalBin() const { return pixelToFractionalBin_.data(); }
  float dBPerDivision() const { return dBPerDivision_; }
  float scaleFontSize() const { return scaleFontSize_; }
  float infoFontSize() const { return infoFontSize_; }
  float captionFontSize() const { return captionFontSize_; }

  // y (view points, before the yOffset shift) of a linear power value.
  float yForValue(float value) const;
  // Where yForValue puts a value without power: far enough below the
  // plot's bottom edge that no part of a line to it shows.
  float noPowerY() const { return static_cast<float>(plotBounds_.y()) - kNoPowerDepth + yOffset_; }
  static constexpr float kNoPowerDepth = 100.0f;

  // --- Detectors and paths -------------------------------------------------

  void detectPixel(int column, const TraceData* input, DetectedData* output) const;
  void detectTrackingPixel(int column);
  void detectReferencePixel(int column, const TraceData* input, DetectedData* output, float scale) const;
  // Builds the path from the detected columns; it ends before column
  // `columns` (the reference ends where its data does).
  void createPlotPath(PolylinePath& path, DetectedData* detected, bool isReference, int columns = kColumns);
  void createReferencePath();
  const DetectedData& detectedData() const { return *detectedData_; }
  const DetectedData& detectedReference() const { return *detectedReference_; }
  const PolylinePath& plotPath() const { return plotPath_; }
  const PolylinePath& referencePath() const { return referencePath_; }
  const PolylinePath& outOfBoundsPath() const { return outOfBoundsPath_; }

  // --- Markers -------------------------------------------------------------

  // The context menu's action: the item's tag is the marker type.
  void setMarker(int tag);
  // Records a marker of the type at a point in screen (global) coordinates.
  void setMarkerType(int type, QPointF screenLocation);
  virtual void updateMarkerInfo();
  int cacheMarkerIndex(int bin, int lowest, int highest, bool ignoreCache);
  void cacheReferenceMarkerIndex(int bin, int lowest, int highest, bool ignoreCache);
  QMenu* clickMenu() const { return clickMenu_; }

  // --- Texts ---------------------------------------------------------------

  void setScaleFont(float scaleSize, float infoSize);
  void updateStrings();
  void makeDateStrings();
  // The dB scale's seven labels, from the first division below the
  // reference line down: each the previous one less dBPerDivision, truncated.
  static std::array<int, 7> scaleLabels(float dBPerDivision);
  const std::string& bandwidthString() const { return bandwidthString_; }
  bool drawWait() const { return drawWait_ != 0; }

  // Draws the whole plot with the painter, whose device spans bounds().
  virtual void drawRect(QPainter& painter);

 protected:
  // In a sweep, the plot columns the sweep has measured so far: narrows
  // [first, last] to them. The screen keeps them as it detects each column.
  virtual void sweptColumns(int& first, int& last) const;
  // The marker's readout (and the reference marker's) on the text line at
  // y, right of the plot's left edge px over its width pw, in font units f.
  void drawMarkerReadout(QPainter& painter, double px, double pw, double y, double f) const;
  // The measurements' texts: the trace's mode and normalisation on the
  // header line at y, the delta and noise readings and the peak table inside
  // the plot's top (pt, its top edge). Unflipped painter.
  void drawMeasureTexts(QPainter& painter, double px, double pw, double pt, double y, double f) const;
  // The delta marker's anchor, under the flipped and clipped painter.
  void drawMeasureSymbols(QPainter& painter) const;
  // Whether the view's marker readings set the delta marker's anchor (the
  // screen's do; a printed page only shows it).
  bool takesAnchor_ = true;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  // Zoom and pan (DisplayZoom.cpp): the wheel, a drag with the left button,
  // a double-click for the whole band, and +, −, the arrows and Home.
  void wheelEvent(QWheelEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
 public:
  // The span the next zoom or pan starts from: the one asked for and not
  // yet taken, else the one shown.
  SpanEdges currentSpan() const;
  // The band the input can show, from the trace's rate; empty without one.
  std::optional<SpanLimits> spanLimits() const;
  // The frequency under a view x (points from the left edge), on the span.
  double frequencyAtX(double x, const SpanEdges& span) const;
  // Asks the controller for the span; requests made in one pass of the
  // event loop reach it once, as the last one.
  void requestSpan(const SpanEdges& span);

 protected:

  struct WaitDot {
    float angle = 0;
    RGBAColor color;
  };

  static void cachePlotTask(void* slot);
  static TextAttributes createAttributeForFontSize(float size, int alignment);
  float valueAt(const TraceData* trace, int bin) const;
  // The band marker's bins around bin: [start, end).
  void markerBand(int bin, int highest, int& start, int& end) const;
  // Measurements: the normalised values of live bins [first, last), the
  // peak table over the span (or the swept bins), a power that reads the
  // reference level, and the engine's window when it made this trace.
  void normaliseBins(int first, int last);
  void updatePeakTable();
  float unityPower() const;
  const WindowResponse* fittingWindow() const;
  float referenceBinsPerBin() const;
  float referencePowerFactor() const;
  float xForFrequency(float frequency) const;
  // Detects bins a … b − 1 into the column; bins past lastKnownBin (a
  // sweep's front) are not read by interpolation.
  void detectColumn(const TraceData* input, int a, int b, float fraction, DetectedData* output, int column,
                    int lastKnownBin) const;

  // Drawing helpers; rectangles and points are in view points (y up).
  QRectF toDevice(const QRectF& rect) const;
  void strokePath(QPainter& painter, const PolylinePath& path, const RGBAColor& color) const;
  void strokeLine(QPainter& painter, QPointF from, QPointF to, float lineWidth, const RGBAColor& color) const;
  void fillOval(QPainter& painter, const QRectF& rect, const RGBAColor& color) const;
  void fillRect(QPainter& painter, const QRectF& rect, const RGBAColor& color) const;
  void drawTextAtPoint(QPainter& painter, const std::string& text, QPointF point,
                       const TextAttributes& attributes) const;
  void drawTextInRect(QPainter& painter, const std::string& text, const QRectF& rect,
                      const TextAttributes& attributes) const;
  QFont fontFor(QPainter& painter, const TextAttributes& attributes) const;
  void strokeGraticule(QPainter& painter, const RGBAColor& color) const;

  // Geometry (view points, y up).
  QRectF bounds_;
  QRectF plotBounds_;
  float width_ = 0;
  float height_ = 0;
  float fullHeight_ = 0;
  float yOffset_ = 0;
  float x0_ = 45;
  float y0_ = 45;

  SharedData* shared_ = nullptr;
  TraceData* traceData_ = nullptr;
  TraceData* referenceData_ = nullptr;
  const ColorPalette* color_ = nullptr;
  uint8_t drawBorder_ = 0;
  DisplayCallbacks callbacks_;

  PlotScale scale_;
  std::vector<int> pixelToBinMap_;
  std::vector<float> pixelToFractionalBin_;
  float dBPerDivision_ = 10;

  float captionFontSize_ = 0;
  float scaleFontSize_ = 0;
  float infoFontSize_ = 0;
  TextAttributes captionFontAttribute_;
  TextAttributes scaleFontAttribute_;
  TextAttributes leftFontAttribute_;
  TextAttributes centerFontAttribute_;
  TextAttributes rightFontAttribute_;

  // The view rectangle, plot rectangle and clip rectangle are plain rects;
  // the dashed grid is drawn from its line positions.
  QRectF frame_;
  QRectF plotFrame_;
  float plotFrameLineWidth_ = 1.25f;
  QRectF clipFrame_;
  std::vector<float> graticuleX_;  // vertical lines
  std::vector<float> graticuleY_;  // horizontal lines

  std::vector<DetectedData> detectedStorage_;  // two records, allocated once
  DetectedData* detectedData_ = nullptr;
  DetectedData* detectedReference_ = nullptr;
  PolylinePath plotPath_;
  PolylinePath referencePath_;
  PolylinePath outOfBoundsPath_;

  uint8_t trackingGeneratorEnabled_ = 0;
  uint8_t needsPlotUpdate_ = 0;
  uint8_t needsMarkerUpdate_ = 0;
  uint8_t drawWait_ = 0;
  int waitCycle_ = 0;
  WaitDot wait_[3];

  MarkerCache markerCache_;
  MarkerCache referenceMarkerCache_;
  uint8_t referenceMarkerCached_ = 0;
  // The mapping the reference path was built with: a span, bandwidth or
  // size change since then builds it again with the next update.
  struct ReferenceMapping {
    int startBin = 0;
    float binsPerPixel = 0;
    float width = 0;
    bool operator==(const ReferenceMapping&) const = default;
  };
  ReferenceMapping referenceMapping_;
  ReferenceMapping currentMapping() const { return {scale_.startBin, scale_.binsPerPixel, width_}; }
  QMenu* clickMenu_ = nullptr;
  QPointF clickedPoint_;
  std::optional<SpanEdges> pendingSpan_;  // asked for, not yet handed over
  std::optional<SpanEdges> dragSpan_;     // the span when a drag began
  double dragX_ = 0;

  std::unique_ptr<TraceData> normalised_;  // allocated by the first normalising
  PeakTable peakTable_;
  MeasureReadout measureReadout_;

  float cachedBandwidth_ = 3.16f;
  std::string bandwidthString_ = "RBW 3.16 Hz";
  mutable std::vector<QLineF> segments_;  // curve segments for drawing, allocated once
  int slot_ = -1;                         // where queued passes find this view
};

}  // namespace display
