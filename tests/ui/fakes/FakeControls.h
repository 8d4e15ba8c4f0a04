#pragma once
// In-memory controls for tests: the plain controls (ui/PlainControls.h), with
// the user's side of each (pick, type, press), plus updates, which counts
// the changes made in code, as a binding would see them.
//
// Include as "ui/fakes/FakeControls.h"; link specan_ui.

#include <string>
#include <vector>

#include "ui/PlainControls.h"

namespace ui::fakes {

class FakePopUpButton final : public PlainPopUpButton {
 public:
  using PlainPopUpButton::PlainPopUpButton;
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeSlider final : public PlainSlider {
 public:
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeTextField final : public PlainTextField {
 public:
  using PlainTextField::PlainTextField;
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeCheckbox final : public PlainCheckbox {
 public:
  using PlainCheckbox::PlainCheckbox;
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeButton final : public PlainButton {
 public:
  using PlainButton::PlainButton;
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeMatrix final : public PlainMatrix {
 public:
  using PlainMatrix::PlainMatrix;
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeColorWell final : public PlainColorWell {
 public:
  using PlainColorWell::PlainColorWell;
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

}  // namespace ui::fakes
