#include "app/window/PreferencesDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStandardPaths>
#include <QDir>
#include <QVBoxLayout>
#include <memory>

#include "app/controller/InterfaceDefaults.h"

using ui::qt::QtCheckbox;
using ui::qt::QtColorWell;
using ui::qt::QtPopUpButton;
using ui::qt::QtTextField;

namespace {

// A first-launch colour for every well, in the order of PreferencesDialog::Well.
static_assert(interface_defaults::kColorWells.size() == PreferencesDialog::kWellCount);

// Where exported images go until the user says otherwise: the desktop's
// Pictures folder when it has one, else the home folder.
std::string firstExportPrefix() {
  const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (pictures.isEmpty() || !QDir(pictures).exists() || QDir(pictures) == QDir::home())
    return interface_defaults::kExportNamePrefix;
  return QDir(pictures).filePath(QStringLiteral("spectrum")).toStdString();
}

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
      const interface_defaults::ColorWellDefault& well = interface_defaults::kColorWells[static_cast<size_t>(i)];
      static_cast<ui::ColorWell&>(*wells_[i]).setColor(well.color);
      form->addRow(QString::fromUtf8(well.label), wells_[i]);
    }
    into->addWidget(group);
  };
  addWells(QStringLiteral("Screen colours"), kWindowBackground, kPrintBackground, colors);
  addWells(QStringLiteral("Print colours"), kPrintBackground, kWellCount, colors);

  auto* exportGroup = new QGroupBox(QStringLiteral("Export and print"), this);
  auto* form = new QFormLayout(exportGroup);
  widthField_ = makeField(interface_defaults::kPrintWidth, 70, exportGroup);
  heightField_ = makeField(interface_defaults::kPrintHeight, 70, exportGroup);
  formatPopup_ = new QtPopUpButton(exportGroup);
  {
    auto menu = std::make_shared<ui::Menu>();
    int tag = 0;
    for (const char* format : interface_defaults::kImageFormats) menu->addItem(format, tag++);
    ui::PopUpButton& popup = *formatPopup_;
    popup.setMenu(menu);
    popup.selectItemAtIndex(0);
  }
  namePrefixField_ = makeField(firstExportPrefix().c_str(), 280, exportGroup);
  namePrefixField_->setToolTip(
      QStringLiteral("The folder and the start of the name of exported images; ~ is your home folder."));
  displayColorsCheckbox_ = new QtCheckbox(QStringLiteral("Use display colours for printing"), exportGroup);
  borderCheckbox_ = new QtCheckbox(QStringLiteral("Border"), exportGroup);
  static_cast<ui::Checkbox&>(*displayColorsCheckbox_).setState(interface_defaults::kUseDisplayColorsForPrinting);
  static_cast<ui::Checkbox&>(*borderCheckbox_).setState(interface_defaults::kPrintBorder);
  form->addRow(QStringLiteral("Width (points)"), widthField_);
  form->addRow(QStringLiteral("Height (points)"), heightField_);
  form->addRow(QStringLiteral("Image format"), formatPopup_);
  form->addRow(QStringLiteral("File name prefix"), namePrefixField_);
  form->addRow(displayColorsCheckbox_);
  form->addRow(borderCheckbox_);
  layout->addWidget(exportGroup);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  // Return in a field ends the editing, not the dialog.
  for (QAbstractButton* button : buttons->buttons())
    if (auto* push = qobject_cast<QPushButton*>(button)) push->setAutoDefault(false);
  layout->addWidget(buttons);
}
