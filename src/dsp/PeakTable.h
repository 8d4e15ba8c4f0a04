#pragma once
// The highest peaks of a trace: a bench analyzer's peak table.
//
// A peak is a bin with power above zero that no bin within `separation`
// bins of it exceeds, that no bin before it within that distance equals (of
// a flat top, its first bin counts), and that rises above some bin within
// that distance on either side the trace has (so a flat floor has none).
// Two peaks are therefore always more than `separation` bins apart, and a
// sine's skirts and side lobes close to it are not peaks of their own. The
// neighbourhood reaches past the searched range, so a slope cut off by the
// span's edge is not a peak either.
//
// One pass over the range, plus an outward look from each candidate that
// stops at the first bin that beats it; no allocation, any thread that owns
// the values for the call.

struct PeakTable {
  static constexpr int kCapacity = 10;
  struct Entry {
    int bin = 0;
    float power = 0;  // the trace's units
  };
  int count = 0;
  Entry entries[kCapacity];  // highest first; of equal ones the lower bin first
};

// What a peak must be besides the highest bin of its neighbourhood, for a
// table a user reads: not the DC bin (bins below dcGuard), and above the trace around it by `margin` (a power ratio; 0
// asks nothing): above the mean power of the bins from `separation` to
// kFloorReach · separation away on both sides, so that the ripples of a
// tone's leakage and the peaks of noise, which rise only a few dB above
// their surroundings, are not listed. Nor is a peak more than `range` (a
// power ratio; 0 asks nothing) below the highest one: the rounding of
// single-precision arithmetic leaves spikes some 140 dB below a tone.
struct PeakRules {
  static constexpr int kFloorReach = 8;
  int dcGuard = 0;
  float margin = 0;
  float range = 0;
};

// Fills table with the kCapacity highest peaks among bins first … last
// (inclusive) of `bins` power values.
void findPeaks(const float* power, int bins, int first, int last, int separation, PeakTable& table,
               PeakRules rules = {}) noexcept;
