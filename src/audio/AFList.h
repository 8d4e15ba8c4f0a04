#pragma once
// The platform's audio devices usable in one direction, with a menu of their
// titles in the same order (item i belongs to device i). A sound card offers
// a copy of the menu in its device pop-up, so the pop-up's index is an index
// into the devices the copy was made from.
//
// Threads: the list is refreshed on the platform's notification thread while
// the main thread reads it. Devices and menu are kept together in one
// immutable snapshot that a refresh replaces as a whole under a short lock;
// a reader holds the snapshot it took (and with it every device in it) for
// as long as it needs, so no device is ever freed under a reader and devices
// and menu always agree.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/AFDevice.h"
#include "ui/Menu.h"

class AFList {
 public:
  using DeviceArray = std::vector<std::shared_ptr<AFDevice>>;

  // Devices and their menu as read by one refresh. Never changed once made.
  struct Snapshot {
    DeviceArray devices;
    std::shared_ptr<const ui::Menu> menu;
  };

  // Reads the devices of one direction now.
  explicit AFList(bool isInput = true);
  AFList(const AFList&) = delete;
  AFList& operator=(const AFList&) = delete;

  bool isInput() const { return isInput_; }

  // A new array of devices read from the platform now; the list itself is
  // not touched. Devices without a name or unique name are left out.
  DeviceArray getDeviceList() const;
  // Replaces devices and menu when the platform's list changed (other IDs or
  // another order); otherwise keeps the existing objects. Any thread.
  void refreshDeviceList();

  // The current devices and menu, consistent with each other. Any thread.
  std::shared_ptr<const Snapshot> snapshot() const;
  DeviceArray devices() const { return snapshot()->devices; }
  std::shared_ptr<const ui::Menu> menu() const { return snapshot()->menu; }
  // A new menu with the titles of the current menu (no tags).
  std::shared_ptr<ui::Menu> menuCopy() const { return menuCopyOf(*snapshot()); }
  static std::shared_ptr<ui::Menu> menuCopyOf(const Snapshot& snapshot);

  // The first device with that ID, or null.
  std::shared_ptr<AFDevice> deviceWithID(uint32_t deviceID) const;
  // The first device whose unique name or, failing that, name equals title;
  // devices are tried in list order. Null when none matches.
  std::shared_ptr<AFDevice> deviceWithName(const std::string& title) const;
  // The device the platform names as default for this direction, if listed.
  std::shared_ptr<AFDevice> defaultDevice() const;

 private:
  static std::shared_ptr<const Snapshot> makeSnapshot(DeviceArray devices);

  const bool isInput_;
  // Serialises whole refreshes, so that a refresh that read the platform
  // earlier never replaces the result of one that read it later. Readers
  // never take it.
  std::mutex refreshLock_;
  mutable std::mutex lock_;  // guards current_ (held only to copy or swap it)
  std::shared_ptr<const Snapshot> current_;
};
