// The log sweep's right-hand scale for the unwrapped phase and the group
// delay: it holds the response's middle, ignores its noisy ends, and steps
// in 1, 2 or 5 times a power of ten.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "plot/ResponseScale.h"

namespace {

using display::responseScale;

bool isNiceStep(double step) {
  const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
  return std::fabs(mantissa - 1) < 1e-9 || std::fabs(mantissa - 2) < 1e-9 || std::fabs(mantissa - 5) < 1e-9;
}

TEST(ResponseScale, HoldsTheMiddleOfTheCurveInWholeStepsAndIgnoresItsEnds) {
  // A band-pass's group delay: 2 ms falling to 0.5 ms, with the first and
  // last few points down in the noise (±400 ms) and one point not measured.
  std::vector<double> delay;
  for (int i = 0; i < 200; ++i) delay.push_back(2.0 - 1.5 * i / 199);
  for (int i = 0; i < 8; ++i) {
    delay[static_cast<size_t>(i)] = i % 2 ? 400 : -400;
    delay[static_cast<size_t>(199 - i)] = i % 2 ? -400 : 400;
  }
  delay[100] = std::numeric_limits<double>::quiet_NaN();
  const display::ResponseScale s = responseScale(delay, 0.1);
  ASSERT_TRUE(s.valid());
  EXPECT_TRUE(isNiceStep(s.step)) << s.step;
  EXPECT_NEAR(std::remainder(s.low, s.step), 0.0, 1e-9);
  EXPECT_NEAR(std::remainder(s.high, s.step), 0.0, 1e-9);
  // The middle four fifths (1.85 … 0.65 ms) lie inside, the noise does not
  // stretch it, and it has three to eight steps.
  EXPECT_LE(s.low, 0.65);
  EXPECT_GE(s.high, 1.85);
  EXPECT_GT(s.low, -1.0);
  EXPECT_LT(s.high, 3.5);
  const double steps = (s.high - s.low) / s.step;
  EXPECT_GE(steps, 3);
  EXPECT_LE(steps, 8);

  // A wire's group delay is flat: the scale is at least as wide as asked,
  // around it.
  const display::ResponseScale flat = responseScale(std::vector<double>(100, 27.66), 0.1);
  ASSERT_TRUE(flat.valid());
  EXPECT_GE(flat.high - flat.low, 0.1 - 1e-12);
  EXPECT_LT(flat.low, 27.66);
  EXPECT_GT(flat.high, 27.66);
  EXPECT_LT(flat.high - flat.low, 1.0);

  // Nothing measured: no scale.
  EXPECT_FALSE(responseScale({std::nan(""), std::nan("")}, 0.1).valid());
  EXPECT_FALSE(responseScale({}, 10).valid());
}

}  // namespace
