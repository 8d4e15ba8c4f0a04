#pragma once
// Every toolkit-neutral control in one include. The Qt widgets behind them
// are in ui/qt/QtControls.h; tests use the in-memory fakes of
// tests/ui/fakes/FakeControls.h (include "ui/fakes/FakeControls.h").

#include "ui/Button.h"
#include "ui/Checkbox.h"
#include "ui/Color.h"
#include "ui/ColorWell.h"
#include "ui/Control.h"
#include "ui/Matrix.h"
#include "ui/Menu.h"
#include "ui/PopUpButton.h"
#include "ui/Popover.h"
#include "ui/Slider.h"
#include "ui/TextField.h"
