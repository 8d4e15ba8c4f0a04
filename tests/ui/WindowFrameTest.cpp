#include <gtest/gtest.h>

#include <string>

#include "ui/WindowFrame.h"

using ui::FrameRect;
using ui::ScreenLayout;

namespace {

// A 1680 × 1050 laptop panel as the primary screen, with a 24-pixel top bar,
// and a 1920 × 1080 monitor to its right, set 200 pixels lower.
ScreenLayout twoScreens() {
  ScreenLayout layout;
  layout.screens.push_back({FrameRect{0, 0, 1680, 1050}, FrameRect{0, 24, 1680, 1026}});
  layout.screens.push_back({FrameRect{1680, 200, 1920, 1080}, FrameRect{1680, 200, 1920, 1080}});
  layout.primary = 0;
  return layout;
}

ScreenLayout oneScreen(double width, double height) {
  ScreenLayout layout;
  layout.screens.push_back({FrameRect{0, 0, width, height}, FrameRect{0, 0, width, height}});
  return layout;
}

}  // namespace

TEST(WindowFrame, AFrameComesBackWhereItWasOnEveryScreen) {
  const ScreenLayout layout = twoScreens();
  for (const auto& [window, screen] : {std::pair{FrameRect{100, 300, 692, 469}, layout.screens[0].geometry},
                                       std::pair{FrameRect{2000, 250, 800, 600}, layout.screens[1].geometry}}) {
    const std::string stored = ui::windowFrameString(window, screen, layout);
    EXPECT_EQ(ui::windowFrameFromString(stored, layout), window) << stored;
  }
  // y counts upwards from the bottom of the primary screen: a window whose
  // bottom edge is 50 pixels above it.
  EXPECT_EQ(ui::windowFrameString(FrameRect{10, 531, 400, 469}, layout.screens[0].geometry, layout),
            "10 50 400 469 0 0 1680 1050 ");
}

TEST(WindowFrame, TheDefaultFrameOpensAtTheSameDistanceFromTheTopLeftOnAnyDesktop) {
  // Stored on a 1680 × 1028 screen: 156 pixels below its top edge.
  EXPECT_EQ(ui::windowFrameFromString(ui::kDefaultWindowFrame, oneScreen(1680, 1028)), (FrameRect{180, 156, 692, 469}));
  EXPECT_EQ(ui::windowFrameFromString(ui::kDefaultWindowFrame, oneScreen(1920, 1080)), (FrameRect{180, 156, 692, 469}));
  // A screen too small for it: the window fits and stays on it.
  EXPECT_EQ(ui::windowFrameFromString(ui::kDefaultWindowFrame, oneScreen(800, 600)), (FrameRect{108, 131, 692, 469}));
}

// Without a stored frame the window takes two thirds of the primary screen's
// usable area each way, centred; a small screen still gets the fixed size.
TEST(WindowFrame, AFirstWindowUsesTwoThirdsOfTheScreen) {
  EXPECT_EQ(ui::windowFrameFromString("", oneScreen(1920, 1200)), (FrameRect{320, 200, 1280, 800}));
  EXPECT_EQ(ui::windowFrameFromString("", twoScreens()), (FrameRect{280, 195, 1120, 684}));
  EXPECT_EQ(ui::windowFrameFromString("", oneScreen(800, 600)), (FrameRect{54, 66, 692, 469}));
  EXPECT_EQ(ui::windowFrameFromString("", oneScreen(600, 400)), (FrameRect{0, 0, 600, 400}));
}

TEST(WindowFrame, FramesNoScreenShowsOrThatMakeNoSenseStillGiveAUsableWindow) {
  const ScreenLayout layout = twoScreens();
  const FrameRect primaryArea = layout.screens[0].available;
  const FrameRect byDefault = ui::firstWindowFrame(layout);
  for (const char* frame : {"", "garbage", "1 2 3", "100 100 0 0 0 0 1680 1050 ", "100 100 -5 400 0 0 1680 1050 ",
                            "nan 100 400 400 0 0 1680 1050 ", "100 100 inf 400 0 0 1680 1050 ",
                            "100 100 400 400 0 0 1e300 1050 "})
    EXPECT_EQ(ui::windowFrameFromString(frame, layout), byDefault) << frame;

  // Off every screen (a monitor that is gone): back onto the primary one.
  for (const char* frame : {"50000 300 692 469 0 0 1680 1050 ", "-3000 -2000 692 469 0 0 1680 1050 ",
                            "4000 300 692 469 3600 0 1920 1080 "}) {
    const FrameRect r = ui::windowFrameFromString(frame, layout);
    EXPECT_GE(r.x, primaryArea.x) << frame;
    EXPECT_GE(r.y, primaryArea.y) << frame;
    EXPECT_LE(r.x + r.width, primaryArea.x + primaryArea.width) << frame;
    EXPECT_LE(r.y + r.height, primaryArea.y + primaryArea.height) << frame;
    EXPECT_EQ(r.width, 692) << frame;
  }
  // Huge: as large as the screen's usable area, no larger.
  EXPECT_EQ(ui::windowFrameFromString("0 0 90000 90000 0 0 1680 1050 ", layout), primaryArea);
}
