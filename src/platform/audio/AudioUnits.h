#pragma once
// Audio units and graphs on top of the provider's device streams:
//   - the device I/O unit (kAudioUnitType_Output / kAudioUnitSubType_HALOutput):
//     element 1 is the device's input, element 0 its output. The client side of
//     the input is output scope / element 1; of the output, input scope /
//     element 0. With input enabled, the input callback runs once per device
//     cycle on the device's I/O thread, and AudioUnitRender on bus 1 within it
//     copies that cycle's samples (through the channel map) into the caller's
//     buffers, one per client channel, each with room for the frames asked
//     (a buffer whose mData is null is pointed at the unit's own). With output enabled, each device cycle pulls the unit's source:
//     the node connected to its input in a graph, else its render callback,
//     else silence.
//   - the varispeed unit (kAudioUnitType_FormatConverter /
//     kAudioUnitSubType_Varispeed): pulls its render callback (input scope,
//     element 0) at the input format's rate and resamples to the output
//     format's rate, faster or slower by kVarispeedParam_PlaybackRate, which may
//     change every render cycle.
//   - the graph (NewAUGraph ... DisposeAUGraph) holds nodes and connections.
//
// Client sample format: 32-bit float, one buffer per channel
// (kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved, packed), at the
// device's nominal rate on the device unit (the unit converts no rates; once a
// device is bound, a client format more than half a hertz off its nominal
// rate is refused). Other formats are refused with
// kAudioUnitErr_FormatNotSupported. kAudioOutputUnitProperty_IsRunning is
// the unit's started state: a unit whose device goes away while it runs gets
// no more cycles but reports running until stopped; binding it to another
// device (or changing its enabled elements) stops it first.
//
// Each unit property has a typed call on the unit that takes the scope and
// element the sound cards address, e.g.
//   unit->setCurrentDevice(kAudioUnitScope_Global, 0, deviceID);
// AudioUnitSetProperty / AudioUnitGetProperty with the property IDs below do
// the same through untyped data (sizes are checked).
//
// Threads: creation, properties, initialise, start, stop, reset and dispose on
// a configuring thread (any non-audio thread; stop and start from within the
// unit's own callback are allowed and do not wait). AudioUnitRender,
// AudioUnitSetParameter and AudioDeviceGetCurrentTime may be called from the
// render and input callbacks; they never allocate, lock or wait. Buffers are
// sized when the unit is initialised: renders of up to 4096 frames (or the
// device's buffer-size maximum, if larger) are served.

#include "platform/audio/AudioTypes.h"

namespace platform::audio {

using AudioUnitPropertyID = uint32_t;
using AudioUnitParameterID = uint32_t;
using AudioUnitScope = uint32_t;
using AudioUnitElement = uint32_t;
using AudioUnitParameterValue = float;
using AudioUnitRenderActionFlags = uint32_t;

constexpr AudioUnitScope kAudioUnitScope_Global = 0;
constexpr AudioUnitScope kAudioUnitScope_Input = 1;
constexpr AudioUnitScope kAudioUnitScope_Output = 2;

// Components
constexpr uint32_t kAudioUnitType_Output = fourCC("auou");
constexpr uint32_t kAudioUnitType_FormatConverter = fourCC("aufc");
constexpr uint32_t kAudioUnitSubType_HALOutput = fourCC("ahal");
constexpr uint32_t kAudioUnitSubType_Varispeed = fourCC("vari");
constexpr uint32_t kAudioUnitManufacturer_Apple = fourCC("appl");

// Properties (typed call in brackets)
constexpr AudioUnitPropertyID kAudioUnitProperty_StreamFormat = fourCC("ufmt");         // ASBD [setStreamFormat/getStreamFormat]
constexpr AudioUnitPropertyID kAudioUnitProperty_SetRenderCallback = fourCC("rcb ");    // AURenderCallbackStruct [setRenderCallback]
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_EnableIO = fourCC("eio ");       // UInt32 [enableIO]
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CurrentDevice = fourCC("cdev");  // AudioObjectID [setCurrentDevice/getCurrentDevice]
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_SetInputCallback = fourCC("icb ");  // AURenderCallbackStruct [setInputCallback]
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_IsRunning = fourCC("run?");      // UInt32 [getIsRunning]
constexpr AudioUnitPropertyID kAudioOutputUnitProperty_ChannelMap = fourCC("cmap");     // SInt32[] [setChannelMap/getChannelMap]
// kAudioDevicePropertyBufferFrameSize (AudioTypes.h) on a device unit: the
// bound device's buffer size [setBufferFrameSize/getBufferFrameSize].

// Parameters
constexpr AudioUnitParameterID kVarispeedParam_PlaybackRate = fourCC("rate");  // 0.25 .. 4.0, default 1

// Render action flags (passed through; the layer sets none itself).
constexpr AudioUnitRenderActionFlags kAudioUnitRenderAction_OutputIsSilence = 1u << 4;

// Render and input callbacks: context, flags, time of the cycle, bus, frames,
// buffers to fill (null for an input callback: render into your own).
using AURenderCallback = OSStatus (*)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                      const AudioTimeStamp* inTimeStamp, uint32_t inBusNumber,
                                      uint32_t inNumberFrames, AudioBufferList* ioData);
struct AURenderCallbackStruct {
  AURenderCallback inputProc;
  void* inputProcRefCon;
};

struct AudioComponentDescription {
  uint32_t componentType;
  uint32_t componentSubType;
  uint32_t componentManufacturer;
  uint32_t componentFlags;
  uint32_t componentFlagsMask;
};

class AudioComponentEntry;  // one registered kind of unit
using AudioComponent = const AudioComponentEntry*;

// One unit. Obtained from AudioComponentInstanceNew or AUGraphNodeInfo.
class AudioUnitInstance {
 public:
  virtual ~AudioUnitInstance();
  AudioUnitInstance(const AudioUnitInstance&) = delete;
  AudioUnitInstance& operator=(const AudioUnitInstance&) = delete;

  const AudioComponentDescription& description() const { return description_; }

  // Sizes buffers and resamplers for the formats set; fails when a format or
  // the bound device cannot be served. Initialising twice re-initialises.
  virtual OSStatus initialize() = 0;
  virtual OSStatus uninitialize() = 0;
  // Clears the unit's running state (resampler history, partial cycles).
  virtual OSStatus reset(AudioUnitScope scope, AudioUnitElement element) = 0;

  virtual OSStatus setStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                   const AudioStreamBasicDescription& format) = 0;
  virtual OSStatus getStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                   AudioStreamBasicDescription& format) const = 0;
  virtual OSStatus setRenderCallback(AudioUnitScope scope, AudioUnitElement element,
                                     const AURenderCallbackStruct& callback) = 0;

  // Real-time: never allocates, locks or waits.
  virtual OSStatus render(AudioUnitRenderActionFlags* ioActionFlags, const AudioTimeStamp* inTimeStamp,
                          uint32_t inOutputBusNumber, uint32_t inNumberFrames,
                          AudioBufferList* ioData) noexcept = 0;
  virtual OSStatus setParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                                AudioUnitParameterValue value, uint32_t bufferOffsetInFrames) noexcept;
  virtual OSStatus getParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                                AudioUnitParameterValue& value) const noexcept;

  // Output (device I/O) units; every other unit answers kAudioUnitErr_InvalidProperty.
  virtual OSStatus enableIO(AudioUnitScope scope, AudioUnitElement element, uint32_t enable);
  virtual OSStatus setCurrentDevice(AudioUnitScope scope, AudioUnitElement element, AudioObjectID device);
  virtual OSStatus getCurrentDevice(AudioUnitScope scope, AudioUnitElement element, AudioObjectID& device) const;
  virtual OSStatus setInputCallback(AudioUnitScope scope, AudioUnitElement element,
                                    const AURenderCallbackStruct& callback);
  virtual OSStatus setBufferFrameSize(AudioUnitScope scope, AudioUnitElement element, uint32_t frames);
  virtual OSStatus getBufferFrameSize(AudioUnitScope scope, AudioUnitElement element, uint32_t& frames) const;
  // count entries; entry k = device channel feeding client channel k, -1 = silence.
  virtual OSStatus setChannelMap(AudioUnitScope scope, AudioUnitElement element, const int32_t* map,
                                 uint32_t count);
  virtual OSStatus getChannelMap(AudioUnitScope scope, AudioUnitElement element, int32_t* map,
                                 uint32_t& count) const;
  virtual OSStatus getIsRunning(AudioUnitScope scope, AudioUnitElement element, uint32_t& running) const;
  virtual OSStatus start();
  virtual OSStatus stop();

  // Untyped property access by ID; forwards to the typed calls.
  OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                       const void* data, uint32_t dataSize);
  OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* data,
                       uint32_t* ioDataSize) const;
  OSStatus getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                           uint32_t* outDataSize, bool* outWritable) const;

 protected:
  explicit AudioUnitInstance(const AudioComponentDescription& description) : description_(description) {}
  friend class AUGraphInstance;
  // Makes input `element` pull from `source`'s output `bus` (null: no source).
  virtual OSStatus connectInput(AudioUnitElement element, AudioUnitInstance* source, uint32_t bus);

 private:
  AudioComponentDescription description_;
};
using AudioUnit = AudioUnitInstance*;

// Components: the first registered component after `after` (null: from the
// start) whose type, subtype and manufacturer match (0 in the description
// matches any); null when none.
AudioComponent AudioComponentFindNext(AudioComponent after, const AudioComponentDescription* description);
// A new unit of the component, bound to the current provider. The caller owns
// it and disposes it with AudioComponentInstanceDispose.
OSStatus AudioComponentInstanceNew(AudioComponent component, AudioUnit* outUnit);
OSStatus AudioComponentInstanceDispose(AudioUnit unit);

// The unit operations as free calls, one per step a sound card takes.
inline OSStatus AudioUnitInitialize(AudioUnit unit) { return unit ? unit->initialize() : kAudio_ParamError; }
inline OSStatus AudioUnitUninitialize(AudioUnit unit) { return unit ? unit->uninitialize() : kAudio_ParamError; }
inline OSStatus AudioUnitReset(AudioUnit unit, AudioUnitScope scope, AudioUnitElement element) {
  return unit ? unit->reset(scope, element) : kAudio_ParamError;
}
inline OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, const void* data, uint32_t dataSize) {
  return unit ? unit->setProperty(id, scope, element, data, dataSize) : kAudio_ParamError;
}
inline OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, void* data, uint32_t* ioDataSize) {
  return unit ? unit->getProperty(id, scope, element, data, ioDataSize) : kAudio_ParamError;
}
inline OSStatus AudioUnitGetPropertyInfo(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                         AudioUnitElement element, uint32_t* outDataSize, bool* outWritable) {
  return unit ? unit->getPropertyInfo(id, scope, element, outDataSize, outWritable) : kAudio_ParamError;
}
inline OSStatus AudioUnitSetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                                      AudioUnitElement element, AudioUnitParameterValue value,
                                      uint32_t bufferOffsetInFrames) noexcept {
  return unit ? unit->setParameter(id, scope, element, value, bufferOffsetInFrames) : kAudio_ParamError;
}
inline OSStatus AudioUnitGetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                                      AudioUnitElement element, AudioUnitParameterValue* value) noexcept {
  return unit && value ? unit->getParameter(id, scope, element, *value) : kAudio_ParamError;
}
inline OSStatus AudioUnitRender(AudioUnit unit, AudioUnitRenderActionFlags* ioActionFlags,
                                const AudioTimeStamp* inTimeStamp, uint32_t inOutputBusNumber,
                                uint32_t inNumberFrames, AudioBufferList* ioData) noexcept {
  return unit ? unit->render(ioActionFlags, inTimeStamp, inOutputBusNumber, inNumberFrames, ioData)
              : kAudio_ParamError;
}
inline OSStatus AudioOutputUnitStart(AudioUnit unit) { return unit ? unit->start() : kAudio_ParamError; }
inline OSStatus AudioOutputUnitStop(AudioUnit unit) { return unit ? unit->stop() : kAudio_ParamError; }

// ---------------------------------------------------------------- graphs
using AUNode = int32_t;

// A graph of units: nodes own their units; a connection makes the destination
// node pull its input from the source node's output. Configuring thread only.
class AUGraphInstance {
 public:
  AUGraphInstance();
  ~AUGraphInstance();
  AUGraphInstance(const AUGraphInstance&) = delete;
  AUGraphInstance& operator=(const AUGraphInstance&) = delete;

  OSStatus open();
  OSStatus close();
  OSStatus addNode(const AudioComponentDescription& description, AUNode& outNode);
  OSStatus removeNode(AUNode node);
  OSStatus nodeInfo(AUNode node, AudioComponentDescription* outDescription, AudioUnit* outUnit) const;
  OSStatus connectNodeInput(AUNode sourceNode, uint32_t sourceOutputNumber, AUNode destNode,
                            uint32_t destInputNumber);
  OSStatus disconnectNodeInput(AUNode destNode, uint32_t destInputNumber);
  // Initialises every unit, sources before the units that pull from them.
  OSStatus initialize();
  OSStatus uninitialize();
  bool isOpen() const { return open_; }
  bool isInitialized() const { return initialized_; }

 private:
  struct Node;
  Node* find(AUNode node) const;
  Node* nodes_ = nullptr;  // singly linked, owned
  AUNode nextNode_ = 1;
  bool open_ = false;
  bool initialized_ = false;
};
using AUGraph = AUGraphInstance*;

OSStatus NewAUGraph(AUGraph* outGraph);
OSStatus DisposeAUGraph(AUGraph graph);  // stops, uninitialises and disposes every node's unit
inline OSStatus AUGraphOpen(AUGraph g) { return g ? g->open() : kAudio_ParamError; }
inline OSStatus AUGraphClose(AUGraph g) { return g ? g->close() : kAudio_ParamError; }
inline OSStatus AUGraphAddNode(AUGraph g, const AudioComponentDescription* d, AUNode* outNode) {
  return g && d && outNode ? g->addNode(*d, *outNode) : kAudio_ParamError;
}
inline OSStatus AUGraphRemoveNode(AUGraph g, AUNode node) { return g ? g->removeNode(node) : kAudio_ParamError; }
inline OSStatus AUGraphNodeInfo(AUGraph g, AUNode node, AudioComponentDescription* outDescription,
                                AudioUnit* outUnit) {
  return g ? g->nodeInfo(node, outDescription, outUnit) : kAudio_ParamError;
}
inline OSStatus AUGraphConnectNodeInput(AUGraph g, AUNode source, uint32_t sourceOutput, AUNode dest,
                                        uint32_t destInput) {
  return g ? g->connectNodeInput(source, sourceOutput, dest, destInput) : kAudio_ParamError;
}
inline OSStatus AUGraphDisconnectNodeInput(AUGraph g, AUNode dest, uint32_t destInput) {
  return g ? g->disconnectNodeInput(dest, destInput) : kAudio_ParamError;
}
inline OSStatus AUGraphInitialize(AUGraph g) { return g ? g->initialize() : kAudio_ParamError; }
inline OSStatus AUGraphUninitialize(AUGraph g) { return g ? g->uninitialize() : kAudio_ParamError; }

}  // namespace platform::audio
