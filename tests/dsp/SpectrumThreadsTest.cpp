// A reconfiguration or clear on one thread meets compute calls on another:
// the compute calls never wait and drop the blocks that meet the lock, and
// the engine works normally afterwards.
#include "dsp/Spectrum.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "QuietPlanner.h"

namespace {

using namespace std::chrono_literals;

TEST(SpectrumThreads, ReconfigurationDropsTheBlocksItMeets) {
  Spectrum s(10, 48000, WindowShape::Gaussian);
  std::atomic<bool> stop{false};
  std::atomic<long> dropped{0}, spectra{0};
  long calls = 0;

  std::thread computing([&] {
    std::vector<float> block(512);
    for (int i = 0; i < 512; ++i) block[i] = static_cast<float>(std::sin(0.1 * i));
    while (!stop.load()) {
      SpectrumResult* r = (calls & 1) ? s.computeWithOverlap(block.data(), 512) : s.compute(block.data(), 512);
      ++calls;
      // The record is read here while the other thread may be reconfiguring.
      if (r->bins == 0) {
        // The dropped block's record: no spectrum, no data.
        EXPECT_EQ(r->validBins, 0);
        ++dropped;
      } else if (r->validBins) {
        EXPECT_EQ(r->validBins, r->bins);
        EXPECT_TRUE(std::isfinite(r->output[r->bins / 2]));
        ++spectra;
      }
    }
  });

  // Reconfigure over and over, each time letting the computing thread get a
  // spectrum out of the fresh configuration; stop once both outcomes were seen
  // (or after a bounded time on a very busy machine).
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  int reconfigurations = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const long before = spectra.load();
    // RBW 1 Hz Hann builds a 72 000-point window: long enough to be met.
    s.setResolutionBandwidth(reconfigurations % 2 ? 10.0f : 1.0f, 48000,
                             reconfigurations % 2 ? WindowShape::Gaussian : WindowShape::Hann, 1);
    if (reconfigurations % 3 == 0) s.clearBuffer();
    ++reconfigurations;
    for (int wait = 0; wait < 100 && spectra.load() == before; ++wait) std::this_thread::sleep_for(1ms);
    if (reconfigurations >= 10 && dropped.load() > 0 && spectra.load() > 0) break;
  }
  stop = true;
  computing.join();
  EXPECT_GT(dropped, 0);
  EXPECT_GT(spectra, 0);

  // Afterwards the engine computes correct spectra: a sinusoid centred on a
  // bin reads A²/2 after division by bins².
  s.setResolutionBandwidth(100, 48000, WindowShape::Hann, 1);
  const int n = s.fftLength(), bin = n / 8;
  std::vector<float> block(512);
  SpectrumResult* r = nullptr;
  long t = 0;
  for (int sent = 0; sent < 2 * n; sent += 512) {
    for (float& v : block) v = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * bin * double(t++) / n));
    r = s.compute(block.data(), 512);
    if (sent >= n && r->validBins) break;
  }
  ASSERT_GT(r->validBins, 0);
  EXPECT_NEAR(10 * std::log10(r->output[bin] / (double(r->bins) * r->bins) / 0.125), 0.0, 0.01);
}

}  // namespace
