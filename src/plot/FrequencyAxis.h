#pragma once
// The plot's frequency axis as arithmetic on the span alone: a linear axis,
// where a column's frequency grows in equal steps, or a logarithmic one,
// where it grows in equal ratios (f = f_lo·(f_hi/f_lo)^(x/W)), and the
// graticule of the logarithmic axis: a line at every integer multiple of a
// power of ten, the 1-2-5 ones stronger and labelled ("20", "500", "1k",
// "20k").

#include <string>
#include <vector>

namespace display {

enum class AxisScale : int { linear = 0, logarithmic = 1 };

// The axis of a plot `width` points wide over lower … upper Hz. A
// logarithmic axis cannot start at 0 Hz: its lower edge is at least
// `lowestFrequency` (the first bin above 0 Hz), and above the upper edge.
class FrequencyAxis {
 public:
  FrequencyAxis() = default;
  FrequencyAxis(AxisScale scale, double lower, double upper, double width, double lowestFrequency);

  AxisScale scale() const { return scale_; }
  bool logarithmic() const { return scale_ == AxisScale::logarithmic; }
  double lower() const { return lower_; }
  double upper() const { return upper_; }
  double width() const { return width_; }

  // The frequency at x points from the plot's left edge (not clamped).
  double frequencyAt(double x) const;
  // Points from the left edge of a frequency; on the logarithmic axis a
  // frequency at or below 0 Hz lies far left of the plot.
  double xOf(double frequency) const;

  bool operator==(const FrequencyAxis&) const = default;

 private:
  AxisScale scale_ = AxisScale::linear;
  double lower_ = 0;
  double upper_ = 1;
  double width_ = 1;
  double logRatio_ = 0;  // ln(upper / lower) on the logarithmic axis
};

// A line of the logarithmic axis's graticule.
struct AxisTick {
  double frequency = 0;
  bool major = false;  // at 1, 2 or 5 times a power of ten
  std::string label;   // the major lines' text ("20", "1k", "12k"), else empty
};

// The graticule lines from lower to upper Hz (lower > 0), ascending; a
// line on an edge (within a millionth) is included, for its label.
std::vector<AxisTick> logarithmicTicks(double lower, double upper);

// A frequency as the axis labels it: Hz below 1 kHz, else kHz with a "k",
// at most three significant figures and no trailing zeros ("31.5", "1k",
// "1.25k", "20k").
std::string axisLabel(double frequency);

}  // namespace display
