#include "dsp/PeakTable.h"

#include <algorithm>

namespace {

// No bin within `separation` of k beats it (higher anywhere, or equal
// before it), and on each side that has bins one of them lies lower.
bool dominates(const float* power, int bins, int k, int separation) noexcept {
  const float v = power[k];
  bool lowerLeft = k == 0, lowerRight = k == bins - 1;
  for (int d = 1; d <= separation; ++d) {
    const int left = k - d, right = k + d;
    if (left < 0 && right >= bins) break;
    if (left >= 0) {
      if (power[left] >= v) return false;
      lowerLeft = true;
    }
    if (right < bins) {
      if (power[right] > v) return false;
      lowerRight = lowerRight || power[right] < v;
    }
  }
  return lowerLeft && lowerRight;
}

// The mean power of the bins more than `separation` and at most
// kFloorReach · separation away from k, on the sides the trace has; 0 when
// there are none.
float surroundingMean(const float* power, int bins, int k, int separation) noexcept {
  const int reach = PeakRules::kFloorReach * separation;
  double sum = 0;
  int count = 0;
  for (int j = std::max(k - reach, 0); j < k - separation; ++j, ++count) sum += power[j];
  for (int j = k + separation + 1; j <= std::min(k + reach, bins - 1); ++j, ++count) sum += power[j];
  return count > 0 ? static_cast<float>(sum / count) : 0.0f;
}

}  // namespace

void findPeaks(const float* power, int bins, int first, int last, int separation, PeakTable& table,
               PeakRules rules) noexcept {
  table.count = 0;
  first = std::max(first, 0);
  last = std::min(last, bins - 1);
  if (!power || first > last) return;
  separation = std::max(separation, 1);
  constexpr int kFull = PeakTable::kCapacity;
  for (int k = first; k <= last; ++k) {
    const float v = power[k];
    // Only a bin that would enter the table is looked at more closely; the
    // first test also turns away zeros and NaN.
    if (!(v > 0) || (table.count == kFull && !(v > table.entries[kFull - 1].power))) continue;
    // Bin 0 has half the weight of the others (DC has no image): beside it,
    // a constant's lobe is compared with its full weight.
    const float below = k == 1 ? 2 * power[0] : k > 0 ? power[k - 1] : 0.0f;
    if ((k > 0 && below >= v) || (k + 1 < bins && power[k + 1] > v)) continue;
    if (k < rules.dcGuard || !dominates(power, bins, k, separation)) continue;
    if (rules.margin > 0 && !(v >= rules.margin * surroundingMean(power, bins, k, separation))) continue;
    // Insert in order; bins come in ascending order, so an equal value
    // already in the table keeps its place before this one.
    int i = std::min(table.count, kFull - 1);
    while (i > 0 && table.entries[i - 1].power < v) {
      table.entries[i] = table.entries[i - 1];
      --i;
    }
    table.entries[i] = PeakTable::Entry{k, v};
    if (table.count < kFull) ++table.count;
  }
  if (rules.range > 0 && table.count > 0) {
    const float lowest = table.entries[0].power * rules.range;
    while (table.count > 1 && table.entries[table.count - 1].power < lowest) --table.count;
  }
}
