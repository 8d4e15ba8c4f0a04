#pragma once
// The File menu's sound-file commands.
//   Open Sound File…  asks for a sound file (the open panel, showing the files
//                     the sound-file layer reads), makes it an input device of
//                     the file-device overlay and selects that device as the
//                     analyzer's input, as a pick in the device pop-up would.
//   Close Sound File  closes the file the input is on (else the one opened
//                     last): its device leaves the device list and the input
//                     falls back as for an unplugged device.
// A file that cannot be opened is reported in an alert. Without the overlay
// installed as the current provider the commands do nothing.
//
// Threads: main thread only. Opening waits until the input's card has taken
// up the new device list; meanwhile it runs the main thread's queued work,
// which the card's notification handler waits for.

#include <cstdint>
#include <memory>
#include <string>

class Input;
namespace platform::audio::files {
class FileDeviceProvider;
}

class SoundFileCommands {
 public:
  // The input the commands select files for; may be null (files are opened
  // and closed, nothing is selected).
  explicit SoundFileCommands(Input* input) : input_(input) {}

  // Open Sound File…: the device opened and selected, 0 when the panel was
  // cancelled or the file could not be opened.
  uint32_t openSoundFile();
  // The same without the panel.
  uint32_t openSoundFileAtPath(const std::string& path);
  // Close Sound File: the device closed, 0 when no file is open.
  uint32_t closeSoundFile();
  // Whether a file is open (Close Sound File has something to do).
  bool canCloseSoundFile() const;
  // Whether files can be opened at all (the overlay is installed).
  static bool available();

 private:
  static std::shared_ptr<platform::audio::files::FileDeviceProvider> overlay();

  Input* input_;
};
