#pragma once
// Modal panels: choosing a file to save or to open, and telling the user
// that something went wrong. The Qt application installs its binding
// (ui/qt); without one every panel counts as cancelled and alerts go to the
// log. Main thread only.

#include <optional>
#include <string>

namespace ui {

class Panels {
 public:
  virtual ~Panels() = default;

  // The path the user chose, or empty when the panel was cancelled.
  // proposedName is the file name offered; filter names the files shown,
  // for example "Reference traces (*.xml)".
  virtual std::optional<std::string> runSavePanel(const std::string& title, const std::string& proposedName,
                                                  const std::string& filter) = 0;
  virtual std::optional<std::string> runOpenPanel(const std::string& title, const std::string& proposedName,
                                                  const std::string& filter) = 0;
  // A message in the window: what failed, and why.
  virtual void showAlert(const std::string& message, const std::string& detail) = 0;

  // The installed panels, or null.
  static Panels* instance();
  static void install(Panels* panels);
};

}  // namespace ui
