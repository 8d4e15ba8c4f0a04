#include "app/headless/HeadlessApplication.h"

#include <QApplication>
#include <clocale>
#include <cstdio>

namespace {

void qtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) {
    std::fprintf(stderr, "specan: Qt: %s\n", message.toStdString().c_str());
    std::fflush(stderr);
  }
}

}  // namespace

HeadlessApplication::HeadlessApplication() {
  previousHandler_ = qInstallMessageHandler(qtMessage);
  application_ = std::make_unique<QApplication>(argc_, argv_);
  std::setlocale(LC_NUMERIC, "C");
}

HeadlessApplication::~HeadlessApplication() {
  application_.reset();
  qInstallMessageHandler(previousHandler_);
}
