// One swept-sine measurement step by step, against endpoints of the test's
// own: the generator's sweep reaches the input's tap delayed and scaled as a
// pure delay and gain would, block by block as an input delivers them, and
// the run's analysis runs on its own thread meanwhile.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "endpoints/LogSweepRun.h"

namespace {

constexpr int kBlock = 512;
constexpr double kRate = 48000;

class TapInput final : public AnalyzerInput {
 public:
  void applicationFinishLaunching(platform::PropertyDictionary&, AFManager&) override {}
  void applicationTerminating(platform::PropertyDictionary&) override {}
  float pause() override { return static_cast<float>(kRate); }
  void resume() override {}
  int32_t latencyFrames() override { return 0; }
  EndpointIoHealth ioHealth() override {
    EndpointIoHealth h;
    h.gaps = gaps;
    return h;
  }
  std::string deviceName() override { return "Wire"; }
  void setTap(InputTap* t) override { tap = t; }
  InputTap* tap = nullptr;
  uint64_t gaps = 0;
};

class SweepOutput final : public TrackingGeneratorEndpoint {
 public:
  void applicationFinishLaunching(platform::PropertyDictionary&, AFManager&) override {}
  void applicationTerminating(platform::PropertyDictionary&) override {}
  void start(Sweep*) override {}
  void stop() override {}
  void setSuspend(bool) override {}
  void updateFrequency(Sweep*) override {}
  int32_t latencyFrames() override { return 0; }
  float samplingRate() const override { return static_cast<float>(kRate); }
  bool playSweep(const dsp::LogSweep& s) override {
    sweep = &s;
    played = 0;
    ++sweeps;
    return true;
  }
  void stopSweep() override {
    sweep = nullptr;
    playing = false;
  }
  void playSilence() override {
    sweep = nullptr;
    playing = true;
  }
  // The next block it plays (silence but while a sweep plays).
  void render(float* out) {
    if (sweep) {
      sweep->render(played, kBlock, out);
      played += kBlock;
    } else {
      std::fill(out, out + kBlock, 0.0f);
    }
  }
  const dsp::LogSweep* sweep = nullptr;
  int64_t played = 0;
  int sweeps = 0;
  bool playing = false;
};

// The output into the input through a delay of `delay` samples and a gain,
// one block per call.
struct Loop {
  TapInput input;
  SweepOutput output;
  int delay = 0;
  double gain = 1;
  std::vector<float> line;
  void block() {
    float out[kBlock];
    output.render(out);
    line.insert(line.end(), out, out + kBlock);
    float in[kBlock] = {};
    const size_t start = line.size() - kBlock;
    for (int i = 0; i < kBlock; ++i) {
      const long at = static_cast<long>(start) + i - delay;
      in[i] = at >= 0 ? static_cast<float>(gain * line[static_cast<size_t>(at)]) : 0.0f;
    }
    if (input.tap) input.tap->inputBlock(in, nullptr);
  }
};

LogSweepPlan shortPlan() {
  LogSweepPlan plan;
  plan.length = 1 << 16;
  plan.lowerHz = 50;
  plan.upperHz = 10000;
  plan.pointsPerOctave = 12;
  return plan;
}

// Runs the blocks until the run ends (the analysis's thread finishing while
// they go on); false when it did not in `most` blocks.
bool runToTheEnd(Loop& loop, LogSweepRun& run, int most = 20000) {
  for (int i = 0; i < most && run.running(); ++i) {
    loop.block();
    run.advance();
  }
  return !run.running();
}

}  // namespace

// Through a pure gain and delay the response is the gain at every point, and
// the delay is found; the output starts silent, then plays the sweep once.
TEST(LogSweepRun, APureDelayAndGainReadAsThemselves) {
  Loop loop;
  loop.delay = 3000;
  loop.gain = 0.5;
  LogSweepRun run(loop.input, loop.output);
  std::string cause;
  ASSERT_TRUE(run.start(shortPlan(), kRate, kRate, &cause)) << cause;
  EXPECT_TRUE(loop.output.playing) << "the output runs, silent, before the sweep";
  EXPECT_EQ(loop.output.sweeps, 0);
  ASSERT_TRUE(runToTheEnd(loop, run));
  ASSERT_EQ(run.phase(), LogSweepRun::Phase::done) << run.failure();
  EXPECT_EQ(loop.output.sweeps, 1);
  EXPECT_EQ(loop.input.tap, nullptr) << "the blocks go back to the controller alone";
  const dsp::SweepResponse& r = run.response();
  ASSERT_GT(r.frequencyHz.size(), 50u);
  for (size_t i = 0; i < r.frequencyHz.size(); ++i)
    ASSERT_NEAR(r.magnitudeDb[i], 20 * std::log10(0.5), 0.05) << r.frequencyHz[i] << " Hz";
  // Sample 0 of the recording is the block after the sweep was asked for:
  // the sweep's start reaches the input `delay` samples after it.
  EXPECT_NEAR(r.delaySamples, loop.delay, 1.0);
  EXPECT_EQ(run.progress(), 1.0);
}

// A drop-out counted while a sweep plays throws that sweep away and plays
// it again; one that keeps coming fails the run after the most repeats.
TEST(LogSweepRun, ASweepThatADropOutMetIsPlayedAgainNeverAveragedIn) {
  for (const bool everySweep : {false, true}) {
    SCOPED_TRACE(everySweep ? "a drop-out in every sweep" : "one drop-out");
    Loop loop;
    loop.delay = 700;
    LogSweepRun run(loop.input, loop.output);
    std::string cause;
    ASSERT_TRUE(run.start(shortPlan(), kRate, kRate, &cause)) << cause;
    bool counted = false;
    for (int i = 0; i < 40000 && run.running(); ++i) {
      loop.block();
      if (run.phase() == LogSweepRun::Phase::sweeping && loop.output.played == 20 * kBlock &&
          (everySweep || !counted)) {
        ++loop.input.gaps;
        counted = true;
      }
      run.advance();
    }
    if (everySweep) {
      EXPECT_EQ(run.phase(), LogSweepRun::Phase::failed);
      EXPECT_NE(run.failure().find("drop-outs met"), std::string::npos) << run.failure();
      EXPECT_EQ(loop.output.sweeps, LogSweepRun::kMostRepeats + 1);
      EXPECT_EQ(loop.output.sweep, nullptr) << "the output stops";
    } else {
      ASSERT_EQ(run.phase(), LogSweepRun::Phase::done) << run.failure();
      EXPECT_EQ(run.repeatedSweeps(), 1);
      EXPECT_EQ(run.response().recordings, 1);
      EXPECT_EQ(loop.output.sweeps, 2);
      EXPECT_NEAR(run.response().magnitudeDb[run.response().frequencyHz.size() / 2], 0, 0.05);
    }
  }
}

// Refused before anything starts: two rates. Cancelled during the analysis:
// the run waits for its thread and ends idle, and a new start runs afresh.
TEST(LogSweepRun, RefusedAtTwoRatesAndCancelledEvenWhileItAnalyses) {
  Loop loop;
  LogSweepRun run(loop.input, loop.output);
  std::string cause;
  EXPECT_FALSE(run.start(shortPlan(), kRate, 44100, &cause));
  EXPECT_NE(cause.find("one rate on both"), std::string::npos) << cause;
  EXPECT_EQ(loop.input.tap, nullptr);
  EXPECT_FALSE(loop.output.playing);

  ASSERT_TRUE(run.start(shortPlan(), kRate, kRate, &cause)) << cause;
  for (int i = 0; i < 20000 && run.phase() != LogSweepRun::Phase::analysing; ++i) {
    loop.block();
    run.advance();
  }
  ASSERT_EQ(run.phase(), LogSweepRun::Phase::analysing);
  run.cancel();
  EXPECT_EQ(run.phase(), LogSweepRun::Phase::idle);
  ASSERT_TRUE(run.start(shortPlan(), kRate, kRate, &cause)) << cause;
  ASSERT_TRUE(runToTheEnd(loop, run));
  EXPECT_EQ(run.phase(), LogSweepRun::Phase::done) << run.failure();
}
