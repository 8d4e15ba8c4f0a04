#pragma once
// Counts of a sound card's gaps that only grow: a device's own counters start
// again with every device the card moves to, so the tally adds what each
// device adds while the card is on it. Main thread; no allocation.

#include <cstdint>

#include "endpoints/Endpoints.h"
#include "platform/audio/Provider.h"

class GapTally {
 public:
  // Takes the device's present counters (device 0: none bound).
  void take(uint32_t device, const platform::audio::DeviceIoStatus& status) {
    if (device != device_) {
      device_ = device;
      dropOuts_ = status.dropOuts;
      lostFrames_ = status.lostFrames;
      return;
    }
    if (status.dropOuts > dropOuts_) gaps += status.dropOuts - dropOuts_;
    if (status.lostFrames > lostFrames_) {
      gaps += 1;
      lostSamples += status.lostFrames - lostFrames_;
    }
    dropOuts_ = status.dropOuts;
    lostFrames_ = status.lostFrames;
  }

  uint64_t gaps = 0;
  uint64_t lostSamples = 0;

 private:
  uint32_t device_ = 0;
  uint64_t dropOuts_ = 0, lostFrames_ = 0;
};
