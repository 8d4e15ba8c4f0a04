#pragma once
// Controls with nothing behind them: the toolkit-neutral controls as plain
// values, for running the controller where no toolkit runs (the command
// line's analysis of sound files) and wherever a control only has to hold
// a value. Each also has the user's side (pick, enter, click, press, move,
// choose), which changes the control and runs its action as a person's
// change would; a change made in code runs nothing, as with every control.
//
// Main thread only, like every control.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ui/Controls.h"

namespace ui {

class PlainPopUpButton : public PopUpButton {
 public:
  PlainPopUpButton() = default;
  // Builds the menu from (title, tag) pairs and selects the first item.
  explicit PlainPopUpButton(const std::vector<MenuItem>& items) {
    auto built = std::make_shared<Menu>();
    for (const MenuItem& item : items) built->addItem(item.title, item.tag);
    setMenu(built);
  }
  // The user picks the item at index (-1 or out of range: none).
  void pick(int index) { userSelectedIndex(index); }
  // The user picks the item with that title or tag; false, and nothing
  // runs, when the menu has none.
  bool pickTitle(const std::string& title) {
    const int index = indexOfItemWithTitle(title);
    if (index >= 0) userSelectedIndex(index);
    return index >= 0;
  }
  bool pickTag(int tag) {
    const int index = indexOfItemWithTag(tag);
    if (index >= 0) userSelectedIndex(index);
    return index >= 0;
  }
};

class PlainSlider : public Slider {
 public:
  void move(double value) { userMovedTo(value); }
};

class PlainTextField : public TextField {
 public:
  PlainTextField() = default;
  explicit PlainTextField(std::string text) { setStringValue(std::move(text)); }
  // The user ends an edit with this text.
  void enter(std::string text) { userEntered(std::move(text)); }
};

class PlainCheckbox : public Checkbox {
 public:
  PlainCheckbox() = default;
  explicit PlainCheckbox(int state) { setState(state); }
  // The user toggles the box.
  void click() { userSetState(isOn() ? 0 : 1); }
};

class PlainButton : public Button {
 public:
  PlainButton() = default;
  explicit PlainButton(std::string title) { setTitle(std::move(title)); }
  void press() { userPressed(); }
};

class PlainMatrix : public Matrix {
 public:
  PlainMatrix(int rows, int columns, std::vector<std::string> titles = {})
      : Matrix(rows, columns, std::move(titles)) {}
  void pick(int row, int column) { userSelected(row, column); }
};

class PlainColorWell : public ColorWell {
 public:
  PlainColorWell() = default;
  explicit PlainColorWell(const Color& color) { setColor(color); }
  void choose(const Color& color) { userChose(color); }
};

// A popover that only knows whether it is shown.
class PlainPopover : public Popover {
 public:
  bool isShown() const override { return shown_; }
  void showRelativeTo(Control*) override { shown_ = true; }
  void close() override { shown_ = false; }

 private:
  bool shown_ = false;
};

}  // namespace ui
