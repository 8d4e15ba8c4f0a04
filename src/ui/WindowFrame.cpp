#include "ui/WindowFrame.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace ui {
namespace {

// The smallest window worth opening, and a bound on any stored coordinate.
constexpr double kMinimumSide = 100.0;
constexpr double kLargestCoordinate = 1.0e6;

FrameRect primaryGeometry(const ScreenLayout& layout) {
  if (layout.screens.empty()) return FrameRect{0, 0, 1680, 1028};
  const int index = layout.primary >= 0 && layout.primary < static_cast<int>(layout.screens.size()) ? layout.primary : 0;
  return layout.screens[static_cast<std::size_t>(index)].geometry;
}

const ScreenLayout::Screen* primaryScreen(const ScreenLayout& layout) {
  if (layout.screens.empty()) return nullptr;
  const int index = layout.primary >= 0 && layout.primary < static_cast<int>(layout.screens.size()) ? layout.primary : 0;
  return &layout.screens[static_cast<std::size_t>(index)];
}

// Up to eight numbers separated by blanks; empty when the string holds fewer
// than four or anything that is not a finite number of sensible size.
std::optional<std::vector<double>> parseNumbers(std::string_view text) {
  std::vector<double> numbers;
  std::size_t i = 0;
  while (numbers.size() < 8) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size()) break;
    double value = 0;
    const char* begin = text.data() + i;
    const auto parsed = std::from_chars(begin, text.data() + text.size(), value);
    if (parsed.ec != std::errc() || !std::isfinite(value) || std::fabs(value) > kLargestCoordinate) return std::nullopt;
    numbers.push_back(value);
    i += static_cast<std::size_t>(parsed.ptr - begin);
  }
  if (numbers.size() < 4) return std::nullopt;
  return numbers;
}

bool sameRect(const FrameRect& a, const FrameRect& b) {
  return std::fabs(a.x - b.x) < 0.5 && std::fabs(a.y - b.y) < 0.5 && std::fabs(a.width - b.width) < 0.5 &&
         std::fabs(a.height - b.height) < 0.5;
}

// Pulls frame into area: no larger than it, and wholly inside it.
FrameRect fitInto(FrameRect frame, const FrameRect& area) {
  frame.width = std::min(frame.width, area.width);
  frame.height = std::min(frame.height, area.height);
  frame.x = std::clamp(frame.x, area.x, area.x + area.width - frame.width);
  frame.y = std::clamp(frame.y, area.y, area.y + area.height - frame.height);
  return frame;
}

}  // namespace

std::string windowFrameString(const FrameRect& window, const FrameRect& screen, const ScreenLayout& layout) {
  const double primaryHeight = primaryGeometry(layout).height;
  const double windowUp = primaryHeight - (window.y + window.height);
  const double screenUp = primaryHeight - (screen.y + screen.height);
  char text[160];
  std::snprintf(text, sizeof text, "%.0f %.0f %.0f %.0f %.0f %.0f %.0f %.0f ", window.x, windowUp, window.width,
                window.height, screen.x, screenUp, screen.width, screen.height);
  return text;
}

FrameRect firstWindowFrame(const ScreenLayout& layout) {
  const ScreenLayout::Screen* screen = primaryScreen(layout);
  const FrameRect area = screen ? screen->available : primaryGeometry(layout);
  // The fixed frame's size as a floor: a small screen gets that much, as
  // far as it holds it.
  const std::vector<double> fixed = *parseNumbers(kDefaultWindowFrame);
  FrameRect window;
  window.width = std::round(std::max(area.width * kFirstWindowShare, fixed[2]));
  window.height = std::round(std::max(area.height * kFirstWindowShare, fixed[3]));
  window.x = std::round(area.x + (area.width - window.width) / 2);
  window.y = std::round(area.y + (area.height - window.height) / 2);
  return fitInto(window, area);
}

FrameRect windowFrameFromString(std::string_view frame, const ScreenLayout& layout) {
  std::optional<std::vector<double>> numbers = parseNumbers(frame);
  if (!numbers || (*numbers)[2] < 1.0 || (*numbers)[3] < 1.0) return firstWindowFrame(layout);
  const std::vector<double>& n = *numbers;
  const double primaryHeight = primaryGeometry(layout).height;
  // The stored screen in the toolkit's coordinates; without one, the
  // frame is taken as placed on the primary screen.
  FrameRect storedScreen = primaryGeometry(layout);
  if (n.size() >= 8 && n[6] >= 1.0 && n[7] >= 1.0)
    storedScreen = FrameRect{n[4], primaryHeight - (n[5] + n[7]), n[6], n[7]};

  const ScreenLayout::Screen* target = nullptr;
  for (const ScreenLayout::Screen& screen : layout.screens)
    if (sameRect(screen.geometry, storedScreen)) target = &screen;

  FrameRect window{n[0], 0, std::max(n[2], kMinimumSide), std::max(n[3], kMinimumSide)};
  if (target) {
    window.y = primaryHeight - (n[1] + n[3]);
  } else {
    // Another desktop: the same distance from the top left corner, on the
    // primary screen.
    target = primaryScreen(layout);
    const FrameRect origin = target ? target->geometry : FrameRect{};
    const double storedTop = n.size() >= 8 ? n[5] + n[7] : primaryHeight;
    window.x = origin.x + (n[0] - (n.size() >= 8 ? n[4] : 0.0));
    window.y = origin.y + (storedTop - (n[1] + n[3]));
  }
  if (!target) return window;
  return fitInto(window, target->available);
}

}  // namespace ui
