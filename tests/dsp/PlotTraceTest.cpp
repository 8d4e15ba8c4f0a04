// The trace accumulator: the averaging sequence after a reset, sweep bins,
// imports, and the copy that keeps a queued averaging step independent of the
// engine.
#include "dsp/PlotTrace.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "QuietPlanner.h"
#include "ui/MainThread.h"

namespace {

// A spectrum record with every bin at one value, as the engine would return it.
struct FakeSpectrum {
  explicit FakeSpectrum(int bins) : values(bins) {
    result = SpectrumResult{values.data(), bins, bins, bins, 0, 0, 0, 0, 0, 0};
  }
  SpectrumResult* with(float v, bool valid = true) {
    std::fill(values.begin(), values.end(), v);
    result.validBins = valid ? result.bins : 0;
    return &result;
  }
  std::vector<float> values;
  SpectrumResult result;
};

class PlotTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::MainThread::instance().drain();
    trace = std::make_unique<PlotTrace>();
  }
  void TearDown() override { ui::MainThread::instance().drain(); }
  // What the controller does for every new spectrum, then the main loop.
  void add(SpectrumResult* r) {
    const PlotTrace::AveragingStep step = trace->addDataSamplingRate(r, 48000);
    ui::MainThread::instance().runAsync(step.run, step.context);
    ui::MainThread::instance().drain();
  }
  float value(int k = 0) { return trace->traceData()->averaged[k]; }
  float traces() { return trace->traceData()->traces; }
  std::unique_ptr<PlotTrace> trace;
};

TEST_F(PlotTraceTest, ThreeRestartsThenRunningMeanThenExponential) {
  FakeSpectrum s(8192);
  trace->setTraceAverages(4);
  const float p[] = {0, 1, 2, 4, 8, 16, 32, 64};  // P1 … P7 at index 1 … 7
  add(s.with(p[1]));
  EXPECT_FLOAT_EQ(value(), p[1]);
  EXPECT_EQ(traces(), 1);
  add(s.with(p[2]));
  EXPECT_FLOAT_EQ(value(), p[2]);
  EXPECT_EQ(traces(), 1);
  add(s.with(p[3]));
  EXPECT_FLOAT_EQ(value(), p[3]);
  EXPECT_EQ(traces(), 1);
  add(s.with(p[4]));
  EXPECT_FLOAT_EQ(value(), (p[3] + p[4]) / 2);
  EXPECT_EQ(traces(), 2);
  add(s.with(p[5]));
  EXPECT_FLOAT_EQ(value(), (p[3] + p[4] + p[5]) / 3);
  EXPECT_EQ(traces(), 3);
  add(s.with(p[6]));
  const float mean = (p[3] + p[4] + p[5] + p[6]) / 4;
  EXPECT_FLOAT_EQ(value(), mean);
  EXPECT_EQ(traces(), 4);
  add(s.with(p[7]));
  EXPECT_FLOAT_EQ(value(), 0.75f * mean + 0.25f * p[7]);
  EXPECT_EQ(traces(), 4);
  EXPECT_FLOAT_EQ(value(8191), value());  // every bin averaged alike

  // A partial spectrum restarts: the next two full ones replace the trace too.
  add(s.with(100, false));
  EXPECT_FLOAT_EQ(value(), 100);
  EXPECT_EQ(traces(), 1);
  add(s.with(200));
  EXPECT_FLOAT_EQ(value(), 200);
  add(s.with(300));
  EXPECT_FLOAT_EQ(value(), 300);
  add(s.with(400));
  EXPECT_FLOAT_EQ(value(), 350);
  EXPECT_EQ(traces(), 2);

  // So does a reset (a detector or channel change).
  trace->resetTraceAverages();
  EXPECT_EQ(traces(), 0);
  for (float v : {500.0f, 600.0f, 700.0f}) {
    add(s.with(v));
    EXPECT_FLOAT_EQ(value(), v);
  }
  add(s.with(800));
  EXPECT_FLOAT_EQ(value(), 750);
}

TEST_F(PlotTraceTest, ARecordingTakenWholeAveragesEverySpectrumFromTheFirstAtOnce) {
  // One restart: the first spectrum after a reset starts the mean and every
  // later one enters it, each averaged in the call (several may come from
  // one block, before the main loop runs).
  FakeSpectrum s(64);
  trace->setRestartSpectra(1);
  trace->setTraceAverages(1000);
  const float p[] = {1, 2, 4, 8};
  float sum = 0;
  for (int i = 0; i < 4; ++i) {
    trace->averageDataSamplingRate(s.with(p[i]), 48000);
    sum += p[i];
    EXPECT_FLOAT_EQ(value(), sum / float(i + 1)) << i;
    EXPECT_EQ(traces(), i + 1);
  }
  EXPECT_FLOAT_EQ(value(63), value());
  // A partial spectrum still restarts; the next full one enters the mean.
  trace->averageDataSamplingRate(s.with(100, false), 48000);
  EXPECT_EQ(traces(), 1);
  trace->averageDataSamplingRate(s.with(200), 48000);
  EXPECT_FLOAT_EQ(value(), 150);
  EXPECT_EQ(traces(), 2);
  // Nothing was queued.
  trace->resetTraceAverages();
  ui::MainThread::instance().drain();
  EXPECT_EQ(traces(), 0);
  EXPECT_EQ(trace->restartSpectra(), 1);
  trace->setRestartSpectra(0);
  EXPECT_EQ(trace->restartSpectra(), 1);
}

TEST_F(PlotTraceTest, AveragingLengthCapsTheCount) {
  FakeSpectrum s(16);
  // A fractional length caps the count at that value: 3 replaces, then 5 and
  // 9 enter with weight 1/1.5.
  trace->setTraceAverages(1.5f);
  for (float v : {1.0f, 2.0f, 3.0f, 5.0f, 9.0f}) add(s.with(v));
  EXPECT_FLOAT_EQ(traces(), 1.5f);
  const float w = 1 / 1.5f;
  EXPECT_NEAR(value(), (3 * (1 - w) + 5 * w) * (1 - w) + 9 * w, 1e-5);

  // Below one counts as one (each spectrum replaces the trace) rather than
  // weighting a spectrum beyond itself.
  trace->setTraceAverages(0);
  for (float v : {1.0f, 2.0f, 3.0f, 5.0f, 7.0f}) add(s.with(v));
  EXPECT_FLOAT_EQ(value(), 7);
  EXPECT_FLOAT_EQ(traces(), 1);
}

TEST_F(PlotTraceTest, RecordsBinsRateAndBinsPerHertz) {
  FakeSpectrum s(8192);
  add(s.with(1));
  const TraceData* t = trace->traceData();
  EXPECT_EQ(t->bins, 8192);
  EXPECT_EQ(t->samplingRate, 48000);
  EXPECT_FLOAT_EQ(t->binsPerHertz, 0.34133333f);
  EXPECT_FLOAT_EQ(PlotTrace::binsPerHertz(8192, 48000), 0.34133333f);
}

TEST_F(PlotTraceTest, SweepStoresSingleBinsWithoutAveraging) {
  FakeSpectrum s(64);
  trace->setTraceAverages(4);
  for (int k = 0; k < 64; ++k) s.values[k] = static_cast<float>(k + 1);
  trace->addDataSamplingRateBin(&s.result, 48000, 5);
  trace->addDataSamplingRateBin(&s.result, 48000, 63);
  trace->addDataSamplingRateBin(&s.result, 48000, 64);  // beyond the bins: nothing
  EXPECT_EQ(ui::MainThread::instance().drain(), 0u);    // nothing queued
  EXPECT_EQ(value(5), 6);
  EXPECT_EQ(value(63), 64);
  EXPECT_EQ(value(4), 0);
  EXPECT_EQ(value(64), 0);
  EXPECT_EQ(traces(), 0);

  trace->clearTrace();
  EXPECT_EQ(value(5), 0);
  EXPECT_EQ(value(63), 0);
}

TEST_F(PlotTraceTest, ImportCopiesTheRecord) {
  auto source = std::make_unique<PlotTrace>();
  FakeSpectrum s(1000);
  const PlotTrace::AveragingStep step = source->addDataSamplingRate(s.with(7), 44100);
  ui::MainThread::instance().runAsync(step.run, step.context);
  ui::MainThread::instance().drain();
  trace->importData(source->traceData());
  const TraceData* t = trace->traceData();
  EXPECT_EQ(t->bins, 1000);
  EXPECT_EQ(t->samplingRate, 44100);
  EXPECT_FLOAT_EQ(t->binsPerHertz, PlotTrace::binsPerHertz(1000, 44100));
  EXPECT_EQ(t->traces, 1);
  EXPECT_EQ(value(999), 7);
  EXPECT_EQ(value(1000), 0);

  // An empty record copies nothing but still counts as one trace.
  auto empty = std::make_unique<TraceData>();
  trace->importData(empty.get());
  EXPECT_EQ(t->bins, 0);
  EXPECT_EQ(t->traces, 1);
  EXPECT_EQ(value(999), 7);

  // A damaged record claiming more bins than a trace holds is cut to the capacity.
  auto huge = std::make_unique<TraceData>();
  huge->bins = 1 << 30;
  huge->averaged[TraceData::kCapacity - 1] = 3;
  trace->importData(huge.get());
  EXPECT_EQ(t->bins, TraceData::kCapacity);
  EXPECT_EQ(value(TraceData::kCapacity - 1), 3);
}

TEST_F(PlotTraceTest, QueuedAveragingSurvivesTheEngineGoingAway) {
  // The averaging step runs after the block processing; by then the engine
  // may have been reconfigured or replaced. The trace averages what it was given.
  trace->setTraceAverages(4);
  {
    auto engine = std::make_unique<Spectrum>(10, 48000, WindowShape::Gaussian);
    std::vector<float> block(512, 0.5f);
    SpectrumResult* r = nullptr;
    while (!(r = engine->compute(block.data(), 512))->validBins) {
    }
    const float dc = r->output[0];
    ASSERT_GT(dc, 0);
    const PlotTrace::AveragingStep step = trace->addDataSamplingRate(r, 48000);
    ui::MainThread::instance().runAsync(step.run, step.context);
    engine->setResolutionBandwidth(1, 48000, WindowShape::Hann, 1);
    engine.reset();
    ui::MainThread::instance().drain();
    EXPECT_EQ(value(0), dc);
  }
}

}  // namespace
