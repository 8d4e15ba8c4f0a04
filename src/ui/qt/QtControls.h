#pragma once
// The Qt widgets behind the toolkit-neutral controls. Each binding is both
// the widget (owned by its Qt parent) and the ui control (handed by pointer
// to the controller, the sound cards and the endpoints). The control holds
// the state; the widget shows it and reports the user's changes.
//
// Through a pointer to the binding itself, names that the widget and the
// control share (setEnabled, setRange, ...) are ambiguous: use the ui
// control's interface (ui::PopUpButton& etc.) or qualify the call.

#include <QButtonGroup>
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QWidget>
#include <memory>

#include "ui/Controls.h"

namespace ui::qt {

QColor toQColor(const Color& color);
Color fromQColor(const QColor& color);

class QtPopUpButton final : public QComboBox, public PopUpButton {
 public:
  explicit QtPopUpButton(QWidget* parent = nullptr);
  void showPopup() override;

 protected:
  void updateView() override;

 private:
  std::shared_ptr<Menu> shown_;  // the menu the combo box was filled from
  std::uint64_t shownRevision_ = 0;
};

class QtSlider final : public QSlider, public Slider {
 public:
  explicit QtSlider(QWidget* parent = nullptr);
  static constexpr int kSteps = 10000;

 protected:
  void updateView() override;
};

class QtTextField final : public QLineEdit, public TextField {
 public:
  explicit QtTextField(QWidget* parent = nullptr);

 protected:
  void updateView() override;

 private:
  bool edited_ = false;
};

class QtCheckbox final : public QCheckBox, public Checkbox {
 public:
  explicit QtCheckbox(const QString& title, QWidget* parent = nullptr);

 protected:
  void updateView() override;
};

class QtButton final : public QPushButton, public Button {
 public:
  // An on/off button flips its state on each press; a momentary one (the
  // popover buttons) stays off and only runs its action.
  enum class Kind { onOff, momentary };
  explicit QtButton(const QString& title, QWidget* parent = nullptr, Kind kind = Kind::onOff);

 protected:
  void updateView() override;
};

// A grid of radio buttons, one per cell, titled row by row.
class QtMatrix final : public QWidget, public Matrix {
 public:
  QtMatrix(int rows, int columns, const std::vector<std::string>& titles, QWidget* parent = nullptr);

 protected:
  void updateView() override;

 private:
  QButtonGroup group_;
};

// A swatch button; pressing it opens the colour dialog (with alpha).
class QtColorWell final : public QPushButton, public ColorWell {
 public:
  explicit QtColorWell(QWidget* parent = nullptr);

 protected:
  void updateView() override;
};

// A popover: a frame with the Qt::Popup flag, so a click outside closes it.
// That click is not passed on, so pressing the button that opened it closes
// it rather than closing and reopening it.
class QtPopover final : public QFrame, public Popover {
 public:
  explicit QtPopover(QWidget* parent = nullptr);
  bool isShown() const override { return isVisible(); }
  void showRelativeTo(Control* anchor) override;
  void close() override { QFrame::close(); }
};

}  // namespace ui::qt
