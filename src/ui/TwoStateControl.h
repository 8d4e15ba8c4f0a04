#pragma once
// A control with an on/off state and a title: what a push button and a
// checkbox have in common. Main thread only.

#include <string>

#include "ui/Control.h"

namespace ui {

class TwoStateControl : public Control {
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
  TwoStateControl() = default;
  // The user's change: takes the state and runs the action.
  void setStateByUser(int state) {
    state_ = state != 0 ? 1 : 0;
    sendAction();
  }

 private:
  int state_ = 0;
  std::string title_;
};

}  // namespace ui
