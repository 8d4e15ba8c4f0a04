#pragma once
// From the recordings of a LogSweep (dsp/LogSweep.h) to the impulse
// responses of the system it was played through, and their frequency
// responses on a logarithmic grid.
//
// Deconvolution is a spectral division by the sweep's own DFT, regularised:
//   h = IDFT( Y · conj(X)·B / (|X|² + ε·max|X|²) ),   ε = 10⁻¹⁰,
// on a power-of-two DFT long enough that nothing wraps. On the sweep's clean
// band (LogSweep::cleanLowHz … cleanHighHz) the band shape B is 1 and the
// division is exact (to ε), so for a linear system the result is its
// response whatever the fades did to the sweep's own spectrum. B falls as a
// raised cosine in log frequency across the fades and is 0 outside
// [f1, f2]: there the sweep has no energy, and a recording holds only what
// it did not excite (harmonics of the sweep's top, hum, noise), which a
// division would lift into every window. The analytic inverse of a
// synchronized sweep is an approximation (stationary phase) with ripples at
// the band's ends; the sweep's own DFT costs one transform at construction
// and nothing later.
//
// The band edge near f1 rings for a few periods of f1; the window that cuts
// the linear response apart from H2's holds part of it only, which is why
// the sweep starts two octaves below its span (LogSweep.h). With 2^18
// samples at 48 kHz a wire reads within 0.01 dB and 0.05° from 20 Hz, and
// its group delay within 0.1 ms at 20 Hz, 1 µs from 100 Hz; shorter sweeps
// do worse at the bottom (2^17: 0.05 dB, 0.6° near 20 Hz; 2^16: 0.4 dB,
// 1.8°), 2^19 better (0.0015 dB, 0.01°).
//
// A nonlinearity's n-th harmonic comes out as an impulse response of its own
// L·ln n samples before the linear one (LogSweep::harmonicLead), wrapped to
// the end of the DFT. Each is cut out by a Tukey window: from the middle of
// the gap to the next harmonic before it to the middle of the gap after it;
// the linear one's runs on to the recording's tail (what follows the sweep).
// The windows' edges fall off as half-Hann over half of each side.
//
// Repeated recordings are averaged before deconvolution (the division is
// linear, so this is the average of their responses, with incoherent noise
// down 3 dB per doubling).
//
// Timing: a reference channel's recording (the sweep looped back from the
// output) gives the time origin: its linear impulse response's peak. Then
// delaySamples is measured from it and the phase is absolute, the
// measurement channel's delay included: at every frequency the phase and
// the group delay are the measurement's less the reference's, so what the
// two share on the way (a converter's or a rate converter's phase, which
// moves a peak away from where the path's delay is) comes out with it. Without one, the origin is the
// measurement channel's own peak: the phase is what remains once its bulk
// delay is taken off, and delaySamples counts from the sweep's first sample
// (meaningful when playing and recording started together). Peaks are read
// between samples on the response's band-limited interpolation (a windowed
// sinc), to a few thousandths of a sample.
//
// Reading: each window is transformed with four times its length (the
// response turned so its peak is at t = 0, which keeps the spectrum smooth)
// and read between bins by linear interpolation. The group delay comes from
// the same transform, Re{DFT(t·h)/DFT(h)}, not from differences of phase;
// the phase is unwrapped along the grid towards where that delay says it
// went, so a long delay at 48 points per octave does not fool it.
//
// Smoothing (SweepReadingSettings::smoothing) reads each interval from
// running sums over the window's spectrum, so its cost does not grow with
// the interval's width.
//
// Units: magnitudes in dB of the system's gain (a wire reads 0 dB), phases
// in degrees, wrapped to (−180, 180] and unwrapped; group delay in ms; a harmonic in dB relative to the fundamental at the
// excitation frequency f: |Hn read at n·f| / |H1 read at f|, reported only
// where n·f is inside the sweep's clean band and below half the rate
// (NaN elsewhere).
//
// Threads: the constructor allocates every buffer and plans the transforms
// (the FFT planner's lock); so does response(), for the vectors it returns.
// add(), clear() and deconvolve() allocate nothing and take no lock; one
// thread at a time per object.

#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/LogSweep.h"

class FFT;

namespace dsp {

struct SweepReadingSettings {
  double lowHz = 20;  // the grid's edges, kept inside the sweep's clean band
  double highHz = 20000;
  double pointsPerOctave = 48;
  // 1/N-octave smoothing (0: none). Each point then reads the window's
  // spectrum over [f·2^(−1/2N), f·2^(1/2N)]: the magnitude as the mean of
  // |H|² there (as the trace's smoothing averages power), the group delay as
  // the mean delay weighted by |H|², the phase as that of the mean of H
  // (the response turned to its peak, so its phase varies slowly there); a
  // harmonic as the mean of |Hn|² over n times the interval, against the
  // smoothed fundamental. The intervals end at the sweep's clean band; one
  // holding fewer than two of the spectrum's bins reads as unsmoothed.
  int smoothing = 0;
};

struct SweepResponse {
  static constexpr int kHighestOrder = 5;
  bool valid = false;         // deconvolved, with a peak
  int recordings = 0;         // averaged
  bool absolutePhase = false; // a reference channel set the origin
  double peakSample = 0;      // the linear IR's peak, from the sweep's start
  double delaySamples = 0;    // from the origin (see the header's Timing)
  std::vector<double> frequencyHz;  // lowHz · 2^{i/pointsPerOctave}
  std::vector<double> magnitudeDb;
  std::vector<double> phaseDeg;           // (−180, 180]
  std::vector<double> unwrappedPhaseDeg;
  std::vector<double> groupDelayMs;       // from the origin
  // harmonicDb[n − 2][i]: Hn relative to the fundamental at frequencyHz[i].
  std::vector<std::vector<double>> harmonicDb;
};

class SweepDeconvolution {
 public:
  // Recordings of recordingLength samples, the sweep's plus a tail of at
  // least 1/8 of its L (shorter is lengthened). The tail must hold the
  // system's delay and the decay of its response: the linear response is
  // looked for, and cut, from half the gap to H2 before the sweep's start
  // to the tail's end. Allocates and plans.
  SweepDeconvolution(const LogSweep& sweep, int64_t recordingLength);
  ~SweepDeconvolution();
  SweepDeconvolution(const SweepDeconvolution&) = delete;
  SweepDeconvolution& operator=(const SweepDeconvolution&) = delete;

  const LogSweep& sweep() const noexcept { return sweep_; }
  int64_t recordingLength() const noexcept { return recordingLength_; }
  int transformLength() const noexcept { return size_; }

  // Adds one recording of recordingLength() samples to the average, and its
  // reference channel's (or nullptr). Every recording since clear() must
  // have a reference or none: false, and nothing added, otherwise.
  bool add(const float* measured, const float* reference) noexcept;
  void clear() noexcept;
  int recordings() const noexcept { return count_; }

  // Deconvolves the averages into the impulse responses. False without a
  // recording.
  bool deconvolve() noexcept;
  // The measurement channel's and the reference's circular responses
  // (transformLength() samples, harmonics wrapped to the end); the reference
  // is null without one. Valid after deconvolve().
  const float* impulseResponse() const noexcept { return measuredIr_; }
  const float* referenceResponse() const noexcept { return hasReference_ ? referenceIr_ : nullptr; }

  // The readings of the last deconvolve() on a log grid. Allocates.
  SweepResponse response(const SweepReadingSettings& settings = {}) const;

 private:
  struct Window {
    int64_t before = 0, after = 0;  // samples kept either side of the arrival
  };
  double peakOf(const float* ir) const noexcept;
  // The spectra of the windowed response around sample `origin` of ir and
  // of t·h, t counted from origin, packed in frame_ as h + j·t·h.
  void transformWindow(const float* ir, int64_t origin, const Window& window) const noexcept;

  LogSweep sweep_;
  int64_t recordingLength_;
  int size_ = 0;         // the deconvolution's DFT length
  int frameSize_ = 0;    // the windows' DFT length
  std::unique_ptr<FFT> fft_, frameFft_;
  float* inverse_ = nullptr;   // conj(X⁻¹)/N, interleaved complex, size_ points
  float* work_ = nullptr;      // interleaved complex, size_ points
  float* measuredIr_ = nullptr;
  float* referenceIr_ = nullptr;
  float* frame_ = nullptr;     // interleaved complex, frameSize_ points: response()'s scratch
  std::vector<float> measuredSum_, referenceSum_;
  Window windows_[SweepResponse::kHighestOrder];
  int count_ = 0;
  bool hasReference_ = false;
  bool deconvolved_ = false;
  double peak_ = 0, referencePeak_ = 0;
};

}  // namespace dsp
