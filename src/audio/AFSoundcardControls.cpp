// The pop-up menus a sound card manages for its owner: device, format,
// sampling rate and source, kept in step with the card.

#include "audio/AFSoundcard.h"
#include "ui/MainThread.h"
#include "ui/PopUpButton.h"
#include "ui/Slider.h"

namespace pa = platform::audio;


std::string AFSoundcard::formatMenuTitle(const AFFormat& format) {
  char title[64];
  std::snprintf(title, sizeof(title), "%dch-%dbit", format.channels(), format.bits());
  return title;
}

std::string AFSoundcard::samplingRateMenuTitle(float rate) {
  char title[64];
  std::snprintf(title, sizeof(title), "%d", static_cast<int>(rate));
  return title;
}

void AFSoundcard::setInterface(ui::PopUpButton* popUp, void (AFSoundcard::*action)(ui::PopUpButton*)) {
  if (!popUp) return;
  onMainThread([=, this] { popUp->setInterface([=, this] { (this->*action)(popUp); }); });
}

void AFSoundcard::setInterface(ui::Slider* slider, void (AFSoundcard::*action)(ui::Slider*)) {
  if (!slider) return;
  onMainThread([=, this] { slider->setInterface([=, this] { (this->*action)(slider); }); });
}

void AFSoundcard::setManagedDeviceMenu(ui::PopUpButton* popUp) {
  ui::PopUpButton* previous = managedDevicePopUp_.exchange(popUp);
  if (previous != popUp) releaseTarget(previous);
  if (!popUp) return;
  onMainThread([&] {
    std::shared_ptr<const AFList::Snapshot> snapshot = deviceList_->snapshot();
    popUp->setMenu(AFList::menuCopyOf(*snapshot));
    std::lock_guard guard(fieldsLock_);
    devicePopUpSnapshot_ = std::move(snapshot);
  });
  reselectDeviceMenu(popUp);
  setInterface(popUp, &AFSoundcard::managedDevicePopupChanged);
}

void AFSoundcard::managedDevicePopupChanged(ui::PopUpButton* sender) {
  int index = sender->indexOfSelectedItem();
  if (index < 0) return;
  std::shared_ptr<AFDevice> device;
  {
    std::lock_guard guard(fieldsLock_);
    // The pop-up shows the list its menu was copied from.
    if (!devicePopUpSnapshot_ || index >= static_cast<int>(devicePopUpSnapshot_->devices.size())) return;
    device = devicePopUpSnapshot_->devices[static_cast<std::size_t>(index)];
  }
  useDefaultDevice_ = false;
  // The user's pick is what a change of the device list must find again.
  {
    std::lock_guard guard(fieldsLock_);
    currentDeviceName_ = sender->titleOfSelectedItem();
  }
  selectDevice(device);
}

void AFSoundcard::setManagedFormatMenu(ui::PopUpButton* popUp) {
  ui::PopUpButton* previous = managedFormatPopUp_.exchange(popUp);
  if (previous != popUp) releaseTarget(previous);
  updateFormatMenu();
}

void AFSoundcard::updateFormatMenu() {
  needNewAudioUnit_ = true;
  ui::PopUpButton* popUp = managedFormatPopUp_.load();
  if (!popUp) return;
  std::shared_ptr<AFDevice> device = selectedDevice();
  onMainThread([&] {
    popUp->removeAllItems();
    if (device)
      for (const AFFormat& format : device->formats()) popUp->addItemWithTitle(formatMenuTitle(format));
  });
  if (device) {
    AudioStreamBasicDescription physical = device->physicalFormat();
    selectStreamDescription(&physical);
  }
  setInterface(popUp, &AFSoundcard::managedFormatPopupChanged);
}

void AFSoundcard::managedFormatPopupChanged(ui::PopUpButton* sender) {
  int index = sender->indexOfSelectedItem();
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (index < 0 || !device || index >= static_cast<int>(device->formats().size())) return;
  device->selectFormat(device->formats()[static_cast<std::size_t>(index)]);
}

void AFSoundcard::setManagedSamplingRateMenu(ui::PopUpButton* popUp) {
  ui::PopUpButton* previous = managedSamplingRatePopUp_.exchange(popUp);
  if (previous != popUp) releaseTarget(previous);
  if (!popUp) return;
  updateSamplingRateMenu();
  setInterface(popUp, &AFSoundcard::managedSamplingRatePopupChanged);
}

bool AFSoundcard::updateSamplingRateMenu() {
  needNewAudioUnit_ = true;
  ui::PopUpButton* popUp = managedSamplingRatePopUp_.load();
  if (!popUp) return false;
  std::shared_ptr<AFDevice> device = selectedDevice();
  std::vector<float> rates;
  if (device) rates = device->samplingRates();
  int32_t count = std::min(static_cast<int32_t>(rates.size()), kMaxSamplingRates);
  onMainThread([&] {
    popUp->removeAllItems();
    {
      std::lock_guard guard(fieldsLock_);
      for (int32_t i = 0; i < count; ++i) samplingRateArray_[i] = rates[static_cast<std::size_t>(i)];
      samplingRateCount_ = count;
    }
    for (int32_t i = 0; i < count; ++i) popUp->addItemWithTitle(samplingRateMenuTitle(rates[static_cast<std::size_t>(i)]));
  });
  if (!device) return false;
  reselectSamplingRate();
  return true;
}

void AFSoundcard::managedSamplingRatePopupChanged(ui::PopUpButton* sender) {
  int index = sender->indexOfSelectedItem();
  if (!isRunning()) {
    switchSamplingIndex(index);
    return;
  }
  stopWithPause(0.1f);
  switchSamplingIndex(index);
  startAfterPause(0.03f);
}

void AFSoundcard::setManagedSourceMenu(ui::PopUpButton* popUp) {
  ui::PopUpButton* previous = managedSourcePopUp_.exchange(popUp);
  if (previous != popUp) releaseTarget(previous);
  if (!popUp) return;
  updateSourceMenu();
  setInterface(popUp, &AFSoundcard::managedSourcePopupChanged);
}

void AFSoundcard::updateSourceMenu() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  ui::PopUpButton* popUp = managedSourcePopUp_.load();
  if (!device || !popUp) return;
  std::shared_ptr<ui::Menu> menu = device->sourceMenu();
  std::string current = menu->numberOfItems() > 1 ? device->source() : std::string();
  onMainThread([&] {
    popUp->setMenu(menu);
    if (menu->numberOfItems() > 1) {
      popUp->selectItemWithTitle(current);
      if (popUp->indexOfSelectedItem() < 0) popUp->selectItemAtIndex(0);
    }
  });
}

void AFSoundcard::managedSourcePopupChanged(ui::PopUpButton* sender) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (sender->indexOfSelectedItem() < 0 || !device) return;
  device->selectSource(sender->titleOfSelectedItem());
}

void AFSoundcard::updateManagedControls() {
  updateVolumeSliders(false);
  updateFormatMenu();
  updateSamplingRateMenu();
  updateSourceMenu();
}

