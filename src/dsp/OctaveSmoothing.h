#pragma once
// Fractional-octave smoothing of a trace: every bin becomes the power
// average of the spectrum over the 1/n-octave interval centred on it,
// [f·2^(−1/(2n)), f·2^(1/(2n))], each bin standing for the half bin either
// side of its frequency, so that an interval's ends weigh their bins in
// part. An interval inside one bin gives that bin's own value; bin 0 (DC)
// is kept. A flat spectrum stays exactly as it is; the bins of a sine keep
// their total within ln(2)/n / (2·sinh(ln(2)/(2n))) of it (−0.09 dB for
// octaves, −0.01 dB for third octaves), away from the top bin.
//
// Units are the trace's (linear power per bin); the average is linear.
// An interval's sum is never a difference of two running sums over the
// whole trace, which would lose a bin 10^−15 times the spectrum's total: it
// is the tail of the short segment holding its lower end, the head of the
// one holding its upper end (sums of a few bins each), and between them the
// whole segments, from running sums of the segments' totals that are
// compensated (each kept as a double and its rounding error). So a bin far
// below the strongest ones keeps its level.
//
// Threads: the constructor allocates; configure() and apply() allocate
// nothing for up to capacity bins, take no lock, and run on the thread that
// owns the object (apply() writes the object's running sums).

#include <vector>

namespace dsp {

// Fractions offered: 0 (off), 1, 2, 3, 6, 12, 24 and 48 bands per octave.
bool isSmoothingFraction(int n) noexcept;

class OctaveSmoothing {
 public:
  // Room for traces of up to capacity bins.
  explicit OctaveSmoothing(int capacity);

  // 1/n-octave smoothing of traces of `bins` bins, bin k at k / binsPerHertz
  // Hz. The interval is a ratio of frequencies, the same in bins as in
  // hertz, so the spacing only says where the bins lie. n = 0, or a
  // fraction isSmoothingFraction refuses, turns smoothing off. More bins
  // than the capacity grow the buffers (the one case that allocates).
  void configure(int n, int bins, double binsPerHertz) noexcept;
  int fraction() const noexcept { return n_; }
  int bins() const noexcept { return bins_; }

  // out[k] = the smoothed in[k] for k < bins; in and out may be the same
  // array. Copies when smoothing is off or bins is not the configured count.
  void apply(const float* in, float* out, int bins) const noexcept;

 private:
  // Bins per segment.
  static constexpr int kSegmentShift = 4, kSegment = 1 << kSegmentShift;
  int n_ = 0;
  int bins_ = 0;
  double below_ = 1, above_ = 1;  // 2^(∓1/(2n))
  // head_[j]: the sum of the bins of j's segment before j; tail_[j]: of
  // those after j.
  mutable std::vector<double> head_, tail_;
  // segments_[s].sum + segments_[s].error = the sum of the bins of the
  // segments before segment s.
  struct RunningSum {
    double sum, error;
  };
  mutable std::vector<RunningSum> segments_;
  // The input, kept when it is also the output.
  mutable std::vector<float> values_;
  // 1 / the width in bins of bin k's interval, made by configure().
  std::vector<float> inverseWidth_;
  void grow(int bins);
};

}  // namespace dsp
