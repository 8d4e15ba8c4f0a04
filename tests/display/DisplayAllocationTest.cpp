// The per-trace work of the view on the main thread allocates nothing: every
// buffer is made when the view is created. Counted by replacing the global
// allocation functions of this test program.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "display/DisplayTestSupport.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

int allocationsDuring(const std::function<void()>& work) {
  allocations = 0;
  counting = true;
  work();
  counting = false;
  return allocations.load();
}

}  // namespace

TEST(DisplayAllocation, NormalAndSweepUpdatesAllocateNothing) {
  PlotRig rig(1849, 1073, 0, 24000, 262144, 48000);
  for (int k = 0; k < 262144; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-60 + (k % 7));
  rig.showTrace();  // the first trace sizes the date strings
  EXPECT_EQ(allocationsDuring([&] { rig.showTrace(); }), 0);
  ASSERT_EQ(rig.display->plotPath().count(), 1800);

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
