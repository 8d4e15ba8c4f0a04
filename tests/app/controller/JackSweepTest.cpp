// A frequency-response measurement through the test command's JACK server
// (scripts/jack-daemon, named by SPECAN_JACK_SERVER): the tracking generator
// plays into a pass-through client of the test's own and the analyzer
// records its output ports, a perfect wire. Without a server the case
// skips, unless SPECAN_JACK_REQUIRED=1.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/TrackingRig.h"
#include "platform/audio/jack/JackProvider.h"
#include "support/JackWire.h"

namespace {

namespace pa = platform::audio;

using testsupport::jackTestServer;
using testsupport::jackTestServerRequired;

// The generator into the wire's input ports, the analyzer on its output
// ports: every bin of the span at the generator's level within 0.05 dB (the
// wire copies samples exactly; a bin measured over an xrun would read lower,
// and the sweep measures such bins again).
TEST(JackSweep, APassThroughClientMeasuredAsAWireIsFlatAtTheGeneratorsLevel) {
  std::shared_ptr<pa::jack::JackProvider> provider = testsupport::jackTestProvider();
  if (!provider) {
    if (jackTestServerRequired()) FAIL() << "no JACK server named by SPECAN_JACK_SERVER runs";
    GTEST_SKIP() << "no JACK test server";
  }
  testsupport::JackWire wire("specan-wire", jackTestServer());
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
