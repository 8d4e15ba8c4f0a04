#include "audio/AFDevice.h"

#include <cmath>

#include "platform/audio/AudioHardware.h"

namespace pa = platform::audio;

std::string locationFieldOfIdentifier(const std::string& identifier) {
  std::size_t colons[4];
  int found = 0;
  for (std::size_t i = 0; i < identifier.size() && found < 4; ++i)
    if (identifier[i] == ':') colons[found++] = i;
  if (found < 3) return identifier;
  std::size_t begin = colons[2] + 1;
  std::size_t end = found >= 4 ? colons[3] : identifier.size();
  return identifier.substr(begin, end - begin);
}

AFDevice::AFDevice(AudioObjectID deviceID, bool isInput)
    : deviceID_(deviceID),
      scope_(isInput ? pa::kAudioDevicePropertyScopeInput : pa::kAudioDevicePropertyScopeOutput) {
  if (getPhysicalFormatForDevice()) {
    name_ = readString(pa::kAudioObjectPropertyName);
    std::string namePart = name_.value_or(std::string());
    if (std::optional<std::string> identifier = readString(pa::kAudioDevicePropertyDeviceUID)) {
      locationID_ = locationFieldOfIdentifier(*identifier);
      uniqueName_ = namePart + " (" + *locationID_ + ")";
    }
  }
  sourceMenu_ = std::make_shared<ui::Menu>();
  updateSourceMenu();
  createFormats();
}

std::optional<std::string> AFDevice::readString(uint32_t selector) const {
  pa::AudioObjectPropertyAddress a{selector, pa::kAudioObjectPropertyScopeGlobal, pa::kAudioObjectPropertyElementMain};
  pa::AudioStringRef string = nullptr;
  if (pa::getProperty(deviceID_, a, string) != pa::noErr) return std::nullopt;
  std::string text = pa::AudioStringGetCString(string);
  pa::AudioStringRelease(string);
  return text;
}

bool AFDevice::getPhysicalFormatForDevice() {
  AudioStreamBasicDescription format{};
  if (pa::getProperty(deviceID_, address(pa::kAudioStreamPropertyPhysicalFormat), format) != pa::noErr) return false;
  std::lock_guard guard(lock_);
  physicalFormat_ = format;
  return true;
}

bool AFDevice::getVirtualFormatForStream() {
  AudioStreamBasicDescription format{};
  if (pa::getProperty(deviceID_, address(pa::kAudioStreamPropertyVirtualFormat), format) != pa::noErr) return false;
  std::lock_guard guard(lock_);
  streamFormat_ = format;
  return true;
}

AFDevice::AudioStreamBasicDescription AFDevice::physicalFormat() {
  getPhysicalFormatForDevice();
  std::lock_guard guard(lock_);
  return physicalFormat_;
}

AFDevice::AudioStreamBasicDescription AFDevice::streamFormat() {
  getVirtualFormatForStream();
  std::lock_guard guard(lock_);
  return streamFormat_;
}

AFFormat AFDevice::format() {
  AudioStreamBasicDescription physical = physicalFormat();
  return AFFormat(&physical);
}

int32_t AFDevice::indexOfFormatWithChannels(int32_t channels, int32_t bits) const {
  for (std::size_t i = 0; i < formats_.size(); ++i)
    if (formats_[i].channels() == channels && formats_[i].bits() == bits) return static_cast<int32_t>(i);
  return -1;
}

bool AFDevice::readRangedDescriptions(std::vector<pa::AudioStreamRangedDescription>& out) const {
  pa::AudioObjectPropertyAddress a = address(pa::kAudioStreamPropertyAvailablePhysicalFormats);
  uint32_t size = 0;
  if (pa::AudioObjectGetPropertyDataSize(deviceID_, &a, 0, nullptr, &size) != pa::noErr) return false;
  out.assign(size / sizeof(pa::AudioStreamRangedDescription), pa::AudioStreamRangedDescription{});
  if (out.empty()) return true;
  uint32_t room = static_cast<uint32_t>(out.size() * sizeof(pa::AudioStreamRangedDescription));
  if (pa::AudioObjectGetPropertyData(deviceID_, &a, 0, nullptr, &room, out.data()) != pa::noErr) return false;
  out.resize(room / sizeof(pa::AudioStreamRangedDescription));
  return true;
}

void AFDevice::createFormats() {
  std::vector<pa::AudioStreamRangedDescription> ranged;
  formats_.clear();
  if (!readRangedDescriptions(ranged)) return;
  for (const pa::AudioStreamRangedDescription& entry : ranged) {
    if (indexOfFormatWithChannels(static_cast<int32_t>(entry.mFormat.mChannelsPerFrame),
                                  static_cast<int32_t>(entry.mFormat.mBitsPerChannel)) < 0)
      formats_.push_back(AFFormat::formatForDescription(&entry.mFormat));
  }
}

std::vector<float> AFDevice::samplingRatesForFormat(const AFFormat& format) {
  int32_t key = format.bits() * 32 + format.channels();
  {
    std::lock_guard guard(lock_);
    if (key == samplingRateCacheKey_) return samplingRateCache_;
  }
  std::vector<pa::AudioStreamRangedDescription> ranged;
  if (!readRangedDescriptions(ranged)) return {};

  bool offered[std::size(candidateSamplingRates)] = {};
  for (const pa::AudioStreamRangedDescription& entry : ranged) {
    if (static_cast<int32_t>(entry.mFormat.mChannelsPerFrame) != format.channels() ||
        static_cast<int32_t>(entry.mFormat.mBitsPerChannel) != format.bits())
      continue;
    float minimum = static_cast<float>(entry.mSampleRateRange.mMinimum);
    float maximum = static_cast<float>(entry.mSampleRateRange.mMaximum);
    for (std::size_t i = 0; i < std::size(candidateSamplingRates); ++i) {
      float r = candidateSamplingRates[i];
      if (r - minimum >= 0 && maximum - r >= 0) offered[i] = true;
    }
  }
  std::vector<float> rates;
  for (std::size_t i = 0; i < std::size(candidateSamplingRates); ++i)
    if (offered[i]) rates.push_back(candidateSamplingRates[i]);

  std::lock_guard guard(lock_);
  samplingRateCache_ = rates;
  samplingRateCacheKey_ = key;
  return rates;
}

std::vector<float> AFDevice::samplingRates() {
  AudioStreamBasicDescription physical = physicalFormat();
  return samplingRatesForFormat(AFFormat(&physical));
}

float AFDevice::samplingRate() { return static_cast<float>(physicalFormat().mSampleRate); }

bool AFDevice::selectSamplingRate(float rate) {
  AudioStreamBasicDescription d = physicalFormat();
  d.mSampleRate = rate;
  if (pa::setProperty(deviceID_, address(pa::kAudioStreamPropertyPhysicalFormat), d) != pa::noErr) return false;
  std::lock_guard guard(lock_);
  physicalFormat_.mSampleRate = rate;
  return true;
}

bool AFDevice::selectFormat(const AFFormat& format) {
  int32_t index = indexOfFormatWithChannels(format.channels(), format.bits());
  if (index < 0) return false;
  float current = static_cast<float>(physicalFormat().mSampleRate);
  AudioStreamBasicDescription d = *format.streamDescription();

  std::vector<float> offered = samplingRatesForFormat(format);
  if (offered.empty()) return false;
  d.mSampleRate = offered.back();
  for (float r : offered) {
    if (std::fabs(current - r) < 1.0f) {
      d.mSampleRate = current;  // the device's own value, not the table's
      break;
    }
  }
  d.mBytesPerFrame = (d.mBitsPerChannel / 8) * d.mChannelsPerFrame;
  d.mBytesPerPacket = d.mBytesPerFrame * d.mFramesPerPacket;

  if (pa::setProperty(deviceID_, address(pa::kAudioStreamPropertyPhysicalFormat), d) != pa::noErr) return false;
  std::lock_guard guard(lock_);
  physicalFormat_ = d;
  return true;
}

std::shared_ptr<ui::Menu> AFDevice::sourceMenu() const {
  std::lock_guard guard(lock_);
  return sourceMenu_;
}

void AFDevice::updateSourceMenu() {
  // A new menu replaces the old one, so a pop-up still showing the old one
  // is never changed under it.
  auto menu = std::make_shared<ui::Menu>();
  if (deviceID_ != 0) {
    uint32_t ids[16] = {};
    uint32_t size = sizeof(ids);
    pa::AudioObjectPropertyAddress a = address(pa::kAudioDevicePropertyDataSources);
    if (pa::AudioObjectGetPropertyData(deviceID_, &a, 0, nullptr, &size, ids) != pa::noErr || size < 8) {
      menu->addItem("Default", 0);
    } else {
      pa::AudioObjectPropertyAddress nameAddress = address(pa::kAudioDevicePropertyDataSourceNameForIDCFString);
      for (uint32_t i = 0; i < size / 4; ++i) {
        pa::AudioStringRef string = nullptr;
        pa::AudioValueTranslation translation{&ids[i], sizeof(uint32_t), &string, sizeof(string)};
        uint32_t translationSize = sizeof(translation);
        if (pa::AudioObjectGetPropertyData(deviceID_, &nameAddress, 0, nullptr, &translationSize, &translation) ==
                pa::noErr &&
            translationSize != 0 && translation.mOutputDataSize != 0 && string) {
          menu->addItem(pa::AudioStringGetCString(string), static_cast<int>(ids[i]));
        }
        pa::AudioStringRelease(string);
      }
    }
  }
  std::lock_guard guard(lock_);
  sourceMenu_ = std::move(menu);
}

std::string AFDevice::source() {
  std::shared_ptr<ui::Menu> menu = sourceMenu();
  if (menu->numberOfItems() <= 1) return std::string();
  uint32_t id = 0;
  if (pa::getProperty(deviceID_, address(pa::kAudioDevicePropertyDataSource), id) != pa::noErr) return std::string();
  const ui::MenuItem* item = menu->itemWithTag(static_cast<int>(id));
  return item ? item->title : std::string();
}

bool AFDevice::selectSource(const std::string& title) {
  std::shared_ptr<ui::Menu> menu = sourceMenu();
  if (menu->numberOfItems() <= 1) return false;
  const ui::MenuItem* item = menu->itemWithTitle(title);
  if (!item) return false;
  uint32_t id = static_cast<uint32_t>(item->tag);
  return pa::setProperty(deviceID_, address(pa::kAudioDevicePropertyDataSource), id) == pa::noErr;
}
