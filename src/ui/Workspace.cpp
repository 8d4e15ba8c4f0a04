#include "ui/Workspace.h"

#include "ui/Panels.h"

namespace ui {

namespace {
Workspace* installedWorkspace = nullptr;
Panels* installedPanels = nullptr;
}  // namespace

Workspace* Workspace::instance() { return installedWorkspace; }
void Workspace::install(Workspace* workspace) { installedWorkspace = workspace; }

Panels* Panels::instance() { return installedPanels; }
void Panels::install(Panels* panels) { installedPanels = panels; }

}  // namespace ui
