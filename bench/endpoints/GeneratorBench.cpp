// The tracking generator's render path: one 512-sample stereo block per
// iteration through outputNeededBySoundcard (a sweeping sine on channel 1,
// silence on channel 2), against a plain loop of std::sin over the same 512
// samples. The counter "s/sample" is CPU time per synthesised sample; the
// generator should stay within 1.5 times the plain loop's.
//   endpoints_bench [--benchmark_repetitions=N]

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "endpoints/Sweep.h"
#include "endpoints/TrackingGenerator.h"

namespace {

constexpr int kBlock = 512;

void perSample(benchmark::State& state) {
  state.counters["s/sample"] =
      benchmark::Counter(kBlock, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// About 1 kHz at 48 kHz, rising 300 Hz a second, as a sweep over 65536 bins does.
Sweep benchSweep() {
  Sweep sweep;
  sweep.bins = 65536;
  sweep.samplingRate = 48000.0f;
  sweep.hertzPerSecond = 300.0f;
  sweep.startBin = sweep.currentBin = 2730;
  return sweep;
}

void BM_PlainSine(benchmark::State& state) {
  std::vector<float> out(kBlock);
  const double dt = TrackingGenerator::kTwoPi * 1000.0 / 48000.0;
  double p = 0.0;
  for (auto _ : state) {
    for (int s = 0; s < kBlock; ++s) {
      out[static_cast<size_t>(s)] = static_cast<float>(std::sin(p) * 0.25);
      p += dt;
      if (p > TrackingGenerator::kTwoPi) p -= TrackingGenerator::kTwoPi;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  perSample(state);
}
BENCHMARK(BM_PlainSine);

// retuneEvery: blocks between two retunes from the same thread.
void generatorBlocks(benchmark::State& state, int retuneEvery) {
  TrackingGenerator generator;
  Sweep sweep = benchSweep();
  std::vector<float> left(kBlock), right(kBlock);
  float* buffers[] = {left.data(), right.data()};
  generator.start(&sweep);
  int block = 0;
  for (auto _ : state) {
    if (++block % retuneEvery == 0) {
      if (++sweep.currentBin > 8000) sweep.currentBin = sweep.startBin;
      generator.updateFrequency(&sweep);
    }
    generator.outputNeededBySoundcard(nullptr, buffers, 2, kBlock);
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
    benchmark::ClobberMemory();
  }
  perSample(state);
}

// A retune every 64 blocks (about 0.7 s), as completed spectra retune it;
// left to itself the sweep would rise past the output's rate.
void BM_GeneratorStereoBlock(benchmark::State& state) { generatorBlocks(state, 64); }
BENCHMARK(BM_GeneratorStereoBlock);

// A retune before every block: the hand-over's worst case.
void BM_GeneratorStereoBlockRetuned(benchmark::State& state) { generatorBlocks(state, 1); }
BENCHMARK(BM_GeneratorStereoBlockRetuned);

}  // namespace

BENCHMARK_MAIN();
