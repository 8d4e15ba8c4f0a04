// The unit base, the component list and the graph.

#include "platform/audio/AudioUnits.h"

#include <cstring>

#include "platform/audio/Units.h"

namespace platform::audio {

// ------------------------------------------------------------------ base
AudioUnitInstance::~AudioUnitInstance() = default;

OSStatus AudioUnitInstance::setParameter(AudioUnitParameterID, AudioUnitScope, AudioUnitElement,
                                         AudioUnitParameterValue, uint32_t) noexcept {
  return kAudioUnitErr_InvalidParameter;
}
OSStatus AudioUnitInstance::getParameter(AudioUnitParameterID, AudioUnitScope, AudioUnitElement,
                                         AudioUnitParameterValue&) const noexcept {
  return kAudioUnitErr_InvalidParameter;
}
OSStatus AudioUnitInstance::enableIO(AudioUnitScope, AudioUnitElement, uint32_t) {
  return kAudioUnitErr_InvalidProperty;
}
OSStatus AudioUnitInstance::setCurrentDevice(AudioUnitScope, AudioUnitElement, AudioObjectID) {
  return kAudioUnitErr_InvalidProperty;
}
OSStatus AudioUnitInstance::getCurrentDevice(AudioUnitScope, AudioUnitElement, AudioObjectID&) const {
  return kAudioUnitErr_InvalidProperty;
}
OSStatus AudioUnitInstance::setInputCallback(AudioUnitScope, AudioUnitElement, const AURenderCallbackStruct&) {
  return kAudioUnitErr_InvalidProperty;
}
OSStatus AudioUnitInstance::setBufferFrameSize(AudioUnitScope, AudioUnitElement, uint32_t) {
  return kAudioUnitErr_InvalidProperty;
}
OSStatus AudioUnitInstance::getBufferFrameSize(AudioUnitScope, AudioUnitElement, uint32_t&) const {
  return kAudioUnitErr_InvalidProperty;
}
OSStatus AudioUnitInstance::setChannelMap(AudioUnitScope, AudioUnitElement, const int32_t*, uint32_t) {
  return kAudioUnitErr_InvalidProperty;
}
OSStatus AudioUnitInstance::getChannelMap(AudioUnitScope, AudioUnitElement, int32_t*, uint32_t&) const {
  return kAudioUnitErr_InvalidProperty;
}
OSStatus AudioUnitInstance::getIsRunning(AudioUnitScope, AudioUnitElement, uint32_t&) const {
  return kAudioUnitErr_InvalidProperty;
}
OSStatus AudioUnitInstance::start() { return kAudioUnitErr_InvalidProperty; }
OSStatus AudioUnitInstance::stop() { return kAudioUnitErr_InvalidProperty; }
OSStatus AudioUnitInstance::connectInput(AudioUnitElement, AudioUnitInstance*, uint32_t) {
  return kAudioUnitErr_InvalidElement;
}

namespace {

template <typename T>
OSStatus readArg(const void* data, uint32_t size, T& value) {
  if (!data || size != sizeof(T)) return kAudioUnitErr_InvalidPropertyValue;
  std::memcpy(&value, data, sizeof(T));
  return noErr;
}

template <typename T>
OSStatus writeResult(OSStatus status, const T& value, void* data, uint32_t* ioSize) {
  if (status != noErr) return status;
  std::memcpy(data, &value, sizeof(T));
  *ioSize = sizeof(T);
  return noErr;
}

uint32_t propertySize(AudioUnitPropertyID id) {
  switch (id) {
    case kAudioUnitProperty_StreamFormat: return sizeof(AudioStreamBasicDescription);
    case kAudioUnitProperty_SetRenderCallback:
    case kAudioOutputUnitProperty_SetInputCallback: return sizeof(AURenderCallbackStruct);
    case kAudioOutputUnitProperty_EnableIO:
    case kAudioOutputUnitProperty_IsRunning:
    case kAudioDevicePropertyBufferFrameSize: return sizeof(uint32_t);
    case kAudioOutputUnitProperty_CurrentDevice: return sizeof(AudioObjectID);
    default: return 0;
  }
}

}  // namespace

OSStatus AudioUnitInstance::setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                        const void* data, uint32_t size) {
  OSStatus status;
  switch (id) {
    case kAudioUnitProperty_StreamFormat: {
      AudioStreamBasicDescription f;
      if ((status = readArg(data, size, f))) return status;
      return setStreamFormat(scope, element, f);
    }
    case kAudioUnitProperty_SetRenderCallback: {
      AURenderCallbackStruct cb;
      if ((status = readArg(data, size, cb))) return status;
      return setRenderCallback(scope, element, cb);
    }
    case kAudioOutputUnitProperty_SetInputCallback: {
      AURenderCallbackStruct cb;
      if ((status = readArg(data, size, cb))) return status;
      return setInputCallback(scope, element, cb);
    }
    case kAudioOutputUnitProperty_EnableIO: {
      uint32_t on;
      if ((status = readArg(data, size, on))) return status;
      return enableIO(scope, element, on);
    }
    case kAudioOutputUnitProperty_CurrentDevice: {
      AudioObjectID device;
      if ((status = readArg(data, size, device))) return status;
      return setCurrentDevice(scope, element, device);
    }
    case kAudioDevicePropertyBufferFrameSize: {
      uint32_t frames;
      if ((status = readArg(data, size, frames))) return status;
      return setBufferFrameSize(scope, element, frames);
    }
    case kAudioOutputUnitProperty_ChannelMap:
      if (!data || size % 4 || size / 4 > kAudioBufferListCapacity) return kAudioUnitErr_InvalidPropertyValue;
      {
        int32_t map[kAudioBufferListCapacity];
        std::memcpy(map, data, size);
        return setChannelMap(scope, element, map, size / 4);
      }
    case kAudioOutputUnitProperty_IsRunning:
      return kAudioUnitErr_PropertyNotWritable;
    default:
      return kAudioUnitErr_InvalidProperty;
  }
}

OSStatus AudioUnitInstance::getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                        void* data, uint32_t* ioSize) const {
  if (!data || !ioSize) return kAudio_ParamError;
  if (id == kAudioOutputUnitProperty_ChannelMap) {
    int32_t map[kAudioBufferListCapacity];
    uint32_t count = kAudioBufferListCapacity;
    OSStatus status = getChannelMap(scope, element, map, count);
    if (status) return status;
    const uint32_t bytes = std::min(*ioSize / 4, count) * 4;
    std::memcpy(data, map, bytes);
    *ioSize = bytes;
    return noErr;
  }
  const uint32_t size = propertySize(id);
  if (size == 0 || id == kAudioUnitProperty_SetRenderCallback || id == kAudioOutputUnitProperty_SetInputCallback)
    return kAudioUnitErr_InvalidProperty;
  if (*ioSize < size) return kAudioUnitErr_InvalidPropertyValue;
  switch (id) {
    case kAudioUnitProperty_StreamFormat: {
      AudioStreamBasicDescription f{};
      return writeResult(getStreamFormat(scope, element, f), f, data, ioSize);
    }
    case kAudioOutputUnitProperty_CurrentDevice: {
      AudioObjectID device = 0;
      return writeResult(getCurrentDevice(scope, element, device), device, data, ioSize);
    }
    case kAudioDevicePropertyBufferFrameSize: {
      uint32_t frames = 0;
      return writeResult(getBufferFrameSize(scope, element, frames), frames, data, ioSize);
    }
    case kAudioOutputUnitProperty_IsRunning: {
      uint32_t running = 0;
      return writeResult(getIsRunning(scope, element, running), running, data, ioSize);
    }
    default:
      return kAudioUnitErr_InvalidProperty;
  }
}

OSStatus AudioUnitInstance::getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement,
                                            uint32_t* outDataSize, bool* outWritable) const {
  uint32_t size = propertySize(id);
  if (id == kAudioOutputUnitProperty_ChannelMap) size = 4;
  if (size == 0) return kAudioUnitErr_InvalidProperty;
  if (outDataSize) *outDataSize = size;
  if (outWritable) *outWritable = id != kAudioOutputUnitProperty_IsRunning;
  return noErr;
}

// ------------------------------------------------------------------ components
class AudioComponentEntry {
 public:
  AudioComponentDescription description;
  AudioUnit (*make)(const AudioComponentDescription&);
};

namespace {

AudioUnit makeDeviceUnit(const AudioComponentDescription& d) { return new DeviceIOUnit(d, currentProvider()); }
AudioUnit makeVarispeed(const AudioComponentDescription& d) { return new VarispeedUnit(d); }

const AudioComponentEntry kComponents[] = {
    {{kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0}, makeDeviceUnit},
    {{kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed, kAudioUnitManufacturer_Apple, 0, 0},
     makeVarispeed},
};

bool fits(const AudioComponentDescription& want, const AudioComponentDescription& have) {
  return (!want.componentType || want.componentType == have.componentType) &&
         (!want.componentSubType || want.componentSubType == have.componentSubType) &&
         (!want.componentManufacturer || want.componentManufacturer == have.componentManufacturer);
}

}  // namespace

AudioComponent AudioComponentFindNext(AudioComponent after, const AudioComponentDescription* description) {
  if (!description) return nullptr;
  const AudioComponentEntry* begin = std::begin(kComponents);
  const AudioComponentEntry* end = std::end(kComponents);
  const AudioComponentEntry* it = after ? after + 1 : begin;
  if (it < begin || it > end) return nullptr;
  for (; it != end; ++it)
    if (fits(*description, it->description)) return it;
  return nullptr;
}

OSStatus AudioComponentInstanceNew(AudioComponent component, AudioUnit* outUnit) {
  if (!component || !outUnit) return kAudio_ParamError;
  *outUnit = component->make(component->description);
  return *outUnit ? noErr : kAudio_MemFullError;
}

OSStatus AudioComponentInstanceDispose(AudioUnit unit) {
  if (!unit) return kAudio_ParamError;
  unit->stop();
  delete unit;
  return noErr;
}

// ------------------------------------------------------------------ graph
struct AUGraphInstance::Node {
  AUNode id;
  AudioComponentDescription description;
  AudioComponent component;
  AudioUnit unit = nullptr;
  AUNode source = 0;  // node feeding input 0
  uint32_t sourceBus = 0;
  Node* next = nullptr;
};

AUGraphInstance::AUGraphInstance() = default;

AUGraphInstance::~AUGraphInstance() {
  // Output units first, so nothing pulls from a unit that is going away.
  for (Node* n = nodes_; n; n = n->next)
    if (n->unit) n->unit->stop();
  while (nodes_) {
    Node* n = nodes_;
    nodes_ = n->next;
    delete n->unit;
    delete n;
  }
}

AUGraphInstance::Node* AUGraphInstance::find(AUNode node) const {
  for (Node* n = nodes_; n; n = n->next)
    if (n->id == node) return n;
  return nullptr;
}

OSStatus AUGraphInstance::open() {
  if (open_) return noErr;
  for (Node* n = nodes_; n; n = n->next) {
    if (!n->unit) {
      OSStatus status = AudioComponentInstanceNew(n->component, &n->unit);
      if (status) return status;
    }
  }
  open_ = true;
  for (Node* n = nodes_; n; n = n->next)
    if (n->source) connectNodeInput(n->source, n->sourceBus, n->id, 0);
  return noErr;
}

OSStatus AUGraphInstance::close() {
  uninitialize();
  for (Node* n = nodes_; n; n = n->next) {
    if (n->unit) AudioComponentInstanceDispose(n->unit);
    n->unit = nullptr;
  }
  open_ = false;
  return noErr;
}

OSStatus AUGraphInstance::addNode(const AudioComponentDescription& description, AUNode& outNode) {
  AudioComponent component = AudioComponentFindNext(nullptr, &description);
  if (!component) return kAUGraphErr_NodeNotFound;
  auto* node = new Node{nextNode_++, description, component};
  if (open_) {
    OSStatus status = AudioComponentInstanceNew(component, &node->unit);
    if (status) {
      delete node;
      return status;
    }
  }
  Node** tail = &nodes_;
  while (*tail) tail = &(*tail)->next;
  *tail = node;
  outNode = node->id;
  return noErr;
}

OSStatus AUGraphInstance::removeNode(AUNode node) {
  for (Node** p = &nodes_; *p; p = &(*p)->next) {
    if ((*p)->id != node) continue;
    Node* n = *p;
    for (Node* other = nodes_; other; other = other->next)
      if (other->source == node) disconnectNodeInput(other->id, 0);
    *p = n->next;
    if (n->unit) AudioComponentInstanceDispose(n->unit);
    delete n;
    return noErr;
  }
  return kAUGraphErr_NodeNotFound;
}

OSStatus AUGraphInstance::nodeInfo(AUNode node, AudioComponentDescription* outDescription, AudioUnit* outUnit) const {
  Node* n = find(node);
  if (!n) return kAUGraphErr_NodeNotFound;
  if (outDescription) *outDescription = n->description;
  if (outUnit) *outUnit = n->unit;
  return noErr;
}

OSStatus AUGraphInstance::connectNodeInput(AUNode sourceNode, uint32_t sourceOutputNumber, AUNode destNode,
                                           uint32_t destInputNumber) {
  Node* source = find(sourceNode);
  Node* dest = find(destNode);
  if (!source || !dest) return kAUGraphErr_NodeNotFound;
  if (source == dest || destInputNumber != 0) return kAUGraphErr_InvalidConnection;
  for (Node* n = source; n && n->source; n = find(n->source))
    if (n->source == destNode) return kAUGraphErr_InvalidConnection;  // would close a loop
  dest->source = sourceNode;
  dest->sourceBus = sourceOutputNumber;
  if (open_ && dest->unit) return dest->unit->connectInput(destInputNumber, source->unit, sourceOutputNumber);
  return noErr;
}

OSStatus AUGraphInstance::disconnectNodeInput(AUNode destNode, uint32_t destInputNumber) {
  Node* dest = find(destNode);
  if (!dest) return kAUGraphErr_NodeNotFound;
  dest->source = 0;
  if (open_ && dest->unit) return dest->unit->connectInput(destInputNumber, nullptr, 0);
  return noErr;
}

OSStatus AUGraphInstance::initialize() {
  if (!open_) return kAUGraphErr_CannotDoInCurrentContext;
  // Sources before the units that pull from them.
  for (int pass = 0; pass < 2; ++pass) {
    for (Node* n = nodes_; n; n = n->next) {
      const bool feedsOthers = [&] {
        for (Node* o = nodes_; o; o = o->next)
          if (o->source == n->id) return true;
        return false;
      }();
      if ((pass == 0) != feedsOthers) continue;
      OSStatus status = n->unit->initialize();
      if (status) return status;
    }
  }
  initialized_ = true;
  return noErr;
}

OSStatus AUGraphInstance::uninitialize() {
  for (Node* n = nodes_; n; n = n->next)
    if (n->unit) n->unit->uninitialize();
  initialized_ = false;
  return noErr;
}

OSStatus NewAUGraph(AUGraph* outGraph) {
  if (!outGraph) return kAudio_ParamError;
  *outGraph = new AUGraphInstance;
  return noErr;
}

OSStatus DisposeAUGraph(AUGraph graph) {
  if (!graph) return kAudio_ParamError;
  delete graph;
  return noErr;
}

}  // namespace platform::audio
