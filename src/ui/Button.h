#pragma once
// An on/off push button with a title: each press by the user flips its state
// and runs its action. Main thread only.

#include "ui/TwoStateControl.h"

namespace ui {

class Button : public TwoStateControl {
 protected:
  Button() = default;
  // For bindings and fakes: the user pressed the button.
  void userPressed() { setStateByUser(isOn() ? 0 : 1); }
};

}  // namespace ui
