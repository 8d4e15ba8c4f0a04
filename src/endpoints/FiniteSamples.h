#pragma once
// Samples the spectrum engine cannot take, stopped on their way to it: NaN,
// ±infinity, and finite ones so large (beyond ±kLargestSample) that the
// engine's float arithmetic turns them infinite. One of them makes every bin
// of each spectrum whose window holds it NaN or infinite and, through the
// running average, the trace for good. The inputs count them as non-finite
// samples, lost input like a drop-out's.
//
// What stands in for them: each becomes 0, so a few in a block cost the
// spectra that hold them only their own share of the power (one sample in a
// 16384-point window, well under 0.01 dB of a sine). Leaving the block out
// instead would splice the signal across the gap, and a sine's phase jump
// at the splice spreads its power into the neighbouring bins of every
// spectrum whose window holds it. A block of nothing but such samples is
// left out all the same (blockIsLost): it has nothing to measure, and its
// zeros would weigh in the average as silence the input never had.
//
// No allocation, no lock, no logging: for the inputs' block paths.

#include <cmath>
#include <cstdint>

namespace finite_samples {

// 160 dB over full scale: far beyond any real signal (a float file in the
// scale of 24-bit integers peaks at 8.4·10^6), and with the largest FFT
// (2^19 points) a bin's power stays six orders of magnitude below FLT_MAX.
constexpr float kLargestSample = 1e8f;

// What one copy met.
struct Count {
  int32_t samples = 0;    // non-finite samples, each now 0
  int32_t stretches = 0;  // runs of them that began in this copy
};

// Copies count samples from source to target (which may be source), each
// non-finite one as 0. inStretch says whether the sample before source[0]
// was non-finite, so that a run across two copies counts once; it is left
// saying the same of the last sample.
inline Count copy(float* target, const float* source, int32_t count, bool& inStretch) noexcept {
  Count found;
  for (int32_t i = 0; i < count; ++i) {
    const float sample = source[i];
    // False for NaN too.
    if (std::fabs(sample) <= kLargestSample) {
      target[i] = sample;
      inStretch = false;
      continue;
    }
    target[i] = 0.0f;
    ++found.samples;
    if (!inStretch) ++found.stretches;
    inStretch = true;
  }
  return found;
}

// A block whose samples were all non-finite: it is not analysed.
constexpr bool blockIsLost(int32_t nonFinite, int32_t blockLength) { return nonFinite >= blockLength; }

}  // namespace finite_samples
