#pragma once
// A popover: a small transient panel of controls shown beside the control
// that opened it. Main thread only.

#include "ui/Control.h"

namespace ui {

class Popover {
 public:
  virtual ~Popover() = default;
  virtual bool isShown() const = 0;
  // Shows the popover next to anchor's bounds, preferring anchor's right
  // edge; without an anchor, where the toolkit chooses.
  virtual void showRelativeTo(Control* anchor) = 0;
  virtual void close() = 0;
};

}  // namespace ui
