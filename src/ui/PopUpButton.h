#pragma once
// A pop-up button: shows a menu and has a selected item (index -1 when none);
// its action runs when the user picks an item. Main thread only.

#include <memory>
#include <string>

#include "ui/Control.h"
#include "ui/Menu.h"

namespace ui {

class PopUpButton : public Control {
 public:
  // The menu shown, never null. A menu set here is shared with whoever holds
  // it; a change made to it elsewhere shows the next time the binding looks.
  const std::shared_ptr<Menu>& menu() const { return menu_; }
  // Replaces the menu (nullptr means a new empty one) and selects its first
  // item, or nothing when it is empty.
  void setMenu(std::shared_ptr<Menu> menu);

  void removeAllItems();
  // Appends an item with that title and tag 0; an item that already has the
  // title is removed first, so titles stay unique. Adding to a pop-up without
  // a selection selects the first item.
  void addItemWithTitle(const std::string& title);
  int numberOfItems() const { return menu_->numberOfItems(); }
  std::string itemTitleAtIndex(int index) const;
  int indexOfItemWithTitle(const std::string& title) const { return menu_->indexOfItemWithTitle(title); }
  int indexOfItemWithTag(int tag) const { return menu_->indexOfItemWithTag(tag); }

  // Selects the item with that title; when there is none the pop-up ends
  // with no selection.
  void selectItemWithTitle(const std::string& title);
  // Selects the item with that tag and returns true; when there is none the
  // selection stays as it was and the result is false.
  bool selectItemWithTag(int tag);
  // Selects the item at index; -1 or an index out of range selects nothing.
  void selectItemAtIndex(int index);

  // -1 when nothing is selected (also when the menu shrank under the
  // selection).
  int indexOfSelectedItem() const;
  const MenuItem* selectedItem() const { return menu_->itemAt(indexOfSelectedItem()); }
  // Tag of the selected item, -1 when nothing is selected.
  int selectedTag() const;
  // Title of the selected item, empty when nothing is selected.
  std::string titleOfSelectedItem() const;

 protected:
  PopUpButton() : menu_(std::make_shared<Menu>()) {}
  // For bindings and fakes: the user picked the item at index.
  void userSelectedIndex(int index) {
    selected_ = index;
    sendAction();
  }

 private:
  std::shared_ptr<Menu> menu_;
  int selected_ = -1;
};

}  // namespace ui
