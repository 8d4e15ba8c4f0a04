#pragma once
// In-memory controls for tests: the toolkit-neutral controls with nothing
// behind them, plus the user's side of each (pick, type, press), which
// changes the control and runs its action as a person would. updates counts
// the changes made in code, as a binding would see them.
//
// Include as "ui/fakes/FakeControls.h"; link specan_ui.

#include <string>
#include <vector>

#include "ui/Controls.h"

namespace ui::fakes {

class FakePopUpButton final : public PopUpButton {
 public:
  FakePopUpButton() = default;
  // Builds the menu from (title, tag) pairs and selects the first item.
  explicit FakePopUpButton(const std::vector<MenuItem>& items) {
    auto built = std::make_shared<Menu>();
    for (const MenuItem& item : items) built->addItem(item.title, item.tag);
    setMenu(built);
  }
  void pick(int index) { userSelectedIndex(index); }
  bool pickTitle(const std::string& title) {
    int index = indexOfItemWithTitle(title);
    if (index >= 0) userSelectedIndex(index);
    return index >= 0;
  }
  bool pickTag(int tag) {
    int index = indexOfItemWithTag(tag);
    if (index >= 0) userSelectedIndex(index);
    return index >= 0;
  }
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeSlider final : public Slider {
 public:
  void move(double value) { userMovedTo(value); }
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeTextField final : public TextField {
 public:
  FakeTextField() = default;
  explicit FakeTextField(std::string text) { setStringValue(std::move(text)); }
  void enter(std::string text) { userEntered(std::move(text)); }
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeCheckbox final : public Checkbox {
 public:
  void click() { userSetState(isOn() ? 0 : 1); }
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeButton final : public Button {
 public:
  FakeButton() = default;
  explicit FakeButton(std::string title) { setTitle(std::move(title)); }
  void press() { userPressed(); }
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeMatrix final : public Matrix {
 public:
  FakeMatrix(int rows, int columns, std::vector<std::string> titles = {}) : Matrix(rows, columns, std::move(titles)) {}
  void pick(int row, int column) { userSelected(row, column); }
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

class FakeColorWell final : public ColorWell {
 public:
  FakeColorWell() = default;
  explicit FakeColorWell(const Color& color) { setColor(color); }
  void choose(const Color& color) { userChose(color); }
  int updates = 0;

 protected:
  void updateView() override { ++updates; }
};

}  // namespace ui::fakes
