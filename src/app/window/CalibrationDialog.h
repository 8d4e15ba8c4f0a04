#pragma once
// The present input's calibration, opened from the Attenuator popover: its
// full-scale level, its microphone's sensitivity and calibration file, and
// a calibration from the signal now at the input ("The signal now at the
// input is 94.0 dB SPL", Measure). A view only: every value is the
// controller's, and every change goes through the controller's commands,
// which keep it per input device and channel. Non-modal; main thread.

#include <QDialog>

class AppDelegate;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class CalibrationDialog final : public QDialog {
 public:
  CalibrationDialog(AppDelegate& app, QWidget* parent);

  // Shows the present input's calibration afresh (each time it is shown).
  void refresh();

  // The controls, for the window's tests.
  QLineEdit* fullScaleField() { return fullScale_; }
  QLineEdit* sensitivityField() { return sensitivity_; }
  QLabel* fileLabel() { return file_; }
  QLineEdit* levelField() { return level_; }
  QComboBox* unitBox() { return unit_; }
  QPushButton* measureButton() { return measure_; }
  // What the last command said: a refusal and its reason, or what it did.
  QLabel* messageLabel() { return message_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void fullScaleEntered();
  void sensitivityEntered();
  void loadFile();
  void removeFile();
  void measure();
  void tell(const QString& text, bool refused);

  AppDelegate& app_;
  QLabel* input_ = nullptr;
  QLineEdit* fullScale_ = nullptr;
  QLineEdit* sensitivity_ = nullptr;
  QLabel* file_ = nullptr;
  QPushButton* removeFile_ = nullptr;
  QLineEdit* level_ = nullptr;
  QComboBox* unit_ = nullptr;
  QPushButton* measure_ = nullptr;
  QLabel* message_ = nullptr;
};
