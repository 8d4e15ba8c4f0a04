// Where a sweep goes next: every bin on the linear axis; on the logarithmic
// axis points a fraction of an octave apart, reached by rising no faster
// than a spectrum can follow, or by a jump and a hold where that is quicker.

#include <gtest/gtest.h>

#include <cmath>

#include "endpoints/Sweep.h"
#include "endpoints/SweepPlan.h"

namespace {

// 20 Hz – 20 kHz at 2.93 Hz per bin, 48 points per octave, a tone that may
// rise 16 bins a spectrum and a jump that settles in 5.
Sweep logSweep() {
  Sweep s;
  s.leftBin = 6;
  s.rightBin = 6826;
  s.bins = 8192;
  s.samplingRate = 48000;
  s.pointRatio = static_cast<float>(std::exp2(1.0 / 48) - 1);
  s.maxStepBins = 16;
  s.settleSpectra = 5;
  s.binHertzPerSecond = 100;
  s.leadSpectra = 2.5f;
  return s;
}

}  // namespace

TEST(SweepPlan, TheLinearAxisMeasuresEveryBinAndLeadsByTheDesignedSpectra) {
  Sweep s;
  s.rightBin = 100;
  s.leadSpectra = 2.5f;
  s.binHertzPerSecond = 37;
  for (int b : {1, 10, 99, 100, 5000}) EXPECT_EQ(sweep_plan::nextBin(s, b), b + 1);
  EXPECT_EQ(sweep_plan::binBefore(s, 50, 16, 40), 40);
  EXPECT_EQ(sweep_plan::binBefore(s, 50, 16, 1), 34);
  s.currentBin = 77;
  sweep_plan::tune(s, false);
  EXPECT_FLOAT_EQ(s.leadBins, 2.5f);
  EXPECT_FLOAT_EQ(s.hertzPerSecond, 37.0f);
  EXPECT_EQ(s.holdSpectra, 0);
}

TEST(SweepPlan, TheLogarithmicAxisRisesThenJumpsAndNeverLeavesAPointUnmeasured) {
  const Sweep s = logSweep();
  int spectra = 0, visited = 0, firstJump = -1;
  bool reachedEdge = false;
  for (int b = 10; b <= s.rightBin;) {
    const int next = sweep_plan::nextBin(s, b);
    const int gap = sweep_plan::pointGap(s, b);
    ASSERT_GT(next, b);
    // Never coarser than the points asked for.
    ASSERT_LE(next - b, gap) << "at bin " << b;
    if (sweep_plan::jumpsAfter(s, b)) {
      if (firstJump < 0) firstJump = b;
      // Rising there would take more spectra than a jump and its hold.
      EXPECT_GT((gap + s.maxStepBins - 1) / s.maxStepBins, s.settleSpectra + 1);
      spectra += s.settleSpectra + 1;
    } else {
      ASSERT_EQ(firstJump, -1) << "the sweep rose again at bin " << b << " after jumping from " << firstJump;
      ASSERT_LE(next - b, s.maxStepBins) << "the tone rose faster than a spectrum follows";
      spectra += 1;
    }
    reachedEdge = reachedEdge || b == s.rightBin;
    ++visited;
    b = next;
  }
  EXPECT_TRUE(reachedEdge) << "the span's upper edge was measured";
  // Below about 300 Hz, where points are less than a bin and a half apart,
  // every bin.
  for (int b = 10; b < 100; ++b) EXPECT_EQ(sweep_plan::nextBin(s, b), b + 1);
  // Ten octaves at 48 points: about as many points as the plan asks for,
  // and far fewer spectra than the 6800 bins.
  EXPECT_GT(firstJump, 0);
  EXPECT_LT(visited, 800);
  EXPECT_LT(spectra, 6818 / 3);
}

TEST(SweepPlan, GoingBackCoversTheSpectraAndTheLeadIsTheBinsAhead) {
  Sweep s = logSweep();
  // Going back n spectra and sweeping up again takes at least n spectra.
  for (int b : {20, 300, 1000, 1500}) {
    int k = sweep_plan::binBefore(s, b, 7, 1);
    for (int n = 0; n < 6; ++n) k = sweep_plan::nextBin(s, k);
    EXPECT_LT(k, b) << "from bin " << b;
  }
  EXPECT_EQ(sweep_plan::binBefore(s, 12, 100, 10), 10);

  // Rising: the tone leads by the bins the sweep covers in 2.5 spectra and
  // moves at the step it will have reached.
  s.currentBin = 1000;  // 16-bin steps here
  ASSERT_FALSE(sweep_plan::jumpsAfter(s, 1000));
  sweep_plan::tune(s, false);
  const int ahead = sweep_plan::nextBin(s, sweep_plan::nextBin(s, 1000));
  const int step = sweep_plan::risingStep(s, ahead);
  EXPECT_FLOAT_EQ(s.leadBins, static_cast<float>(ahead - 1000) + 0.5f * static_cast<float>(step));
  EXPECT_FLOAT_EQ(s.hertzPerSecond, 100.0f * static_cast<float>(step));
  EXPECT_EQ(s.holdSpectra, 0);
  // Jumped: on the bin, still, for the settling spectra.
  sweep_plan::tune(s, true);
  EXPECT_EQ(s.leadBins, 0.0f);
  EXPECT_EQ(s.hertzPerSecond, 0.0f);
  EXPECT_EQ(s.holdSpectra, 5);
  // Then a point is taken once two spectra agree within 0.02 dB: a window
  // still holding some of the tone before the jump reads low, the next one
  // higher. Eight at most are waited for.
  EXPECT_FALSE(sweep_plan::settled(s, 0.90f));
  EXPECT_FALSE(sweep_plan::settled(s, 0.999f));
  EXPECT_TRUE(sweep_plan::settled(s, 0.9995f));
  EXPECT_TRUE(sweep_plan::settled(s, 0.5f)) << "not waiting any more";
  sweep_plan::tune(s, true);
  int waited = 1;
  for (float p = 0.1f; !sweep_plan::settled(s, p); p *= 1.5f) ++waited;
  EXPECT_EQ(waited, sweep_plan::kConfirmations);
}
