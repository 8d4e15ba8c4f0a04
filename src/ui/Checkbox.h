#pragma once
// A checkbox, on (1) or off (0); its action runs when the user toggles it.
// Main thread only.

#include <string>

#include "ui/Control.h"

namespace ui {

class Checkbox : public Control {
 public:
  int state() const { return state_; }
  bool isOn() const { return state_ != 0; }
  // Any value other than 0 means on.
  void setState(int state) {
    state_ = state != 0 ? 1 : 0;
    updateView();
  }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) {
    title_ = std::move(title);
    updateView();
  }

 protected:
  Checkbox() = default;
  // For bindings and fakes: the user set the box on or off.
  void userSetState(int state) {
    state_ = state != 0 ? 1 : 0;
    sendAction();
  }

 private:
  int state_ = 0;
  std::string title_;
};

}  // namespace ui
