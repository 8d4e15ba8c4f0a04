#pragma once
// The scale at the plot's right for a log sweep's unwrapped phase or group
// delay: the range that holds the middle four fifths of the finite values
// (a response's ends, down in the noise, would swamp it), widened by a
// quarter of it each way and rounded out to whole steps of 1, 2 or 5 times
// a power of ten, about four steps in all. A curve outside it is drawn
// clipped at the plot's edge.

#include <vector>

namespace display {

struct ResponseScale {
  double low = 0, high = 0, step = 0;  // none
  bool valid() const { return high > low && step > 0; }
};

// narrowest: the least range shown, for a curve that is nearly flat (the
// group delay of a wire) in the values' units.
ResponseScale responseScale(const std::vector<double>& values, double narrowest);

}  // namespace display
