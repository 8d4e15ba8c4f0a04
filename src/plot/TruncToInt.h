#pragma once
// Truncation toward zero that saturates instead of overflowing: a zero-width
// span or a plot narrower than its margins gives infinite or undefined
// quotients, which must not become undefined integers.

#include <cmath>

namespace display {

inline int truncToInt(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kLimit = 1 << 30;
  if (value > kLimit) return 1 << 30;
  if (value < -kLimit) return -(1 << 30);
  return static_cast<int>(value);
}

}  // namespace display
