#pragma once
// What the controller asks of a plot view: the on-screen display and the
// print/export view. The controller never draws; it hands the views the
// shared plot state and the traces and tells them what changed. Main thread
// only, like the views themselves.

#include <string>

#include "display/SharedData.h"
#include "ui/Color.h"

struct TraceData;

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
  virtual void setTrackingGeneratorMode(bool enabled) = 0;
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
};
