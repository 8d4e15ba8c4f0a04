#pragma once
// Plain records, statuses and selector codes of the audio object model.
// Everything here is data: no calls, no threads. Records have the layout the
// sound cards rely on (sizes are checked below), so they can be copied,
// zeroed and compared as bytes.

#include <cstddef>
#include <cstdint>

namespace platform::audio {

using OSStatus = int32_t;  // 0 is success; anything else is a failure
using AudioObjectID = uint32_t;
using AudioObjectPropertySelector = uint32_t;
using AudioObjectPropertyScope = uint32_t;
using AudioObjectPropertyElement = uint32_t;
using AudioFormatID = uint32_t;
using AudioFormatFlags = uint32_t;

// A four-character code as an unsigned 32-bit value, first character in the
// most significant byte: fourCC("dev#").
constexpr uint32_t fourCC(const char (&code)[5]) {
  return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
         (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

// ---------------------------------------------------------------- statuses
constexpr OSStatus noErr = 0;
constexpr OSStatus kAudio_ParamError = -50;
constexpr OSStatus kAudio_MemFullError = -108;
// Object model
constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(fourCC("stop"));
constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(fourCC("what"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(fourCC("who?"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(fourCC("!siz"));
constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(fourCC("nope"));
constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(fourCC("!obj"));
constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(fourCC("!dev"));
constexpr OSStatus kAudioHardwareUnsupportedOperationError = OSStatus(fourCC("unop"));
constexpr OSStatus kAudioDeviceUnsupportedFormatError = OSStatus(fourCC("!dat"));
// Units and graphs
constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
constexpr OSStatus kAudioUnitErr_InvalidParameter = -10878;
constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
constexpr OSStatus kAudioUnitErr_InvalidScope = -10866;
constexpr OSStatus kAudioUnitErr_PropertyNotWritable = -10865;
constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;
constexpr OSStatus kAudioUnitErr_InvalidPropertyValue = -10851;
constexpr OSStatus kAudioUnitErr_NoDevice = -10850;  // bound device gone or none bound
constexpr OSStatus kAUGraphErr_NodeNotFound = -10860;
constexpr OSStatus kAUGraphErr_InvalidConnection = -10861;
constexpr OSStatus kAUGraphErr_CannotDoInCurrentContext = -10863;
// Converter
constexpr OSStatus kAudioConverterErr_FormatNotSupported = OSStatus(fourCC("fmt?"));
constexpr OSStatus kAudioConverterErr_PropertyNotSupported = OSStatus(fourCC("prop"));
constexpr OSStatus kAudioConverterErr_BadPropertySizeError = OSStatus(fourCC("!siz"));
constexpr OSStatus kAudioConverterErr_InvalidInputSize = OSStatus(fourCC("insz"));

// ---------------------------------------------------------------- objects
constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector;
  AudioObjectPropertyScope mScope;
  AudioObjectPropertyElement mElement;
};
inline bool operator==(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
  return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

// Scopes and elements
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCC("glob");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCC("inpt");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = fourCC("outp");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeWildcard = fourCC("****");
constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeInput = fourCC("inpt");
constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeOutput = fourCC("outp");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementWildcard = 0xFFFFFFFFu;
// A listener registered with the wildcard selector hears every selector of its
// scope, on every element.
constexpr AudioObjectPropertySelector kAudioObjectPropertySelectorWildcard = fourCC("****");

// System object (global scope, element 0)
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCC("dev#");                // AudioObjectID[]
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice = fourCC("dIn ");     // AudioObjectID, settable
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice = fourCC("dOut");    // AudioObjectID, settable

// Any object
constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCC("lnam");  // AudioStringRef (reader releases)

// Devices, global scope
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCC("uid ");               // AudioStringRef (reader releases)
constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = fourCC("nsrt");       // Float64, settable to an offered rate
constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSize = fourCC("fsiz");         // UInt32 frames, settable within the range
constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSizeRange = fourCC("fsz#");    // AudioValueRange
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsRunning = fourCC("goin");         // UInt32, 1 while any I/O runs
// Devices, input or output scope
constexpr AudioObjectPropertySelector kAudioStreamPropertyPhysicalFormat = fourCC("pft ");            // AudioStreamBasicDescription, settable to an offered format
constexpr AudioObjectPropertySelector kAudioStreamPropertyVirtualFormat = fourCC("sfmt");             // AudioStreamBasicDescription (32-bit float), read only
constexpr AudioObjectPropertySelector kAudioStreamPropertyAvailablePhysicalFormats = fourCC("pfta");  // AudioStreamRangedDescription[]
constexpr AudioObjectPropertySelector kAudioDevicePropertyDataSources = fourCC("ssc#");               // UInt32[] source IDs
constexpr AudioObjectPropertySelector kAudioDevicePropertyDataSourceNameForIDCFString = fourCC("lscn");  // AudioValueTranslation: UInt32 -> AudioStringRef
constexpr AudioObjectPropertySelector kAudioDevicePropertyDataSource = fourCC("ssrc");                // UInt32 current source ID, settable
constexpr AudioObjectPropertySelector kAudioDevicePropertyVolumeScalar = fourCC("volm");              // Float32 0..1, element = channel (0 = main)
constexpr AudioObjectPropertySelector kAudioDevicePropertyVolumeDecibels = fourCC("vold");
constexpr AudioObjectPropertySelector kAudioDevicePropertyMute = fourCC("mute");
constexpr AudioObjectPropertySelector kAudioDevicePropertyLatency = fourCC("ltnc");                   // UInt32 frames
constexpr AudioObjectPropertySelector kAudioDevicePropertySafetyOffset = fourCC("saft");              // UInt32 frames
constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamFormats = fourCC("sfm#");
constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamFormat = fourCC("sfmt");
constexpr AudioObjectPropertySelector kAudioHardwareServiceDeviceProperty_VirtualMainVolume = fourCC("vmvc");
constexpr AudioObjectPropertySelector kAudioHardwareServiceDeviceProperty_VirtualMainBalance = fourCC("vmbc");

// ---------------------------------------------------------------- formats
constexpr AudioFormatID kAudioFormatLinearPCM = fourCC("lpcm");
constexpr AudioFormatID kAudioFormatMPEG4AAC = fourCC("aac ");
constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1u << 0;
constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1u << 1;
constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1u << 2;
constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1u << 3;
constexpr AudioFormatFlags kAudioFormatFlagIsAlignedHigh = 1u << 4;
constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 1u << 5;
constexpr AudioFormatFlags kAudioFormatFlagsNativeFloatPacked = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;

// The stream format (40 bytes).
struct AudioStreamBasicDescription {
  double mSampleRate;
  AudioFormatID mFormatID;
  AudioFormatFlags mFormatFlags;
  uint32_t mBytesPerPacket;
  uint32_t mFramesPerPacket;
  uint32_t mBytesPerFrame;
  uint32_t mChannelsPerFrame;
  uint32_t mBitsPerChannel;
  uint32_t mReserved;
};

// 32-bit float linear PCM, packed, at rate with channels channels; one buffer
// per channel when nonInterleaved (the format between the audio layer and its
// clients).
constexpr AudioStreamBasicDescription floatFormat(double rate, uint32_t channels, bool nonInterleaved = true) {
  AudioStreamBasicDescription f{};
  f.mSampleRate = rate;
  f.mFormatID = kAudioFormatLinearPCM;
  f.mFormatFlags = kAudioFormatFlagsNativeFloatPacked | (nonInterleaved ? kAudioFormatFlagIsNonInterleaved : 0);
  f.mChannelsPerFrame = channels;
  f.mBitsPerChannel = 32;
  f.mBytesPerFrame = nonInterleaved ? 4 : 4 * channels;
  f.mFramesPerPacket = 1;
  f.mBytesPerPacket = f.mBytesPerFrame;
  return f;
}

struct AudioValueRange {
  double mMinimum;
  double mMaximum;
};

// One offered physical format with the sampling rates it covers, both bounds
// inclusive (56 bytes).
struct AudioStreamRangedDescription {
  AudioStreamBasicDescription mFormat;
  AudioValueRange mSampleRateRange;
};

// A translation of one value into another (32 bytes); the data-source name
// query takes a UInt32 source ID in and gives an AudioStringRef out.
struct AudioValueTranslation {
  void* mInputData;
  uint32_t mInputDataSize;
  void* mOutputData;
  uint32_t mOutputDataSize;
};

// Text handed out by the object model (names, identifiers, source names). The
// reader of such a property owns one reference and calls AudioStringRelease.
struct AudioString;
using AudioStringRef = const AudioString*;
// A new reference holding a copy of text (UTF-8).
AudioStringRef AudioStringCreate(const char* text, std::size_t length);
// The text, valid until the reference is released; "" for null.
const char* AudioStringGetCString(AudioStringRef string);
// Another reference to the same text.
AudioStringRef AudioStringRetain(AudioStringRef string);
// Drops one reference; null is ignored.
void AudioStringRelease(AudioStringRef string);

// ---------------------------------------------------------------- samples
// One buffer of samples. The cards always use one channel per buffer.
struct AudioBuffer {
  uint32_t mNumberChannels;
  uint32_t mDataByteSize;
  void* mData;
};

constexpr uint32_t kAudioBufferListCapacity = 64;

// The highest sampling rate of the float formats the converter, the units
// and the sound files take, in Hz; their lowest is above 0 (1 Hz for files).
constexpr double kAudioHighestSampleRate = 1e7;

// A list of buffers with room for 64 entries, so that a list may describe up
// to 64 channels without a trailing extension.
struct AudioBufferList {
  uint32_t mNumberBuffers;
  AudioBuffer mBuffers[kAudioBufferListCapacity];
};

// ---------------------------------------------------------------- time
struct SMPTETime {
  int16_t mSubframes;
  int16_t mSubframeDivisor;
  uint32_t mCounter;
  uint32_t mType;
  uint32_t mFlags;
  int16_t mHours;
  int16_t mMinutes;
  int16_t mSeconds;
  int16_t mFrames;
};

constexpr uint32_t kAudioTimeStampSampleTimeValid = 1u << 0;
constexpr uint32_t kAudioTimeStampHostTimeValid = 1u << 1;
constexpr uint32_t kAudioTimeStampRateScalarValid = 1u << 2;
constexpr uint32_t kAudioTimeStampWordClockTimeValid = 1u << 3;
constexpr uint32_t kAudioTimeStampSMPTETimeValid = 1u << 4;

// Time of a render cycle: device sample time, host time (nanoseconds of the
// host clock), and the device's ratio of actual to nominal sample rate.
struct AudioTimeStamp {
  double mSampleTime;
  uint64_t mHostTime;
  double mRateScalar;
  uint64_t mWordClockTime;
  SMPTETime mSMPTETime;
  uint32_t mFlags;
  uint32_t mReserved;
};

// Packet descriptions: unused for the linear PCM this layer converts.
struct AudioStreamPacketDescription {
  int64_t mStartOffset;
  uint32_t mVariableFramesInPacket;
  uint32_t mDataByteSize;
};

static_assert(sizeof(AudioStreamBasicDescription) == 40);
static_assert(sizeof(AudioStreamRangedDescription) == 56);
static_assert(sizeof(AudioValueTranslation) == 32);
static_assert(sizeof(AudioObjectPropertyAddress) == 12);
static_assert(sizeof(AudioBuffer) == 16);
static_assert(offsetof(AudioBufferList, mBuffers) == 8);
static_assert(sizeof(AudioStringRef) == 8);

}  // namespace platform::audio
