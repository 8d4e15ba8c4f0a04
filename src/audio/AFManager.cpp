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

pa::AudioTimeStamp AFManager::presentAudioTimeStamp() {
  pa::AudioTimeStamp stamp{};
  stamp.mHostTime = pa::AudioGetCurrentHostTime();
  stamp.mFlags = pa::kAudioTimeStampHostTimeValid;
  return stamp;
}
