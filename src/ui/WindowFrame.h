#pragma once
// A window's frame as the settings keep it, and back. The stored string holds
// the window's x, y, width and height, then its screen's x, y, width and
// height, each followed by one space; y counts upwards from the bottom edge
// of the primary screen. The toolkit counts downwards from the top, so
// both directions convert here, with the screens the desktop has now.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// A rectangle in the toolkit's coordinates: origin at the top left of the
// primary screen, y growing downwards.
struct FrameRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const FrameRect&) const = default;
};

struct ScreenLayout {
  // Every screen's whole area and the part windows may use (without panels).
  struct Screen {
    FrameRect geometry;
    FrameRect available;
  };
  std::vector<Screen> screens;
  int primary = 0;  // index into screens
};

// The frame the settings keep for a window that has none yet.
inline constexpr std::string_view kDefaultWindowFrame = "180 403 692 469 0 0 1680 1028 ";

// The fraction of the primary screen's usable width and height a window
// takes when it opens without a stored frame.
inline constexpr double kFirstWindowShare = 2.0 / 3.0;

// The stored string of a window's frame on its screen.
std::string windowFrameString(const FrameRect& window, const FrameRect& screen, const ScreenLayout& layout);

// The window's frame for a stored string. A frame stored on a screen that is
// still there comes back exactly; on another desktop it keeps its distance
// from the top left corner of the primary screen. The result always lies on
// a screen, no larger than that screen's usable area; a string that holds no
// sensible frame (empty, not numbers, no or absurd size) gives the first
// window's frame.
FrameRect windowFrameFromString(std::string_view frame, const ScreenLayout& layout);

// A window opened without a stored frame: kFirstWindowShare of the primary
// screen's usable area each way, centred on it, so that a large screen gets
// a plot worth reading; never smaller than the fixed default frame allows.
FrameRect firstWindowFrame(const ScreenLayout& layout);

}  // namespace ui
