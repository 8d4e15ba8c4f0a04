#include "display/PlotPaths.h"

#include <algorithm>

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

PathExtent buildTracePath(PolylinePath& path, const PlotGeometry& geometry, const float* values, int first, int last) {
  PathExtent extent;
  const float yOffset = geometry.yOffset();
  for (int column = first; column < last; ++column) {
    const float y = geometry.yForValue(values[column]);
    const double x = geometry.x0() + column;
    if (column == first) {
      path.moveTo(x, y - yOffset);
    } else {
      path.lineTo(x, y - yOffset);
    }
    if (column < last - 1) {
      extent.smallest = std::min(extent.smallest, y);
      extent.largest = std::max(extent.largest, y);
    }
  }
  return extent;
}

void buildOutOfRangeBar(PolylinePath& bar, const PlotGeometry& geometry, const PathExtent& extent, int first,
                        int last) {
  const double py = geometry.plotBounds().y();
  if (extent.largest < py + 30 || extent.smallest > geometry.scale().top - 1) {
    const double yb = extent.largest < py + 32 ? py + 10 : py + geometry.plotBounds().height() - 10;
    const float x0 = geometry.x0();
    bar.moveTo(x0 + first + 1.2, yb);
    bar.lineTo(x0 + last - 1.2, yb);
  }
}

}  // namespace display
