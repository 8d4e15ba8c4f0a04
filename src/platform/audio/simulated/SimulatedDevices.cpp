// The simulated devices: the default set, adding and removing devices, the
// default devices, and the changes made to them from outside.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "platform/audio/simulated/SimulatedState.h"

namespace platform::audio::simulated {

AudioStreamBasicDescription linearPcmFormat(double rate, uint32_t channels, uint32_t bits) {
  AudioStreamBasicDescription f{};
  f.mSampleRate = rate;
  f.mFormatID = kAudioFormatLinearPCM;
  f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  f.mChannelsPerFrame = channels;
  f.mBitsPerChannel = bits;
  f.mBytesPerFrame = bits / 8 * channels;
  f.mFramesPerPacket = 1;
  f.mBytesPerPacket = f.mBytesPerFrame;
  return f;
}

std::vector<AudioStreamRangedDescription> discreteFormats(uint32_t channels, uint32_t bits,
                                                          const std::vector<double>& rates) {
  std::vector<AudioStreamRangedDescription> v;
  for (double r : rates) v.push_back({linearPcmFormat(r, channels, bits), {r, r}});
  return v;
}

std::vector<DeviceDescription> defaultDevices() {
  std::vector<DeviceDescription> devices;
  const std::vector<double> rates{44100, 48000, 96000};

  DeviceDescription test;
  test.name = "Test Signal";
  test.uid = "sim:specan:testsignal:Bus1:0";
  StreamDescription in;
  in.channels = 2;
  for (auto& f : discreteFormats(2, 24, rates)) in.formats.push_back(f);
  for (auto& f : discreteFormats(2, 16, rates)) in.formats.push_back(f);
  for (auto& f : discreteFormats(1, 24, rates)) in.formats.push_back(f);
  in.physicalFormat = linearPcmFormat(48000, 2, 24);
  in.sources = {{fourCC("sine"), "Sine", {Signal::Sine, 1000, 3500, 0.5}},
                {fourCC("2ton"), "Two Tones", {Signal::TwoTones, 1000, 3500, 0.25}},
                {fourCC("nois"), "White Noise", {Signal::WhiteNoise, 1000, 3500, 0.1}},
                {fourCC("sil "), "Silence", {Signal::Silence, 1000, 3500, 0}}};
  in.currentSource = fourCC("sine");
  in.volumes = {{0, 1.0f, true}};
  test.input = in;
  devices.push_back(test);

  DeviceDescription loop;
  loop.name = "Loopback";
  loop.uid = "sim:specan:loopback:Bus2:0";
  StreamDescription ls;
  ls.channels = 2;
  for (auto& f : discreteFormats(2, 24, {44100, 48000, 96000, 192000})) ls.formats.push_back(f);
  for (auto& f : discreteFormats(2, 16, {44100, 48000, 96000, 192000})) ls.formats.push_back(f);
  ls.physicalFormat = linearPcmFormat(48000, 2, 24);
  ls.volumes = {{1, 1.0f, true}, {2, 1.0f, true}};
  ls.signal.signal = Signal::Loopback;
  loop.input = ls;
  loop.output = ls;
  loop.output->signal = {};
  loop.loopbackFilter = BandPassFilter{};
  loop.loopbackLatencyFrames = 1024;
  devices.push_back(loop);

  DeviceDescription multi;
  multi.name = "Multichannel";
  multi.uid = "sim:specan:multichannel:Bus3:0";
  StreamDescription mi;
  mi.channels = 8;
  mi.formats.push_back({linearPcmFormat(48000, 8, 24), {8000, 192000}});
  mi.formats.push_back({linearPcmFormat(48000, 2, 24), {8000, 192000}});
  mi.physicalFormat = linearPcmFormat(48000, 8, 24);
  const SignalSpec tones{Signal::ChannelTones, 500, 0, 0.1};
  mi.sources = {{fourCC("line"), "Line", tones}, {fourCC("mic "), "Microphone", tones}};
  mi.currentSource = fourCC("line");
  for (uint32_t c = 1; c <= 8; ++c) mi.volumes.push_back({c, 1.0f, true});
  multi.input = mi;
  StreamDescription mo = mi;
  mo.sources.clear();
  mo.volumes = {{0, 1.0f, false}};
  mo.signal = {};
  multi.output = mo;
  devices.push_back(multi);

  DeviceDescription distorting = loop;
  distorting.name = "Loopback (distorting)";
  distorting.uid = "sim:specan:loopback-distorting:Bus4:0";
  distorting.loopbackNonlinearity = kDistortingLoopback;
  devices.push_back(distorting);
  return devices;
}

const AudioStreamRangedDescription* offered(const StreamDescription& stream, const AudioStreamBasicDescription& f) {
  for (const auto& r : stream.formats) {
    if (r.mFormat.mFormatID == f.mFormatID && r.mFormat.mChannelsPerFrame == f.mChannelsPerFrame &&
        r.mFormat.mBitsPerChannel == f.mBitsPerChannel && f.mSampleRate >= r.mSampleRateRange.mMinimum &&
        f.mSampleRate <= r.mSampleRateRange.mMaximum)
      return &r;
  }
  return nullptr;
}

namespace {

uint32_t maxOfferedChannels(const StreamDescription& stream) {
  uint32_t n = stream.channels;
  for (const auto& r : stream.formats) n = std::max(n, r.mFormat.mChannelsPerFrame);
  return std::min(n, kMaxChannels);
}

}  // namespace

AudioObjectID SimulatedProvider::addDevice(const DeviceDescription& description) {
  State& s = *state_;
  if (!description.input && !description.output) return 0;
  for (const auto* stream : {description.input ? &*description.input : nullptr,
                             description.output ? &*description.output : nullptr}) {
    if (!stream) continue;
    if (!offered(*stream, stream->physicalFormat) || stream->physicalFormat.mChannelsPerFrame == 0) return 0;
  }
  if (description.input && description.output &&
      description.input->physicalFormat.mSampleRate != description.output->physicalFormat.mSampleRate)
    return 0;
  if (description.bufferFrameSizeRange.mMinimum > description.bufferFrameSizeRange.mMaximum ||
      description.rateScalar <= 0)
    return 0;
  std::vector<AudioObjectPropertyAddress> defaults;
  AudioObjectID id;
  {
    std::lock_guard lock(s.mutex);
    id = s.nextID++;
    while (s.slots[id % kSlots].load() && !s.slots[id % kSlots].load()->removed.load()) id = s.nextID++;
    Device dev;
    dev.id = id;
    dev.d = description;
    if (dev.d.input) dev.d.input->channels = dev.d.input->physicalFormat.mChannelsPerFrame;
    if (dev.d.output) dev.d.output->channels = dev.d.output->physicalFormat.mChannelsPerFrame;
    dev.d.bufferFrameSize = uint32_t(std::clamp(double(dev.d.bufferFrameSize), dev.d.bufferFrameSizeRange.mMinimum,
                                                dev.d.bufferFrameSizeRange.mMaximum));
    auto rt = std::make_unique<Runtime>(id);
    rt->maxFrames = std::max<uint32_t>(4096, uint32_t(std::min(dev.d.bufferFrameSizeRange.mMaximum, 65536.0)));
    const uint32_t inCh = dev.d.input ? maxOfferedChannels(*dev.d.input) : 0;
    const uint32_t outCh = dev.d.output ? maxOfferedChannels(*dev.d.output) : 0;
    rt->inData.assign(size_t(inCh) * rt->maxFrames, 0.0f);
    rt->outData.assign(size_t(outCh) * rt->maxFrames, 0.0f);
    rt->clientData.assign(size_t(outCh) * rt->maxFrames, 0.0f);
    if (dev.d.loopbackFilter) {
      rt->delayLength = dev.d.loopbackLatencyFrames + dev.d.loopbackDeviceDelayFrames + 2 * rt->maxFrames;
      rt->delay.assign(size_t(inCh) * rt->delayLength, 0.0f);
    }
    dev.rt = rt.get();
    s.runtimes.push_back(std::move(rt));
    s.devices.push_back(std::move(dev));
    s.configure(s.devices.back(), false);
    s.slots[id % kSlots].store(s.devices.back().rt, std::memory_order_release);
    if (description.input && s.defaultInput == 0) {  // the first of its direction becomes the default
      s.defaultInput = id;
      defaults.push_back({kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0});
    }
    if (description.output && s.defaultOutput == 0) {
      s.defaultOutput = id;
      defaults.push_back({kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0});
    }
  }
  s.notifier.post(kAudioObjectSystemObject, {{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}});
  if (!defaults.empty()) s.notifier.post(kAudioObjectSystemObject, defaults);
  return id;
}

bool SimulatedProvider::removeDevice(AudioObjectID id) {
  State& s = *state_;
  std::vector<AudioObjectPropertyAddress> defaults;
  Runtime* rt = nullptr;
  {
    std::lock_guard lock(s.mutex);
    auto it = std::find_if(s.devices.begin(), s.devices.end(), [&](const Device& d) { return d.id == id; });
    if (it == s.devices.end()) return false;
    rt = it->rt;
    rt->removed.store(true, std::memory_order_release);  // no cycle of it starts from now on
    s.devices.erase(it);
    auto firstWith = [&](bool input) -> AudioObjectID {
      for (auto& d : s.devices)
        if (input ? bool(d.d.input) : bool(d.d.output)) return d.id;
      return 0;
    };
    if (s.defaultInput == id) {
      s.defaultInput = firstWith(true);
      defaults.push_back({kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0});
    }
    if (s.defaultOutput == id) {
      s.defaultOutput = firstWith(false);
      defaults.push_back({kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0});
    }
  }
  {
    // Outside the model lock: a cycle in progress may be calling into the model.
    const bool own = rt::inCycleOf(rt);
    std::unique_lock<std::mutex> io(rt->io, std::defer_lock);
    if (!own) io.lock();
    rt->inClients.clear();
    rt->outClients.clear();
    rt->publish();
  }
  s.notifier.post(kAudioObjectSystemObject, {{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}});
  if (!defaults.empty()) s.notifier.post(kAudioObjectSystemObject, defaults);
  return true;
}

bool SimulatedProvider::setDefaultDevice(AudioObjectPropertyScope scope, AudioObjectID device) {
  if (!isDirection(scope)) return false;
  const AudioObjectPropertyAddress a{scope == kAudioObjectPropertyScopeInput ? kAudioHardwarePropertyDefaultInputDevice
                                                                          : kAudioHardwarePropertyDefaultOutputDevice,
                                     kAudioObjectPropertyScopeGlobal, 0};
  if (device == 0) {
    bool changed;
    {
      std::lock_guard lock(state_->mutex);
      AudioObjectID& d = scope == kAudioObjectPropertyScopeInput ? state_->defaultInput : state_->defaultOutput;
      changed = d != 0;
      d = 0;
    }
    if (changed) state_->notifier.post(kAudioObjectSystemObject, {a});
    return true;
  }
  return setPropertyData(kAudioObjectSystemObject, a, 0, nullptr, 4, &device) == noErr;
}

OSStatus SimulatedProvider::setPhysicalFormat(AudioObjectID device, AudioObjectPropertyScope scope,
                                              const AudioStreamBasicDescription& format) {
  const AudioObjectPropertyAddress a{kAudioStreamPropertyPhysicalFormat, scope, 0};
  return setPropertyData(device, a, 0, nullptr, sizeof format, &format);
}

OSStatus SimulatedProvider::setNominalSampleRate(AudioObjectID device, double rate) {
  const AudioObjectPropertyAddress a{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};
  return setPropertyData(device, a, 0, nullptr, sizeof rate, &rate);
}

OSStatus SimulatedProvider::setDataSource(AudioObjectID device, AudioObjectPropertyScope scope, uint32_t sourceID) {
  const AudioObjectPropertyAddress a{kAudioDevicePropertyDataSource, scope, 0};
  return setPropertyData(device, a, 0, nullptr, sizeof sourceID, &sourceID);
}

OSStatus SimulatedProvider::setVolume(AudioObjectID device, AudioObjectPropertyScope scope, uint32_t element,
                                      float value) {
  State& s = *state_;
  if (!(value >= 0.0f && value <= 1.0f)) return kAudio_ParamError;
  {
    std::lock_guard lock(s.mutex);
    Device* dev = s.find(device);
    if (!dev) return kAudioHardwareBadObjectError;
    StreamDescription* stream = dev->stream(scope);
    if (!stream) return kAudioHardwareUnknownPropertyError;
    auto v = std::find_if(stream->volumes.begin(), stream->volumes.end(),
                          [&](const VolumeElement& e) { return e.element == element; });
    if (v == stream->volumes.end()) return kAudioHardwareUnknownPropertyError;
    if (v->value == value) return noErr;
    v->value = value;
    s.configure(*dev, false);
  }
  s.notifier.post(device, {{kAudioDevicePropertyVolumeScalar, scope, element}});
  return noErr;
}

OSStatus SimulatedProvider::setBufferFrameSize(AudioObjectID device, uint32_t frames) {
  const AudioObjectPropertyAddress a{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0};
  return setPropertyData(device, a, 0, nullptr, sizeof frames, &frames);
}

OSStatus SimulatedProvider::setRateScalar(AudioObjectID device, double rateScalar) {
  if (!(rateScalar > 0.0 && rateScalar < 10.0)) return kAudio_ParamError;
  std::lock_guard lock(state_->mutex);
  Device* dev = state_->find(device);
  if (!dev) return kAudioHardwareBadObjectError;
  dev->d.rateScalar = rateScalar;
  state_->configure(*dev, true);
  return noErr;
}

void SimulatedProvider::notify(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  state_->notifier.post(object, {address});
}

AudioObjectID SimulatedProvider::deviceNamed(const std::string& name) const {
  std::lock_guard lock(state_->mutex);
  for (const auto& d : state_->devices)
    if (d.d.name == name) return d.id;
  return 0;
}

std::vector<AudioObjectID> SimulatedProvider::devices() const {
  std::lock_guard lock(state_->mutex);
  std::vector<AudioObjectID> ids;
  for (const auto& d : state_->devices) ids.push_back(d.id);
  return ids;
}

}  // namespace platform::audio::simulated
