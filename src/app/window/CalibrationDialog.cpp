#include "app/window/CalibrationDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/controller/AppDelegate.h"
#include "ui/Panels.h"

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

CalibrationDialog::CalibrationDialog(AppDelegate& app, QWidget* parent) : QDialog(parent), app_(app) {
  setWindowTitle(QStringLiteral("Input Calibration"));
  auto* layout = new QVBoxLayout(this);
  input_ = new QLabel(this);
  layout->addWidget(input_);

  auto* form = new QFormLayout();
  layout->addLayout(form);
  fullScale_ = new QLineEdit(this);
  fullScale_->setPlaceholderText(QStringLiteral("+4 dBu, 1.228 V, -10 dBV"));
  fullScale_->setToolTip(QStringLiteral("The RMS level of a full-scale sine at the input"));
  form->addRow(QStringLiteral("Full-scale level"), fullScale_);
  sensitivity_ = new QLineEdit(this);
  sensitivity_->setPlaceholderText(QStringLiteral("12.5 mV/Pa, -38 dBV/Pa"));
  sensitivity_->setToolTip(QStringLiteral("The microphone's sensitivity"));
  form->addRow(QStringLiteral("Sensitivity"), sensitivity_);
  auto* fileRow = new QHBoxLayout();
  file_ = new QLabel(this);
  auto* load = new QPushButton(QStringLiteral("Load…"), this);
  removeFile_ = new QPushButton(QStringLiteral("Remove"), this);
  fileRow->addWidget(file_, 1);
  fileRow->addWidget(load);
  fileRow->addWidget(removeFile_);
  form->addRow(QStringLiteral("Calibration file"), fileRow);

  auto* measureRow = new QHBoxLayout();
  measureRow->addWidget(new QLabel(QStringLiteral("The signal now at the input is"), this));
  level_ = new QLineEdit(QStringLiteral("94.0"), this);
  level_->setMaximumWidth(80);
  measureRow->addWidget(level_);
  unit_ = new QComboBox(this);
  for (dsp::LevelUnit unit : {dsp::LevelUnit::dBSPL, dsp::LevelUnit::pascal, dsp::LevelUnit::dBu,
                              dsp::LevelUnit::dBV, dsp::LevelUnit::volt})
    unit_->addItem(QString::fromUtf8(dsp::levelUnitName(unit)), static_cast<int>(unit));
  measureRow->addWidget(unit_);
  measure_ = new QPushButton(QStringLiteral("Measure"), this);
  measure_->setToolTip(QStringLiteral("Calibrates the input so that the highest peak of the span (or the span's "
                                      "level) reads this value"));
  measureRow->addWidget(measure_);
  layout->addLayout(measureRow);

  message_ = new QLabel(this);
  message_->setWordWrap(true);
  message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(message_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  layout->addWidget(buttons);

  connect(fullScale_, &QLineEdit::editingFinished, this, [this] { fullScaleEntered(); });
  connect(sensitivity_, &QLineEdit::editingFinished, this, [this] { sensitivityEntered(); });
  connect(load, &QPushButton::clicked, this, [this] { loadFile(); });
  connect(removeFile_, &QPushButton::clicked, this, [this] { removeFile(); });
  connect(measure_, &QPushButton::clicked, this, [this] { measure(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CalibrationDialog::showEvent(QShowEvent* event) {
  message_->clear();
  refresh();
  QDialog::showEvent(event);
}

void CalibrationDialog::refresh() {
  const std::string name = app_.presentInputName();
  input_->setText(name.empty() ? QStringLiteral("No input device") : QStringLiteral("Input: ") + text(name));
  for (QWidget* control : std::initializer_list<QWidget*>{fullScale_, sensitivity_, measure_})
    control->setEnabled(!name.empty());
  const AppDelegate::InputCalibrationRecord record = app_.presentCalibration();
  const std::optional<double> dBu = dsp::levelInUnit(0.5, dsp::LevelUnit::dBu, record.levels);
  fullScale_->setText(dBu ? text(dsp::formatLevel(*dBu, dsp::LevelUnit::dBu)) : QString());
  char sensitivity[48] = "";
  if (record.levels.voltsPerPascal)
    dsp::formatLinearLevel(sensitivity, sizeof sensitivity, *record.levels.voltsPerPascal, "V/Pa");
  sensitivity_->setText(QString::fromUtf8(sensitivity));
  file_->setText(record.calibrationFile.empty() ? QStringLiteral("none")
                                                : QFileInfo(text(record.calibrationFile)).fileName());
  file_->setToolTip(text(record.calibrationFile));
  removeFile_->setEnabled(!record.calibrationFile.empty());
}

void CalibrationDialog::tell(const QString& line, bool refused) {
  message_->setStyleSheet(refused ? QStringLiteral("color: #e04040") : QString());
  message_->setText(line);
}

void CalibrationDialog::fullScaleEntered() {
  const QString shown = fullScale_->text();
  refresh();
  if (shown == fullScale_->text()) return;  // unchanged
  std::string error;
  if (app_.setFullScaleLevel(shown.toStdString(), &error)) {
    refresh();
    tell(QStringLiteral("Full-scale level set."), false);
  } else {
    fullScale_->setText(shown);
    tell(QStringLiteral("The full-scale level was not changed: ") + text(error), true);
  }
}

void CalibrationDialog::sensitivityEntered() {
  const QString shown = sensitivity_->text();
  refresh();
  if (shown == sensitivity_->text()) return;
  std::string error;
  if (app_.setSensitivity(shown.toStdString(), &error)) {
    refresh();
    tell(QStringLiteral("Sensitivity set."), false);
  } else {
    sensitivity_->setText(shown);
    tell(QStringLiteral("The sensitivity was not changed: ") + text(error), true);
  }
}

void CalibrationDialog::loadFile() {
  ui::Panels* panels = ui::Panels::instance();
  const std::optional<std::string> path =
      panels ? panels->runOpenPanel("Load Calibration File", "",
                                    "Calibration files (*.txt *.cal *.frd *.csv);;All files (*)")
             : std::nullopt;
  if (!path) return;
  std::string error;
  if (app_.loadCalibrationFile(*path, &error))
    tell(QStringLiteral("Calibration file loaded."), false);
  else
    tell(QStringLiteral("The calibration file was refused: ") + text(error), true);
  refresh();
}

void CalibrationDialog::removeFile() {
  app_.removeCalibrationFile();
  refresh();
  tell(QStringLiteral("Calibration file removed."), false);
}

void CalibrationDialog::measure() {
  bool number = false;
  const double level = level_->text().trimmed().toDouble(&number);
  if (!number) {
    tell(QStringLiteral("Give the level of the signal at the input as a number."), true);
    return;
  }
  std::string error;
  if (app_.calibrateTo(level, static_cast<dsp::LevelUnit>(unit_->currentData().toInt()), &error)) {
    refresh();
    tell(QStringLiteral("Calibrated: the input now reads ") +
             text(dsp::formatLevel(level, static_cast<dsp::LevelUnit>(unit_->currentData().toInt()))) + ".",
         false);
  } else {
    tell(QStringLiteral("Not calibrated: ") + text(error), true);
  }
}
