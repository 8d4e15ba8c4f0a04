// The per-trace work of the view on the main thread allocates nothing: every
// buffer is made when the view is created. Counted on the main thread by the
// test programs' allocation counter.

#include <gtest/gtest.h>

#include <functional>

#include "display/DisplayTestSupport.h"
#include "support/AllocationCounter.h"

namespace {

int allocationsDuring(const std::function<void()>& work) {
  testsupport::AllocationScope scope;
  work();
  return static_cast<int>(scope.allocations());
}

}  // namespace

TEST(DisplayAllocation, NormalAndSweepUpdatesAllocateNothing) {
  PlotRig rig(1849, 1073, 0, 24000, 262144, 48000);
  for (int k = 0; k < 262144; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-60 + (k % 7));
  rig.showTrace();  // the first trace sizes the date strings
  EXPECT_EQ(allocationsDuring([&] { rig.showTrace(); }), 0);
  ASSERT_EQ(rig.display->plotPath().count(), 1800);

  // On the logarithmic axis too, once its graticule is laid out.
  rig.shared.axisScale = display::AxisScale::logarithmic;
  rig.showTrace();
  EXPECT_EQ(allocationsDuring([&] { rig.showTrace(); }), 0);
  // And with A weighting and sixth-octave smoothing, once the choice has
  // taken their storage.
  rig.shared.treatment = {1, 6};
  rig.display->measurementsChanged();
  ASSERT_TRUE(rig.display->treating());
  EXPECT_EQ(allocationsDuring([&] { rig.showTrace(); }), 0);

  rig.shared.detectorMode = 0;
  rig.display->setTrackingGeneratorMode(true);
  rig.display->clearPlot();
  rig.display->newSweep();
  EXPECT_EQ(allocationsDuring([&] {
              for (int c = 0; c < 5000; ++c) rig.display->addTraceDataBin(rig.trace.get(), c);
            }),
            0);
  EXPECT_GT(rig.display->plotPath().count(), 20);
}
