#pragma once
// The excitation of a swept-sine measurement: a synchronized exponential
// sweep, as samples in [−peak, peak] at the measurement's sampling rate.
//
//   x(t) = w(t)·peak·sin(2π·f1·L·(e^{t/L} − 1)),   0 ≤ t < T = length/fs,
//
// whose instantaneous frequency f1·e^{t/L} rises from f1 at t = 0 to f2 at
// t = T: L = T/ln(f2/f1) is the time it takes to rise by a factor e. f1·L is
// a whole number of cycles, so that n·φ(t) = φ(t + L·ln n) modulo 2π: the
// n-th harmonic a nonlinearity makes of the sweep is the sweep itself,
// L·ln n earlier, at the same phase, and its impulse response keeps its
// phase after deconvolution. With the length fixed in samples and f2 fixed,
// that is reached by lowering f1 a little below the margin's, so the sweep
// still starts below the span and ends exactly at f2; only a sweep too short
// for one cycle there starts higher (2^16 samples at 48 kHz: 6 Hz for a
// span from 20 Hz).
//
// The span to be measured, [lowestHz, highestHz], sits inside the sweep with
// a margin at each end: f1 ≤ lowestHz/4 (two octaves: the band edge's
// ringing stays out of the span's readings), f2 = 2·highestHz but at most
// 0.95 of half the rate (the sweep never comes near the Nyquist frequency,
// where a converter's anti-alias filter cuts).
//
// w(t) is a half-Hann fade-in over the time the sweep takes to rise half an
// octave (f1 … f1·√2, several cycles even of the lowest frequency) and a
// half-Hann fade-out over its last twelfth of an octave (f2·2^{−1/12} … f2).
// Between them, in the clean band cleanLowHz() … cleanHighHz(), the sweep is
// at full level; readings of a response are good there.
//
// Threads: construction and the accessors compute, never allocate, and may
// run anywhere; render() is for the thread that plays the sweep.

#include <cmath>
#include <cstdint>

namespace dsp {

struct LogSweepSettings {
  double sampleRate = 48000;
  int64_t length = int64_t{1} << 18;  // samples, 2^12 … 2^22 (clamped)
  double lowestHz = 20;               // the span to be measured
  double highestHz = 20000;
  double peak = 0.5;                  // amplitude, full scale 1
};

class LogSweep {
 public:
  explicit LogSweep(const LogSweepSettings& settings = {});

  double sampleRate() const noexcept { return rate_; }
  int64_t length() const noexcept { return length_; }
  double peak() const noexcept { return peak_; }
  // The level a sine of the sweep's peak reads, 10·log10(peak²/2) dB re
  // full scale: where the tracking sweep holds a wire, and so what the
  // response's gain is read against.
  double toneLevelDb() const noexcept { return 10 * std::log10(peak_ * peak_ / 2); }
  double startHz() const noexcept { return f1_; }  // f1
  double endHz() const noexcept { return f2_; }    // f2, reached at t = T
  // L, the time the frequency takes to rise by a factor e: in seconds, in
  // samples, and f1·L in whole cycles.
  double rateSeconds() const noexcept { return rateSeconds_; }
  double rateSamples() const noexcept { return rateSeconds_ * rate_; }
  int64_t cycles() const noexcept { return cycles_; }
  // How many samples before the linear impulse response the n-th
  // harmonic's arrives after deconvolution: L·ln n, in samples.
  double harmonicLead(int order) const noexcept;
  // The instantaneous frequency at a sample position, f1·e^{t/L}.
  double frequencyAt(double sample) const noexcept;

  int64_t fadeInLength() const noexcept { return fadeIn_; }
  int64_t fadeOutLength() const noexcept { return fadeOut_; }
  double cleanLowHz() const noexcept;   // where the fade-in ends
  double cleanHighHz() const noexcept;  // where the fade-out begins

  // Writes samples offset … offset + count − 1 of the sweep into out; zero
  // before 0 and from length() on, so a player may run past its end. Any
  // thread; no allocation, no lock.
  void render(int64_t offset, int count, float* out) const noexcept;

 private:
  double rate_;
  int64_t length_;
  double peak_;
  double f1_, f2_;
  double rateSeconds_;
  int64_t cycles_;
  int64_t fadeIn_, fadeOut_;
};

}  // namespace dsp
