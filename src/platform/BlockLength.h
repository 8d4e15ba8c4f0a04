#pragma once
// The analyzer's block length: the samples of one channel that an input
// hands the controller per call, that the sound cards ask their devices for
// by default and that the spectrum engine's schedules count in. Every layer
// may include it; it depends on nothing.

#include <cstdint>

namespace platform {

inline constexpr int32_t kBlockLength = 512;

}  // namespace platform
