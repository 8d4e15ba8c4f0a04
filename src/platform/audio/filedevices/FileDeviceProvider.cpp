// The overlay: opening and closing files, the calls it passes to the inner
// provider, the merged device list and the relay of the inner provider's
// notifications.

#include "platform/audio/filedevices/FileDeviceProvider.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/audio/ExtAudioFile.h"
#include "platform/audio/filedevices/FileDeviceState.h"

namespace platform::audio::files {

namespace {

constexpr AudioObjectPropertyAddress kDevicesAddress{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
// What the overlay hears of an inner object: everything.
constexpr AudioObjectPropertyAddress kEverything{kAudioObjectPropertySelectorWildcard,
                                                 kAudioObjectPropertyScopeWildcard,
                                                 kAudioObjectPropertyElementWildcard};

std::string canonicalPath(const std::string& path) {
  std::error_code error;
  std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
  return error ? path : p.string();
}

uint64_t pathHash(const std::string& path) {
  // FNV-1a: the same in every run and on every machine.
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : path) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

bool isDevicesAddress(AudioObjectID object, const AudioObjectPropertyAddress& a) {
  return object == kAudioObjectSystemObject && a.mSelector == kAudioHardwarePropertyDevices;
}

}  // namespace

FileDeviceProvider::FileDeviceProvider(std::shared_ptr<Provider> inner, const Options& options)
    : state_(std::make_unique<State>(std::move(inner), options)) {}

FileDeviceProvider::~FileDeviceProvider() {
  State& s = *state_;
  // The inner provider stops calling the relay before anything goes.
  {
    std::lock_guard lock(s.relayMutex);
    std::vector<AudioObjectID> relayed;
    for (const auto& r : s.innerRegistrations)
      if (std::find(relayed.begin(), relayed.end(), r.object) == relayed.end()) relayed.push_back(r.object);
    for (AudioObjectID object : relayed) s.inner->removePropertyListener(object, kEverything, &State::relay, &s);
    s.innerRegistrations.clear();
  }
  std::vector<FileRuntime*> open;
  {
    std::lock_guard lock(s.mutex);
    for (const auto& d : s.devices) open.push_back(d.rt);
  }
  for (FileRuntime* rt : open) {
    s.stopClock(*rt);
    std::lock_guard io(rt->io);
    rt->reader.reset();
  }
}

const std::shared_ptr<Provider>& FileDeviceProvider::inner() const { return state_->inner; }

std::string FileDeviceProvider::name() const { return state_->inner->name(); }

// ---------------------------------------------------------------- files

std::string FileDeviceProvider::identifierForPath(const std::string& path) {
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(pathHash(canonicalPath(path))));
  return std::string("file:specan:") + hash + ":" + std::string(hash, 8) + ":0";
}

AudioObjectID FileDeviceProvider::addFile(const std::string& path, OSStatus* status) {
  State& s = *state_;
  OSStatus ignored;
  OSStatus& result = status ? *status : ignored;
  result = noErr;
  const std::string canonical = canonicalPath(path);
  if (AudioObjectID open = deviceForPath(canonical)) return open;

  ExtAudioFileRef file = nullptr;
  result = ExtAudioFileOpenURL(canonical.c_str(), &file);
  if (result != noErr) return 0;
  AudioStreamBasicDescription format{};
  uint32_t size = sizeof format;
  result = ExtAudioFileGetProperty(file, kExtAudioFileProperty_FileDataFormat, &size, &format);
  if (result == noErr &&
      (format.mChannelsPerFrame < 1 || format.mChannelsPerFrame > kMaxChannels || !(format.mSampleRate >= 1)))
    result = kAudioFileUnsupportedDataFormatError;
  if (result != noErr) {
    ExtAudioFileDispose(file);
    return 0;
  }

  FileDevice device;
  device.path = canonical;
  device.name = std::filesystem::path(canonical).filename().string();
  device.uid = identifierForPath(canonical);
  device.channels = format.mChannelsPerFrame;
  device.fileRate = device.rate = format.mSampleRate;
  // Integer PCM shows its own bits; anything else is read as float.
  const bool integerPcm = format.mFormatID == kAudioFormatLinearPCM && !(format.mFormatFlags & kAudioFormatFlagIsFloat) &&
                          format.mBitsPerChannel >= 8 && format.mBitsPerChannel <= 32;
  device.isFloat = !integerPcm;
  device.bits = integerPcm ? format.mBitsPerChannel : 32;

  {
    std::lock_guard lock(s.mutex);
    // The next ID whose slot holds no open file.
    uint32_t index = s.nextIndex;
    for (uint32_t tried = 0;; ++tried, ++index) {
      if (tried == kSlots) {
        ExtAudioFileDispose(file);
        result = kAudioHardwareIllegalOperationError;
        return 0;
      }
      FileRuntime* in = s.slots[index % kSlots].load(std::memory_order_relaxed);
      if (!in || in->removed.load()) break;
    }
    s.nextIndex = index + 1;
    device.id = kFirstFileDeviceID + index;
    auto rt = std::make_unique<FileRuntime>(device.id, device.channels);
    rt->rate.store(device.rate);
    rt->reader = std::make_shared<FileReader>(file, device.channels, device.rate, true);
    device.rt = rt.get();
    s.slots[index % kSlots].store(rt.get(), std::memory_order_release);
    s.runtimes.push_back(std::move(rt));
    s.devices.push_back(device);
    if (s.options.clock == ClockMode::RealTime) s.startClock(*device.rt);
  }
  s.notifier.post(kAudioObjectSystemObject, {kDevicesAddress});
  return device.id;
}

bool FileDeviceProvider::removeFile(AudioObjectID id) {
  State& s = *state_;
  FileRuntime* rt = nullptr;
  {
    std::lock_guard lock(s.mutex);
    auto it = std::find_if(s.devices.begin(), s.devices.end(), [&](const FileDevice& d) { return d.id == id; });
    if (it == s.devices.end()) return false;
    rt = it->rt;
    s.devices.erase(it);
    rt->removed.store(true, std::memory_order_release);
  }
  {
    // Running clients get no further cycles (and stopIo finds them gone).
    std::lock_guard io(rt->io);
    rt->clients.clear();
    rt->publish();
  }
  s.stopClock(*rt);
  {
    std::lock_guard io(rt->io);
    rt->reader.reset();
  }
  s.notifier.post(kAudioObjectSystemObject, {kDevicesAddress});
  return true;
}

std::vector<AudioObjectID> FileDeviceProvider::fileDevices() const {
  std::lock_guard lock(state_->mutex);
  std::vector<AudioObjectID> ids;
  for (const auto& d : state_->devices) ids.push_back(d.id);
  return ids;
}

bool FileDeviceProvider::isFileDevice(AudioObjectID device) const {
  std::lock_guard lock(state_->mutex);
  return state_->find(device) != nullptr;
}

AudioObjectID FileDeviceProvider::deviceForPath(const std::string& path) const {
  const std::string canonical = canonicalPath(path);
  std::lock_guard lock(state_->mutex);
  for (const auto& d : state_->devices)
    if (d.path == canonical) return d.id;
  return 0;
}

void FileDeviceProvider::flushNotifications() { state_->notifier.flush(); }

uint64_t FileDeviceProvider::framesCycled(AudioObjectID device) const {
  FileRuntime* rt = state_->runtime(device);
  return rt ? rt->cycled.load() : 0;
}

uint64_t FileDeviceProvider::underrunFrames(AudioObjectID device) const {
  FileRuntime* rt = state_->runtime(device);
  if (!rt) return 0;
  std::lock_guard io(rt->io);
  return rt->reader ? rt->reader->underrunFrames() : 0;
}

// ---------------------------------------------------------------- the system object's device list

std::vector<AudioObjectID> FileDeviceProvider::State::deviceList() const {
  std::vector<AudioObjectID> ids;
  uint32_t size = 0;
  // Without an inner list the files still show.
  if (inner->getPropertyDataSize(kAudioObjectSystemObject, kDevicesAddress, 0, nullptr, size) == noErr && size) {
    ids.resize(size / sizeof(AudioObjectID));
    uint32_t got = uint32_t(ids.size() * sizeof(AudioObjectID));
    if (inner->getPropertyData(kAudioObjectSystemObject, kDevicesAddress, 0, nullptr, got, ids.data()) == noErr)
      ids.resize(got / sizeof(AudioObjectID));
    else
      ids.clear();
  }
  std::lock_guard lock(mutex);
  for (const auto& d : devices) ids.push_back(d.id);
  return ids;
}

// ---------------------------------------------------------------- properties: files or the inner provider

bool FileDeviceProvider::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  State& s = *state_;
  if (inFileRange(object)) {
    std::lock_guard lock(s.mutex);
    const FileDevice* d = s.find(object);
    return d && s.lookUp(*d, address).status == noErr;
  }
  return s.inner->hasProperty(object, address);
}

OSStatus FileDeviceProvider::isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                bool& settable) {
  State& s = *state_;
  if (inFileRange(object)) {
    std::lock_guard lock(s.mutex);
    const FileDevice* d = s.find(object);
    if (!d) return kAudioHardwareBadObjectError;
    PropertyLookup l = s.lookUp(*d, address);
    if (l.status == noErr) settable = l.settable;
    return l.status;
  }
  return s.inner->isPropertySettable(object, address, settable);
}

OSStatus FileDeviceProvider::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                 uint32_t qualifierSize, const void* qualifier, uint32_t& size) {
  State& s = *state_;
  if (isDevicesAddress(object, address)) {
    size = uint32_t(s.deviceList().size() * sizeof(AudioObjectID));
    return noErr;
  }
  if (inFileRange(object)) {
    std::lock_guard lock(s.mutex);
    const FileDevice* d = s.find(object);
    return d ? propertyDataSize(s.lookUp(*d, address), size) : kAudioHardwareBadObjectError;
  }
  return s.inner->getPropertyDataSize(object, address, qualifierSize, qualifier, size);
}

OSStatus FileDeviceProvider::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                             uint32_t qualifierSize, const void* qualifier, uint32_t& ioSize,
                                             void* data) {
  State& s = *state_;
  if (isDevicesAddress(object, address)) {
    PropertyLookup l;
    l.status = noErr;
    l.value = AudioObjectPropertyValue::array(s.deviceList());
    return copyPropertyData(l, ioSize, data);
  }
  if (inFileRange(object)) {
    std::lock_guard lock(s.mutex);
    const FileDevice* d = s.find(object);
    return d ? copyPropertyData(s.lookUp(*d, address), ioSize, data) : kAudioHardwareBadObjectError;
  }
  return s.inner->getPropertyData(object, address, qualifierSize, qualifier, ioSize, data);
}

// ---------------------------------------------------------------- listeners

OSStatus FileDeviceProvider::State::relay(AudioObjectID object, uint32_t numberAddresses,
                                          const AudioObjectPropertyAddress* addresses, void* state) {
  // Unchanged, onto the overlay's own notification thread.
  static_cast<State*>(state)->notifier.post(object, {addresses, addresses + numberAddresses});
  return noErr;
}

OSStatus FileDeviceProvider::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                 AudioObjectPropertyListenerProc listener, void* clientData) {
  State& s = *state_;
  if (!listener) return kAudio_ParamError;
  if (inFileRange(object)) {
    {
      std::lock_guard lock(s.mutex);
      if (!s.find(object)) return kAudioHardwareBadObjectError;
    }
    return s.notifier.add(object, address, listener, clientData);
  }
  std::lock_guard lock(s.relayMutex);
  auto same = [&](const State::Registration& r) {
    return r.object == object && r.address == address && r.listener == listener && r.clientData == clientData;
  };
  if (std::any_of(s.innerRegistrations.begin(), s.innerRegistrations.end(), same)) return noErr;
  const bool relayed = std::any_of(s.innerRegistrations.begin(), s.innerRegistrations.end(),
                                   [&](const State::Registration& r) { return r.object == object; });
  if (!relayed) {
    // The inner provider refuses objects it does not have.
    const OSStatus status = s.inner->addPropertyListener(object, kEverything, &State::relay, &s);
    if (status != noErr) return status;
  }
  s.innerRegistrations.push_back({object, address, listener, clientData});
  return s.notifier.add(object, address, listener, clientData);
}

OSStatus FileDeviceProvider::removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                    AudioObjectPropertyListenerProc listener, void* clientData) {
  State& s = *state_;
  // First the registration (waiting for a call of it in progress, which may
  // itself add or remove listeners), then what relays to it.
  const OSStatus status = s.notifier.remove(object, address, listener, clientData);
  if (status != noErr || inFileRange(object)) return status;
  std::lock_guard lock(s.relayMutex);
  auto it = std::find_if(s.innerRegistrations.begin(), s.innerRegistrations.end(), [&](const State::Registration& r) {
    return r.object == object && r.address == address && r.listener == listener && r.clientData == clientData;
  });
  if (it == s.innerRegistrations.end()) return noErr;
  s.innerRegistrations.erase(it);
  if (std::none_of(s.innerRegistrations.begin(), s.innerRegistrations.end(),
                   [&](const State::Registration& r) { return r.object == object; }))
    s.inner->removePropertyListener(object, kEverything, &State::relay, &s);
  return noErr;
}

}  // namespace platform::audio::files
