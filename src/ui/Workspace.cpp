#include "ui/Workspace.h"

namespace ui {

namespace {
Workspace* installed = nullptr;
}

Workspace* Workspace::instance() { return installed; }
void Workspace::install(Workspace* workspace) { installed = workspace; }

}  // namespace ui
