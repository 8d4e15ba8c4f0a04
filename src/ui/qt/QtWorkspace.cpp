#include "ui/qt/QtWorkspace.h"

#include <QDesktopServices>
#include <QUrl>

namespace ui::qt {

bool QtWorkspace::openURL(const std::string& url) {
  return QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

}  // namespace ui::qt
