#pragma once
// The controller's on-screen view where there is no screen: the command
// line's analysis of sound files. It draws nothing, but keeps the shared plot
// state as the display does (the trace has reached the view, the received
// bins are the whole trace), so that the export page draws the trace, and it
// holds the peak marker that the analysis reports and the exported page shows.
//
// Main thread only. The shared state and the trace belong to the controller
// and must outlive the view's use of them.

#include <cstdint>
#include <memory>
#include <string>

#include "dsp/TraceTreatment.h"
#include "plot/PlotView.h"
#include "plot/MarkerCache.h"

class HeadlessView final : public PlotView {
 public:
  // Places a peak marker on the highest local maximum of the latest trace
  // whose frequency lies inside the shared span (a bin at least as high as
  // both its neighbours, inside the span or not), and reads it as the display's peak
  // marker reads it: frequency k / binsPerHertz, level 10·log10(power ·
  // refScale / bins²) dB, or -80 dB for a bin without power. False, with
  // no marker, before any trace or when no bin lies inside the span. A span
  // that holds only a slope gets no marker (Peak::slope). With a weighting
  // chosen (the shared treatment), the weighted trace is read; smoothing,
  // which would spread the sine, is not applied to the reading.
  bool placePeakMarker();
  // The trace the peak was read from: the latest trace, weighted as chosen.
  const TraceData* measuredTrace() const { return weighted_ && weighting_ ? weighted_.get() : trace_; }
  // The marker record (type kNoMarker until placed).
  const display::MarkerCache& peakMarker() const { return marker_; }
  // The sine under the peak marker, read through the window's shape where
  // the shared state holds the response of the window that made the trace
  // (its frequency and level between bins); else the marker's own bin.
  struct Peak {
    double frequency = 0;  // Hz
    double level = 0;      // dB; only with power
    bool power = false;    // the marker's bin holds power (finite, above 0)
    bool slope = false;    // no bin of the span is a local maximum
    bool silent = false;   // every bin of the trace is without power
    bool uncertain = false;  // too near 0 Hz or half the rate to tell the sine from its image
  };
  const Peak& peak() const { return peak_; }
  // The trace handed over last (null before any).
  const TraceData* trace() const { return trace_; }
  // Whole traces handed over so far: one per spectrum of normal analysis,
  // so that a reading can wait for the next spectrum rather than a time.
  int64_t tracesReceived() const { return tracesReceived_; }

  // --- PlotView ---
  void setSharedData(SharedData* shared) override;
  void setColorPalette(const ColorPalette*, bool) override {}
  void addTraceData(TraceData* trace) override;
  void addTraceDataBin(TraceData* trace, int bin) override;
  void clearPlot() override;
  void newSweep() override {}
  void setTrackingGeneratorMode(bool) override {}
  void setReference(TraceData*, TraceData*) override {}
  void setPlotScale(float) override {}
  void setCaptionColor(const RGBAColor&) override {}
  void setNeedsDisplay() override {}
  void setWindowBackgroundColor(const ui::Color&) override {}
  void makeKeyAndOrderFront() override {}
  std::string windowFrameString() const override { return {}; }
  void setWindowFrameFromString(const std::string&) override {}
  const display::MarkerCache* markerCache() const override { return &marker_; }
  const display::MarkerCache* referenceMarkerCache() const override { return nullptr; }
  PageView* page() override { return nullptr; }

 private:
  SharedData* shared_ = nullptr;
  TraceData* trace_ = nullptr;
  dsp::TraceTreater weigher_;
  std::unique_ptr<TraceData> weighted_;  // allocated by the first weighted reading
  bool weighting_ = false;
  display::MarkerCache marker_;
  Peak peak_;
  bool slopeOnly_ = false;
  int64_t tracesReceived_ = 0;
};
