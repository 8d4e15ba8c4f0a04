#pragma once
// The window shapes the spectrum engine offers, their names and their tags.
//
// A shape's value is its number wherever a window is kept as one: the window
// menu's tags, the settings file and the engine's configuration, so the
// flat-top's item has tag 3 and the seven-term Blackman–Harris's tag 4. A
// number outside 0 … 4 stands for the Gaussian.
// No Qt, no state; any thread.

#include <optional>
#include <string_view>

enum class WindowShape : int { Blackman = 0, Gaussian = 1, Hann = 2, FlatTop = 3, BlackmanHarris7 = 4 };

// The shape a window menu's tag stands for: 0 … 4 as above, any other number
// the Gaussian (as the engine treats an unknown type).
constexpr WindowShape windowShapeForTag(int tag) noexcept {
  return tag >= 0 && tag <= 4 ? static_cast<WindowShape>(tag) : WindowShape::Gaussian;
}

// The shape's name as the command line spells it: "blackman", "gaussian",
// "hann", "flattop", "blackman-harris-7" (as the option names make of the
// window menu's titles).
constexpr const char* windowShapeName(WindowShape shape) noexcept {
  switch (shape) {
    case WindowShape::Blackman:
      return "blackman";
    case WindowShape::Hann:
      return "hann";
    case WindowShape::FlatTop:
      return "flattop";
    case WindowShape::BlackmanHarris7:
      return "blackman-harris-7";
    default:
      return "gaussian";
  }
}

// The shape of a name (exactly as windowShapeName spells it), or none.
constexpr std::optional<WindowShape> windowShapeNamed(std::string_view name) noexcept {
  for (WindowShape shape : {WindowShape::Blackman, WindowShape::Gaussian, WindowShape::Hann, WindowShape::FlatTop,
                            WindowShape::BlackmanHarris7})
    if (name == windowShapeName(shape)) return shape;
  return std::nullopt;
}
