#include "ui/qt/QtPanels.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace ui::qt {
namespace {

QString proposedPath(const std::string& name) {
  const QString file = QString::fromStdString(name);
  return QFileInfo(file).isAbsolute() ? file : QDir::current().filePath(file);
}

std::optional<std::string> chosen(const QString& path) {
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

}  // namespace

std::optional<std::string> QtPanels::runSavePanel(const std::string& title, const std::string& proposedName,
                                                  const std::string& filter) {
  return chosen(QFileDialog::getSaveFileName(QApplication::activeWindow(), QString::fromStdString(title),
                                             proposedPath(proposedName), QString::fromStdString(filter)));
}

std::optional<std::string> QtPanels::runOpenPanel(const std::string& title, const std::string& proposedName,
                                                  const std::string& filter) {
  return chosen(QFileDialog::getOpenFileName(QApplication::activeWindow(), QString::fromStdString(title),
                                             proposedPath(proposedName), QString::fromStdString(filter)));
}

void QtPanels::showAlert(const std::string& message, const std::string& detail) {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("SpecAn"), QString::fromStdString(message), QMessageBox::Ok,
                  QApplication::activeWindow());
  box.setInformativeText(QString::fromStdString(detail));
  box.exec();
}

}  // namespace ui::qt
