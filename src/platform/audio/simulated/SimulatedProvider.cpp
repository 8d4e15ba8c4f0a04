#include "platform/audio/simulated/SimulatedProvider.h"

#include <memory>
#include <mutex>
#include <thread>

#include "platform/audio/simulated/SimulatedState.h"

// Construction and destruction; the rest of the provider is in the files
// SimulatedState.h lists.

namespace platform::audio::simulated {

SimulatedProvider::SimulatedProvider(const Options& options) : state_(std::make_unique<State>(options)) {
  if (options.defaultDeviceSet) {
    for (const auto& d : defaultDevices()) addDevice(d);  // Test Signal in, Loopback out become the defaults
    state_->notifier.flush();
  }
  if (options.clock == ClockMode::RealTime) state_->clock = std::thread([s = state_.get()] { s->clockLoop(); });
}

SimulatedProvider::~SimulatedProvider() {
  {
    std::lock_guard lock(state_->wakeMutex);
    state_->quit = true;
  }
  state_->wake.notify_all();
  if (state_->clock.joinable()) state_->clock.join();
}

std::string SimulatedProvider::name() const { return "Simulated"; }

}  // namespace platform::audio::simulated
