// A frequency-response measurement end to end on the simulated provider: the
// tracking generator plays into the Loopback device, whose output reaches its
// input through a band-pass filter.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

#include "app/TrackingRig.h"
#include "app/controller/InterfaceMenus.h"
#include "endpoints/LogSweepRun.h"
#include "ui/PlainControls.h"
#include "platform/audio/simulated/SimulatedProvider.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;
using app_fakes::filterResponse;
using app_fakes::kGeneratorLevel;

// The Loopback device (or one without its filter) as the default input and
// output of a simulated provider, stepped or in real time.
struct LoopbackSweep : app_fakes::TrackingRig {
  explicit LoopbackSweep(bool filtered, bool realTime = false)
      : LoopbackSweep(makeProvider(realTime), filtered, realTime) {}

  static std::shared_ptr<sim::SimulatedProvider> makeProvider(bool realTime) {
    sim::Options options;
    options.clock = realTime ? sim::ClockMode::RealTime : sim::ClockMode::Stepped;
    return std::make_shared<sim::SimulatedProvider>(options);
  }
  static pa::AudioObjectID loopback(sim::SimulatedProvider& provider, bool filtered) {
    pa::AudioObjectID device = provider.deviceNamed("Loopback");
    if (!filtered) {
      sim::DeviceDescription flat = sim::defaultDevices()[1];
      flat.name = "Flat Loopback";
      flat.uid = "sim:test:flatloop:Bus7:0";
      flat.loopbackFilter->bypassed = true;
      device = provider.addDevice(flat);
    }
    provider.setDefaultDevice(pa::kAudioObjectPropertyScopeInput, device);
    provider.setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, device);
    return device;
  }

  LoopbackSweep(std::shared_ptr<sim::SimulatedProvider> p, bool filtered, bool realTime)
      : TrackingRig(
            p, [p] { p->flushNotifications(); },
            realTime ? std::function<void()>() : std::function<void()>([this] { provider->advanceFrames(device, 512); })),
        provider(p),
        device(loopback(*p, filtered)) {}

  std::shared_ptr<sim::SimulatedProvider> provider;
  pa::AudioObjectID device = 0;
};

TEST(SweepThroughTheLoopback, MeasuresTheBandPassFiltersResponse) {
  LoopbackSweep rig(true);
  rig.sweep("50", "20000", 10);  // RBW 10 Hz
  const Sweep& s = rig.h.app.sweep;
  const sim::BandPassFilter filter;
  double worst = 0;
  int measured = 0;
  for (int k = s.leftBin + 1; k < s.rightBin; ++k) {
    const double expected = kGeneratorLevel + filterResponse(filter, rig.frequency(k), 48000);
    if (expected < kGeneratorLevel - 40) continue;
    worst = std::max(worst, std::fabs(rig.level(k) - expected));
    ++measured;
    ASSERT_NEAR(rig.level(k), expected, 0.2) << "bin " << k << " at " << rig.frequency(k) << " Hz";
  }
  EXPECT_GT(measured, 6000);
  RecordProperty("worstDeviationDb", std::to_string(worst));
}

TEST(SweepThroughTheLoopback, WithoutAFilterTheResponseIsFlatAtTheGeneratorsLevel) {
  LoopbackSweep rig(false);
  rig.sweep("50", "2000", 10);
  const Sweep& s = rig.h.app.sweep;
  for (int k = s.leftBin + 1; k < s.rightBin; ++k)
    ASSERT_NEAR(rig.level(k), kGeneratorLevel, 0.05) << "bin " << k << " at " << rig.frequency(k) << " Hz";
}

// On the logarithmic axis the sweep measures 48 points per octave, rising a
// bin a spectrum at the bottom and jumping between points at the top, and
// draws the trace through them: the band-pass filter's response comes out
// as the linear sweep measures it, in under a third of the spectra (each
// jump waits for a window to fill and two spectra that agree).
TEST(SweepThroughTheLoopback, OnTheLogarithmicAxisPointsGiveTheFiltersResponseInFewerSpectra) {
  const sim::BandPassFilter filter;
  struct Case { int tag; double fewer; } cases[] = {{10, 3.2}, {20, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag == 10 ? "RBW 10 Hz" : "RBW 100 Hz");
    int64_t linearSpectra = 0;
    std::vector<double> linear;
    for (const bool log : {false, true}) {
      LoopbackSweep rig(true);
      rig.launch("50", "20000");
      rig.h.axisPopup.pickTag(log ? 1 : 0);
      rig.h.app.sweepPointsPerOctave = log ? 48 : 0;
      rig.sweepLaunched(c.tag);
      const Sweep& s = rig.h.app.sweep;
      ASSERT_EQ(s.pointRatio > 0, log);
      if (!log) {
        linearSpectra = s.spectra;
        for (int k = 0; k <= s.rightBin; ++k) linear.push_back(rig.level(k));
        continue;
      }
      EXPECT_EQ(s.maxStepBins, 1);
      int compared = 0;
      for (int k = s.leftBin + 1; k < s.rightBin; ++k) {
        const double expected = kGeneratorLevel + filterResponse(filter, rig.frequency(k), 48000);
        if (expected < kGeneratorLevel - 40) continue;
        // RBW 100 Hz smears the filter's narrow top by up to a dB, for both
        // sweeps alike.
        if (c.tag == 10) {
          ASSERT_NEAR(rig.level(k), expected, 0.2) << "bin " << k << " at " << rig.frequency(k) << " Hz";
        }
        ASSERT_NEAR(rig.level(k), linear[k], 0.1) << "bin " << k << " at " << rig.frequency(k) << " Hz";
        ++compared;
      }
      EXPECT_GT(compared, 6000);
      EXPECT_GE(static_cast<double>(linearSpectra) / static_cast<double>(s.spectra), c.fewer)
          << linearSpectra << " spectra on the linear axis, " << s.spectra << " on the logarithmic";
    }
  }
}

// A sweep suspended halfway (as Export Image and Save Reference suspend it)
// for a while and resumed measures again the bins before the pause, into
// the trace: with a flat loopback every bin still reads the generator's
// level, on either axis. The spectra still holding the tone held during the
// pause must not reach the trace.
TEST(SweepThroughTheLoopback, ASweepSuspendedAndResumedStaysFlat) {
  for (const bool log : {false, true}) {
    SCOPED_TRACE(log ? "logarithmic axis" : "linear axis");
    LoopbackSweep rig(false);
    rig.launch("50", "4000");
    rig.h.axisPopup.pickTag(log ? 1 : 0);
    rig.h.app.sweepPointsPerOctave = log ? 48 : 0;
    int pausedBlocks = -1;
    int32_t middle = 0;
    rig.sweepLaunched(10, [&] {
      const Sweep& s = rig.h.app.sweep;
      if (middle == 0) middle = (s.leftBin + s.rightBin) / 2;
      if (pausedBlocks < 0 && s.currentBin >= middle) {
        rig.h.app.suspendTracking();
        pausedBlocks = 0;
      } else if (pausedBlocks >= 0 && pausedBlocks < 200 && ++pausedBlocks == 200) {
        rig.h.app.resumeTracking();
      }
    });
    ASSERT_EQ(pausedBlocks, 200);
    const Sweep& s = rig.h.app.sweep;
    for (int k = s.leftBin + 1; k < s.rightBin; ++k)
      ASSERT_NEAR(rig.level(k), kGeneratorLevel, 0.05) << "bin " << k << " at " << rig.frequency(k) << " Hz";
  }
}

// A main thread so late that the input's blocks run out: the input lost
// after them is counted the moment it is lost, while every block before it
// still waits to be analysed. The bins whose spectra hold the loss are
// measured again, not the ones taken from the queue before it, and a flat
// loopback stays flat.
TEST(SweepThroughTheLoopback, InputLostBehindAQueueOfBlocksIsMeasuredAgain) {
  LoopbackSweep rig(false);
  rig.launch("900", "1100");
  int32_t middle = 0;
  bool lost = false;
  rig.sweepLaunched(20, [&] {
    const Sweep& s = rig.h.app.sweep;
    if (middle == 0) middle = (s.leftBin + s.rightBin) / 2;
    if (lost || s.currentBin < middle) return;
    lost = true;
    const uint64_t before = rig.input->ioHealth().gaps;
    for (int i = 0; i < Input::kPoolBlocks + 8; ++i) rig.deliver();
    EXPECT_GT(rig.input->ioHealth().gaps, before) << "the pool ran out";
  });
  ASSERT_TRUE(lost);
  const Sweep& s = rig.h.app.sweep;
  EXPECT_GT(s.remeasuredBins, 0);
  for (int k = s.leftBin + 1; k < s.rightBin; ++k)
    ASSERT_NEAR(rig.level(k), kGeneratorLevel, 0.05) << "bin " << k << " at " << rig.frequency(k) << " Hz";
}

TEST(SweepThroughTheLoopback, UnpluggingTheOutputDeviceDuringASweepLeavesItStoppable) {
  LoopbackSweep rig(true);
  // A separate output device carries the tone; the input stays on the loopback.
  sim::DeviceDescription speaker = sim::defaultDevices()[2];
  speaker.name = "Speaker";
  speaker.uid = "sim:test:speaker:Bus6:0";
  speaker.input.reset();
  const pa::AudioObjectID id = rig.provider->addDevice(speaker);
  rig.provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, id);
  rig.launch("500", "1500");
  ASSERT_EQ(rig.outputDevice.titleOfSelectedItem(), "Speaker");
  rig.h.enterTrackingMode();
  rig.h.pressStart();
  for (int i = 0; i < 50; ++i) rig.step();
  AFSoundcard* card = rig.generator->soundcard();
  ASSERT_TRUE(card->isRunning());

  rig.provider->removeDevice(id);
  rig.settle();
  for (int i = 0; i < 50; ++i) rig.step();  // the sweep goes on without its speaker
  EXPECT_NE(rig.outputDevice.titleOfSelectedItem(), "Speaker");
  rig.h.pressStart();  // Stop
  EXPECT_EQ(rig.h.app.sweep.running, 0);
  EXPECT_FALSE(card->isRunning());
}

TEST(SweepThroughTheLoopback, InRealTimeTheResponseAroundTheCentreIsRight) {
  LoopbackSweep rig(true, true);
  rig.sweep("900", "1100", 20);  // RBW 100 Hz: about 12 s of audio
  const Sweep& s = rig.h.app.sweep;
  const sim::BandPassFilter filter;
  for (int k = s.leftBin + 1; k < s.rightBin; ++k)
    ASSERT_NEAR(rig.level(k), kGeneratorLevel + filterResponse(filter, rig.frequency(k), 48000), 0.2)
        << "bin " << k << " at " << rig.frequency(k) << " Hz";
}

// A machine that stalls halfway through a real-time sweep: once the main
// thread (the devices run on, the blocks queue up for the analysis and the
// spectra keep their place in the device's time), once the device's clock
// (the device skips the missed time and counts it, and the bins whose
// spectra the gap met are measured again). Either way the response reads as
// it does without the stall.
TEST(SweepThroughTheLoopback, InRealTimeAStallLeavesTheResponseRight) {
  for (const bool clockThread : {false, true}) {
    SCOPED_TRACE(clockThread ? "the clock thread stalls" : "the main thread stalls");
    LoopbackSweep rig(true, true);
    // A second client on the loopback's clock thread, which can hold it once.
    struct Staller final : pa::IoClient {
      sim::SimulatedProvider* provider = nullptr;
      std::atomic<bool> armed{false}, done{false};
      void ioCycle(pa::AudioObjectID, const pa::IoCycle&) noexcept override {
        if (!armed.load() || done.load()) return;
        const uint64_t until = provider->hostTime() + 330'000'000;
        while (provider->hostTime() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        done = true;
      }
    } staller;
    staller.provider = rig.provider.get();
    ASSERT_EQ(rig.provider->startIo(rig.device, pa::kAudioObjectPropertyScopeInput, &staller), pa::noErr);
    rig.launch("900", "1100");
    int32_t middle = 0;
    bool mainStalled = false;
    rig.sweepLaunched(20, [&] {
      const Sweep& s = rig.h.app.sweep;
      if (middle == 0) middle = (s.leftBin + s.rightBin) / 2;
      if (s.currentBin < middle) return;
      if (clockThread) {
        staller.armed = true;
      } else if (!mainStalled) {
        mainStalled = true;
        const uint64_t until = rig.provider->hostTime() + 330'000'000;
        while (rig.provider->hostTime() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    ASSERT_EQ(rig.provider->stopIo(rig.device, pa::kAudioObjectPropertyScopeInput, &staller), pa::noErr);
    ASSERT_TRUE(clockThread ? staller.done.load() : mainStalled);
    const Sweep& s = rig.h.app.sweep;
    if (clockThread) {
      EXPECT_GT(s.remeasuredBins, 0);
    }
    const sim::BandPassFilter filter;
    for (int k = s.leftBin + 1; k < s.rightBin; ++k)
      ASSERT_NEAR(rig.level(k), kGeneratorLevel + filterResponse(filter, rig.frequency(k), 48000), 0.2)
          << "bin " << k << " at " << rig.frequency(k) << " Hz";
  }
}

}  // namespace

// With the output and the input calibrated, the response reads as the gain
// from the output to the input: the loopback's filter passes 1 kHz at 0 dB,
// so the export reads 0 dB there at equal full scales and 6 dB less from an
// output 6 dB hotter; back in the normal mode the levels are the input's.
TEST(SweepThroughTheLoopback, WithBothEndsCalibratedTheResponseReadsAsTheGain) {
  LoopbackSweep rig(true);
  ui::fakes::FakePopUpButton unitPopup{interface_menus::levelUnitItems()};
  ui::fakes::FakeTextField outputField{""};
  rig.h.app.unitPopup = &unitPopup;
  rig.h.app.outputFullScaleField = &outputField;
  rig.launch("900", "1100");
  std::string error;
  ASSERT_TRUE(rig.h.app.setFullScaleLevel("+4dBu", &error)) << error;
  ASSERT_TRUE(rig.h.app.setOutputFullScaleLevel("+4dBu", &error)) << error;
  rig.sweepLaunched(20);  // RBW 100 Hz
  // The export's level nearest 1 kHz.
  auto at1k = [&rig] {
    const std::string csv = rig.h.app.traceExportCsv();
    double best = 1e9, level = NAN;
    std::size_t at = csv.find("\nfrequency_hz,");
    while ((at = csv.find('\n', at + 1)) != std::string::npos && at + 1 < csv.size()) {
      const double f = std::stod(csv.substr(at + 1));
      const std::size_t comma = csv.find(',', at);
      if (std::fabs(f - 1000) < best) {
        best = std::fabs(f - 1000);
        level = std::stod(csv.substr(comma + 1));
      }
    }
    return level;
  };
  EXPECT_NEAR(at1k(), 0.0, 0.05);
  outputField.enter("+10dBu");
  EXPECT_EQ(outputField.stringValue(), "+10.00 dBu");
  EXPECT_NEAR(at1k(), -6.0, 0.05);
  EXPECT_NE(rig.h.app.traceExportCsv().find(
                "\n# levels in: dB (gain from the output (0 dBFS = +10.00 dBu) to the input (0 dBFS = +4.00 dBu))"),
            std::string::npos)
      << rig.h.app.traceExportCsv().substr(0, 600);

  // The generator 6 dB up, set in the output's unit: its sine is then half
  // of full scale (+10 - 12.04 + 6.02 = +3.98 dBu), the input hears 6 dB
  // more, and the gain reads the same.
  ui::fakes::FakeTextField levelField{""};
  rig.h.app.generatorLevelField = &levelField;
  ASSERT_TRUE(rig.h.app.setGeneratorLevel("+3.98dBu", &error)) << error;
  EXPECT_NEAR(rig.generator->amplitude(), 0.5, 1e-3);
  rig.sweepLaunched(20);
  EXPECT_NEAR(at1k(), -6.0, 0.05);
  EXPECT_NEAR(rig.level(static_cast<int>(std::lround(1000 * rig.h.app.trace->traceData()->binsPerHertz))),
              kGeneratorLevel + 6.02, 0.05);
  EXPECT_FALSE(rig.h.app.setGeneratorLevel("+1dBFS", &error));
  EXPECT_FALSE(rig.h.app.setGeneratorLevel("loud", &error));
  rig.h.trackingGeneratorMatrix.pick(0, 0);
  EXPECT_TRUE(rig.h.app.sharedData.levelScale.isDesigned());
}

// The generator's log sweep mode in the controller: Start plays the sweep
// through the loopback, every block moves the run on, and when the analysis
// ends the trace holds the band-pass filter's response at the levels the
// tracking sweep reads; the button is back at "Start".
TEST(LogSweepThroughTheLoopback, StartMeasuresTheBandPassFiltersResponseIntoTheTrace) {
  // The length's pop-up outlives the rig, whose end stores the settings.
  ui::PlainPopUpButton length;
  auto lengths = std::make_shared<ui::Menu>();
  for (const ui::MenuItem& item : interface_menus::logSweepLengthItems()) lengths->addItem(item.title, item.tag);
  length.setMenu(lengths);
  length.selectItemWithTag(16);
  LoopbackSweep rig(true);
  rig.h.app.logSweepLengthPopup = &length;
  rig.launch("20", "20000");
  rig.h.enterLogSweepMode();
  EXPECT_TRUE(rig.h.trackingGeneratorButton.isEnabled());
  rig.h.pressStart();
  ASSERT_NE(rig.h.app.logSweepRun(), nullptr);
  ASSERT_TRUE(rig.h.app.logSweepRun()->running()) << rig.h.app.logSweepRun()->failure();
  EXPECT_EQ(rig.h.trackingGeneratorButton.title(), "Stop");
  EXPECT_EQ(rig.h.app.logSweepRun()->sweep().length(), 65536);
  for (int i = 0; i < 2000 && rig.h.app.logSweepRun()->running(); ++i) rig.step();
  // The analysis's own thread may still be finishing after the last block.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (rig.h.app.logSweepRun()->running() && std::chrono::steady_clock::now() < limit) rig.step();
  ASSERT_EQ(rig.h.app.logSweepRun()->phase(), LogSweepRun::Phase::done) << rig.h.app.logSweepRun()->failure();
  EXPECT_EQ(rig.h.trackingGeneratorButton.state(), 0);
  EXPECT_EQ(rig.h.trackingGeneratorButton.title(), "Start");
  EXPECT_FALSE(rig.generator->soundcard()->isRunning()) << "the output stops with the last sweep";

  const sim::BandPassFilter filter;
  const TraceData& t = *rig.h.app.trace->traceData();
  int measured = 0;
  for (int k = 1; k < t.bins; ++k) {
    const double f = rig.frequency(k);
    if (f < 20 || f > 20000) continue;
    const double expected = kGeneratorLevel + filterResponse(filter, f, 48000);
    if (expected < kGeneratorLevel - 40) continue;
    ASSERT_NEAR(rig.level(k), expected, 0.1) << "bin " << k << " at " << f << " Hz";
    ++measured;
  }
  EXPECT_GT(measured, 1000);
  // Nothing outside the span is claimed as measured.
  EXPECT_EQ(t.averaged[static_cast<int>(25000 * t.binsPerHertz) < t.bins ? static_cast<int>(25000 * t.binsPerHertz) : 0],
            0.0f);
  // Blocks after the end leave the response alone.
  const float before = t.averaged[static_cast<int>(1000 * t.binsPerHertz)];
  for (int i = 0; i < 20; ++i) rig.step();
  EXPECT_EQ(t.averaged[static_cast<int>(1000 * t.binsPerHertz)], before);

  // File > Export Data writes the response with its phase, as the command
  // line does: at 1 kHz the filter's centre, 0 dB.
  const std::optional<std::string> csv = rig.h.app.logSweepCsv();
  ASSERT_TRUE(csv);
  EXPECT_EQ(csv->rfind("frequency_hz,level_db,phase_deg,group_delay_ms,h2_db,h3_db,h4_db,h5_db\n", 0), 0u);
  int rows = 0;
  double nearest = 0, levelThere = 0;
  for (size_t at = csv->find('\n') + 1; at < csv->size() && (*csv)[at] != '#'; at = csv->find('\n', at) + 1) {
    const double f = std::strtod(csv->c_str() + at, nullptr);
    const double level = std::strtod(csv->c_str() + csv->find(',', at) + 1, nullptr);
    if (std::fabs(f - 1000) < std::fabs(nearest - 1000)) nearest = f, levelThere = level;
    ++rows;
  }
  EXPECT_GT(rows, 400);
  EXPECT_NEAR(levelThere, filterResponse(sim::BandPassFilter{}, nearest, 48000), 0.05) << nearest << " Hz";
  EXPECT_NE(csv->find("# phase relative to the impulse response's peak; delay "), std::string::npos);
  rig.h.enterTrackingMode();
  EXPECT_FALSE(rig.h.app.logSweepCsv()) << "the tracking mode exports its trace";
}

// Stop, and leaving the mode, end a run at once: the output stops, the
// input's blocks go back to the controller alone, the plot stays empty.
TEST(LogSweepThroughTheLoopback, StopOrAnotherModeCancelsTheRun) {
  for (const bool leaveMode : {false, true}) {
    SCOPED_TRACE(leaveMode ? "the normal mode picked" : "Stop pressed");
    LoopbackSweep rig(true);
    rig.launch("20", "20000");
    rig.h.enterLogSweepMode();
    rig.h.pressStart();
    for (int i = 0; i < 100; ++i) rig.step();
    ASSERT_EQ(rig.h.app.logSweepRun()->phase(), LogSweepRun::Phase::sweeping);
    ASSERT_TRUE(rig.generator->soundcard()->isRunning());
    if (leaveMode)
      rig.h.trackingGeneratorMatrix.pick(0, 0);
    else
      rig.h.pressStart();
    EXPECT_EQ(rig.h.app.logSweepRun()->phase(), LogSweepRun::Phase::idle);
    EXPECT_FALSE(rig.generator->soundcard()->isRunning());
    EXPECT_EQ(rig.h.trackingGeneratorButton.title(), "Start");
    if (!leaveMode) {
      for (int i = 0; i < 50; ++i) rig.step();
      const TraceData& t = *rig.h.app.trace->traceData();
      EXPECT_EQ(std::count_if(t.averaged, t.averaged + t.bins, [](float v) { return v != 0; }), 0);
      // And a new Start runs again from the beginning.
      rig.h.pressStart();
      EXPECT_EQ(rig.h.app.logSweepRun()->phase(), LogSweepRun::Phase::waiting);
      rig.h.pressStart();
    }
  }
}
