#include <gtest/gtest.h>

#include <cfloat>
#include <climits>

#include "ui/fakes/FakeControls.h"

using namespace ui;
using namespace ui::fakes;

namespace {

FakePopUpButton bandwidthLike() {
  return FakePopUpButton({{"1 Hz", 0}, {"10 Hz", 10}, {"100 Hz", 20}});
}

}  // namespace

TEST(PopUpButton, SelectionFollowsTitlesTagsAndIndexes) {
  FakePopUpButton popup = bandwidthLike();
  EXPECT_EQ(popup.indexOfSelectedItem(), 0);

  EXPECT_TRUE(popup.selectItemWithTag(20));
  EXPECT_EQ(popup.titleOfSelectedItem(), "100 Hz");
  // A tag the menu lacks keeps the selection.
  EXPECT_FALSE(popup.selectItemWithTag(7));
  EXPECT_EQ(popup.selectedTag(), 20);

  // A title the menu lacks clears it.
  popup.selectItemWithTitle("3 Hz");
  EXPECT_EQ(popup.indexOfSelectedItem(), -1);
  EXPECT_EQ(popup.selectedTag(), -1);
  EXPECT_EQ(popup.titleOfSelectedItem(), "");

  popup.selectItemAtIndex(1);
  EXPECT_EQ(popup.selectedTag(), 10);
  popup.selectItemAtIndex(3);
  EXPECT_EQ(popup.indexOfSelectedItem(), -1);
}

TEST(PopUpButton, AddingItemsKeepsTitlesUniqueAndSelectsTheFirst) {
  FakePopUpButton popup;
  EXPECT_EQ(popup.indexOfSelectedItem(), -1);
  popup.addItemWithTitle("44100");
  popup.addItemWithTitle("48000");
  EXPECT_EQ(popup.indexOfSelectedItem(), 0);
  popup.selectItemWithTitle("48000");
  popup.addItemWithTitle("44100");  // moves to the end, selection follows its item
  ASSERT_EQ(popup.numberOfItems(), 2);
  EXPECT_EQ(popup.itemTitleAtIndex(0), "48000");
  EXPECT_EQ(popup.itemTitleAtIndex(1), "44100");
  EXPECT_EQ(popup.titleOfSelectedItem(), "48000");

  popup.removeAllItems();
  EXPECT_EQ(popup.numberOfItems(), 0);
  EXPECT_EQ(popup.indexOfSelectedItem(), -1);
}

TEST(PopUpButton, SharedMenuChangesShowThroughThePopUp) {
  auto sources = std::make_shared<Menu>();
  sources->addItem("Line", 1);
  sources->addItem("Microphone", 2);
  FakePopUpButton popup;
  popup.setMenu(sources);
  popup.selectItemAtIndex(1);
  std::uint64_t before = sources->revision();
  sources->removeItemAt(1);  // the owner shrinks the menu under the selection
  EXPECT_GT(sources->revision(), before);
  EXPECT_EQ(popup.indexOfSelectedItem(), -1);
  EXPECT_EQ(popup.selectedItem(), nullptr);

  auto copy = sources->copy();
  copy->setItemTitle(0, "Other");
  EXPECT_EQ(sources->itemAt(0)->title, "Line");
}

TEST(Controls, CodeChangesNeverSendTheActionUserChangesDo) {
  int sent = 0;
  FakePopUpButton popup = bandwidthLike();
  FakeSlider slider;
  FakeTextField field;
  FakeCheckbox box;
  FakeButton button("Start");
  FakeMatrix matrix(1, 2);
  FakeColorWell well;
  for (Control* control : std::initializer_list<Control*>{&popup, &slider, &field, &box, &button, &matrix, &well})
    control->setInterface([&] { ++sent; });

  popup.selectItemAtIndex(2);
  slider.setDoubleValue(0.5);
  field.setStringValue("x");
  box.setState(1);
  button.setState(1);
  matrix.selectCell(0, 1);
  well.setColor({1, 0, 0, 1});
  EXPECT_EQ(sent, 0);
  EXPECT_GT(popup.updates + slider.updates + field.updates + box.updates + button.updates + matrix.updates +
                well.updates,
            6);

  popup.pick(1);
  slider.move(0.25);
  field.enter("12");
  box.click();
  button.press();
  matrix.pick(0, 0);
  well.choose({0, 1, 0, 1});
  EXPECT_EQ(sent, 7);
  EXPECT_EQ(popup.selectedTag(), 10);
  EXPECT_DOUBLE_EQ(slider.doubleValue(), 0.25);
  EXPECT_EQ(field.intValue(), 12);
  EXPECT_FALSE(box.isOn());
  EXPECT_FALSE(button.isOn());
  EXPECT_EQ(matrix.selectedColumn(), 0);
  EXPECT_EQ(well.color(), (Color{0, 1, 0, 1}));

  popup.setInterface({});
  popup.pick(0);
  EXPECT_EQ(sent, 7);
}

TEST(Controls, AnActionMayReplaceItself) {
  FakeButton button;
  int first = 0, second = 0;
  button.setInterface([&] {
    ++first;
    button.setInterface([&] { ++second; });
  });
  button.press();
  button.press();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

TEST(Controls, ValuesStayInTheirRanges) {
  FakeSlider slider;
  slider.setDoubleValue(1.5);
  EXPECT_DOUBLE_EQ(slider.doubleValue(), 1.0);
  slider.setDoubleValue(std::nan(""));
  EXPECT_DOUBLE_EQ(slider.doubleValue(), 0.0);
  slider.setRange(10, -10);  // reversed: swapped
  EXPECT_DOUBLE_EQ(slider.minValue(), -10);
  EXPECT_DOUBLE_EQ(slider.maxValue(), 10);
  slider.move(-20);
  EXPECT_DOUBLE_EQ(slider.doubleValue(), -10);

  FakeColorWell well;
  well.setColor({2.0f, -1.0f, 0.5f, std::nanf("")});
  EXPECT_EQ(well.color(), (Color{1.0f, 0.0f, 0.5f, 0.0f}));

  FakeMatrix matrix(1, 2);
  EXPECT_FALSE(matrix.selectCell(0, 2));
  matrix.pick(1, 0);
  EXPECT_EQ(matrix.selectedRow(), 0);
  EXPECT_EQ(matrix.selectedColumn(), 0);
}

TEST(TextField, NumbersAreReadFromTheStartOfTheText) {
  struct Case {
    const char* text;
    double number;
    int integer;
  };
  const Case cases[] = {
      {"12.5 Hz", 12.5, 12}, {"  -3e2", -300, -3}, {"+7", 7, 7},        {"", 0, 0},
      {"abc", 0, 0},         {"nan", 0, 0},        {"-inf", 0, 0},      {".5", 0.5, 0},
      {"1e999", 1.7976931348623157e308, 1}, {"1e-999", 0, 1}, {"99999999999", 99999999999.0, INT_MAX},
      {"-99999999999", -99999999999.0, INT_MIN},
  };
  for (const Case& c : cases) {
    FakeTextField field(c.text);
    EXPECT_DOUBLE_EQ(field.doubleValue(), c.number) << c.text;
    EXPECT_EQ(field.intValue(), c.integer) << c.text;
  }
  FakeTextField huge("-1e300");
  EXPECT_FLOAT_EQ(huge.floatValue(), -FLT_MAX);
  FakeTextField field;
  field.setFloatValue(0.5f);
  EXPECT_EQ(field.stringValue(), "0.5");
  field.setIntValue(-48000);
  EXPECT_EQ(field.stringValue(), "-48000");
}
