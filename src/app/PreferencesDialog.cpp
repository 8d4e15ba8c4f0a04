#include "app/PreferencesDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <memory>

using ui::qt::QtCheckbox;
using ui::qt::QtColorWell;
using ui::qt::QtPopUpButton;
using ui::qt::QtTextField;

namespace {

struct WellRow {
  const char* label;
  ui::Color color;  // at first launch
};

// In the order of PreferencesDialog::Well.
const WellRow kWellRows[PreferencesDialog::kWellCount] = {
    {"Window background", {0.22f, 0.22f, 0.24f, 1.0f}},
    {"Plot background", {0.0f, 0.0f, 0.0f, 1.0f}},
    {"Graticule", {0.45f, 0.45f, 0.45f, 1.0f}},
    {"Curve", {1.0f, 0.85f, 0.2f, 1.0f}},
    {"Captions", {0.85f, 0.85f, 0.85f, 1.0f}},
    {"Marker", {1.0f, 0.3f, 0.3f, 1.0f}},
    {"Reference trace", {0.3f, 0.7f, 1.0f, 1.0f}},
    {"Background", {1.0f, 1.0f, 1.0f, 1.0f}},
    {"Graticule", {0.6f, 0.6f, 0.6f, 1.0f}},
    {"Curve", {0.0f, 0.2f, 0.8f, 1.0f}},
    {"Captions", {0.0f, 0.0f, 0.0f, 1.0f}},
    {"Marker", {0.9f, 0.0f, 0.0f, 1.0f}},
    {"Reference trace", {0.0f, 0.6f, 0.2f, 1.0f}},
};

QtTextField* makeField(const char* text, int width, QWidget* parent) {
  auto* field = new QtTextField(parent);
  static_cast<ui::TextField&>(*field).setStringValue(text);
  field->setMaximumWidth(width);
  return field;
}

}  // namespace

PreferencesDialog::PreferencesDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Preferences"));
  setModal(false);

  auto* layout = new QVBoxLayout(this);
  auto* colors = new QHBoxLayout();
  layout->addLayout(colors);

  // Each group's wells, from the first to the one before the last.
  const auto addWells = [this](const QString& title, int first, int last, QBoxLayout* into) {
    auto* group = new QGroupBox(title, this);
    auto* form = new QFormLayout(group);
    for (int i = first; i < last; ++i) {
      wells_[i] = new QtColorWell(group);
      static_cast<ui::ColorWell&>(*wells_[i]).setColor(kWellRows[i].color);
      form->addRow(QString::fromUtf8(kWellRows[i].label), wells_[i]);
    }
    into->addWidget(group);
  };
  addWells(QStringLiteral("Screen colours"), kWindowBackground, kPrintBackground, colors);
  addWells(QStringLiteral("Print colours"), kPrintBackground, kWellCount, colors);

  auto* exportGroup = new QGroupBox(QStringLiteral("Export and print"), this);
  auto* form = new QFormLayout(exportGroup);
  widthField_ = makeField("800", 70, exportGroup);
  heightField_ = makeField("500", 70, exportGroup);
  formatPopup_ = new QtPopUpButton(exportGroup);
  {
    auto menu = std::make_shared<ui::Menu>();
    int tag = 0;
    for (const char* format : {"PNG", "JPEG", "TIFF"}) menu->addItem(format, tag++);
    ui::PopUpButton& popup = *formatPopup_;
    popup.setMenu(menu);
    popup.selectItemWithTitle("PNG");
  }
  namePrefixField_ = makeField("~/spectrum", 280, exportGroup);
  namePrefixField_->setToolTip(
      QStringLiteral("The folder and the start of the name of exported images; ~ is your home folder."));
  displayColorsCheckbox_ = new QtCheckbox(QStringLiteral("Use display colours for printing"), exportGroup);
  borderCheckbox_ = new QtCheckbox(QStringLiteral("Border"), exportGroup);
  static_cast<ui::Checkbox&>(*borderCheckbox_).setState(1);
  form->addRow(QStringLiteral("Width (points)"), widthField_);
  form->addRow(QStringLiteral("Height (points)"), heightField_);
  form->addRow(QStringLiteral("Image format"), formatPopup_);
  form->addRow(QStringLiteral("File name prefix"), namePrefixField_);
  form->addRow(displayColorsCheckbox_);
  form->addRow(borderCheckbox_);
  layout->addWidget(exportGroup);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}
