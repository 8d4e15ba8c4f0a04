// The analyzer's entry point: the application, its main thread, the
// controller and the main window; then the event loop.

#include <QApplication>

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "ui/qt/QtMainThread.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("SpecAn"));
  QApplication::setOrganizationDomain(QStringLiteral("specan.org"));

  ui::qt::QtMainThread mainThread;
  ui::MainThread::install(&mainThread);

  AppDelegate app;
  MainWindow window(app);
  app.applicationDidFinishLaunching();
  return QApplication::exec();
}
