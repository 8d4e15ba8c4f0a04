#include "app/controller/SoundFileCommands.h"

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "audio/AFSoundcard.h"
#include "audio/AFSoundfile.h"
#include "endpoints/Input.h"
#include "platform/audio/ExtAudioFile.h"
#include "platform/audio/filedevices/FileDeviceProvider.h"
#include "ui/MainThread.h"
#include "ui/Panels.h"

namespace pa = platform::audio;
using platform::audio::files::FileDeviceProvider;

namespace {

// How long opening waits for the input's card to list the new device; past
// it the file stays open and the device pop-up offers it.
constexpr auto kPickTimeout = std::chrono::seconds(3);

std::string reason(pa::OSStatus status) {
  switch (status) {
    case pa::kAudioFileFileNotFoundError:
      return "There is no such file.";
    case pa::kAudioFilePermissionsError:
      return "The file cannot be read.";
    case pa::kAudioFileUnsupportedFileTypeError:
    case pa::kAudioFileInvalidFileError:
    case pa::kAudioFileUnsupportedDataFormatError:
      return "It is not a sound file that SpecAn reads.";
    case pa::kAudioFileUnsupportedChannelCountError:
      return "It has more than the " + std::to_string(pa::kAudioBufferListCapacity) + " channels SpecAn reads.";
    case pa::kAudioFileUnsupportedSampleRateError:
      return "Its sampling rate is outside the 1 Hz to 10 MHz SpecAn reads.";
    case pa::kAudioHardwareIllegalOperationError:
      return "Too many sound files are open.";
    default:
      return "The sound-file layer reports the status " + std::to_string(status) + ".";
  }
}

}  // namespace

std::shared_ptr<FileDeviceProvider> SoundFileCommands::overlay() {
  return std::dynamic_pointer_cast<FileDeviceProvider>(pa::currentProvider());
}

bool SoundFileCommands::available() { return overlay() != nullptr; }

uint32_t SoundFileCommands::openSoundFile() {
  if (!overlay()) return 0;
  // The sound file's own open panel: titled, and restricted to the files
  // the sound-file layer reads.
  const std::optional<std::vector<std::string>> chosen = AFSoundfile::initAsInput()->openPanel();
  if (!chosen || chosen->empty() || chosen->front().empty()) return 0;
  return openSoundFileAtPath(chosen->front());
}

uint32_t SoundFileCommands::openSoundFileAtPath(const std::string& path) {
  const std::shared_ptr<FileDeviceProvider> files = overlay();
  if (!files) return 0;
  pa::OSStatus status = pa::noErr;
  const pa::AudioObjectID device = files->addFile(path, &status);
  if (!device) {
    if (ui::Panels* panels = ui::Panels::instance())
      panels->showAlert("The sound file \"" + path + "\" could not be opened.", reason(status));
    return 0;
  }
  if (!input_) return device;
  // The card hears of the new device on its notification thread and puts it
  // into its pop-up through the main thread: serve that until it is there.
  ui::MainThread& mainThread = ui::MainThread::instance();
  const auto deadline = std::chrono::steady_clock::now() + kPickTimeout;
  while (!input_->pickDevice(device) && std::chrono::steady_clock::now() < deadline) {
    mainThread.drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return device;
}

uint32_t SoundFileCommands::closeSoundFile() {
  const std::shared_ptr<FileDeviceProvider> files = overlay();
  if (!files) return 0;
  const std::vector<pa::AudioObjectID> open = files->fileDevices();
  if (open.empty()) return 0;
  pa::AudioObjectID device = open.back();
  if (AFSoundcard* card = input_ ? input_->soundcard() : nullptr)
    if (std::shared_ptr<AFDevice> selected = card->selectedDevice(); selected && files->isFileDevice(selected->deviceID()))
      device = selected->deviceID();
  // The input follows when the card hears that the device has gone.
  files->removeFile(device);
  return device;
}

bool SoundFileCommands::canCloseSoundFile() const {
  const std::shared_ptr<FileDeviceProvider> files = overlay();
  return files && !files->fileDevices().empty();
}
