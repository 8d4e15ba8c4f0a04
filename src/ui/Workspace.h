#pragma once
// The user's workspace: opens web pages and documents in the applications
// the user chose for them. The Qt application installs its binding (ui/qt);
// without one nothing opens. Main thread only.

#include <string>

namespace ui {

class Workspace {
 public:
  virtual ~Workspace() = default;
  // True when the page was handed to an application.
  virtual bool openURL(const std::string& url) = 0;

  // The installed workspace, or null.
  static Workspace* instance();
  static void install(Workspace* workspace);
};

}  // namespace ui
