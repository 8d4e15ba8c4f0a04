// The output card's cost per render cycle, stereo, 512-frame pulls, on the
// stepped simulated provider (nothing renders but the benchmark). The card is
// called as its render callback would be; its delegate fills with a
// constant. BM_CopyBaseline copies the same frames from a block filled once
// and is the yardstick: compare the times per iteration.
//   BM_OutputCardPull/512   pulls line up with the blocks (all direct)
//   BM_OutputCardPull/500   pulls do not (a local block every cycle or so)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/AFManager.h"
#include "audio/AFOutputSoundcard.h"
#include "platform/audio/Provider.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/MainThread.h"

namespace {

namespace pa = platform::audio;
namespace sim = platform::audio::simulated;

constexpr int kChannels = 2;
constexpr uint32_t kMaxFrames = 512;

class ConstantSource : public AFSoundcardDelegate {
 public:
  uint32_t implementedMethods() const override { return kOutputNeeded; }
  bool outputNeededBySoundcard(AFSoundcard*, float** buffers, int32_t numberOfBuffers, int32_t samples) override {
    for (int32_t c = 0; c < numberOfBuffers; ++c) std::fill_n(buffers[c], samples, 0.25f);
    return true;
  }
};

// A started card on the simulated Loopback output, and a pull to hand it.
struct Rig {
  ui::ManualMainThread mainThread;
  std::shared_ptr<sim::SimulatedProvider> provider;
  std::unique_ptr<AFManager> manager;
  AFSoundcardPtr<AFOutputSoundcard> card;
  ConstantSource source;
  std::vector<float> data = std::vector<float>(kChannels * kMaxFrames);
  pa::AudioBufferList list{};

  Rig() {
    sim::Options options;
    options.clock = sim::ClockMode::Stepped;
    provider = std::make_shared<sim::SimulatedProvider>(options);
    pa::installProvider(provider);
    ui::MainThread::install(&mainThread);
    manager = std::make_unique<AFManager>();
    card = manager->newOutputSoundcard();
    card->setDelegate(&source);
    card->start();
    list.mNumberBuffers = kChannels;
    for (int c = 0; c < kChannels; ++c) list.mBuffers[c] = {1, kMaxFrames * 4, data.data() + c * kMaxFrames};
  }
  ~Rig() {
    card.reset();
    manager.reset();
    mainThread.drain();
    ui::MainThread::install(nullptr);
    pa::installProvider(nullptr);
  }
  void render(uint32_t frames) { card->renderOutput(nullptr, nullptr, 0, frames, &list); }
  // False unless the card plays and its source's samples reached the pull.
  bool played() { return card && card->isRunning() && data[0] == 0.25f && data[kMaxFrames] == 0.25f; }
};

void BM_CopyBaseline(benchmark::State& state) {
  const std::vector<float> block(kChannels * kMaxFrames, 0.25f);
  std::vector<float> out(kChannels * kMaxFrames);
  for (auto _ : state) {
    for (int c = 0; c < kChannels; ++c)
      std::memcpy(out.data() + c * kMaxFrames, block.data() + c * kMaxFrames, kMaxFrames * sizeof(float));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kMaxFrames);
}
BENCHMARK(BM_CopyBaseline);

void BM_OutputCardPull(benchmark::State& state) {
  Rig rig;
  const auto frames = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    rig.render(frames);
    benchmark::DoNotOptimize(rig.data.data());
    benchmark::ClobberMemory();
  }
  if (!rig.played()) state.SkipWithError("the card did not play");
  state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_OutputCardPull)->Arg(512)->Arg(500);

}  // namespace

BENCHMARK_MAIN();
