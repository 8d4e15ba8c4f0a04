#include "display/Display.h"

namespace display {

PolylinePath::PolylinePath(int capacity, float width) : lineWidth(width), points_(static_cast<size_t>(capacity)) {}

void PolylinePath::moveTo(double x, double y) {
  count_ = 0;
  lineTo(x, y);
}

void PolylinePath::lineTo(double x, double y) {
  // The storage is sized for every column the view can have; a point beyond
  // it would be off the plot anyway.
  if (count_ >= static_cast<int>(points_.size())) return;
  points_[static_cast<size_t>(count_++)] = QPointF(x, y);
}

}  // namespace display
