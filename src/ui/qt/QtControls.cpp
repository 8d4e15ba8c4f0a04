#include "ui/qt/QtControls.h"

#include <QColorDialog>
#include <QGridLayout>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <algorithm>
#include <cmath>

namespace ui::qt {

QColor toQColor(const Color& color) {
  return QColor::fromRgbF(color.red, color.green, color.blue, color.alpha);
}

Color fromQColor(const QColor& color) {
  QColor rgb = color.toRgb();
  return Color{static_cast<float>(rgb.redF()), static_cast<float>(rgb.greenF()), static_cast<float>(rgb.blueF()),
               static_cast<float>(rgb.alphaF())};
}

// --- pop-up button

QtPopUpButton::QtPopUpButton(QWidget* parent) : QComboBox(parent) {
  connect(this, &QComboBox::activated, this, [this](int index) {
    userSelectedIndex(index);
    updateView();
  });
  updateView();
}

void QtPopUpButton::showPopup() {
  // The menu may have changed where the pop-up cannot see it (a device's
  // menu shared with it): fill the list afresh before showing it.
  updateView();
  QComboBox::showPopup();
}

void QtPopUpButton::updateView() {
  const QSignalBlocker blocker(this);
  const std::shared_ptr<Menu>& shown = menu();
  if (shown != shown_ || shown->revision() != shownRevision_) {
    clear();
    for (const MenuItem& item : shown->items()) addItem(QString::fromStdString(item.title), item.tag);
    shown_ = shown;
    shownRevision_ = shown->revision();
  }
  setCurrentIndex(indexOfSelectedItem());
  QWidget::setEnabled(PopUpButton::isEnabled());
}

// --- slider

QtSlider::QtSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
  QSlider::setRange(0, kSteps);
  connect(this, &QSlider::valueChanged, this, [this](int step) {
    userMovedTo(minValue() + (maxValue() - minValue()) * step / kSteps);
  });
  updateView();
}

void QtSlider::updateView() {
  const QSignalBlocker blocker(this);
  double span = maxValue() - minValue();
  double fraction = span > 0.0 ? (doubleValue() - minValue()) / span : 0.0;
  setValue(static_cast<int>(std::lround(fraction * kSteps)));
  QWidget::setEnabled(Slider::isEnabled());
}

// --- text field

QtTextField::QtTextField(QWidget* parent) : QLineEdit(parent) {
  connect(this, &QLineEdit::textEdited, this, [this](const QString& text) {
    userTyped(text.toStdString());
    edited_ = true;
  });
  // Return always ends an edit; leaving the field ends one only after typing.
  // Qt reports Return before the end of editing, so both come here once.
  connect(this, &QLineEdit::returnPressed, this, [this] { edited_ = true; });
  connect(this, &QLineEdit::editingFinished, this, [this] {
    if (!edited_) return;
    edited_ = false;
    userEntered(text().toStdString());
  });
  updateView();
}

void QtTextField::updateView() {
  const QSignalBlocker blocker(this);
  QString shown = QString::fromStdString(stringValue());
  if (text() != shown) setText(shown);
  QWidget::setEnabled(TextField::isEnabled());
}

// --- checkbox

QtCheckbox::QtCheckbox(const QString& title, QWidget* parent) : QCheckBox(title, parent) {
  Checkbox::setTitle(title.toStdString());
  connect(this, &QCheckBox::clicked, this, [this](bool checked) {
    userSetState(checked ? 1 : 0);
    updateView();
  });
}

void QtCheckbox::updateView() {
  const QSignalBlocker blocker(this);
  setChecked(isOn());
  setText(QString::fromStdString(Checkbox::title()));
  QWidget::setEnabled(Checkbox::isEnabled());
}

// --- on/off button

QtButton::QtButton(const QString& title, QWidget* parent, Kind kind) : QPushButton(title, parent) {
  setCheckable(kind == Kind::onOff);
  Button::setTitle(title.toStdString());
  connect(this, &QPushButton::clicked, this, [this] {
    if (isCheckable())
      userPressed();
    else
      sendAction();
    updateView();
  });
}

void QtButton::updateView() {
  const QSignalBlocker blocker(this);
  if (isCheckable()) setChecked(isOn());
  setText(QString::fromStdString(Button::title()));
  QWidget::setEnabled(Button::isEnabled());
}

// --- radio matrix

QtMatrix::QtMatrix(int rows, int columns, const std::vector<std::string>& titles, QWidget* parent)
    : QWidget(parent), Matrix(rows, columns, titles) {
  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  for (int row = 0; row < numberOfRows(); ++row) {
    for (int column = 0; column < numberOfColumns(); ++column) {
      auto* cell = new QRadioButton(QString::fromStdString(cellTitle(row, column)), this);
      group_.addButton(cell, row * numberOfColumns() + column);
      layout->addWidget(cell, row, column);
    }
  }
  group_.setExclusive(true);
  connect(&group_, &QButtonGroup::idClicked, this, [this](int id) {
    userSelected(id / numberOfColumns(), id % numberOfColumns());
    updateView();
  });
  updateView();
}

void QtMatrix::updateView() {
  const QSignalBlocker blocker(&group_);
  if (QAbstractButton* cell = group_.button(selectedRow() * numberOfColumns() + selectedColumn()))
    cell->setChecked(true);
  QWidget::setEnabled(Matrix::isEnabled());
}

// --- colour well

QtColorWell::QtColorWell(QWidget* parent) : QPushButton(parent) {
  setFixedSize(44, 22);
  // In a dialog a push button would be the default one, which Return in any
  // of the dialog's fields presses: a well opens its colour dialog only
  // when clicked.
  setAutoDefault(false);
  setDefault(false);
  connect(this, &QPushButton::clicked, this, [this] {
    QColor chosen = QColorDialog::getColor(toQColor(color()), this, QString(), QColorDialog::ShowAlphaChannel);
    if (!chosen.isValid()) return;
    userChose(fromQColor(chosen));
    updateView();
  });
  updateView();
}

void QtColorWell::updateView() {
  QColor shown = toQColor(color());
  setStyleSheet(QStringLiteral("QPushButton { background-color: rgba(%1, %2, %3, %4); border: 1px solid gray; }")
                    .arg(shown.red())
                    .arg(shown.green())
                    .arg(shown.blue())
                    .arg(shown.alpha()));
  QWidget::setEnabled(ColorWell::isEnabled());
}


// --- popover

QtPopover::QtPopover(QWidget* parent) : QFrame(parent, Qt::Popup) {
  setAttribute(Qt::WA_NoMouseReplay);
  setFrameShape(QFrame::StyledPanel);
}

void QtPopover::showRelativeTo(Control* anchor) {
  adjustSize();
  auto* widget = dynamic_cast<QWidget*>(anchor);
  if (widget) {
    QRect bounds(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    QPoint at(bounds.right() + 1, bounds.center().y() - height() / 2);
    if (QScreen* screen = widget->screen()) {
      QRect room = screen->availableGeometry();
      if (at.x() + width() > room.right()) at.setX(bounds.left() - width());  // no room on the right
      at.setY(std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() - height())));
    }
    move(at);
  }
  show();
}

}  // namespace ui::qt
