#pragma once
// A colour as the controls and the settings hold it: red, green, blue and
// alpha, each 0 to 1, in the sRGB space.

namespace ui {

struct Color {
  float red = 0.0f;
  float green = 0.0f;
  float blue = 0.0f;
  float alpha = 1.0f;

  bool operator==(const Color&) const = default;
};

}  // namespace ui
