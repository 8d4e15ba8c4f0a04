// The plot's fractional-octave bands: their levels from the live trace, the
// bars on the screen, dashed where a band is narrower than the RBW can
// read, and no allocation once they are configured.

#include <gtest/gtest.h>

#include <cmath>

#include "display/DisplayTestSupport.h"
#include "support/AllocationCounter.h"

namespace {

// 20 Hz – 20 kHz of a 16384-bin trace at 48 kHz, RBW 10 Hz, log axis.
struct BandsRig : PlotRig {
  BandsRig() : PlotRig(900, 500, 20, 20000, 16384, 48000) {
    shared.axisScale = display::AxisScale::logarithmic;
    display->setCallbacks({[] {}, [] { return false; }, {}});
  }
};

}  // namespace

// White noise reads its density times the band's width, in every band wide
// enough for the RBW; the 1 kHz third octave is 231.6 Hz wide (G^(±1/6)).
TEST(DisplayBands, WhiteNoiseReadsTheBandsWidthAndNarrowBandsAreDashed) {
  BandsRig rig;
  const double rbw = 10;
  const double density = 1e-6;  // mean square per Hz
  // Every bin of white noise reads density · RBW.
  for (int k = 0; k < rig.trace->bins; ++k)
    rig.trace->averaged[k] = static_cast<float>(density * rbw * rig.trace->bins * rig.trace->bins);
  rig.shared.bands = 3;
  rig.showTrace();
  ASSERT_TRUE(rig.display->showsBands());
  const auto& bands = rig.display->bandAnalysis().bands();
  const auto& levels = rig.display->bandLevels();
  ASSERT_EQ(bands.size(), levels.size());
  int resolved = 0, unresolved = 0;
  for (std::size_t i = 0; i < bands.size(); ++i) {
    if (rig.display->bandAnalysis().resolved(static_cast<int>(i))) {
      ++resolved;
      EXPECT_NEAR(10 * std::log10(levels[i]), 10 * std::log10(density * (bands[i].upper - bands[i].lower)), 0.1)
          << bands[i].label;
    } else {
      ++unresolved;
      EXPECT_LT(bands[i].upper - bands[i].lower, 3 * rbw) << bands[i].label;
    }
  }
  EXPECT_GT(resolved, 15);
  EXPECT_GT(unresolved, 3);  // 20 … 80 Hz
  // The span's overall level: density times 19980 Hz.
  EXPECT_NEAR(10 * std::log10(rig.display->overallLevel()), 10 * std::log10(density * 19980), 0.1);

  // The 1 kHz bar: filled up to its level, nothing of it above.
  const QImage image = rig.render();
  std::size_t k = 0;
  while (k < bands.size() && bands[k].nominal != 1000) ++k;
  ASSERT_LT(k, bands.size());
  const double x = (rig.display->xForFrequency(static_cast<float>(bands[k].lower)) +
                    rig.display->xForFrequency(static_cast<float>(bands[k].upper))) / 2;
  const double top = rig.display->yForValue(static_cast<float>(levels[k] * 16384.0 * 16384.0)) - rig.display->yOffset();
  const QColor inside = image.pixelColor(static_cast<int>(x), rig.rowOf(top - 10));
  const QColor above = image.pixelColor(static_cast<int>(x), rig.rowOf(top + 10));
  EXPECT_GT(inside.red(), 40) << "a red-tinted bar on black";
  EXPECT_LT(above.red(), 10) << "black above the bar";

  // Off again: no bands.
  rig.shared.bands = 0;
  rig.display->measurementsChanged();
  EXPECT_FALSE(rig.display->showsBands());
}

TEST(DisplayBands, TheBandsOfATraceAllocateNothingOnceConfigured) {
  BandsRig rig;
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-50 + (k % 5));
  rig.shared.bands = 3;
  rig.shared.treatment = {1, 0};
  rig.display->measurementsChanged();
  rig.showTrace();
  testsupport::AllocationScope scope;
  rig.showTrace();
  EXPECT_EQ(scope.allocations(), 0u);
}
