#include "endpoints/SweepPlan.h"

#include <algorithm>
#include <cmath>

#include "endpoints/Sweep.h"

namespace sweep_plan {

int32_t pointGap(const Sweep& sweep, int32_t bin) {
  if (!(sweep.pointRatio > 0.0f)) return 1;
  const double gap = std::round(static_cast<double>(sweep.pointRatio) * std::max(bin, 1));
  return static_cast<int32_t>(std::clamp(gap, 1.0, 1.0e6));
}

int32_t risingStep(const Sweep& sweep, int32_t bin) {
  return std::min(pointGap(sweep, bin), std::max(sweep.maxStepBins, 1));
}

bool jumpsAfter(const Sweep& sweep, int32_t bin) {
  if (!(sweep.pointRatio > 0.0f)) return false;
  const int32_t gap = pointGap(sweep, bin);
  const int32_t step = std::max(sweep.maxStepBins, 1);
  const int32_t risingSpectra = (gap + step - 1) / step;
  return risingSpectra > sweep.settleSpectra + 1;
}

int32_t nextBin(const Sweep& sweep, int32_t bin) {
  const int32_t next = bin + (jumpsAfter(sweep, bin) ? pointGap(sweep, bin) : risingStep(sweep, bin));
  // The span's upper edge is measured whatever the step.
  return bin < sweep.rightBin ? std::min(next, sweep.rightBin) : next;
}

int32_t binBefore(const Sweep& sweep, int32_t bin, int32_t spectra, int32_t lowest) {
  if (!(sweep.pointRatio > 0.0f)) return std::max(lowest, bin - spectra);
  // Going down by the step at the bin itself goes back at least as far as
  // the sweep came up: the steps only grow with the frequency.
  for (int32_t k = 0; k < spectra && bin > lowest; ++k) bin -= risingStep(sweep, bin);
  return std::max(lowest, bin);
}

bool settled(Sweep& sweep, float power) {
  if (sweep.confirmations <= 0) return true;
  const float before = sweep.heldReading;
  sweep.heldReading = power;
  const bool agree = before > 0.0f && power > 0.0f &&
                     std::fabs(10.0 * std::log10(static_cast<double>(power) / before)) <= kSettledDb;
  if (agree || --sweep.confirmations <= 0) {
    sweep.confirmations = 0;
    return true;
  }
  return false;
}

void tune(Sweep& sweep, bool jumped) {
  sweep.holdSpectra = 0;
  sweep.confirmations = 0;
  sweep.heldReading = -1.0f;
  if (!(sweep.pointRatio > 0.0f)) {
    sweep.leadBins = sweep.leadSpectra;
    sweep.hertzPerSecond = sweep.binHertzPerSecond;
    return;
  }
  if (jumped) {
    sweep.leadBins = 0.0f;
    sweep.hertzPerSecond = 0.0f;
    sweep.holdSpectra = sweep.settleSpectra;
    sweep.confirmations = kConfirmations;
    return;
  }
  // The tone at the centre of a spectrum's window is the one played
  // leadSpectra spectra before it is taken: it leads by the bins the sweep
  // rises in that many spectra, at the speed of the step it has reached.
  const float lead = sweep.leadSpectra;
  if (lead < 0.0f) {
    // A window shorter than the hop and a short loop: the tone trails.
    const int32_t step = risingStep(sweep, sweep.currentBin);
    sweep.leadBins = lead * static_cast<float>(step);
    sweep.hertzPerSecond = sweep.binHertzPerSecond * static_cast<float>(step);
    return;
  }
  const int whole = static_cast<int>(std::min(lead, 4096.0f));
  int32_t bin = sweep.currentBin;
  for (int k = 0; k < whole; ++k) bin += risingStep(sweep, bin);
  const int32_t step = risingStep(sweep, bin);
  sweep.leadBins = static_cast<float>(bin - sweep.currentBin) + (lead - static_cast<float>(whole)) * static_cast<float>(step);
  sweep.hertzPerSecond = sweep.binHertzPerSecond * static_cast<float>(step);
}

}  // namespace sweep_plan
