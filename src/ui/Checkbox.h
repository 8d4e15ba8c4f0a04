#pragma once
// A checkbox, on (1) or off (0); its action runs when the user toggles it.
// Main thread only.

#include "ui/TwoStateControl.h"

namespace ui {

class Checkbox : public TwoStateControl {
 protected:
  Checkbox() = default;
  // For bindings and fakes: the user set the box on or off.
  void userSetState(int state) { setStateByUser(state); }
};

}  // namespace ui
