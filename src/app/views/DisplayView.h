#pragma once
// The on-screen Display as the controller's PlotView; the window that holds
// it takes the background colour and comes to the front through it.

#include <QPointer>

#include "plot/PlotView.h"
#include "display/Display.h"

class DisplayView final : public PlotView {
 public:
  // window: the top-level widget holding the display (its background).
  DisplayView(::display::Display* display, QWidget* window) : display_(display), window_(window) {}

  void setSharedData(SharedData* shared) override { display_->setSharedData(shared); }
  void setColorPalette(const ColorPalette* palette, bool border) override { display_->setColorPalette(palette, border); }
  void addTraceData(TraceData* trace) override { display_->addTraceData(trace); }
  void addTraceDataBin(TraceData* trace, int bin) override { display_->addTraceDataBin(trace, bin); }
  void clearPlot() override { display_->clearPlot(); }
  void newSweep() override { display_->newSweep(); }
  void addSweptTrace(TraceData* trace, int lowestBin, int highestBin) override {
    display_->addSweptTrace(trace, lowestBin, highestBin);
  }
  void setTrackingGeneratorMode(bool enabled) override { display_->setTrackingGeneratorMode(enabled); }
  void addSweepSpectrum(const SpectrumResult* result, float samplingRate) override {
    display_->addSweepSpectrum(result, samplingRate);
  }
  bool takesSweepSpectra() const override { return display_->takesSweepSpectra(); }
  void setReference(TraceData* reference, TraceData* trace) override { display_->setReference(reference, trace); }
  void setPlotScale(float dBPerDivision) override { display_->setPlotScale(dBPerDivision); }
  void setCaptionColor(const RGBAColor& color) override { display_->setCaptionColor(color); }
  void setNeedsDisplay() override { display_->update(); }
  void setWindowBackgroundColor(const ui::Color& color) override;
  void makeKeyAndOrderFront() override;
  std::string windowFrameString() const override;
  void setWindowFrameFromString(const std::string& frame) override;
  const ::display::MarkerCache* markerCache() const override { return display_->marker(); }
  const ::display::MarkerCache* referenceMarkerCache() const override { return display_->referenceMarker(); }
  PageView* page() override { return nullptr; }
  void measurementsChanged() override { display_->measurementsChanged(); }
  int plotColumns() const override { return display_->plotColumns(); }

 private:
  ::display::Display* display_;
  QPointer<QWidget> window_;
};
