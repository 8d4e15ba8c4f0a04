#pragma once
// What the controller asks of a plot view: the on-screen display and the
// print/export view. The controller never draws; it hands the views the
// shared plot state and the traces and tells them what changed. Main thread
// only, like the views themselves.

#include <string>

#include "plot/SharedData.h"
#include "ui/Color.h"

struct TraceData;
struct SpectrumResult;
namespace display {
struct MarkerCache;
}
class PageView;

class PlotView {
 public:
  virtual ~PlotView() = default;

  // Attaches the controller's shared plot state (the view does not own it).
  virtual void setSharedData(SharedData* shared) = 0;
  // The palette to draw with (not owned) and whether to draw a border.
  virtual void setColorPalette(const ColorPalette* palette, bool border) = 0;
  // A new averaged trace of normal analysis.
  virtual void addTraceData(TraceData* trace) = 0;
  // A trace in which a sweep has just measured bin.
  virtual void addTraceDataBin(TraceData* trace, int bin) = 0;
  virtual void clearPlot() = 0;
  // A sweep begins.
  virtual void newSweep() = 0;
  // A sweep measured whole at once (a log sweep's response) in the bins
  // lowestBin … highestBin of trace, shown as a finished sweep.
  virtual void addSweptTrace(TraceData* trace, int lowestBin, int highestBin) {
    (void)lowestBin;
    (void)highestBin;
    addTraceData(trace);
  }
  virtual void setTrackingGeneratorMode(bool enabled) = 0;
  // In a generator mode, each spectrum of the input over its whole width,
  // for a view that keeps a history of spectra (the swept bins come through
  // addTraceDataBin as before). A block's call: allocates nothing.
  virtual void addSweepSpectrum(const SpectrumResult* result, float samplingRate) {
    (void)result;
    (void)samplingRate;
  }
  // Whether addSweepSpectrum() keeps what it is given now: where it would
  // not, the caller need not transform a block for it.
  virtual bool takesSweepSpectra() const { return false; }
  // The reference trace to draw beside the live trace (null: none).
  virtual void setReference(TraceData* reference, TraceData* trace) = 0;
  // dB per division; the view redraws with the current refScale.
  virtual void setPlotScale(float dBPerDivision) = 0;
  virtual void setCaptionColor(const RGBAColor& color) = 0;
  // Asks for a redraw.
  virtual void setNeedsDisplay() = 0;
  // The background of the window that holds the view.
  virtual void setWindowBackgroundColor(const ui::Color& color) = 0;
  // Brings the view's window to the front as the key window.
  virtual void makeKeyAndOrderFront() = 0;
  // The frame of the view's window as the settings keep it: window x, y,
  // width, height, then its screen's x, y, width, height, each followed by
  // one space, y counted upwards from the bottom of the primary screen.
  virtual std::string windowFrameString() const = 0;
  // Places the view's window by such a string; a frame that no screen shows
  // comes back onto the primary screen.
  virtual void setWindowFrameFromString(const std::string& frame) = 0;
  // The view's own marker records: its marker and that marker's reading on
  // the reference trace, which the printed or exported page shows as they
  // are. Null from a view that places no markers of its own. They live as
  // long as the view.
  virtual const display::MarkerCache* markerCache() const = 0;
  virtual const display::MarkerCache* referenceMarkerCache() const = 0;
  // The view's page side when it is the print and export view, else null.
  virtual PageView* page() = 0;
  // The shared state's measure settings changed (SharedData::measure): the
  // view takes what they need and shows the trace with them. A command's
  // call, never a block's.
  virtual void measurementsChanged() { setNeedsDisplay(); }
  // The plot's width in columns as it is laid out now (or would be at the
  // view's present size): a sweep of the logarithmic axis measures one point
  // per column. 0 from a view without a plot of its own on screen.
  virtual int plotColumns() const { return 0; }
};

// What the export and print commands ask of the print and export view
// besides PlotView: it is never on screen, but lays out one page of a given
// size in points from the live trace and renders that page into an image
// file or onto a printer.
class PageView {
 public:
  enum class ImageFormat { png, jpeg, tiff };

  virtual ~PageView() = default;

  // The marker records the page shows (another view's; either may be null),
  // read at every rendering, so they must outlive it.
  virtual void setMarker(const display::MarkerCache* marker, const display::MarkerCache* referenceMarker) = 0;
  // Lays out a page of width x height points and detects trace onto it
  // (null: a page without curve).
  virtual void preparePage(float width, float height, TraceData* trace) = 0;
  // Renders the prepared page at one pixel per point and writes it to path
  // in the format, whole or not at all (JPEG at the highest quality). False
  // with the reason in *error when no file was written.
  virtual bool writeImage(const std::string& path, ImageFormat format, std::string* error) = 0;
  // Asks the user for a printer and prints the prepared page on it, fitted
  // to the paper and centred. False when the user cancelled or printing
  // failed.
  virtual bool printPage() = 0;
};
