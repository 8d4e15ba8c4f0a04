#pragma once
// Which provider serves the audio object model.

#include <memory>
#include <string>

#include "platform/audio/Provider.h"

namespace platform::audio {

// A provider by name: "pulse" (the PulseAudio provider; null when no server
// answers within about a second), "simulated", or "" for the PulseAudio
// provider when a server answers and the simulated provider otherwise. An
// unknown name gives null.
std::shared_ptr<Provider> makeProvider(const std::string& choice);

}  // namespace platform::audio
