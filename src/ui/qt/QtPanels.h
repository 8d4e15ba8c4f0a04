#pragma once
// The panels on Qt: the desktop's file dialogs and a warning box, each
// modal over the application's active window.

#include "ui/Panels.h"

namespace ui::qt {

class QtPanels final : public Panels {
 public:
  std::optional<std::string> runSavePanel(const std::string& title, const std::string& proposedName,
                                          const std::string& filter) override;
  std::optional<std::string> runOpenPanel(const std::string& title, const std::string& proposedName,
                                          const std::string& filter) override;
  void showAlert(const std::string& message, const std::string& detail) override;
};

}  // namespace ui::qt
