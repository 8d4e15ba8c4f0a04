#include "ui/Menu.h"

namespace ui {

void Menu::removeAllItems() {
  items_.clear();
  ++revision_;
}

int Menu::addItem(std::string title, int tag) {
  items_.push_back(MenuItem{std::move(title), tag});
  ++revision_;
  return numberOfItems() - 1;
}

void Menu::removeItemAt(int index) {
  if (index < 0 || index >= numberOfItems()) return;
  items_.erase(items_.begin() + index);
  ++revision_;
}

void Menu::setItemTitle(int index, std::string title) {
  if (index < 0 || index >= numberOfItems()) return;
  items_[static_cast<std::size_t>(index)].title = std::move(title);
  ++revision_;
}

void Menu::setItemTag(int index, int tag) {
  if (index < 0 || index >= numberOfItems()) return;
  items_[static_cast<std::size_t>(index)].tag = tag;
  ++revision_;
}

const MenuItem* Menu::itemAt(int index) const {
  if (index < 0 || index >= numberOfItems()) return nullptr;
  return &items_[static_cast<std::size_t>(index)];
}

const MenuItem* Menu::itemWithTag(int tag) const { return itemAt(indexOfItemWithTag(tag)); }

const MenuItem* Menu::itemWithTitle(const std::string& title) const { return itemAt(indexOfItemWithTitle(title)); }

int Menu::indexOfItemWithTitle(const std::string& title) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].title == title) return static_cast<int>(i);
  return -1;
}

int Menu::indexOfItemWithTag(int tag) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].tag == tag) return static_cast<int>(i);
  return -1;
}

}  // namespace ui
