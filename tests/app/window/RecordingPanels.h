#pragma once
// The panels for the window's tests, installed while they live: the save
// panel answers with `answer` (none: cancelled), the open panel is always
// cancelled, and alerts are kept as "message: detail".

#include <optional>
#include <string>
#include <vector>

#include "ui/Panels.h"

struct RecordingPanels final : ui::Panels {
  RecordingPanels() { ui::Panels::install(this); }
  ~RecordingPanels() override { ui::Panels::install(nullptr); }
  std::optional<std::string> runSavePanel(const std::string&, const std::string&, const std::string&) override {
    return answer;
  }
  std::optional<std::string> runOpenPanel(const std::string&, const std::string&, const std::string&) override {
    return std::nullopt;
  }
  void showAlert(const std::string& message, const std::string& detail) override {
    alerts.push_back(message + ": " + detail);
  }

  std::optional<std::string> answer;
  std::vector<std::string> alerts;
};
