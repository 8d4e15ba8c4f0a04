#pragma once
// The Qt application of a command that only draws images (the command line's
// --png): on the offscreen platform whatever the environment says, so no
// display is needed, with Qt's notes about the desktop it lacks kept quiet
// (its errors still reach standard error). Numbers keep their decimal point.

#include <QtCore/qlogging.h>

#include <memory>

class QApplication;

class HeadlessApplication {
 public:
  HeadlessApplication();
  ~HeadlessApplication();
  HeadlessApplication(const HeadlessApplication&) = delete;
  HeadlessApplication& operator=(const HeadlessApplication&) = delete;

 private:
  char program_[7] = "specan";
  char platformOption_[10] = "-platform";
  char platform_[10] = "offscreen";
  char* argv_[4] = {program_, platformOption_, platform_, nullptr};
  int argc_ = 3;
  QtMessageHandler previousHandler_ = nullptr;
  std::unique_ptr<QApplication> application_;
};
