#pragma once
// Test binaries neither read nor write the user's FFT wisdom, and never plan
// in the background unless a test asks for it.
#include "dsp/FFTPlanner.h"

namespace dsptest {
inline const bool quietPlanner = [] {
  FFTPlanner::setWisdomDirectory("");
  FFTPlanner::setBackgroundPlanning(false);
  return true;
}();
}  // namespace dsptest
