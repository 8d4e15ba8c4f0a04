#pragma once
// A colour well: shows a colour and lets the user choose another; its action
// runs when the user has chosen one. Main thread only.

#include <algorithm>
#include <cmath>

#include "ui/Color.h"
#include "ui/Control.h"

namespace ui {

class ColorWell : public Control {
 public:
  const Color& color() const { return color_; }
  // Components are pinned to 0…1 (a NaN gives 0).
  void setColor(const Color& color) {
    color_ = pinned(color);
    updateView();
  }

 protected:
  ColorWell() = default;
  // For bindings and fakes: the user chose a colour.
  void userChose(const Color& color) {
    color_ = pinned(color);
    sendAction();
  }

 private:
  static float pin(float v) { return v >= 0.0f ? std::min(v, 1.0f) : 0.0f; }
  static Color pinned(const Color& c) { return Color{pin(c.red), pin(c.green), pin(c.blue), pin(c.alpha)}; }
  Color color_;
};

}  // namespace ui
