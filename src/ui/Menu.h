#pragma once
// An ordered list of items, each with a title and an integer tag. A menu is
// plain data: a device keeps its data-source menu, a device list its device
// menu, and a pop-up button shows one (shared, not copied, unless the owner
// hands it a copy). Main thread only, like the controls that show it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ui {

struct MenuItem {
  std::string title;
  int tag = 0;
};

class Menu {
 public:
  Menu() = default;
  explicit Menu(std::string title) : title_(std::move(title)) {}

  const std::string& title() const { return title_; }

  void removeAllItems();
  // Appends an item and returns its index.
  int addItem(std::string title, int tag = 0);
  // Removes the item at index; an index out of range does nothing.
  void removeItemAt(int index);
  void setItemTitle(int index, std::string title);
  void setItemTag(int index, int tag);

  int numberOfItems() const { return static_cast<int>(items_.size()); }
  // The item at index, or nullptr when index is out of range.
  const MenuItem* itemAt(int index) const;
  // The first item with that tag or title, or nullptr.
  const MenuItem* itemWithTag(int tag) const;
  const MenuItem* itemWithTitle(const std::string& title) const;
  // Index of the first item with that title or tag, -1 when there is none.
  int indexOfItemWithTitle(const std::string& title) const;
  int indexOfItemWithTag(int tag) const;
  const std::vector<MenuItem>& items() const { return items_; }

  // A new menu with the same title and items.
  std::shared_ptr<Menu> copy() const { return std::make_shared<Menu>(*this); }

  // Counts every change, so a view showing the menu can tell it is stale.
  std::uint64_t revision() const { return revision_; }

 private:
  std::string title_;
  std::vector<MenuItem> items_;
  std::uint64_t revision_ = 0;
};

}  // namespace ui
