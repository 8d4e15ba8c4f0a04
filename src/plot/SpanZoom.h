#pragma once
// Zooming and panning the plot's span with the mouse and the keyboard, as
// arithmetic on the span alone: the wheel zooms around the frequency under
// the pointer, a drag moves the span, and the result always lies inside the
// band the input can show (0 … fs/2) and is never narrower than the
// narrowest span the controller accepts.

namespace display {

struct SpanEdges {
  double lower = 0;  // Hz
  double upper = 0;  // Hz
  bool operator==(const SpanEdges&) const = default;
};

struct SpanLimits {
  double lowest = 0;          // Hz, the band's lower edge
  double highest = 0;         // Hz, fs/2
  double narrowest = 10;      // Hz, the controller's smallest span
};

// One wheel step zooms in by this factor (a step back out by its inverse).
inline constexpr double kZoomStep = 0.8;
// An arrow key moves the span by this share of its width.
inline constexpr double kPanStep = 0.1;

// The span zoomed by `factor` (below 1 narrows it) around `anchor` Hz,
// which stays at the same place on the plot; within the limits, where an
// edge that would leave the band stops at it and the span keeps its width
// as far as the band allows.
SpanEdges zoomedSpan(SpanEdges span, double anchor, double factor, const SpanLimits& limits);

// The span moved by `shift` Hz, its width kept, stopped at the band's edges.
SpanEdges pannedSpan(SpanEdges span, double shift, const SpanLimits& limits);

// The same on a logarithmic axis, in ratios: zoomed by `factor` of its
// width in octaves around `anchor`, or moved by `octaves` of its own width
// in octaves times `share` (a pan of share 0.1 moves it by a tenth of the
// plot). The axis starts no lower than `lowest` Hz (its first bin above
// 0 Hz); the span stays at least the narrowest in hertz.
SpanEdges zoomedLogSpan(SpanEdges span, double anchor, double factor, const SpanLimits& limits, double lowest);
SpanEdges pannedLogSpan(SpanEdges span, double share, const SpanLimits& limits, double lowest);

// The whole band.
inline SpanEdges fullSpan(const SpanLimits& limits) { return {limits.lowest, limits.highest}; }

}  // namespace display
