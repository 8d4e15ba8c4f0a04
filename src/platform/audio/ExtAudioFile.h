#pragma once
// Sound files read and written in the audio layer's client sample form.
//
// A file object reads or writes one file. What callers exchange with it is
// the client data format: 32-bit float linear PCM, one buffer per channel,
// with the file's channel count, at any rate. When the client rate differs
// from the file's, the object converts on the way (libsoxr, through the
// sampling-rate converter of AudioConverter.h, which the caller may borrow to
// set its quality). Without a client format set, the client rate is the
// file's.
//
// Containers and encodings:
//   - AIFF, WAVE and CAF, read and written as linear PCM (8 to 32-bit
//     integer, 32 or 64-bit float), and everything else the installed
//     libsndfile reads (FLAC, Ogg Vorbis and Opus, ...);
//   - MPEG audio, layers I to III (.mp3 and the like), through libmpg123,
//     whose notes on damaged stretches never reach standard error;
//   - MPEG-4 audio files (.m4a, .mp4) and raw ADTS AAC, through FFmpeg:
//     AAC read, AAC-LC written (FFmpeg's own encoder, 64 kbit/s a channel).
//
// Units: frame positions and lengths (seek, tell, kExtAudioFileProperty_
// FileLengthFrames) count frames at the file's own rate, whatever the client
// rate. Sample values are full scale at ±1.0; integer files are written
// rounded to the nearest step and clipped beyond full scale, never wrapped.
//
// Failures: every call returns a status, noErr (0) on success; nothing
// throws. A file that is missing, truncated or not audio gives an error
// status or a short read, never a crash.
//
// Threads: one thread at a time per file object (any thread); different
// objects may be used at once. Calls may allocate, block on the file system
// and take time: never call them on a real-time thread.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio/AudioConverter.h"
#include "platform/audio/AudioTypes.h"

namespace platform::audio {

class ExtAudioFileInstance;
using ExtAudioFileRef = ExtAudioFileInstance*;
using AudioFileTypeID = uint32_t;
using ExtAudioFilePropertyID = uint32_t;
// Not interpreted: files get the usual layout for their channel count.
struct AudioChannelLayout;

// ---------------------------------------------------------------- file types
constexpr AudioFileTypeID kAudioFileAIFFType = fourCC("AIFF");
constexpr AudioFileTypeID kAudioFileWAVEType = fourCC("WAVE");
constexpr AudioFileTypeID kAudioFileCAFType = fourCC("caff");
constexpr AudioFileTypeID kAudioFileM4AType = fourCC("m4af");

// ---------------------------------------------------------------- encodings
// Besides linear PCM and AAC (AudioTypes.h), as reported for files read.
constexpr AudioFormatID kAudioFormatULaw = fourCC("ulaw");
constexpr AudioFormatID kAudioFormatALaw = fourCC("alaw");
constexpr AudioFormatID kAudioFormatFLAC = fourCC("flac");
constexpr AudioFormatID kAudioFormatAppleLossless = fourCC("alac");
constexpr AudioFormatID kAudioFormatOpus = fourCC("opus");
constexpr AudioFormatID kAudioFormatVorbis = fourCC("vorb");
constexpr AudioFormatID kAudioFormatMPEGLayer3 = fourCC(".mp3");
// Any other compressed encoding (ADPCM variants, GSM, ...).
constexpr AudioFormatID kAudioFormatOtherCompressed = fourCC("????");
// The format flags of an AAC stream name its object type.
constexpr AudioFormatFlags kMPEG4Object_AAC_LC = 2;

// Creation flags
constexpr uint32_t kAudioFileFlags_EraseFile = 1;  // replace an existing file

// ---------------------------------------------------------------- properties
// The file's own data format (AudioStreamBasicDescription), read only.
constexpr ExtAudioFilePropertyID kExtAudioFileProperty_FileDataFormat = fourCC("ffmt");
// The client data format (AudioStreamBasicDescription), read and set: 32-bit
// float, non-interleaved, the file's channel count, any rate from 1 Hz.
constexpr ExtAudioFilePropertyID kExtAudioFileProperty_ClientDataFormat = fourCC("cfmt");
// The file's length in frames (int64): when reading, as its header or index
// says (0 when it says nothing); when writing, the frames written so far.
constexpr ExtAudioFilePropertyID kExtAudioFileProperty_FileLengthFrames = fourCC("#frm");
// The rate converter in use (AudioConverterRef), read only; null while the
// client rate equals the file's. The file owns it: it is valid until the
// client format is set again or the file is disposed. Only its quality may
// be set by the caller.
constexpr ExtAudioFilePropertyID kExtAudioFileProperty_AudioConverter = fourCC("acnv");

// ---------------------------------------------------------------- statuses
constexpr OSStatus kAudioFileUnspecifiedError = OSStatus(fourCC("wht?"));
constexpr OSStatus kAudioFileUnsupportedFileTypeError = OSStatus(fourCC("typ?"));
constexpr OSStatus kAudioFileUnsupportedDataFormatError = OSStatus(fourCC("fmt?"));
constexpr OSStatus kAudioFilePermissionsError = OSStatus(fourCC("prm?"));
constexpr OSStatus kAudioFileInvalidFileError = OSStatus(fourCC("dta?"));
constexpr OSStatus kAudioFileOperationNotSupportedError = OSStatus(fourCC("op??"));
// Refused for what the file states, not for its encoding: more channels
// than a buffer list holds (kAudioBufferListCapacity), or a sampling rate
// outside 1 Hz to kAudioHighestSampleRate.
constexpr OSStatus kAudioFileUnsupportedChannelCountError = OSStatus(fourCC("chn?"));
constexpr OSStatus kAudioFileUnsupportedSampleRateError = OSStatus(fourCC("srt?"));
constexpr OSStatus kAudioFileNotOpenError = -38;
constexpr OSStatus kAudioFileFileNotFoundError = -43;
constexpr OSStatus kExtAudioFileError_InvalidProperty = -66561;
constexpr OSStatus kExtAudioFileError_InvalidPropertySize = -66562;
constexpr OSStatus kExtAudioFileError_NonPCMClientFormat = -66563;
constexpr OSStatus kExtAudioFileError_InvalidDataFormat = -66566;
constexpr OSStatus kExtAudioFileError_InvalidSeek = -66568;

// ---------------------------------------------------------------- calls
// Opens the file at path (UTF-8) for reading. The client format starts as
// the file's rate and channel count. Missing file: kAudioFileFileNotFoundError;
// unreadable: kAudioFilePermissionsError; not a sound file this layer reads:
// kAudioFileUnsupportedFileTypeError, kAudioFileInvalidFileError or
// kAudioFileUnsupportedDataFormatError; a folder, named pipe, device or
// socket: kAudioFileInvalidFileError, at once (a pipe is never waited on).
// A sound file of more than 64 channels: kAudioFileUnsupportedChannelCountError;
// of a rate outside 1 Hz to 10 MHz: kAudioFileUnsupportedSampleRateError.
OSStatus ExtAudioFileOpenURL(const char* path, ExtAudioFileRef* outExtAudioFile);

// The sampling rate and channel count the sound file at path states (the
// other fields 0), also of one that ExtAudioFileOpenURL refuses for them:
// for saying what a refused file holds. The statuses of ExtAudioFileOpenURL
// for a file whose header cannot be read.
OSStatus ExtAudioFileGetStatedFormat(const char* path, AudioStreamBasicDescription* outFormat);

// Creates a file of type (kAudioFile…Type) holding format: linear PCM,
// packed and interleaved, for AIFF, WAVE and CAF; AAC (1 to 8 channels, a
// rate the AAC encoder offers) for M4A. An existing file is replaced with
// kAudioFileFlags_EraseFile and refused (kAudioFilePermissionsError)
// without it. Nothing is created when the status is not noErr.
OSStatus ExtAudioFileCreateWithURL(const char* path, AudioFileTypeID type, const AudioStreamBasicDescription* format,
                                   const AudioChannelLayout* channelLayout, uint32_t flags,
                                   ExtAudioFileRef* outExtAudioFile);

// Closes the file; a written file is completed first (converter drained,
// encoder flushed, header and index written), and the status says whether
// that succeeded. The object is gone either way.
OSStatus ExtAudioFileDispose(ExtAudioFileRef file);

// Reads up to *ioNumberFrames client frames into ioData, which must hold at
// least one buffer per channel; no more frames are read than the smallest of
// those buffers holds (mDataByteSize), and each buffer's mDataByteSize is
// set to the bytes read. On return *ioNumberFrames is the count read: fewer
// than asked only at the end of the file, 0 from then on.
OSStatus ExtAudioFileRead(ExtAudioFileRef file, uint32_t* ioNumberFrames, AudioBufferList* ioData);

// Writes numberFrames client frames from ioData: at least one buffer per
// channel, each holding the frames (mDataByteSize), else kAudio_ParamError.
OSStatus ExtAudioFileWrite(ExtAudioFileRef file, uint32_t numberFrames, const AudioBufferList* ioData);

// Reading only: the next read starts at frame (file frames, 0 up to the
// length). Out of range: kExtAudioFileError_InvalidSeek, position kept.
OSStatus ExtAudioFileSeek(ExtAudioFileRef file, int64_t frameOffset);

// The position in file frames: where the next read starts, or how many
// frames were written.
OSStatus ExtAudioFileTell(ExtAudioFileRef file, int64_t* outFrameOffset);

// *ioDataSize: room in outData in, bytes given out. Too little room:
// kExtAudioFileError_InvalidPropertySize.
OSStatus ExtAudioFileGetProperty(ExtAudioFileRef file, ExtAudioFilePropertyID id, uint32_t* ioDataSize,
                                 void* outData);
// Only kExtAudioFileProperty_ClientDataFormat can be set; a refused format
// leaves the previous one in place.
OSStatus ExtAudioFileSetProperty(ExtAudioFileRef file, ExtAudioFilePropertyID id, uint32_t dataSize,
                                 const void* data);

// File-name extensions of the files this layer reads (lower case, no dot),
// for restricting an open panel.
std::vector<std::string> AudioFileReadableExtensions();

}  // namespace platform::audio
