#pragma once
// A slider with a value between its minimum and maximum (0 to 1 unless set);
// its action runs when the user moves it. Main thread only.

#include <algorithm>

#include "ui/Control.h"

namespace ui {

class Slider : public Control {
 public:
  double doubleValue() const { return value_; }
  float floatValue() const { return static_cast<float>(value_); }
  // Values outside the range are pinned to its nearer end; a NaN gives the
  // minimum.
  void setDoubleValue(double value) {
    value_ = clamp(value);
    updateView();
  }
  void setFloatValue(float value) { setDoubleValue(value); }

  double minValue() const { return min_; }
  double maxValue() const { return max_; }
  // Sets the range (a reversed pair is swapped) and pins the value into it.
  void setRange(double min, double max) {
    if (max < min) std::swap(min, max);
    min_ = min;
    max_ = max;
    value_ = clamp(value_);
    updateView();
  }
  void setMinValue(double min) { setRange(min, std::max(min, max_)); }
  void setMaxValue(double max) { setRange(std::min(min_, max), max); }

 protected:
  Slider() = default;
  // For bindings and fakes: the user moved the slider to value.
  void userMovedTo(double value) {
    value_ = clamp(value);
    sendAction();
  }

 private:
  double clamp(double value) const {
    if (!(value >= min_)) return min_;
    return std::min(value, max_);
  }
  double value_ = 0.0;
  double min_ = 0.0;
  double max_ = 1.0;
};

}  // namespace ui
