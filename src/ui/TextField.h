#pragma once
// A single-line text field; its action runs when the user ends an edit
// (Return or leaving the field). Main thread only.

#include <string>

#include "ui/Control.h"

namespace ui {

class TextField : public Control {
 public:
  const std::string& stringValue() const { return text_; }
  void setStringValue(std::string text) {
    text_ = std::move(text);
    updateView();
  }

  // The number the text begins with, after leading blanks: "12.5 Hz" gives
  // 12.5, "-3e2" gives -300. Text that begins with no number, and NaN or
  // infinity spelled out, give 0, so a field never hands out a value that is
  // not a finite number; numbers beyond the type's range give its largest
  // value. Independent of the process locale.
  float floatValue() const;
  double doubleValue() const { return parseDouble(text_); }
  // The integer the text begins with ("12.7" gives 12), pinned to the int
  // range; 0 when it begins with none.
  int intValue() const { return parseInt(text_); }

  // Shows the value formatted "%g"; intValue as "%d".
  void setFloatValue(float value);
  void setIntValue(int value);

  static double parseDouble(const std::string& text);
  static int parseInt(const std::string& text);

 protected:
  TextField() = default;
  // For bindings: the user's typing, without sending the action.
  void userTyped(std::string text) { text_ = std::move(text); }
  // For bindings and fakes: the user ended an edit with this text.
  void userEntered(std::string text) {
    text_ = std::move(text);
    sendAction();
  }

 private:
  std::string text_;
};

}  // namespace ui
