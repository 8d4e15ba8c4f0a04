#pragma once
// The items and tags of the main window's pop-ups. The bandwidth tags
// are ten times log10 of the RBW in Hz; the window tags are the engine's
// window shapes (dsp/WindowShape.h), the
// detector tags the display's detector modes and the division tags dB per
// division.

#include <vector>

#include "dsp/LevelUnits.h"
#include "dsp/WindowShape.h"
#include "ui/Menu.h"

namespace interface_menus {

inline std::vector<ui::MenuItem> bandwidthItems() {
  return {{"1 Hz", 0},   {"3.16 Hz", 5}, {"10 Hz", 10}, {"31.6 Hz", 15},
          {"100 Hz", 20}, {"316 Hz", 25}, {"1 kHz", 30}};
}

inline std::vector<ui::MenuItem> windowItems() {
  const auto tag = [](WindowShape shape) { return static_cast<int>(shape); };
  return {{"Blackman", tag(WindowShape::Blackman)},
          {"Gaussian", tag(WindowShape::Gaussian)},
          {"Hann", tag(WindowShape::Hann)},
          {"Flattop", tag(WindowShape::FlatTop)},
          {"Blackman-Harris 7", tag(WindowShape::BlackmanHarris7)}};
}

inline std::vector<ui::MenuItem> detectorItems() {
  return {{"Average", 0}, {"Peak", 1}, {"Minimum", 2}, {"Rosenfell", 3}, {"Rosenfell average", 4}};
}

// Fractional-octave smoothing of the shown traces: tags are the fraction's
// denominator, 0 none.
inline std::vector<ui::MenuItem> smoothingItems() {
  return {{"Off", 0},          {"1/1 octave", 1},   {"1/2 octave", 2},   {"1/3 octave", 3},
          {"1/6 octave", 6},   {"1/12 octave", 12}, {"1/24 octave", 24}, {"1/48 octave", 48}};
}

// The fractional-octave bands drawn as bars: tags are the fraction's
// denominator, 0 none.
inline std::vector<ui::MenuItem> bandItems() {
  return {{"Off", 0}, {"1/1 octave", 1}, {"1/3 octave", 3}, {"1/6 octave", 6}, {"1/12 octave", 12}, {"1/24 octave", 24}};
}

// The frequency weighting of the shown traces: tags are dsp::Weighting.
inline std::vector<ui::MenuItem> weightingItems() { return {{"Z (none)", 0}, {"A", 1}, {"C", 2}}; }

// The frequency axis: tags are display::AxisScale.
// The units the levels read in: tags are dsp::LevelUnit, titles its names.
inline std::vector<ui::MenuItem> levelUnitItems() {
  std::vector<ui::MenuItem> items;
  for (int unit = static_cast<int>(dsp::LevelUnit::dB); unit <= static_cast<int>(dsp::LevelUnit::pascal); ++unit)
    items.push_back({dsp::levelUnitName(static_cast<dsp::LevelUnit>(unit)), unit});
  return items;
}

inline std::vector<ui::MenuItem> axisItems() { return {{"Linear", 0}, {"Logarithmic", 1}}; }
// The log sweep's lengths in samples, tagged with their log2.
inline std::vector<ui::MenuItem> logSweepLengthItems() {
  return {{"65536", 16}, {"131072", 17}, {"262144", 18}, {"524288", 19}, {"1048576", 20}};
}

// Tags: SharedData::SweptResponse::RightScale.
inline std::vector<ui::MenuItem> logSweepScaleItems() {
  return {{"Phase", 0}, {"Unwrapped phase", 1}, {"Group delay", 2}};
}

inline std::vector<ui::MenuItem> divisionItems() {
  return {{"1 dB/div", 1}, {"2 dB/div", 2}, {"5 dB/div", 5}, {"10 dB/div", 10}, {"20 dB/div", 20}};
}

}  // namespace interface_menus
