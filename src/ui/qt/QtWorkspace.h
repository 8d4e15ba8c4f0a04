#pragma once
// The workspace on Qt: pages open through QDesktopServices (xdg-open on a
// Linux desktop).

#include "ui/Workspace.h"

namespace ui::qt {

class QtWorkspace final : public Workspace {
 public:
  bool openURL(const std::string& url) override;
};

}  // namespace ui::qt
