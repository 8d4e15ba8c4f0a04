#include "audio/AFList.h"

#include "platform/audio/AudioHardware.h"

namespace pa = platform::audio;

AFList::AFList(bool isInput) : isInput_(isInput), current_(makeSnapshot({})) { refreshDeviceList(); }

AFList::DeviceArray AFList::getDeviceList() const {
  DeviceArray devices;
  pa::AudioObjectPropertyAddress a{pa::kAudioHardwarePropertyDevices, pa::kAudioObjectPropertyScopeGlobal,
                                   pa::kAudioObjectPropertyElementMain};
  uint32_t size = 0;
  if (pa::AudioObjectGetPropertyDataSize(pa::kAudioObjectSystemObject, &a, 0, nullptr, &size) != pa::noErr)
    return devices;
  std::vector<pa::AudioObjectID> ids(size / sizeof(pa::AudioObjectID));
  if (ids.empty()) return devices;
  size = static_cast<uint32_t>(ids.size() * sizeof(pa::AudioObjectID));
  if (pa::AudioObjectGetPropertyData(pa::kAudioObjectSystemObject, &a, 0, nullptr, &size, ids.data()) != pa::noErr)
    return devices;
  ids.resize(size / sizeof(pa::AudioObjectID));
  for (pa::AudioObjectID id : ids) {
    auto device = std::make_shared<AFDevice>(id, isInput_);
    if (device->name() && device->uniqueName()) devices.push_back(std::move(device));
  }
  return devices;
}

std::shared_ptr<const AFList::Snapshot> AFList::makeSnapshot(DeviceArray devices) {
  auto menu = std::make_shared<ui::Menu>();
  for (std::size_t i = 0; i < devices.size(); ++i) {
    menu->addItem(*devices[i]->name());
    // Every device whose name occurs more than once is titled by its unique name.
    for (std::size_t j = 0; j < i; ++j) {
      if (*devices[j]->name() != *devices[i]->name()) continue;
      menu->setItemTitle(static_cast<int>(i), *devices[i]->uniqueName());
      menu->setItemTitle(static_cast<int>(j), *devices[j]->uniqueName());
    }
  }
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->devices = std::move(devices);
  snapshot->menu = std::move(menu);
  return snapshot;
}

void AFList::refreshDeviceList() {
  std::lock_guard refreshing(refreshLock_);
  DeviceArray fresh = getDeviceList();
  std::shared_ptr<const Snapshot> current = snapshot();
  bool same = fresh.size() == current->devices.size();
  for (std::size_t i = 0; same && i < fresh.size(); ++i)
    same = fresh[i]->deviceID() == current->devices[i]->deviceID();
  // The same devices in the same order keep their objects, menus and caches.
  if (same) return;
  std::shared_ptr<const Snapshot> replacement = makeSnapshot(std::move(fresh));
  std::lock_guard guard(lock_);
  current_ = std::move(replacement);
}

std::shared_ptr<const AFList::Snapshot> AFList::snapshot() const {
  std::lock_guard guard(lock_);
  return current_;
}

std::shared_ptr<ui::Menu> AFList::menuCopyOf(const Snapshot& snapshot) {
  auto copy = std::make_shared<ui::Menu>();
  for (const ui::MenuItem& item : snapshot.menu->items()) copy->addItem(item.title);
  return copy;
}

std::shared_ptr<AFDevice> AFList::deviceWithID(uint32_t deviceID) const {
  for (const auto& device : snapshot()->devices)
    if (device->deviceID() == deviceID) return device;
  return nullptr;
}

std::shared_ptr<AFDevice> AFList::deviceWithName(const std::string& title) const {
  for (const auto& device : snapshot()->devices) {
    if (device->uniqueName() == title || device->name() == title) return device;
  }
  return nullptr;
}

std::shared_ptr<AFDevice> AFList::defaultDevice() const {
  pa::AudioObjectPropertyAddress a{
      isInput_ ? pa::kAudioHardwarePropertyDefaultInputDevice : pa::kAudioHardwarePropertyDefaultOutputDevice,
      pa::kAudioObjectPropertyScopeGlobal, pa::kAudioObjectPropertyElementMain};
  pa::AudioObjectID id = 0;
  if (pa::getProperty(pa::kAudioObjectSystemObject, a, id) != pa::noErr) id = 0;
  return deviceWithID(id);
}
