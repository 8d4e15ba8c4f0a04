// A frequency-response measurement on a real PulseAudio server: the tracking
// generator plays into the test server's null sink "specan_test_a" (the
// default sink) and the analyzer measures its monitor (the default source).
// Without a server the case skips, unless SPECAN_PULSE_REQUIRED=1.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TrackingRig.h"
#include "platform/audio/pulse/PulseProvider.h"

namespace {

namespace pa = platform::audio;

TEST(PulseSweep, ANullSinkMeasuredThroughItsMonitorIsFlatAtTheGeneratorsLevel) {
  pa::pulse::Options options;
  options.connectTimeoutMs = 5000;
  std::shared_ptr<pa::pulse::PulseProvider> provider = pa::pulse::PulseProvider::create(options);
  if (!provider) {
    const char* required = std::getenv("SPECAN_PULSE_REQUIRED");
    if (required && std::string(required) == "1") FAIL() << "no PulseAudio server answers";
    GTEST_SKIP() << "no PulseAudio server";
  }
  app_fakes::TrackingRig rig(provider, [provider] { provider->flushNotifications(); });
  rig.sweep("950", "1050", 20);  // RBW 100 Hz
  ASSERT_EQ(rig.inputDevice.titleOfSelectedItem(), "Monitor of SpecAn_Test_Sink_A");
  ASSERT_EQ(rig.outputDevice.titleOfSelectedItem(), "SpecAn_Test_Sink_A");
  const Sweep& s = rig.h.app.sweep;
  ASSERT_GT(s.rightBin - s.leftBin, 200);
  for (int k = s.leftBin + 1; k < s.rightBin; ++k)
    EXPECT_NEAR(rig.level(k), app_fakes::kGeneratorLevel, 0.1) << "bin " << k << " at " << rig.frequency(k) << " Hz";
}

}  // namespace
