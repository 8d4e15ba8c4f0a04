#include <atomic>
#include <cstring>
#include <string>

#include "platform/audio/AudioTypes.h"

namespace platform::audio {

struct AudioString {
  std::string text;
  mutable std::atomic<int> references{1};
};

AudioStringRef AudioStringCreate(const char* text, std::size_t length) {
  auto* string = new AudioString;
  if (text) string->text.assign(text, length);
  return string;
}

const char* AudioStringGetCString(AudioStringRef string) { return string ? string->text.c_str() : ""; }

AudioStringRef AudioStringRetain(AudioStringRef string) {
  if (string) string->references.fetch_add(1, std::memory_order_relaxed);
  return string;
}

void AudioStringRelease(AudioStringRef string) {
  if (string && string->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete string;
}

}  // namespace platform::audio
