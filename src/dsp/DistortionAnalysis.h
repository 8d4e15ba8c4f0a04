#pragma once
// Distortion and noise of a sine read from a trace, as a bench audio
// analyzer reads them: the fundamental, its harmonics H2 … H10, THD, THD+N,
// SINAD, SNR and the noise in a measurement band (20 Hz – 20 kHz unless
// set; its upper limit up to half the rate).
//
// Units are the trace's (Spectrum.h): power per bin, which divided by bins²
// is mean square. Every window's bins of one sine add up to its mean square
// times the window's noise bandwidth in bins, wherever the sine falls
// between them (Parseval), so a tone's power is read as the sum over its
// lobe, ±lobeHalfWidth() bins and one more around its frequency, over the
// noise bandwidth: exact on and between bins, without the window's shape.
// The noise under a lobe is what the bins beside it hold per bin, taken off
// a harmonic's sum and counted in with the noise. Levels are in dB of mean
// square (a full-scale sine reads −3.01 dB); a harmonic's relative to the
// fundamental (dBc).
//
//   THD    root-sum of the in-band harmonics' powers over the fundamental's;
//   THD+N  every power of the band but the fundamental's, over the
//          fundamental's: noise, harmonics, hum, whatever else;
//   SINAD  −THD+N in dB;
//   SNR    the fundamental over the band's noise: the band's power with the
//          fundamental's and the harmonics' lobes left out and the noise
//          under them counted in, weighted when a noise weighting is set;
//   noise  that noise power, mean square.
//
// The fundamental is removed as AES17's standard notch removes it, but
// exactly: its lobe is taken out and replaced by the noise beside it. The
// standard notch is a band-reject filter of low Q tuned to the fundamental;
// as a gain per bin it would also take out the noise, hum and harmonics
// within its width (a second-order notch of Q 1 is 3 dB down from 0.62 to
// 1.62 times the fundamental and takes 1.6 dB off the second harmonic). The
// window's lobe is all the bins hold of the sine, so leaving it out is a
// notch that removes the fundamental wholly and nothing else: THD+N reads the
// rest of the band at full weight, as the notch's ideal does. With the
// seven-term Blackman–Harris window (leakage below −180 dB) the readout's own
// residual is the arithmetic's, below −140 dB.
//
// A harmonic above the band's upper limit, or whose lobe reaches half the
// rate (where it would fold back), is out of reach: it is reported so, with
// no level, and counted in neither THD nor anything else.
//
// Threads: configure() allocates and belongs where the engine is
// configured; analyse() allocates nothing, takes no lock and may run on any
// thread that owns the trace's values and the object for the call (it
// keeps the band's block sums in the object).

#include <array>
#include <vector>

#include "dsp/FrequencyWeighting.h"
#include "dsp/LobeSums.h"
#include "dsp/PeakReading.h"

struct TraceData;

namespace dsp {

struct DistortionSettings {
  double lowerHz = 20;      // the measurement band
  double upperHz = 20000;   // at most half the rate (higher reads to it)
  double fundamentalHz = 0; // 0: the highest peak in the band; else the peak nearest it
  Weighting noiseWeighting = Weighting::Z;  // of the noise (SNR, noise level)
};

struct HarmonicReading {
  int order = 0;          // 2 … 10
  double frequency = 0;   // Hz, order × the fundamental's
  bool inBand = false;    // false: out of reach (above the band or folding), no level
  double power = 0;       // mean square, the noise under its lobe taken off (≥ 0)
  double levelDb = 0;     // relative to the fundamental; −inf for no power
};

struct DistortionReading {
  static constexpr int kHighestOrder = 10;
  bool valid = false;          // a fundamental with power, resolved from its harmonics
  double fundamentalHz = 0;    // read between bins (PeakReading)
  double fundamentalPower = 0; // mean square
  double fundamentalDb = 0;
  std::array<HarmonicReading, kHighestOrder - 1> harmonics{};  // H2 … H10
  int harmonicsInBand = 0;
  double thdRatio = 0;         // in-band harmonics' power / fundamental's
  double thdDb = 0, thdPercent = 0;        // −inf dB with no harmonic in reach
  double thdnRatio = 0;        // the band's power but the fundamental's / fundamental's
  double thdnDb = 0, thdnPercent = 0;
  double sinadDb = 0;
  double snrDb = 0;
  double noisePower = 0;       // mean square, weighted as set
  double noiseDb = 0;
};

class DistortionAnalysis {
 public:
  // Takes the window's response (a copy) and the band; allocates the noise
  // weighting's gains. False, and nothing to analyse, for a response not
  // prepared or a band without bins.
  bool configure(const WindowResponse& response, const DistortionSettings& settings);
  bool configured() const noexcept { return bins_ > 0; }

  // The readings of a trace of the configured bin count; not valid for
  // another, for a trace without power in the band, or for a fundamental so
  // low that its lobe meets the second harmonic's. Allocates nothing.
  DistortionReading analyse(const float* power, int bins) const noexcept;
  DistortionReading analyse(const TraceData& trace) const noexcept;

  // Half the main lobe's width in bins: the first null of the window's
  // amplitude response (where it falls below 10⁻⁴ for a window without one).
  double lobeHalfWidth() const noexcept { return lobe_; }
  // The band's bins, first … last inclusive.
  int firstBin() const noexcept { return layout_.first; }
  int lastBin() const noexcept { return layout_.last; }
  float binsPerHertz() const noexcept { return binsPerHertz_; }

 private:
  WindowResponse response_;
  DistortionSettings settings_;
  std::vector<float> gains_;  // the noise weighting's power gain per bin
  int bins_ = 0;
  float binsPerHertz_ = 0;
  double lobe_ = 0;
  LobeLayout layout_;  // the lobes' reach and the band's bins
  mutable BandBlocks blocks_;  // the band's sums by blocks, from analyse()'s one pass
  double upper_ = 0;  // Hz, the band's upper limit within half the rate
};

}  // namespace dsp
