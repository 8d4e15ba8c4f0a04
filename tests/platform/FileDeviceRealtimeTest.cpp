// A file device in real time: its I/O thread allocates nothing while a
// client runs on it, also while the source, rate and buffer size change and
// the file loops, and the cycles keep the buffer period.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "AudioTestSupport.h"
#include "platform/audio/filedevices/FileDeviceProvider.h"
#include "support/AllocationCounter.h"
#include "support/TempFolder.h"
#include "support/ToneMeasure.h"
#include "support/WaveFile.h"

namespace {

using namespace audiotest;
using namespace std::chrono_literals;
namespace files = platform::audio::files;

// Counts frames and keeps the loudest sample, without allocating.
struct Meter final : IoClient {
  std::atomic<uint64_t> frames{0};
  std::atomic<float> peak{0};
  void ioCycle(AudioObjectID, const IoCycle& cycle) noexcept override {
    const auto* x = static_cast<const float*>(cycle.input->mBuffers[1].mData);
    float p = peak.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < cycle.frames; ++i) p = std::max(p, std::abs(x[i]));
    peak.store(p, std::memory_order_relaxed);
    frames.fetch_add(cycle.frames, std::memory_order_relaxed);
  }
};

TEST(FileDeviceRealtime, TheIoThreadAllocatesNothing) {
  testsupport::TempFolder folder;
  const std::string path = folder.file("short.wav");
  // A fifth of a second: the file loops several times while the test runs.
  testsupport::writeWave(path, {tonetest::sine(9600, 48000, 1000, 0.5), tonetest::sine(9600, 48000, 2000, 0.25)},
                         48000);
  sim::Options quiet = ProviderScope::stepped();
  quiet.defaultDeviceSet = false;
  files::Options options;
  options.ioThreadStarted = [] { testsupport::countAllocationsOnThisThread(true); };
  auto overlay =
      std::make_shared<files::FileDeviceProvider>(std::make_shared<sim::SimulatedProvider>(quiet), options);
  const AudioObjectID id = overlay->addFile(path);
  ASSERT_NE(id, 0u);

  Meter meter;
  testsupport::resetAllocationCount();
  ASSERT_EQ(overlay->startIo(id, kAudioObjectPropertyScopeInput, &meter), noErr);
  const auto started = std::chrono::steady_clock::now();
  // Each stage runs for a number of device frames (a stage in seconds of
  // the device's clock), however long the machine takes to get there.
  const auto runFrames = [&](uint64_t n) {
    const uint64_t from = meter.frames.load();
    while (meter.frames.load() - from < n) std::this_thread::sleep_for(1ms);
  };
  runFrames(19200);  // 0.4 s: the file loops
  const AudioObjectPropertyAddress source{kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput, 0};
  const AudioObjectPropertyAddress rate{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};
  const AudioObjectPropertyAddress buffer{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0};
  const uint32_t once = files::kSourcePlayOnce, loop = files::kSourceLoop, frames = 256;
  const double converted = 44100;
  ASSERT_EQ(overlay->setPropertyData(id, source, 0, nullptr, sizeof once, &once), noErr);
  runFrames(14400);  // past the end: silence
  ASSERT_EQ(overlay->setPropertyData(id, source, 0, nullptr, sizeof loop, &loop), noErr);
  ASSERT_EQ(overlay->setPropertyData(id, rate, 0, nullptr, sizeof converted, &converted), noErr);
  runFrames(13230);
  ASSERT_EQ(overlay->setPropertyData(id, buffer, 0, nullptr, sizeof frames, &frames), noErr);
  runFrames(13230);
  ASSERT_EQ(overlay->stopIo(id, kAudioObjectPropertyScopeInput, &meter), noErr);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  EXPECT_EQ(testsupport::allocationCount(), 0);
  // Real time: about one device second a second (48 kHz, then 44.1 kHz).
  EXPECT_GT(double(meter.frames.load()), 0.7 * 44100 * seconds);
  EXPECT_LT(double(meter.frames.load()), 1.1 * 48000 * seconds);
  EXPECT_NEAR(meter.peak.load(), 0.25, 0.01);
  EXPECT_TRUE(overlay->removeFile(id));
}

}  // namespace
