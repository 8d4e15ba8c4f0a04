#pragma once
// The spectrogram's colour maps: a level's share of the shown dB range
// (0 at the bottom, 1 at the top) as a 32-bit colour 0xAARRGGBB (opaque),
// the layout of QImage::Format_RGB32 and ARGB32 on every byte order, so a
// row of them is drawn as it is. Viridis is perceptually uniform (equal
// steps of level look like equal steps of colour, and its lightness alone
// orders the levels in grey print); the grey map runs from black to white.
// Plain arithmetic, any thread; the tables are built on first use.

#include <array>
#include <cstdint>

namespace display {

enum class ColorMap : int { viridis = 0, grey = 1 };

inline constexpr int kColorMapEntries = 256;
using ColorTable = std::array<uint32_t, kColorMapEntries>;

// The map's 256 colours, entry 0 for the bottom of the range.
const ColorTable& colorTable(ColorMap map);

// "viridis", "grey".
const char* colorMapName(ColorMap map);

}  // namespace display
