#pragma once
// The live distortion readout's own measurement: an engine of its own with
// the seven-term Blackman–Harris window, whatever window the display uses,
// fed the same blocks as the display's engine, a running mean of its
// spectra and the distortion reading of that mean after each one
// (DistortionAnalysis.h). The display's window would leave its leakage in
// the readout: a Blackman's sidelobes lie 58 dB down, this window's below
// −180 dB. The RBW is the display's but at most 3.16 Hz, so that a 20 Hz
// fundamental's lobe keeps clear of 0 Hz and of its second harmonic's.
// With an intermodulation standard set, the same mean is read for the
// intermodulation of that standard's two tones as well (Intermodulation.h).
//
// Threads: main thread only. configure() allocates (the engine, about
// 7 MiB, on its first call); take() allocates nothing and never waits.

#include <memory>
#include <optional>
#include <vector>

#include "dsp/DistortionAnalysis.h"
#include "dsp/Intermodulation.h"
#include "dsp/PeakReading.h"

class Spectrum;

namespace dsp {

class DistortionMeter {
 public:
  // The coarsest RBW the meter analyses at: 10^0.5 Hz.
  static constexpr float kCoarsestBandwidth = 3.16227766f;
  // Spectra in the running mean: it starts as the plain mean of those so
  // far and, from the eighth on, lets each new one count for an eighth.
  static constexpr int kAveragedSpectra = 8;

  DistortionMeter();
  ~DistortionMeter();
  DistortionMeter(const DistortionMeter&) = delete;
  DistortionMeter& operator=(const DistortionMeter&) = delete;

  // Configures for the input's rate, the display's RBW (taken at most
  // kCoarsestBandwidth) and the band; the mean starts afresh when anything
  // changed. False when the band holds no bins at that rate: take() then
  // reads nothing.
  bool configure(float samplingRate, float displayBandwidth, const DistortionSettings& settings);
  bool configured() const noexcept { return analysis_.configured(); }
  // Reads the intermodulation of settings' tones too (null: no longer), in
  // the band configure() set, with the same window and mean; configure()
  // keeps it. Allocates (the analysis's copy of the window's response).
  void configureIntermodulation(const IntermodulationSettings* settings);
  bool readsIntermodulation() const noexcept { return intermodulation_.has_value(); }
  // Empties the engine and the mean (the input was interrupted or changed).
  void clear();
  // Starts the mean afresh from the next spectrum, the engine's samples
  // kept (a spectrum that straddled a change of the signal is left out).
  // Allocates nothing.
  void restartMean() noexcept;

  // Takes a block (count divides the engine's length, as the input's blocks
  // do). True when it completed a spectrum: *reading then holds the reading
  // of the mean, valid or not, and *imd (when given and intermodulation is
  // read) its intermodulation reading.
  bool take(const float* samples, int count, DistortionReading* reading,
            IntermodulationReading* imd = nullptr) noexcept;

  // Spectra in the mean since it last started.
  int spectra() const noexcept { return spectra_; }
  float bandwidth() const noexcept { return bandwidth_; }
  const DistortionAnalysis& analysis() const noexcept { return analysis_; }

 private:
  std::unique_ptr<Spectrum> engine_;
  WindowResponse response_;
  DistortionAnalysis analysis_;
  std::optional<IntermodulationSettings> intermodulation_;
  IntermodulationAnalysis intermodulationAnalysis_;
  std::vector<float> mean_;
  int spectra_ = 0;
  float samplingRate_ = 0;
  float bandwidth_ = 0;
  DistortionSettings settings_;
};

}  // namespace dsp
