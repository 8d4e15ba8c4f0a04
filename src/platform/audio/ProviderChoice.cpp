#include "platform/audio/ProviderChoice.h"

#include "platform/audio/jack/JackProvider.h"
#include "platform/audio/pulse/PulseProvider.h"
#include "platform/audio/simulated/SimulatedProvider.h"

namespace platform::audio {

std::shared_ptr<Provider> makeProvider(const std::string& choice) {
  if (choice == "simulated") return std::make_shared<simulated::SimulatedProvider>();
  if (choice == "pulse") return pulse::PulseProvider::create();
  if (choice == "jack") return jack::JackProvider::create();
  if (!choice.empty()) return nullptr;
  if (auto provider = jack::JackProvider::create()) return provider;
  if (auto provider = pulse::PulseProvider::create()) return provider;
  return std::make_shared<simulated::SimulatedProvider>();
}

bool isProviderName(const std::string& choice) {
  return choice == "jack" || choice == "pulse" || choice == "simulated";
}

std::string providerMissing(const std::string& choice) {
  return choice == "jack" ? "no JACK server runs" : "no PulseAudio server answered";
}

}  // namespace platform::audio
