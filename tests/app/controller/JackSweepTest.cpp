// A frequency-response measurement through the test command's JACK server
// (scripts/jack-daemon, named by SPECAN_JACK_SERVER): the tracking generator
// plays into a pass-through client of the test's own and the analyzer
// records its output ports, a perfect wire. Without a server the case
// skips, unless SPECAN_JACK_REQUIRED=1.

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/TrackingRig.h"
#include "platform/audio/jack/JackProvider.h"

namespace {

namespace pa = platform::audio;

std::string serverName() {
  const char* name = std::getenv("SPECAN_JACK_SERVER");
  return name ? name : "";
}

bool required() {
  const char* required = std::getenv("SPECAN_JACK_REQUIRED");
  return required && std::string(required) == "1";
}

// Two input ports copied to two output ports, each cycle.
class Wire {
 public:
  explicit Wire(const char* name) {
    jack_status_t status{};
    client_ = jack_client_open(name, jack_options_t(JackNoStartServer | JackServerName), &status,
                               serverName().c_str());
    if (!client_) return;
    for (int i = 0; i < 2; ++i) {
      in_[i] = jack_port_register(client_, ("in_" + std::to_string(i + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                  JackPortIsInput, 0);
      out_[i] = jack_port_register(client_, ("out_" + std::to_string(i + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                   JackPortIsOutput, 0);
    }
    jack_set_process_callback(client_, process, this);
    jack_activate(client_);
  }
  ~Wire() {
    if (client_) jack_client_close(client_);
  }
  bool ok() const { return client_ != nullptr; }

 private:
  static int process(jack_nframes_t frames, void* arg) {
    auto* me = static_cast<Wire*>(arg);
    for (int i = 0; i < 2; ++i)
      std::memcpy(jack_port_get_buffer(me->out_[i], frames), jack_port_get_buffer(me->in_[i], frames),
                  frames * sizeof(float));
    return 0;
  }
  jack_client_t* client_ = nullptr;
  jack_port_t* in_[2] = {};
  jack_port_t* out_[2] = {};
};

// The generator into the wire's input ports, the analyzer on its output
// ports: every bin of the span at the generator's level within 0.05 dB (the
// wire copies samples exactly; a bin measured over an xrun would read lower,
// and the sweep measures such bins again).
TEST(JackSweep, APassThroughClientMeasuredAsAWireIsFlatAtTheGeneratorsLevel) {
  pa::jack::Options options;
  options.serverName = serverName();
  std::shared_ptr<pa::jack::JackProvider> provider =
      serverName().empty() ? nullptr : pa::jack::JackProvider::create(options);
  if (!provider) {
    if (required()) FAIL() << "no JACK server named by SPECAN_JACK_SERVER runs";
    GTEST_SKIP() << "no JACK test server";
  }
  Wire wire("specan-wire");
  ASSERT_TRUE(wire.ok());
  provider->flushNotifications();

  app_fakes::TrackingRig rig(provider, [provider] { provider->flushNotifications(); });
  rig.launch("950", "1050");
  ASSERT_TRUE(rig.inputDevice.pickTitle("specan-wire"));
  ASSERT_TRUE(rig.outputDevice.pickTitle("specan-wire"));
  rig.settle();
  rig.sweepLaunched(20);  // RBW 100 Hz
  const Sweep& s = rig.h.app.sweep;
  ASSERT_GT(s.rightBin - s.leftBin, 200);
  EXPECT_EQ(s.uncleanBins, 0);
  for (int k = s.leftBin + 1; k < s.rightBin; ++k)
    ASSERT_NEAR(rig.level(k), app_fakes::kGeneratorLevel, 0.05) << "bin " << k << " at " << rig.frequency(k) << " Hz";
}

}  // namespace
