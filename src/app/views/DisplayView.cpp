#include "app/views/DisplayView.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>

#include "ui/WindowFrame.h"
#include "ui/qt/QtControls.h"

void DisplayView::setWindowBackgroundColor(const ui::Color& color) {
  if (!window_) return;
  QPalette palette = window_->palette();
  palette.setColor(QPalette::Window, ui::qt::toQColor(color));
  // Labels stay readable on a dark or a light background.
  const float luminance = 0.2126f * color.red + 0.7152f * color.green + 0.0722f * color.blue;
  palette.setColor(QPalette::WindowText, luminance < 0.5f ? Qt::white : Qt::black);
  window_->setPalette(palette);
  window_->setAutoFillBackground(true);
}

void DisplayView::makeKeyAndOrderFront() {
  if (!window_) return;
  window_->show();
  window_->raise();
  window_->activateWindow();
}

namespace {

ui::FrameRect toFrame(const QRect& r) { return ui::FrameRect{double(r.x()), double(r.y()), double(r.width()), double(r.height())}; }

ui::ScreenLayout screenLayout() {
  ui::ScreenLayout layout;
  const QList<QScreen*> screens = QGuiApplication::screens();
  for (QScreen* screen : screens) {
    layout.screens.push_back({toFrame(screen->geometry()), toFrame(screen->availableGeometry())});
    if (screen == QGuiApplication::primaryScreen()) layout.primary = static_cast<int>(layout.screens.size()) - 1;
  }
  return layout;
}

}  // namespace

std::string DisplayView::windowFrameString() const {
  if (!window_) return std::string(ui::kDefaultWindowFrame);
  // A maximised or full-screen window keeps the frame it returns to.
  const QRect frame = window_->isMaximized() || window_->isFullScreen() ? window_->normalGeometry() : window_->geometry();
  QScreen* screen = window_->screen();
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect screenRect = screen ? screen->geometry() : QRect(0, 0, 1680, 1028);
  return ui::windowFrameString(toFrame(frame), toFrame(screenRect), screenLayout());
}

void DisplayView::setWindowFrameFromString(const std::string& frame) {
  if (!window_) return;
  const ui::FrameRect r = ui::windowFrameFromString(frame, screenLayout());
  window_->setGeometry(static_cast<int>(std::lround(r.x)), static_cast<int>(std::lround(r.y)),
                       static_cast<int>(std::lround(r.width)), static_cast<int>(std::lround(r.height)));
}
