// The A, C and Z frequency weightings: their responses against the
// standard's design goals, their names and units, and per-bin gains.
#include "dsp/FrequencyWeighting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using dsp::Weighting;

// IEC 61672-1:2013 Table 3: the design goals of the A and C weightings in
// dB, rounded to 0.1 dB, at the nominal frequencies 10 Hz … 20 kHz, which
// stand for the exact base-ten frequencies 1000·10^(n/10) Hz, n = −20 … 13.
constexpr double kA[34] = {-70.4, -63.4, -56.7, -50.5, -44.7, -39.4, -34.6, -30.2, -26.2, -22.5, -19.1, -16.1,
                           -13.4, -10.9, -8.6,  -6.6,  -4.8,  -3.2,  -1.9,  -0.8,  0.0,   0.6,   1.0,   1.2,
                           1.3,   1.2,   1.0,   0.5,   -0.1,  -1.1,  -2.5,  -4.3,  -6.6,  -9.3};
constexpr double kC[34] = {-14.3, -11.2, -8.5, -6.2, -4.4, -3.0, -2.0, -1.3, -0.8, -0.5, -0.3, -0.2,
                           -0.1,  0.0,   0.0,  0.0,  0.0,  0.0,  0.0,  0.0,  0.0,  0.0,  -0.1, -0.2,
                           -0.3,  -0.5,  -0.8, -1.3, -2.0, -3.0, -4.4, -6.2, -8.5, -11.2};

TEST(FrequencyWeighting, AAndCFollowTheStandardsDesignGoals) {
  for (int i = 0; i < 34; ++i) {
    const double f = 1000 * std::pow(10.0, (i - 20) / 10.0);
    // Rounded to 0.1 dB, the table is within 0.05 dB of the expressions.
    EXPECT_NEAR(dsp::weightingDb(Weighting::A, f), kA[i], 0.05 + 1e-9) << f << " Hz";
    EXPECT_NEAR(dsp::weightingDb(Weighting::C, f), kC[i], 0.05 + 1e-9) << f << " Hz";
    EXPECT_EQ(dsp::weightingDb(Weighting::Z, f), 0.0);
    EXPECT_NEAR(dsp::weightingPowerGain(Weighting::A, f), std::pow(10.0, dsp::weightingDb(Weighting::A, f) / 10), 1e-12);
  }
  EXPECT_NEAR(dsp::weightingDb(Weighting::A, 1000), 0.0, 1e-12);
  EXPECT_NEAR(dsp::weightingDb(Weighting::C, 1000), 0.0, 1e-12);
  // A falls faster than C at both ends; nothing passes at or below 0 Hz.
  EXPECT_LT(dsp::weightingDb(Weighting::A, 5), dsp::weightingDb(Weighting::C, 5) - 50);
  for (double f : {0.0, -10.0}) {
    EXPECT_TRUE(std::isinf(dsp::weightingDb(Weighting::A, f)));
    EXPECT_LT(dsp::weightingDb(Weighting::C, f), 0);
    EXPECT_EQ(dsp::weightingPowerGain(Weighting::C, f), 0.0);
    EXPECT_EQ(dsp::weightingPowerGain(Weighting::Z, f), 1.0);
  }
}

TEST(FrequencyWeighting, NamesUnitsAndBinGains) {
  EXPECT_STREQ(dsp::weightingName(Weighting::A), "A");
  EXPECT_STREQ(dsp::weightingName(Weighting::C), "C");
  EXPECT_STREQ(dsp::weightingName(Weighting::Z), "Z");
  EXPECT_STREQ(dsp::levelUnit(Weighting::A), "dB(A)");
  EXPECT_STREQ(dsp::levelUnit(Weighting::C), "dB(C)");
  EXPECT_STREQ(dsp::levelUnit(Weighting::Z), "dB");
  EXPECT_EQ(dsp::weightingFromName("a"), Weighting::A);
  EXPECT_EQ(dsp::weightingFromName("C"), Weighting::C);
  EXPECT_EQ(dsp::weightingFromName("z"), Weighting::Z);
  for (const char* bad : {"", "B", "AA", "dB(A)"}) EXPECT_FALSE(dsp::weightingFromName(bad)) << bad;
  EXPECT_EQ(static_cast<int>(Weighting::A), 1);

  const int bins = 4096;
  const double bph = bins / 24000.0;
  std::vector<float> gains(bins, -1.0f);
  for (Weighting w : {Weighting::A, Weighting::C, Weighting::Z}) {
    dsp::fillWeightingGains(w, bph, bins, gains.data());
    EXPECT_EQ(gains[0], w == Weighting::Z ? 1.0f : 0.0f);
    for (int k : {1, 17, 171, 2048, bins - 1})
      EXPECT_FLOAT_EQ(gains[k], static_cast<float>(dsp::weightingPowerGain(w, k / bph))) << k;
  }
}

}  // namespace
