#pragma once
// The plot's state and its passes, shared by the on-screen Display and the
// printed page: the traces it shows, the geometry, the detected columns and
// the paths built from them, the markers, the measurements and the texts.
// No widget and no painting here: a PlotRenderer draws what this holds, and
// each view asks for its redraws (requestRedraw) in its own way.
//
// Geometry is kept in view points with y growing upwards (the origin at the
// view's lower-left corner). Everything here runs on the main thread.
// Detection passes hold the trace's lock for their whole run; drawing only
// tries it and skips the curve when it is busy.
//
// The content never owns what it is given: the shared plot state, the palette
// and the trace records belong to the controller and must outlive it.

#include <QPointF>
#include <QRectF>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/PlotCaptions.h"
#include "display/PlotDetectors.h"
#include "display/PlotGeometry.h"
#include "display/PlotMeasure.h"
#include "display/PlotPaths.h"
#include "dsp/OctaveBands.h"
#include "dsp/PeakTable.h"
#include "dsp/TraceTreatment.h"
#include "plot/MarkerCache.h"
#include "plot/SharedData.h"
#include "plot/SpanZoom.h"

struct TraceData;
struct SpectrumResult;
class WindowResponse;

namespace display {

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

class PlotContent {
 public:
  static constexpr int kColumns = DetectedData::kColumns;
  // Context menu tags (the marker types).
  static constexpr int kBandMarker = MarkerCache::kBand;
  static constexpr int kPeakMarker = MarkerCache::kPeak;
  static constexpr int kMinimumMarker = MarkerCache::kMinimum;
  static constexpr int kPlainMarker = MarkerCache::kPlain;
  static constexpr int kNoMarker = MarkerCache::kNone;

  virtual ~PlotContent();
  PlotContent(const PlotContent&) = delete;
  PlotContent& operator=(const PlotContent&) = delete;

  // --- Controller interface (main thread) ---------------------------------

  // Attaches the shared plot state: resets the received-bin range, removes
  // the marker and sets both date strings to " ".
  void setSharedData(SharedData* shared);
  // Palette to draw with (not owned) and whether a border is drawn (print).
  void setColorPalette(const ColorPalette* palette, bool border);
  void setCallbacks(DisplayCallbacks callbacks) { callbacks_ = std::move(callbacks); }
  // Removes the marker, empties the plot (and the wait indicator) and resets
  // the sweep's ranges.
  void clearPlot();
  // A sweep begins: resets the received-bin range.
  void newSweep();
  // A sweep measured whole at once (a log sweep's response): trace holds it
  // in bins lowestBin … highestBin, which are detected and drawn as the
  // bins a finished tracking sweep measured.
  void addSweptTrace(TraceData* trace, int lowestBin, int highestBin);
  // In a generator mode, each spectrum of the input over its whole width
  // (the trace holds only the bins a sweep measured): weighted and smoothed
  // as the trace is and handed to traceDetected(), as a full detection pass
  // hands the trace, for a view that keeps a history of spectra. Skipped
  // while the trace is of another bin count. Per spectrum: allocates nothing
  // (the copy's storage comes with the generator mode).
  void addSweepSpectrum(const SpectrumResult* result, float samplingRate) noexcept;
  // Leaving the tracking mode also takes down the wait indicator, which only
  // a sweep's own updates would otherwise ever clear.
  void setTrackingGeneratorMode(bool enabled);
  // Foreground colour of every text.
  void setCaptionColor(const RGBAColor& color) { captions_.setColor(color); }
  bool hasReference() const { return referenceData_ != nullptr; }
  // The marker records, for the print view.
  MarkerCache* marker() { return &markerCache_; }
  MarkerCache* referenceMarker() { return &referenceMarkerCache_; }
  const MarkerCache* marker() const { return &markerCache_; }
  const MarkerCache* referenceMarker() const { return &referenceMarkerCache_; }

  // What the renderer reads.
  const SharedData* shared() const { return shared_; }
  // The live trace (its lock is tried by drawing) and the reference.
  TraceData* trace() const { return traceData_; }
  const TraceData* reference() const { return referenceData_; }
  const ColorPalette* colorPalette() const { return color_; }
  bool drawsBorder() const { return drawBorder_ != 0; }
  bool trackingGenerator() const { return trackingGeneratorEnabled_ != 0; }

  // --- Measurements (main thread) -----------------------------------------

  // The trace the detectors and markers read: the live trace, or while
  // normalising (a reference shown) the live trace relative to it, whose
  // reference level reads 0 dB (at the reference level setting).
  const TraceData* shownTrace() const;
  bool normalising() const;
  // The live trace and the reference as shown before normalising: weighted
  // and smoothed while a treatment is chosen, else as measured.
  const TraceData* liveTrace() const { return treating() ? treated_.get() : traceData_; }
  const TraceData* referenceTrace() const {
    return treating() && referenceTreated_ ? treatedReference_.get() : referenceData_;
  }
  bool treating() const { return treated_ && !treater_.treatment().none(); }
  // The fractional-octave bands of the span the shared state asks for, as
  // the last detection pass read them from the live trace (weighted as
  // chosen, not smoothed), and the span's overall level.
  bool showsBands() const { return bandsShown_; }
  const dsp::BandAnalysis& bandAnalysis() const { return bandAnalysis_; }
  // Mean squares (a full-scale sine reads 0.5), one per band.
  const std::vector<double>& bandLevels() const { return bandLevels_; }
  double overallLevel() const { return overallLevel_; }
  // The divisions' unit: "dB", or "dB(A)", "dB(C)" when weighted (the scale
  // counts dB below the reference line whatever unit the levels read in).
  const char* levelUnit() const { return dsp::levelUnit(treater_.treatment().weighting); }
  // What the levels read in: the shared state's unit, except while
  // normalising, when the shown trace is a ratio in dB.
  const dsp::LevelScale& levelScale() const;
  // The weighting's letter for the levels' unit ("A", "C"), null for none.
  const char* weightingLetter() const;
  // A level in dB as the captions write it, in levelScale() with the
  // weighting's letter, signed where the unit wants it: into out, which it
  // returns.
  char* formatLevel(char* out, std::size_t size, double dB, int decimals, bool sign = false) const {
    const dsp::LevelScale& scale = levelScale();
    return scale.format(out, size, dB, decimals, sign || scale.signsLevels(), weightingLetter());
  }
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
  std::string markerReadoutText() const {
    return PlotCaptions::markerReadoutText(measureReadout_, markerCache_, levelScale(), weightingLetter());
  }
  // The engine's window when it made this trace, else null.
  const WindowResponse* fittingWindow() const;

  // --- Passes (main thread) ------------------------------------------------

  // Full detection and path for normal analysis; takes the trace's lock.
  void cachePlot();
  // Per-bin update of a sweep, for sharedData.trackedBin; takes the lock.
  void accumulateBinToPlot();

  // --- Geometry and mapping ------------------------------------------------

  void setPlotBounds(const QRectF& rect) { geometry_.setBounds(rect); }
  void updateFrameFromBounds(const QRectF& rect);
  // Recomputes the scale and the pixel maps; nothing while no trace is set.
  void updateScale();
  const PlotGeometry& plotGeometry() const { return geometry_; }
  float plotWidth() const { return geometry_.width(); }
  float plotHeight() const { return geometry_.height(); }
  float yOffset() const { return geometry_.yOffset(); }
  float x0() const { return geometry_.x0(); }
  float y0() const { return geometry_.y0(); }
  const QRectF& plotBounds() const { return geometry_.plotBounds(); }
  const QRectF& bounds() const { return geometry_.bounds(); }
  const PlotScale& scale() const { return geometry_.scale(); }
  const int* pixelToBinMap() const { return geometry_.pixelToBinMap(); }
  const float* pixelToFractionalBin() const { return geometry_.pixelToFractionalBin(); }
  float dBPerDivision() const { return geometry_.dBPerDivision(); }
  float scaleFontSize() const { return captions_.scaleFontSize(); }
  float infoFontSize() const { return captions_.infoFontSize(); }
  float captionFontSize() const { return captions_.captionFontSize(); }

  // y (view points, before the yOffset shift) of a linear power value.
  float yForValue(float value) const { return geometry_.yForValue(value); }
  // Where yForValue puts a value without power: far enough below the
  // plot's bottom edge that no part of a line to it shows.
  float noPowerY() const { return geometry_.noPowerY(); }
  static constexpr float kNoPowerDepth = PlotGeometry::kNoPowerDepth;
  // x (view points) of a frequency on the live trace.
  float xForFrequency(float frequency) const;

  // --- Detectors and paths -------------------------------------------------

  void detectPixel(int column, const TraceData* input, DetectedData* output) const {
    display::detectPixel(geometry_, column, input, output);
  }
  void detectTrackingPixel(int column);
  void detectReferencePixel(int column, const TraceData* input, DetectedData* output, float scale) const {
    display::detectReferencePixel(geometry_, column, input, output, scale);
  }
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

  int cacheMarkerIndex(int bin, int lowest, int highest, bool ignoreCache);
  void cacheReferenceMarkerIndex(int bin, int lowest, int highest, bool ignoreCache);

  // --- Texts ---------------------------------------------------------------

  void setScaleFont(float scaleSize, float infoSize) { captions_.setScaleFont(scaleSize, infoSize); }
  void updateStrings();
  void makeDateStrings();
  // The dB scale's seven labels, from the first division below the
  // reference line down: each the previous one less dBPerDivision, truncated.
  static std::array<int, 7> scaleLabels(float dBPerDivision) { return PlotGeometry::scaleLabels(dBPerDivision); }
  const PlotCaptions& captions() const { return captions_; }
  const std::string& bandwidthString() const { return captions_.bandwidthString(); }

  // --- Sweep indicator -----------------------------------------------------

  // The wait indicator's three dots, turning while a sweep runs up to the
  // plot's left edge.
  struct WaitDot {
    float angle = 0;
    RGBAColor color;
  };
  bool drawWait() const { return drawWait_ != 0; }
  const WaitDot& waitDot(int k) const { return wait_[k]; }

 protected:
  explicit PlotContent(const PlotMargins& margins);

  // The view shows the state anew (soon, not at once).
  virtual void requestRedraw() = 0;
  // In a sweep, the plot columns the sweep has measured so far: narrows
  // [first, last] to them.
  virtual void sweptColumns(int& first, int& last) const = 0;
  // A full detection pass has mapped the shown trace onto the geometry; the
  // trace's lock is held. On the per-spectrum path: must not allocate.
  virtual void traceDetected(const TraceData& /*shown*/) noexcept {}
  // Whether traceDetected() takes a sweep's spectra (addSweepSpectrum).
  virtual bool takesSweepSpectra() const noexcept { return false; }

  // The screen's marker: the trace point nearest to a click at (x, y) in
  // view points (y up), then at every drawing the peak or minimum it
  // follows. The page's: both markers placed anew from the marker's
  // frequency on the page's own geometry.
  void placeMarker(int type, double x, double y);
  void updateScreenMarkers();
  void updatePageMarkers();
  // The band marker's bins around bin: [start, end).
  void markerBand(int bin, int highest, int& start, int& end) const;

  // The screen's reference: the path built now, with the present span.
  void attachReference(TraceData* reference, TraceData* trace);
  // The measure settings changed: the normalised trace's storage when first
  // asked for (takeMeasureStorage), and on the screen the trace detected
  // anew (remeasure).
  void takeMeasureStorage();
  void remeasure();
  // The treatment of the live trace's bins (all of them, or a sweep's bins
  // first … last − 1, weighted only), and of the reference once per
  // reference and treatment. The caller holds the live trace's lock.
  void treatLive();
  void treatLiveBins(int first, int last);
  void treatReference();
  // The bands' levels from the live trace; the caller holds its lock. A new
  // span, trace shape or band choice configures the bands first (which
  // allocates); the levels of the same configuration allocate nothing.
  void updateBands();
  // Measurements: the normalised values of live bins [first, last), the
  // peak table over the span (or the swept bins) and a power that reads
  // the reference level.
  void normaliseBins(int first, int last);
  void updatePeakTable();
  float unityPower() const;
  float referenceBinsPerBin() const;
  float referencePowerFactor() const;

  PlotGeometry geometry_;
  PlotCaptions captions_;

  SharedData* shared_ = nullptr;
  TraceData* traceData_ = nullptr;
  TraceData* referenceData_ = nullptr;
  const ColorPalette* color_ = nullptr;
  uint8_t drawBorder_ = 0;
  DisplayCallbacks callbacks_;

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
  // The latest bin a sweep brought, -1 before its first.
  int sweptBin_ = -1;
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
    AxisScale axisScale = AxisScale::linear;
    bool operator==(const ReferenceMapping&) const = default;
  };
  ReferenceMapping referenceMapping_;
  ReferenceMapping currentMapping() const {
    return {geometry_.scale().startBin, geometry_.scale().binsPerPixel, geometry_.width(), geometry_.axisScale()};
  }

  std::unique_ptr<TraceData> normalised_;  // allocated by the first normalising
  // The treated copies, allocated by the first treatment.
  dsp::TraceTreater treater_;
  std::unique_ptr<TraceData> treated_;
  std::unique_ptr<TraceData> treatedReference_;
  // A generator mode's latest spectrum, allocated by the first such mode.
  std::unique_ptr<TraceData> sweepSpectrum_;
  bool referenceTreated_ = false;
  // The bands and what they were configured for.
  dsp::BandAnalysis bandAnalysis_;
  std::vector<double> bandLevels_;
  double overallLevel_ = 0;
  bool bandsShown_ = false;
  struct BandSetting {
    int fraction = 0;
    float lower = 0, upper = 0, binsPerHertz = 0, bandwidth = 0;
    int bins = 0;
    bool operator==(const BandSetting&) const = default;
  } bandSetting_;
  PeakTable peakTable_;
  MeasureReadout measureReadout_;
  // Whether the view's marker readings set the delta marker's anchor (the
  // screen's do; a printed page only shows it).
  bool takesAnchor_ = true;
};

}  // namespace display
