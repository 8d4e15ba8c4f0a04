#pragma once
// An on/off push button with a title: each press by the user flips its state
// and runs its action. Main thread only.

#include <string>

#include "ui/Control.h"

namespace ui {

class Button : public Control {
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
  Button() = default;
  // For bindings and fakes: the user pressed the button.
  void userPressed() {
    state_ = state_ != 0 ? 0 : 1;
    sendAction();
  }

 private:
  int state_ = 0;
  std::string title_;
};

}  // namespace ui
