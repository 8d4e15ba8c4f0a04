#pragma once
// A recording of what comes back of a log sweep (dsp/LogSweep.h) at the
// analyzer input: the measurement channel and, with a reference, the
// second channel the input carries (Input::setSecondChannel), into buffers
// allocated when the recording is made, sample-aligned with each other.
//
// Alignment with the sweep: arm() is called just before the generator is
// asked to play the sweep (TrackingGenerator::playSweep); the recording's
// sample 0 is the first sample of the first block the main thread takes
// after it. That block was recorded no earlier than the sweep's first
// sample left the output less the blocks then queued towards the main
// thread, so what the recording sees of the sweep begins after the loop's
// latency and at most that queue later (the input's ioHealth latency bounds
// it); with a reference channel the origin is measured from the reference
// itself and none of this matters.
//
// Threads: main thread only. Construction allocates; arm(), inputBlock()
// and the accessors allocate nothing and take no lock.

#include <cstdint>
#include <vector>

#include "endpoints/Endpoints.h"

class SweepRecording final : public InputTap {
 public:
  // length samples per channel; withReference: a second channel too.
  SweepRecording(int64_t length, bool withReference);

  // Starts the recording over with the next block.
  void arm() noexcept;
  // Takes no more blocks.
  void disarm() noexcept { armed_ = false; }
  // The input's block: recorded while armed and not yet complete.
  void inputBlock(const float* selected, const float* second) override;

  int64_t length() const noexcept { return length_; }
  int64_t recorded() const noexcept { return recorded_; }
  bool complete() const noexcept { return recorded_ >= length_; }
  // With a reference: some block of this recording came without the second
  // channel (its part of the reference is silence).
  bool referenceMissing() const noexcept { return referenceMissing_; }
  const float* measured() const noexcept { return measured_.data(); }
  // Null without a reference.
  const float* reference() const noexcept { return reference_.empty() ? nullptr : reference_.data(); }

 private:
  int64_t length_;
  std::vector<float> measured_, reference_;
  int64_t recorded_ = 0;
  bool armed_ = false;
  bool referenceMissing_ = false;
};
