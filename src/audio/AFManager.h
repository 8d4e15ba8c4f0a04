#pragma once
// The application's audio device manager: one input list and one output list
// for the whole run, shared with every sound card made from it. Main thread.

#include <memory>

#include "audio/AFInputSoundcard.h"
#include "audio/AFList.h"
#include "audio/AFOutputSoundcard.h"
#include "platform/audio/AudioTypes.h"

class AFManager {
 public:
  AFManager();
  AFManager(const AFManager&) = delete;
  AFManager& operator=(const AFManager&) = delete;

  const std::shared_ptr<AFList>& inputList() const { return inputList_; }
  const std::shared_ptr<AFList>& outputList() const { return outputList_; }

  // A new input card on the input list, following the default input device.
  AFSoundcardPtr<AFInputSoundcard> newInputSoundcard();

  // A new output card on the output list, following the default output device.
  AFSoundcardPtr<AFOutputSoundcard> newOutputSoundcard();

  // The factory of the input sound file (newInputSoundfile) joins here with
  // that class; each card gets the list of its direction.

  // Now as a time stamp carrying only a valid host time.
  static platform::audio::AudioTimeStamp presentAudioTimeStamp();

 private:
  std::shared_ptr<AFList> inputList_;
  std::shared_ptr<AFList> outputList_;
};
