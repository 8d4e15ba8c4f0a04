#include "app/DisplayView.h"

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
