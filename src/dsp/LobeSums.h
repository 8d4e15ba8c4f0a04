#pragma once
// The lobe-sum reading of tones from a trace, shared by the distortion and
// the intermodulation readings.
//
// Units are the trace's (Spectrum.h): power per bin, which divided by bins²
// is mean square. Every window's bins of one sine add up to its mean square
// times the window's noise bandwidth in bins wherever the sine falls between
// them (Parseval), so a tone's power is the sum over its lobe, the main
// lobe's half width and one bin more either side of its frequency, over the
// noise bandwidth. The noise under a lobe is what the bins beside it hold per
// bin.
//
// Threads: mainLobeHalfWidth() reads a prepared response and may run on any
// thread; the rest allocates nothing, takes no lock and may run on any thread
// that owns the trace's values for the call.

#include <vector>

#include "dsp/PeakReading.h"

namespace dsp {

// 10·log10(ratio); −inf for a ratio that is not positive.
double powerDecibels(double ratio) noexcept;

// Half the main lobe's width in bins: the first null of the window's
// amplitude response (where it falls below 10⁻⁴ for a window without one).
double mainLobeHalfWidth(const WindowResponse& response) noexcept;

// A lobe's bins, first … last inclusive; empty when last < first.
struct LobeSpan {
  int first = 0, last = -1;
  int size() const noexcept { return last - first + 1; }
};

// The lobes of one trace: its bin count, the bins summed either side of a
// tone, and the measurement band's bins.
struct LobeLayout {
  int bins = 0;
  int reach = 0;  // ceil(mainLobeHalfWidth) + 1
  int first = 0, last = -1;

  // The lobe around a (fractional) bin, clipped to the trace.
  LobeSpan lobeAt(double bin) const noexcept;
  // What the bins beside a span hold per bin: up to two reaches either side,
  // within the band, short of the nearest of `spans` below and above it;
  // −1 without such bins.
  double noiseBeside(const float* power, LobeSpan span, const LobeSpan* spans, int count) const noexcept;
};

// The sum of a span's bins.
double lobeSum(const float* power, LobeSpan span) noexcept;

// The sum of bins first … last (inclusive), and of each times its gain, in
// double over independent partial sums, so that a band of many thousand
// bins costs about what copying it does. 0 for an empty range.
double binSum(const float* power, int first, int last) noexcept;
double weightedBinSum(const float* power, const float* gains, int first, int last) noexcept;

// One pass over a band's bins that leaves the sums of its blocks of
// kBlockBins (and of the bins times their gains) and finds its highest bin;
// a run's sum is then its whole blocks' and the bins at its ends. The same
// sums as binSum and weightedBinSum give, for one read of the band instead
// of one per run and one for the highest bin.
class BandBlocks {
 public:
  static constexpr int kBlockBins = 256;
  // For the band first … last; allocates.
  void configure(int first, int last, bool weighted);
  // The highest bin (the first of equal ones); gains null without weighting.
  int scan(const float* power, const float* gains) noexcept { return pass<true>(power, gains); }
  // The same pass for the sums alone, where the fundamental is known.
  void sumBlocks(const float* power, const float* gains) noexcept { pass<false>(power, gains); }
  // After scan(), the sum of bins from … to within the band, and weighted.
  double sum(const float* power, int from, int to) const noexcept;
  double weightedSum(const float* power, const float* gains, int from, int to) const noexcept;

 private:
  int first_ = 0, last_ = -1;
  std::vector<double> sums_, weighted_;
  template <bool FindHighest>
  int pass(const float* power, const float* gains) noexcept;
  template <bool Weighted>
  double runSum(const std::vector<double>& blocks, const float* power, const float* gains, int from, int to) const noexcept;
};

}  // namespace dsp
