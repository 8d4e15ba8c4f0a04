#pragma once
// A plot view for the window's tests: forwards everything to the window's
// own display and counts the spectra it is given (main thread only).

#include <string>

#include "plot/PlotView.h"

class CountingView final : public PlotView {
 public:
  void setSharedData(SharedData* shared) override { inner->setSharedData(shared); }
  void setColorPalette(const ColorPalette* palette, bool border) override { inner->setColorPalette(palette, border); }
  void addTraceData(TraceData* trace) override {
    ++spectra;
    inner->addTraceData(trace);
  }
  void addTraceDataBin(TraceData* trace, int bin) override { inner->addTraceDataBin(trace, bin); }
  void clearPlot() override { inner->clearPlot(); }
  void newSweep() override { inner->newSweep(); }
  void setTrackingGeneratorMode(bool enabled) override { inner->setTrackingGeneratorMode(enabled); }
  void addSweepSpectrum(const SpectrumResult* result, float samplingRate) override {
    ++sweepSpectra;
    inner->addSweepSpectrum(result, samplingRate);
  }
  bool takesSweepSpectra() const override { return inner->takesSweepSpectra(); }
  void setPlotScale(float dBPerDivision) override { inner->setPlotScale(dBPerDivision); }
  void setCaptionColor(const RGBAColor& color) override { inner->setCaptionColor(color); }
  void setNeedsDisplay() override { inner->setNeedsDisplay(); }
  void setWindowBackgroundColor(const ui::Color& color) override { inner->setWindowBackgroundColor(color); }
  void makeKeyAndOrderFront() override { inner->makeKeyAndOrderFront(); }
  void setReference(TraceData* r, TraceData* t) override { inner->setReference(r, t); }
  std::string windowFrameString() const override { return inner->windowFrameString(); }
  void setWindowFrameFromString(const std::string& frame) override { inner->setWindowFrameFromString(frame); }
  const display::MarkerCache* markerCache() const override { return inner->markerCache(); }
  const display::MarkerCache* referenceMarkerCache() const override { return inner->referenceMarkerCache(); }
  PageView* page() override { return inner->page(); }
  int plotColumns() const override { return inner->plotColumns(); }

  PlotView* inner = nullptr;
  int spectra = 0;
  int sweepSpectra = 0;
};
