#pragma once
// The distortion readout's lines, as both views draw them at the plot's top
// right (below the peak table when it shows): the band, the sweep's points
// when there is a sweep, the fundamental,
// THD, THD+N, SINAD and SNR, the noise, and H2 … H10 each with its level
// relative to the fundamental and in the levels' unit, or "out of reach".
// With an intermodulation standard chosen: the standard, both tones, the
// IMD and each order relative to the standard's reference instead.
// Absolute levels take the reference level's offset as the marker's do;
// relative ones are the reading's own. Written into fixed buffers: drawing
// allocates nothing for them.

#include <array>

struct SharedData;

namespace display {

struct DistortionTexts {
  static constexpr int kLines = 16;
  static constexpr int kLength = 96;
  std::array<std::array<char, kLength>, kLines> lines{};
  int count = 0;
};

// The readout's lines from the shared state's latest reading: one line
// saying the readout waits for a fundamental while the reading is not valid.
void makeDistortionTexts(const SharedData& shared, DistortionTexts& texts);

}  // namespace display
