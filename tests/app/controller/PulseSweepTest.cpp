// Frequency-response measurements on a real PulseAudio server: the tracking
// generator plays into one of the test server's null sinks and the analyzer
// measures its monitor, a perfect wire. Without a server the cases skip,
// unless SPECAN_PULSE_REQUIRED=1.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/TrackingRig.h"
#include "support/TestServer.h"
#include "platform/audio/pulse/PulseProvider.h"

namespace {

namespace pa = platform::audio;

std::shared_ptr<pa::pulse::PulseProvider> connect() {
  pa::pulse::Options options;
  options.connectTimeoutMs = 5000;
  return pa::pulse::PulseProvider::create(options);
}

bool required() {
  const char* required = std::getenv("SPECAN_PULSE_REQUIRED");
  return required && std::string(required) == "1";
}

struct PulseRig : app_fakes::TrackingRig {
  explicit PulseRig(std::shared_ptr<pa::pulse::PulseProvider> p)
      : TrackingRig(p, [p] { p->flushNotifications(); }), provider(std::move(p)) {}

  // Every bin inside the span at the generator's level: the wire's response.
  // 0.1 dB: a tone 4 Hz off its bin at RBW 100 Hz, or silence anywhere in a
  // spectrum's window, reads lower than that.
  void expectFlat() {
    const Sweep& s = h.app.sweep;
    ASSERT_GT(s.rightBin - s.leftBin, 200);
    for (int k = s.leftBin + 1; k < s.rightBin; ++k)
      EXPECT_NEAR(level(k), app_fakes::kGeneratorLevel, 0.1) << "bin " << k << " at " << frequency(k) << " Hz";
  }

  std::shared_ptr<pa::pulse::PulseProvider> provider;
};

#define CONNECT_OR_SKIP(provider)                                        \
  std::shared_ptr<pa::pulse::PulseProvider> provider = connect();        \
  if (!provider) {                                                       \
    if (required()) FAIL() << "no PulseAudio server answers";            \
    GTEST_SKIP() << "no PulseAudio server";                              \
  }

TEST(PulseSweep, ANullSinkMeasuredThroughItsMonitorIsFlatAtTheGeneratorsLevel) {
  CONNECT_OR_SKIP(provider);
  PulseRig rig(provider);
  rig.sweep("950", "1050", 20);  // RBW 100 Hz
  ASSERT_EQ(rig.inputDevice.titleOfSelectedItem(), "Monitor of SpecAn_Test_Sink_A");
  ASSERT_EQ(rig.outputDevice.titleOfSelectedItem(), "SpecAn_Test_Sink_A");
  rig.expectFlat();
}

// The 44.1 kHz sink: the tone is made at the rate the output plays, on a
// device whose own rate is another than the generator's first one, and
// after the rate is chosen in the generator's menu, both ways.
TEST(PulseSweep, ASinkOfAnotherRatePlaysTheToneAtTheSweptFrequency) {
  CONNECT_OR_SKIP(provider);
  PulseRig rig(provider);
  rig.launch("900", "1100");
  ASSERT_TRUE(rig.inputDevice.pickTitle("Monitor of SpecAn_Test_Sink_B"));
  ASSERT_TRUE(rig.outputDevice.pickTitle("SpecAn_Test_Sink_B"));
  rig.settle();
  ASSERT_EQ(rig.outputRate.titleOfSelectedItem(), "44100");
  rig.sweepLaunched(20);
  rig.expectFlat();

  rig.h.pressStart();  // stop
  ASSERT_TRUE(rig.outputRate.pickTitle("48000"));
  rig.settle();
  ASSERT_TRUE(rig.outputRate.pickTitle("44100"));
  rig.settle();
  rig.h.enterTrackingMode();
  rig.sweepLaunched(20);
  rig.expectFlat();
}

// The server stopped for a moment, as a busy or virtual machine stops every
// process: playback that runs dry is counted and the bins it met are
// measured again, so the wire still reads flat.
TEST(PulseSweep, AStalledServerIsCountedAndTheSweepStillReadsFlat) {
  CONNECT_OR_SKIP(provider);
  const pid_t server = testsupport::testServerProcess();
  if (!server) GTEST_SKIP() << "the server is not ours to stop";
  testsupport::ServerStalls stalls(server);

  PulseRig rig(provider);
  rig.launch("950", "1050");
  const uint64_t outputGapsBefore = rig.generator->ioHealth().gaps;
  int made = 0;
  // Twice, in the span: once longer than the playback queued at the server
  // (a gap), once shorter (a jump of the latency only).
  rig.sweepLaunched(20, [&] {
    const Sweep& s = rig.h.app.sweep;
    const int at[] = {s.leftBin + 60, s.leftBin + 160};
    if (made == 2 || s.currentBin < at[made]) return;
    stalls.stallFor(std::chrono::milliseconds(made == 0 ? 600 : 120));
    ++made;
  });
  stalls.resume();
  ASSERT_EQ(made, 2);
  EXPECT_GT(rig.generator->ioHealth().gaps, outputGapsBefore) << "the output's run dry was not counted";
  EXPECT_GT(rig.h.app.sweep.remeasuredBins, 0);
  EXPECT_EQ(rig.h.app.sweep.uncleanBins, 0);
  rig.expectFlat();
}

}  // namespace
