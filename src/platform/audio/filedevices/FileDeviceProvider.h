#pragma once
// Sound files as input devices, on top of whichever provider serves the
// sound cards. The overlay wraps the provider chosen at start (the inner
// provider): every call about the inner provider's objects goes to it
// unchanged, and to its devices the overlay adds one input device per open
// sound file, which device lists, sound cards and the analyzer use like any
// other device.
//
// The system object
//   kAudioHardwarePropertyDevices lists the inner provider's devices and then
//   the open files' devices, oldest first; opening or closing a file fires
//   its notification. Every other property of the system object (the default
//   devices among them) is the inner provider's; a file device never becomes
//   a default device.
//
// Notifications
//   The inner provider's notifications reach the listeners unchanged (same
//   object, same addresses), on the overlay's notification thread together
//   with its own, so listeners still run one call at a time as
//   AudioHardware.h promises. A listener on an inner object is registered
//   with the overlay; the overlay itself listens to that object of the inner
//   provider while anyone does.
//
// A file device
//   name        the file's name, "sine.wav"
//   identifier  "file:specan:<path hash, 16 hex digits>:<8 of them>:0": the
//               same path gives the same identifier in every run, so a stored
//               device setting finds the file while it is open; the location
//               (the fourth field) tells apart two files of the same name.
//   input       the file's channels; physical format: linear PCM with the
//               file's bits (integer files), else 32-bit float.
//   rates       the file's own rate (at opening), and the standard rates 8000,
//               11025, 16000, 22050, 32000, 44100, 48000, 96000 and 192000 Hz,
//               converted from the file's rate on the way.
//   buffer      16 to 4096 frames, 512 at opening.
//   sources     "Loop" (at opening): the file over and over; "Play Once": the
//               file from its start to its end, then silence.
//   No output, no volume. Object IDs count from kFirstFileDeviceID, far above
//   those the providers hand out, and are never reused.
//
// Device I/O
//   The file plays while a client's I/O runs on its device and pauses while
//   none does. A reader thread per file reads ahead into a lock-free ring
//   (FileReader.h); the device's I/O thread (in real time a clock thread per
//   file) takes exactly one buffer per cycle from it and calls the clients:
//   no file access, allocation, blocking lock, logging or waiting there. A
//   cycle that finds the ring short gives the missing frames as silence and
//   counts them (underrunFrames). Cycles carry the rate scalar 1.
//
// Clock modes: in real time each file device's clock thread runs its cycles
// every buffer period; stepped, nothing runs by itself and advance() runs the
// due cycles on the calling thread, each once the reader has read what it
// needs, so that a test sees every sample of the file in order.

#include <memory>
#include <string>
#include <vector>

#include "platform/audio/Provider.h"

namespace platform::audio::files {

enum class ClockMode { RealTime, Stepped };

struct Options {
  ClockMode clock = ClockMode::RealTime;
  // Called on each I/O thread the overlay starts, once, before its first
  // cycle (tests mark real-time threads with it). Not called in stepped mode.
  void (*ioThreadStarted)() = nullptr;
};

constexpr AudioObjectID kFirstFileDeviceID = 0x46000000;
// The file devices' data sources.
constexpr uint32_t kSourceLoop = fourCC("loop");
constexpr uint32_t kSourcePlayOnce = fourCC("once");

class FileDeviceProvider final : public Provider {
 public:
  explicit FileDeviceProvider(std::shared_ptr<Provider> inner, const Options& options = {});
  ~FileDeviceProvider() override;
  FileDeviceProvider(const FileDeviceProvider&) = delete;
  FileDeviceProvider& operator=(const FileDeviceProvider&) = delete;

  const std::shared_ptr<Provider>& inner() const;

  // ---- files; any non-audio thread
  // Opens the sound file at path as a new input device and returns its ID,
  // or 0 and the sound-file layer's status (ExtAudioFile.h) in *status. A
  // file that is open already gives its device again.
  AudioObjectID addFile(const std::string& path, OSStatus* status = nullptr);
  // Closes the file of that device: running clients get no further cycles,
  // the device leaves the device list (its notification fires) and its
  // properties fail from then on. False for anything else.
  bool removeFile(AudioObjectID device);
  // The open files' devices, oldest first.
  std::vector<AudioObjectID> fileDevices() const;
  bool isFileDevice(AudioObjectID device) const;
  // The device of the file at path, 0 when it is not open.
  AudioObjectID deviceForPath(const std::string& path) const;
  // The identifier a file at path gets.
  static std::string identifierForPath(const std::string& path);

  // ---- tests
  // Stepped mode: runs every file device cycle due within the next seconds
  // on this thread. Real-time mode: ignored.
  void advance(double seconds);
  // Waits until every notification posted to the overlay so far (its own,
  // and the inner provider's that reached it) has been delivered. Not from a
  // listener.
  void flushNotifications();
  // Frames cycled by the device, and those of them given as silence because
  // its reader fell behind.
  uint64_t framesCycled(AudioObjectID device) const;
  uint64_t underrunFrames(AudioObjectID device) const;

  // ---- Provider
  // The inner provider's name: the window names what serves the sound cards.
  std::string name() const override;
  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
  OSStatus isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                              bool& settable) override;
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               uint32_t qualifierSize, const void* qualifier, uint32_t& size) override;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           uint32_t qualifierSize, const void* qualifier, uint32_t& ioSize, void* data) override;
  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           uint32_t qualifierSize, const void* qualifier, uint32_t size,
                           const void* data) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               AudioObjectPropertyListenerProc listener, void* clientData) override;
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  AudioObjectPropertyListenerProc listener, void* clientData) override;
  uint64_t hostTime() const noexcept override;
  OSStatus deviceCurrentTime(AudioObjectID device, AudioTimeStamp& time) const noexcept override;
  // The real devices' status from the provider beneath; a file device has no
  // drop-outs to tell of.
  OSStatus deviceIoStatus(AudioObjectID device, DeviceIoStatus& status) const noexcept override;
  OSStatus startIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) override;
  OSStatus stopIo(AudioObjectID device, AudioObjectPropertyScope scope, IoClient* client) override;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace platform::audio::files
