#pragma once
// One marker's computed position and readout, as the plot views keep it and
// the printed page and the command line's analysis read it, and the rule
// that turns a bin's power into the marker's level. A plain record: no
// toolkit here, so that a view that draws nothing can hold a marker.

#include <cmath>
#include <cstdint>

namespace display {

struct MarkerCache {
  // The marker types, which are also the tags of the plot's context menu.
  static constexpr int kBand = 0;
  static constexpr int kPeak = 1;
  static constexpr int kMinimum = 2;
  static constexpr int kPlain = 3;
  static constexpr int kNone = 255;

  int type = kNone;  // 0 band, 1 peak, 2 minimum, 255 none, anything else plain
  float frequency = 0;
  float lowerFrequency = 0;  // band marker only
  float upperFrequency = 0;  // band marker only
  float dB = 0;  // -80 for a bin without power
  float h = 0;  // x in view points
  float v = 0;  // y before the yOffset shift
  uint8_t valid = 0;
  uint8_t hasPower = 1;  // the marker's value is above 0: dB is a level

  // The level of a linear power value on a plot of the linear scale
  // refScale / bins²; -80 dB for a value without power.
  static float levelOf(float value, float linearScale) {
    return value > 0 ? static_cast<float>(10 * std::log10(static_cast<double>(value * linearScale))) : -80.0f;
  }
};

}  // namespace display
