#pragma once
// The application's audio device manager: one input list and one output list
// for the whole run, shared with every sound card made from it. Main thread.

#include <memory>

#include "audio/AFInputSoundcard.h"
#include "audio/AFList.h"
#include "audio/AFOutputSoundcard.h"
#include "audio/AFSoundfile.h"
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

  // A new reading sound file, after the user chose a file in the open panel
  // and it opened; none when the panel was cancelled or the file refused.
  std::unique_ptr<AFSoundfile> newInputSoundfile();

  // Now as a time stamp carrying only a valid host time.
  static platform::audio::AudioTimeStamp presentAudioTimeStamp();

 private:
  std::shared_ptr<AFList> inputList_;
  std::shared_ptr<AFList> outputList_;
};
