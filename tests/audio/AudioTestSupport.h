#pragma once
// What the audio framework's tests share: a simulated provider stepped by the
// test (no devices until a test adds them), a hand-driven main thread owned
// by the test thread, and device descriptions built from a few numbers.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Log.h"
#include "platform/audio/Provider.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/MainThread.h"

namespace audiotest {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;

inline pa::AudioStreamRangedDescription ranged(uint32_t channels, uint32_t bits, double minimum, double maximum) {
  return {sim::linearPcmFormat(minimum, channels, bits), {minimum, maximum}};
}

// An input device with the given offered formats; its current format is
// the first one at rate (which must lie in that description's range).
inline sim::DeviceDescription inputDevice(const std::string& name, const std::string& uid,
                                          std::vector<pa::AudioStreamRangedDescription> formats, double rate) {
  sim::DeviceDescription d;
  d.name = name;
  d.uid = uid;
  sim::StreamDescription in;
  in.physicalFormat = formats.at(0).mFormat;
  in.physicalFormat.mSampleRate = rate;
  in.formats = std::move(formats);
  in.signal.signal = sim::Signal::Sine;
  d.input = in;
  return d;
}

inline sim::DeviceDescription stereoInput(const std::string& name, const std::string& location) {
  return inputDevice(name, "sim:test:" + name + ":" + location + ":0", {ranged(2, 24, 44100, 48000)}, 48000);
}

// Log lines written while an instance lives.
class LogCapture {
 public:
  LogCapture() { platform::setLogSink(&LogCapture::sink, this); }
  ~LogCapture() { platform::resetLogSink(); }
  std::vector<std::string> lines() {
    std::lock_guard guard(lock_);
    return lines_;
  }

 private:
  static void sink(std::string_view line, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard guard(self->lock_);
    self->lines_.emplace_back(line);
  }
  std::mutex lock_;
  std::vector<std::string> lines_;
};

// A stepped simulated provider without devices, and a main thread that is
// this test's thread.
class AudioTest : public ::testing::Test {
 protected:
  AudioTest() {
    sim::Options options;
    options.clock = sim::ClockMode::Stepped;
    options.defaultDeviceSet = false;
    provider = std::make_shared<sim::SimulatedProvider>(options);
    pa::installProvider(provider);
    ui::MainThread::install(&mainThread);
  }
  ~AudioTest() override {
    settle();
    ui::MainThread::install(nullptr);
    pa::installProvider(nullptr);
  }

  // Waits until every notification fired so far has been handled, running
  // the main-thread work the listeners wait for meanwhile.
  void settle() {
    onOtherThread([this] { provider->flushNotifications(); });
  }

  // Runs work on another thread (as a notification would) while this thread
  // serves as the main thread.
  void onOtherThread(const std::function<void()>& work) {
    bool done = false;
    std::mutex lock;
    std::thread other([&] {
      work();
      std::lock_guard guard(lock);
      done = true;
    });
    for (;;) {
      mainThread.drain();
      std::lock_guard guard(lock);
      if (done) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    other.join();
    mainThread.drain();
  }

  ui::ManualMainThread mainThread;
  std::shared_ptr<sim::SimulatedProvider> provider;
};

}  // namespace audiotest
