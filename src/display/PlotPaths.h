#pragma once
// The plot's paths: a polyline whose storage is allocated once, the trace
// path through the detected columns, and the bar that says the whole trace
// lies outside the plot. Points are in view points (y up).

#include <QPointF>
#include <vector>

#include "display/PlotGeometry.h"

namespace display {

// A polyline with storage allocated once, so that rebuilding the trace path
// for every new trace does not allocate.
class PolylinePath {
 public:
  explicit PolylinePath(int capacity = 0, float lineWidth = 1.0f);
  void removeAllPoints() { count_ = 0; }
  void moveTo(double x, double y);  // starts the path
  void lineTo(double x, double y);  // extends it
  bool isEmpty() const { return count_ == 0; }
  int count() const { return count_; }
  const QPointF* points() const { return points_.data(); }
  const QPointF& point(int i) const { return points_[static_cast<size_t>(i)]; }
  int capacity() const { return static_cast<int>(points_.size()); }

  float lineWidth = 1.0f;
  std::vector<float> dashPattern;  // in points; empty = solid

 private:
  std::vector<QPointF> points_;
  int count_ = 0;
};

// The highest and lowest y (before the yOffset shift) of a trace path's
// points, its last point left out.
struct PathExtent {
  float smallest = 1000;
  float largest = 0;
};

// The path through values[first … last − 1], one point per column.
PathExtent buildTracePath(PolylinePath& path, const PlotGeometry& geometry, const float* values, int first, int last);

// The out-of-range bar over columns first … last: the whole trace lies near
// or below the bottom or above the reference line. Left empty otherwise.
void buildOutOfRangeBar(PolylinePath& bar, const PlotGeometry& geometry, const PathExtent& extent, int first,
                        int last);

}  // namespace display
