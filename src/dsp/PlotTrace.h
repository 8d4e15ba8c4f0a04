#pragma once
// One trace: a linear power value per FFT bin with the sampling rate and bin
// count it belongs to. In normal analysis successive spectra are averaged in;
// in a sweep single bins are stored as the sweep reaches them.
//
// Threads: every member runs on the main thread. addDataSamplingRate offers
// the averaging step (cachePlot) and its caller posts it to the main thread,
// where it runs after the block processing has returned; a PlotTrace must
// outlive the steps posted for it (drain the main thread before destroying
// one). Every write to
// `averaged` holds traceData.lock, so a reader holding it sees a whole trace
// (the views hold it while they read; never hold it across a call into this
// class).

#include <cstdint>
#include <memory>
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

// What `averaged` holds: the average, or per bin the largest or
// smallest value the average has had since the hold was last reset.
enum class TraceMode : int { average = 0, maxHold = 1, minHold = 2 };

class PlotTrace {
 public:
  PlotTrace();
  ~PlotTrace();
  PlotTrace(const PlotTrace&) = delete;
  PlotTrace& operator=(const PlotTrace&) = delete;

  // The embedded record; its address is stable for the object's life.
  TraceData* traceData() noexcept { return &traceData_; }

  // The averaging step of a spectrum taken: run(context) runs cachePlot(). The
  // caller posts it to the main thread (ui::MainThread::runAsync takes it as
  // it is); an empty step (run null) has nothing to run.
  struct AveragingStep {
    void (*run)(void* context) = nullptr;
    void* context = nullptr;
  };

  // Takes a new spectrum. bin ≥ 0 (sweep): stores that one bin, no
  // averaging; bin < 0: takes the spectrum only, and the averaging step is
  // addDataSamplingRate's. The spectrum's values are copied here, so the
  // engine may be reconfigured or destroyed before the step runs.
  // With fromBin ≥ 0, the bin stored before this one (a sweep that measures
  // points rather than every bin), the bins between the two are stored too,
  // from the two measured values: the level in dB runs straight between them
  // over the logarithm of the frequency.
  void addDataSamplingRateBin(const SpectrumResult* result, float samplingRate, int bin, int fromBin = -1);
  // Takes a new spectrum of normal analysis and offers its averaging step,
  // for the caller to post (empty for a null result).
  [[nodiscard]] AveragingStep addDataSamplingRate(const SpectrumResult* result, float samplingRate);
  // The same with the averaging step run in the call rather than queued, for
  // an input that may complete more than one spectrum in a block (each must
  // be averaged before the next replaces the copy). Main thread.
  void averageDataSamplingRate(const SpectrumResult* result, float samplingRate);

  // The averaging step: restartSpectra() restarts after a reset, then the
  // running mean, then an exponential average once numberOfTraces spectra
  // are in.
  void cachePlot();
  // Spectra after a reset that each replace the trace before the mean
  // starts: 3 by default, for a live input, whose first spectra after a
  // reset may come from a partly filled ring; 1 for a recording analysed
  // whole from its first sample, whose every spectrum is whole, so that the
  // mean holds them all. Values below 1 count as 1.
  void setRestartSpectra(int count);
  int restartSpectra() const noexcept { return restartSpectra_; }

  // Copies another trace (bins, rate, values); traces becomes 1.
  void importData(const TraceData* source);
  void clearTrace();
  void resetTraceAverages();
  // Averaging length; values below 1 count as 1.
  void setTraceAverages(float n);
  float traceAverages() const noexcept { return numberOfTraces; }

  static float binsPerHertz(int bins, float samplingRate);

  // --- Hold modes --------------------------------------------------------
  //
  // In a hold mode the average runs as always, in a buffer of its own, and
  // `averaged` keeps per bin the largest (smallest) value it has had since
  // the last reset; the first step after a reset starts the hold from the
  // average. In a sweep each bin keeps the largest (smallest) value measured
  // for it since the reset. Everything that reads the trace (detectors,
  // markers, export, the reference command) sees the held values.

  // Chooses the mode and resets the hold. The first hold mode chosen
  // allocates the average's buffer (4 MiB with the sweep's marks): call it
  // from a command, never per block. Leaving a hold mode puts the running
  // average back into `averaged`.
  void setTraceMode(TraceMode mode);
  TraceMode traceMode() const noexcept { return mode_; }
  // The next spectrum starts the hold anew, and in a hold mode so does the
  // average (a hold must not keep what an earlier configuration averaged).
  // No effect in the average mode. Call it whenever the engine is
  // reconfigured; a spectrum of another bin count does it by itself.
  void resetHold();

  void applicationFinishLaunching(platform::PropertyDictionary& settings);
  void applicationTerminating(platform::PropertyDictionary& settings);

 private:
  static void cachePlotTask(void* context);
  // Takes a copy of the spectrum and its rate for the averaging step.
  void takeSpectrum(const SpectrumResult* result, float samplingRate);

  TraceData traceData_;
  SpectrumResult spectrum{};   // last result added; output points at spectrumValues
  float numberOfTraces = 1;
  int delayedAverageTrace = 0;
  int restartSpectra_ = 3;
  float* spectrumValues = nullptr;  // our copy of the last spectrum, kMaxLength/2 values

  // Hold modes: the running average while `averaged` holds, whether the
  // hold has started, and in a sweep which bins it has started for.
  void holdStep(const float* average, int bins) noexcept;
  void holdBin(int bin, float value) noexcept;
  TraceMode mode_ = TraceMode::average;
  std::unique_ptr<float[]> average_;
  std::unique_ptr<uint64_t[]> sweptBins_;  // one bit per bin
  // The latest bin a sweep stored and the value measured there.
  int sweptBin_ = -1;
  float sweptValue_ = 0.0f;
  bool holdStarted_ = false;
};
