#include "ui/PopUpButton.h"

namespace ui {

void PopUpButton::setMenu(std::shared_ptr<Menu> menu) {
  menu_ = menu ? std::move(menu) : std::make_shared<Menu>();
  selected_ = menu_->numberOfItems() > 0 ? 0 : -1;
  updateView();
}

void PopUpButton::removeAllItems() {
  menu_->removeAllItems();
  selected_ = -1;
  updateView();
}

void PopUpButton::addItemWithTitle(const std::string& title) {
  int existing = menu_->indexOfItemWithTitle(title);
  if (existing >= 0) {
    int selected = indexOfSelectedItem();
    menu_->removeItemAt(existing);
    selected_ = selected == existing ? -1 : (selected > existing ? selected - 1 : selected);
  }
  menu_->addItem(title, 0);
  if (indexOfSelectedItem() < 0) selected_ = 0;
  updateView();
}

std::string PopUpButton::itemTitleAtIndex(int index) const {
  const MenuItem* item = menu_->itemAt(index);
  return item ? item->title : std::string();
}

void PopUpButton::selectItemWithTitle(const std::string& title) {
  selected_ = menu_->indexOfItemWithTitle(title);
  updateView();
}

bool PopUpButton::selectItemWithTag(int tag) {
  int index = menu_->indexOfItemWithTag(tag);
  if (index < 0) return false;
  selected_ = index;
  updateView();
  return true;
}

void PopUpButton::selectItemAtIndex(int index) {
  selected_ = index >= 0 && index < menu_->numberOfItems() ? index : -1;
  updateView();
}

int PopUpButton::indexOfSelectedItem() const {
  return selected_ >= 0 && selected_ < menu_->numberOfItems() ? selected_ : -1;
}

int PopUpButton::selectedTag() const {
  const MenuItem* item = selectedItem();
  return item ? item->tag : -1;
}

std::string PopUpButton::titleOfSelectedItem() const {
  const MenuItem* item = selectedItem();
  return item ? item->title : std::string();
}

}  // namespace ui
