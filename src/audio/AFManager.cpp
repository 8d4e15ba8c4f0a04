#include "audio/AFManager.h"

#include "platform/audio/AudioHardware.h"

namespace pa = platform::audio;

AFManager::AFManager()
    : inputList_(std::make_shared<AFList>(true)), outputList_(std::make_shared<AFList>(false)) {}

AFSoundcardPtr<AFInputSoundcard> AFManager::newInputSoundcard() {
  return AFSoundcard::create<AFInputSoundcard>(inputList_);
}

AFSoundcardPtr<AFOutputSoundcard> AFManager::newOutputSoundcard() {
  return AFSoundcard::create<AFOutputSoundcard>(outputList_);
}

std::unique_ptr<AFSoundfile> AFManager::newInputSoundfile() {
  std::unique_ptr<AFSoundfile> file = AFSoundfile::initAsInput();
  if (file->open() != 0) return nullptr;
  return file;
}

pa::AudioTimeStamp AFManager::presentAudioTimeStamp() {
  pa::AudioTimeStamp stamp{};
  stamp.mHostTime = pa::AudioGetCurrentHostTime();
  stamp.mFlags = pa::kAudioTimeStampHostTimeValid;
  return stamp;
}
