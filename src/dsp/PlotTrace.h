#pragma once
// One trace: a linear power value per FFT bin with the sampling rate and bin
// count it belongs to. In normal analysis successive spectra are averaged in;
// in a sweep single bins are stored as the sweep reaches them.
//
// Threads: every member runs on the main thread. The averaging step
// (cachePlot) is queued on ui::MainThread by addDataSamplingRate and runs after
// the block processing has returned; a PlotTrace must outlive the steps it
// queued (drain the main thread before destroying one). Every write to
// `averaged` holds traceData.lock, so a reader holding it sees a whole trace
// (the views hold it while they read; never hold it across a call into this
// class).

#include <cstdint>
#include <mutex>

#include "dsp/Spectrum.h"

namespace platform { class PropertyDictionary; }

struct TraceData {
  static constexpr int kCapacity = 524288;
  int32_t bins = 0;           // valid values in averaged
  float samplingRate = 0;     // Hz
  float binsPerHertz = 0;     // bins / (samplingRate / 2)
  float averaged[kCapacity] = {};  // power per bin, bin k at k / binsPerHertz Hz
  float traces = 0;           // spectra represented by averaged
  std::mutex lock;
};

class PlotTrace {
 public:
  PlotTrace();
  ~PlotTrace();
  PlotTrace(const PlotTrace&) = delete;
  PlotTrace& operator=(const PlotTrace&) = delete;

  // The embedded record; its address is stable for the object's life.
  TraceData* traceData() noexcept { return &traceData_; }

  // Takes a new spectrum. bin < 0: queue the averaging step; bin ≥ 0 (sweep):
  // store that one bin, no averaging. The spectrum's values are copied here,
  // so the engine may be reconfigured or destroyed before the step runs.
  void addDataSamplingRateBin(const SpectrumResult* result, float samplingRate, int bin);
  void addDataSamplingRate(const SpectrumResult* result, float samplingRate);

  // The averaging step: three restarts after a reset, then the running mean,
  // then an exponential average once numberOfTraces spectra are in.
  void cachePlot();

  // Copies another trace (bins, rate, values); traces becomes 1.
  void importData(const TraceData* source);
  void clearTrace();
  void resetTraceAverages();
  // Averaging length; values below 1 count as 1.
  void setTraceAverages(float n);
  float traceAverages() const noexcept { return numberOfTraces; }

  static float binsPerHertz(int bins, float samplingRate);

  void applicationFinishLaunching(platform::PropertyDictionary& settings);
  void applicationTerminating(platform::PropertyDictionary& settings);

 private:
  static void cachePlotTask(void* context);

  TraceData traceData_;
  SpectrumResult spectrum{};   // last result added; output points at spectrumValues
  float numberOfTraces = 1;
  int delayedAverageTrace = 0;
  float* spectrumValues = nullptr;  // our copy of the last spectrum, kMaxLength/2 values
};
