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
  if (options.clock == ClockMode::RealTime) {
    // With nothing running it still looks every 100 ms.
    State* s = state_.get();
    s->clock.start([s](uint64_t now) { return s->runDue(now, false); }, steadyNanos, s->options.ioThreadStarted,
                   std::chrono::milliseconds(100));
  }
}

SimulatedProvider::~SimulatedProvider() {
  state_->clock.stop();
}

std::string SimulatedProvider::name() const { return "Simulated"; }

}  // namespace platform::audio::simulated
