#include "endpoints/SweepRecording.h"

#include <algorithm>

#include "platform/BlockLength.h"

SweepRecording::SweepRecording(int64_t length, bool withReference)
    : length_(std::max<int64_t>(length, 0)),
      measured_(static_cast<size_t>(length_)),
      reference_(withReference ? static_cast<size_t>(length_) : 0) {}

void SweepRecording::arm() noexcept {
  recorded_ = 0;
  referenceMissing_ = false;
  armed_ = true;
}

void SweepRecording::inputBlock(const float* selected, const float* second) {
  if (!armed_ || complete()) return;
  const int64_t count = std::min<int64_t>(platform::kBlockLength, length_ - recorded_);
  std::copy_n(selected, count, measured_.begin() + recorded_);
  if (!reference_.empty()) {
    if (second)
      std::copy_n(second, count, reference_.begin() + recorded_);
    else {
      std::fill_n(reference_.begin() + recorded_, count, 0.0f);
      referenceMissing_ = true;
    }
  }
  recorded_ += count;
}
