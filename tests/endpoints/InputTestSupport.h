#pragma once
// The analyzer input on the stepped simulated provider: a controller that
// records what reaches it, pop-ups that notice a change made off the main
// thread, and a pump that runs the devices and hands the blocks over.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/AFInputSoundcard.h"
#include "audio/AFManager.h"
#include "audio/AudioTestSupport.h"
#include "endpoints/Input.h"
#include "platform/PropertyList.h"
#include "ui/PopUpButton.h"
#include "ui/Slider.h"

namespace inputtest {

namespace sim = audiotest::sim;
namespace pa = audiotest::pa;

class RecordingController final : public InputController {
 public:
  void newDataFromInput(const float* samples, float samplingRate) override {
    blocks.emplace_back(samples, samples + Input::kBlockLength);
    rates.push_back(samplingRate);
    if (forward) forward->newDataFromInput(samples, samplingRate);
  }
  void clearSpectrum() override {
    ++clears;
    if (forward) forward->clearSpectrum();
  }
  void setupSampling() override {
    ++setups;
    if (forward) forward->setupSampling();
  }
  std::vector<std::vector<float>> blocks;
  std::vector<float> rates;
  std::atomic<int> clears{0};
  int setups = 0;
  InputController* forward = nullptr;
};

// Counts the changes made to it on any thread but the main thread.
class WatchedPopUp final : public ui::PopUpButton {
 public:
  std::vector<std::string> items() const {
    std::vector<std::string> titles;
    for (int i = 0; i < numberOfItems(); ++i) titles.push_back(itemTitleAtIndex(i));
    return titles;
  }
  void pick(int index) { userSelectedIndex(index); }
  std::atomic<int> offMainThread{0};

 protected:
  void updateView() override {
    if (!ui::MainThread::instance().isMainThread()) ++offMainThread;
  }
};

class WatchedSlider final : public ui::Slider {
 protected:
  void updateView() override {}
};

// A device of n input channels; channel c (1-based) carries c × 500 Hz.
inline sim::DeviceDescription channelTonesDevice(const std::string& name, uint32_t channels, double rate = 48000) {
  sim::DeviceDescription d = audiotest::inputDevice(
      name, "sim:test:" + name + ":Bus9:0", {audiotest::ranged(channels, 24, 44100, 192000)}, rate);
  d.input->channels = channels;
  d.input->signal = {sim::Signal::ChannelTones, 500.0, 0.0, 0.1};
  for (uint32_t c = 0; c <= channels; ++c) d.input->volumes.push_back({c, 1.0f, true});
  return d;
}

// Zero crossings per second of a block at rate: about twice the frequency.
inline double crossingFrequency(const std::vector<float>& block, double rate) {
  int crossings = 0;
  for (std::size_t i = 1; i < block.size(); ++i) crossings += (block[i - 1] < 0) != (block[i] < 0);
  return crossings * rate / (2.0 * static_cast<double>(block.size()));
}

class InputTest : public audiotest::AudioTest {
 protected:
  ~InputTest() override {
    input.reset();
    mainThread.drain();
  }

  void launch(platform::PropertyDictionary settings = {}) {
    settle();
    manager = std::make_unique<AFManager>();
    input = std::make_unique<Input>(&controller);
    input->devicePopup = &devicePopup;
    input->sourcePopup = &sourcePopup;
    input->channelPopup = &channelPopup;
    input->samplingRatePopup = &ratePopup;
    input->inputSlider = &slider;
    input->applicationFinishLaunching(settings, *manager);
    mainThread.drain();
  }

  AFInputSoundcard* card() { return static_cast<AFInputSoundcard*>(input->soundcard()); }

  // What the controller's setupSampling does with the input: pause, resume.
  float restart() {
    const float rate = input->pause();
    input->resume();
    return rate;
  }

  // Runs the devices for about `seconds`, one device buffer at a time, and
  // after each lets the card deliver and the main thread take the blocks.
  void run(double seconds, double rate = 48000, int buffer = 512) {
    const int steps = static_cast<int>(std::ceil(seconds * rate / buffer));
    for (int i = 0; i < steps; ++i) {
      provider->advance(buffer / rate);
      deliver();
    }
  }

  void deliver() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (card() && card()->isRunning() && card()->memory().available() >= card()->bufferLength() &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    // The consumer advances the ring after it handed the block on.
    mainThread.drain();
  }

  RecordingController controller;
  WatchedPopUp devicePopup, sourcePopup, channelPopup, ratePopup;
  WatchedSlider slider;
  std::unique_ptr<AFManager> manager;
  std::unique_ptr<Input> input;
};

}  // namespace inputtest
