#pragma once
// Which provider serves the audio object model.

#include <memory>
#include <string>

#include "platform/audio/Provider.h"

namespace platform::audio {

// A provider by name: "jack" (the JACK provider; null when no JACK server
// runs, and none is started), "pulse" (the PulseAudio provider; null when no
// server answers within about a second), "simulated", or "" for the JACK
// provider when a JACK server runs, else the PulseAudio provider when a
// server answers, else the simulated provider. An unknown name gives null.
std::shared_ptr<Provider> makeProvider(const std::string& choice);

// The names makeProvider knows ("jack", "pulse", "simulated"), for messages.
inline constexpr const char* kProviderNames = "jack, pulse, simulated";
bool isProviderName(const std::string& choice);
// Why makeProvider(choice) of a known name gave null ("no JACK server runs").
std::string providerMissing(const std::string& choice);

}  // namespace platform::audio
