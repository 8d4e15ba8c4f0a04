// The analyzer's entry point: the application, its main thread, the
// controller and the main window; then the event loop.

#include <QApplication>

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "dsp/FFTPlanner.h"
#include "ui/qt/QtMainThread.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("SpecAn"));
  QApplication::setOrganizationDomain(QStringLiteral("specan.org"));

  ui::qt::QtMainThread mainThread;
  ui::MainThread::install(&mainThread);

  // Sizes without measured plans in the user's wisdom are measured in the
  // background and saved for the next start.
  FFTPlanner::setBackgroundPlanning(true);
  int status = 0;
  {
    AppDelegate app;
    MainWindow window(app);
    app.applicationDidFinishLaunching();
    status = QApplication::exec();
  }
  FFTPlanner::shutdown();
  return status;
}
