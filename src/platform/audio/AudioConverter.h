#pragma once
// The sampling-rate converter (on libsoxr). A converter is made for a source
// and a destination stream description that differ only in their rate:
// linear PCM, 32-bit float, one buffer per channel or interleaved, the same
// channel count on both sides (1..64). Other pairs are refused with
// kAudioConverterErr_FormatNotSupported.
//
// AudioConverterFillComplexBuffer produces exactly the requested number of
// destination frames, pulling source frames through the input procedure as it
// needs them. The procedure points the list's buffers at its samples and
// reports how many frames it gave; those samples must stay valid until the
// procedure is called again or the fill returns. Reporting 0 frames ends the
// input: the fill then returns what it produced so far with noErr (and the
// frame count lowered); a non-zero status from the procedure is returned as is.
//
// Priming: kAudioConverterPrimeMethod. With kConverterPrimeMethod_None (the
// default) the resampler is run in with silence at creation and on reset, so
// no fill allocates, and the output lags the input by the resampler's delay.
// With kConverterPrimeMethod_Normal the output lines up with the input (the
// first frame out is the first frame in) and ending the input yields exactly
// the frames the input's duration holds; the first fills after creation,
// reset or a quality change may allocate. Set it before filling, on a thread
// that is not filling.
//
// Quality: kAudioConverterSampleRateConverterQuality, one of the five
// kAudioConverterQuality_ values (others are rounded down to the nearest);
// High unless set. Setting it while another thread is filling is safe: the
// filling thread takes the new resampler at its next fill.
//
// Threads: one thread fills at a time; new, reset, set-property and dispose on
// any thread that is not filling at that moment (quality excepted, above).
// Buffers are sized at creation; a fill allocates nothing.

#include "platform/audio/AudioTypes.h"

namespace platform::audio {

class AudioConverterInstance;
using AudioConverterRef = AudioConverterInstance*;
using AudioConverterPropertyID = uint32_t;

constexpr AudioConverterPropertyID kAudioConverterSampleRateConverterQuality = fourCC("srcq");  // UInt32
constexpr AudioConverterPropertyID kAudioConverterCurrentInputStreamDescription = fourCC("acid");   // ASBD, read
constexpr AudioConverterPropertyID kAudioConverterCurrentOutputStreamDescription = fourCC("acod");  // ASBD, read
constexpr AudioConverterPropertyID kAudioConverterPrimeMethod = fourCC("prmm");  // UInt32, _Normal or _None

constexpr uint32_t kConverterPrimeMethod_Normal = 1;
constexpr uint32_t kConverterPrimeMethod_None = 2;

constexpr uint32_t kAudioConverterQuality_Min = 0;
constexpr uint32_t kAudioConverterQuality_Low = 0x20;
constexpr uint32_t kAudioConverterQuality_Medium = 0x40;
constexpr uint32_t kAudioConverterQuality_High = 0x60;
constexpr uint32_t kAudioConverterQuality_Max = 0x7F;

// The input procedure: set *ioNumberDataPackets to the frames supplied (at
// most the number asked) and point ioData's buffers at them (ioData has as
// many buffers as the source format has; one for interleaved).
using AudioConverterComplexInputDataProc = OSStatus (*)(AudioConverterRef converter,
                                                         uint32_t* ioNumberDataPackets,
                                                         AudioBufferList* ioData,
                                                         AudioStreamPacketDescription** outDataPacketDescription,
                                                         void* inUserData);

OSStatus AudioConverterNew(const AudioStreamBasicDescription* source,
                           const AudioStreamBasicDescription* destination, AudioConverterRef* outConverter);
OSStatus AudioConverterDispose(AudioConverterRef converter);
// Forgets buffered input and the resampler's history.
OSStatus AudioConverterReset(AudioConverterRef converter);
// *ioOutputDataPacketSize: frames wanted in, frames produced out. The buffers
// of outOutputData must hold that many frames each; their mDataByteSize is set
// to the bytes produced.
OSStatus AudioConverterFillComplexBuffer(AudioConverterRef converter, AudioConverterComplexInputDataProc inputProc,
                                         void* inInputDataProcUserData, uint32_t* ioOutputDataPacketSize,
                                         AudioBufferList* outOutputData,
                                         AudioStreamPacketDescription* outPacketDescription);
OSStatus AudioConverterSetProperty(AudioConverterRef converter, AudioConverterPropertyID id, uint32_t dataSize,
                                   const void* data);
OSStatus AudioConverterGetProperty(AudioConverterRef converter, AudioConverterPropertyID id, uint32_t* ioDataSize,
                                   void* outData);

}  // namespace platform::audio
