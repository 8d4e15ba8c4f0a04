// Max and min hold of the trace, and the peak table: a sine that steps in
// frequency leaves its maximum at every bin it visited; the hold starts anew
// on a reset and with spectra of another configuration; the plain
// average stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "QuietPlanner.h"
#include "dsp/PeakTable.h"
#include "dsp/PlotTrace.h"
#include "dsp/Spectrum.h"
#include "ui/MainThread.h"

namespace {

using std::numbers::pi;
constexpr float kRate = 48000;
constexpr int kBlock = 512;

// The engine and the live trace, fed as the controller feeds them: a sine of
// amplitude 0.5 over a quiet noise floor.
struct HoldRig {
  // 2^14 points, 8192 bins; Blackman's side lobes keep a sine 800 bins
  // away below -100 dB.
  Spectrum engine{100, kRate, WindowShape::Blackman};
  std::unique_ptr<PlotTrace> trace = std::make_unique<PlotTrace>();
  std::vector<float> block = std::vector<float>(kBlock);
  long t = 0;
  unsigned seed = 7;

  HoldRig() { ui::MainThread::instance().drain(); }
  int bins() const { return engine.bins(); }
  const float* held() { return trace->traceData()->averaged; }
  double decibels(int bin) { return 10 * std::log10(held()[bin] / (double(bins()) * bins())); }

  // Feeds a sine at `bin` until `spectra` spectra have reached the trace.
  void play(double bin, int spectra, double amplitude = 0.5) {
    const double step = 2 * pi * bin / engine.fftLength();
    for (int shown = 0; shown < spectra;) {
      for (float& x : block) {
        seed = seed * 1664525u + 1013904223u;
        const double noise = 1e-4 * (static_cast<double>(seed >> 8) / (1 << 24) - 0.5);
        x = static_cast<float>(amplitude * std::sin(step * static_cast<double>(t++)) + noise);
      }
      SpectrumResult* r = engine.compute(block.data(), kBlock);
      if (!r->validBins) continue;
      const PlotTrace::AveragingStep step = trace->addDataSamplingRate(r, kRate);
      ui::MainThread::instance().runAsync(step.run, step.context);
      ui::MainThread::instance().drain();
      ++shown;
    }
  }
};

constexpr double kSineLevel = -9.03;  // 10·log10(0.5² / 2)

}  // namespace

TEST(TraceHold, ASineSteppingInFrequencyLeavesItsMaximumAtEveryVisitedBin) {
  HoldRig rig;
  rig.trace->setTraceAverages(1);
  rig.trace->setTraceMode(TraceMode::maxHold);
  const int visited[] = {1000, 1400, 1800, 2200, 2600};
  for (int bin : visited) rig.play(bin, 3);
  for (int bin : visited) EXPECT_NEAR(rig.decibels(bin), kSineLevel, 0.1) << bin;
  EXPECT_LT(rig.decibels(6000), -100) << "a bin never visited keeps the floor";

  // Min hold of the same walk: every visited bin also saw only the floor.
  rig.trace->setTraceMode(TraceMode::minHold);
  for (int bin : visited) rig.play(bin, 3);
  for (int bin : visited) EXPECT_LT(rig.decibels(bin), -100) << bin;

  // Back to the average: the trace is the running average again, the last
  // sine only.
  rig.trace->setTraceMode(TraceMode::average);
  rig.play(2600, 1);
  EXPECT_NEAR(rig.decibels(2600), kSineLevel, 0.1);
  EXPECT_LT(rig.decibels(1000), -100);
}

TEST(TraceHold, AResetOrAnotherConfigurationStartsTheHoldAnew) {
  HoldRig rig;
  rig.trace->setTraceMode(TraceMode::maxHold);
  rig.play(1000, 3);
  rig.play(2000, 3);
  ASSERT_NEAR(rig.decibels(1000), kSineLevel, 0.1);
  rig.trace->resetHold();
  rig.play(2000, 3);
  EXPECT_LT(rig.decibels(1000), -100) << "the reset dropped what was held";
  EXPECT_NEAR(rig.decibels(2000), kSineLevel, 0.1);

  // Spectra of another bin count (a new RBW) restart the hold by themselves.
  rig.engine.setResolutionBandwidth(1, kRate, WindowShape::Blackman, kRate / 2);  // 2^17
  ASSERT_EQ(rig.bins(), 65536);
  rig.play(4000, 3, 0.05);
  EXPECT_NEAR(rig.decibels(4000), kSineLevel - 20, 0.1);
  EXPECT_LT(rig.decibels(2000), -100) << "nothing of the earlier configuration is held";
}

TEST(TraceHold, ASweepHoldsEachBinAcrossSweeps) {
  auto trace = std::make_unique<PlotTrace>();
  std::vector<float> values(4096, 0.0f);
  SpectrumResult r{values.data(), 4096, 4096, 4096, 0, 0, 0, 0, 0, 0};
  trace->setTraceMode(TraceMode::minHold);
  trace->clearTrace();
  const float* held = trace->traceData()->averaged;
  for (float level : {5.0f, 2.0f, 7.0f}) {  // three sweeps over bins 10 … 19
    std::fill(values.begin(), values.end(), level);
    for (int bin = 10; bin < 20; ++bin) trace->addDataSamplingRateBin(&r, kRate, bin);
  }
  for (int bin = 10; bin < 20; ++bin) EXPECT_EQ(held[bin], 2.0f) << bin;
  EXPECT_EQ(held[20], 0.0f) << "not swept";
}

TEST(TraceHold, TheAverageIsUntouchedByTheHoldMachinery) {
  // The same spectra into a trace that never held and one that held and
  // went back: the averages agree to the bit.
  auto plain = std::make_unique<PlotTrace>();
  auto visited = std::make_unique<PlotTrace>();
  visited->setTraceMode(TraceMode::maxHold);
  visited->setTraceMode(TraceMode::average);
  std::vector<float> values(1024);
  SpectrumResult r{values.data(), 1024, 1024, 1024, 0, 0, 0, 0, 0, 0};
  for (PlotTrace* t : {plain.get(), visited.get()}) t->setTraceAverages(4);
  for (int step = 0; step < 8; ++step) {
    for (int k = 0; k < 1024; ++k) values[static_cast<size_t>(k)] = static_cast<float>(1 + (k * 7 + step * 13) % 17);
    for (PlotTrace* t : {plain.get(), visited.get()}) {
      const PlotTrace::AveragingStep step = t->addDataSamplingRate(&r, kRate);
      ui::MainThread::instance().runAsync(step.run, step.context);
      ui::MainThread::instance().drain();
    }
  }
  for (int k = 0; k < 1024; ++k) ASSERT_EQ(plain->traceData()->averaged[k], visited->traceData()->averaged[k]) << k;
  EXPECT_EQ(plain->traceData()->traces, visited->traceData()->traces);
}

// The table lists the highest peaks first, none closer than the separation
// to a higher one, and no slope cut off by the range's edge.
TEST(PeakTable, HighestFirstAndNoTwoCloserThanTheSeparation) {
  std::vector<float> power(2000, 1.0f);
  auto hill = [&](int centre, float height) {
    for (int d = -3; d <= 3; ++d)
      power[static_cast<size_t>(centre + d)] = std::max(power[static_cast<size_t>(centre + d)], height / (1 + d * d));
  };
  // Twelve hills, the highest at 1500; 410 stands next to the higher 400.
  const struct {
    int bin;
    float height;
  } hills[] = {{100, 50}, {200, 80}, {300, 20},  {400, 90},  {410, 85},   {600, 30},
               {700, 60}, {800, 40}, {1000, 70}, {1200, 10}, {1500, 100}, {1700, 5}};
  for (const auto& h : hills) hill(h.bin, h.height);
  PeakTable table;
  findPeaks(power.data(), 2000, 0, 1999, 20, table);
  ASSERT_EQ(table.count, PeakTable::kCapacity);
  const int expected[] = {1500, 400, 200, 1000, 700, 100, 800, 600, 300, 1200};
  for (int i = 0; i < table.count; ++i) EXPECT_EQ(table.entries[i].bin, expected[i]) << i;
  for (int i = 0; i < table.count; ++i)
    for (int j = 0; j < i; ++j) {
      EXPECT_GE(table.entries[j].power, table.entries[i].power);
      EXPECT_GT(std::abs(table.entries[j].bin - table.entries[i].bin), 20);
    }

  // With a smaller separation 410 is a peak of its own.
  findPeaks(power.data(), 2000, 0, 1999, 5, table);
  EXPECT_EQ(table.entries[2].bin, 410);

  // Only the range is listed, but its neighbourhood counts: the flank of
  // the hill at 400 that the range cuts off at 402 is no peak.
  findPeaks(power.data(), 2000, 402, 650, 20, table);
  ASSERT_EQ(table.count, 1);
  EXPECT_EQ(table.entries[0].bin, 600);

  // A trace without power has no peaks, nor has a flat one; a flat top
  // counts once, at its first bin.
  std::vector<float> zeros(100, 0.0f);
  findPeaks(zeros.data(), 100, 0, 99, 5, table);
  EXPECT_EQ(table.count, 0);
  std::vector<float> flat(100, 3.0f);
  findPeaks(flat.data(), 100, 0, 99, 5, table);
  EXPECT_EQ(table.count, 0);
  for (int k = 40; k < 44; ++k) flat[static_cast<size_t>(k)] = 5.0f;
  findPeaks(flat.data(), 100, 0, 99, 5, table);
  ASSERT_EQ(table.count, 1);
  EXPECT_EQ(table.entries[0].bin, 40);
}
