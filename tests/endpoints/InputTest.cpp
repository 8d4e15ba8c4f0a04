// The analyzer input with a real input card on the stepped simulated
// provider: channel menus, stored settings, block hand-over to the main
// thread, and the notices it takes from its card.

#include "InputTestSupport.h"

namespace inputtest {
namespace {

using platform::PropertyDictionary;

TEST_F(InputTest, TheChannelMenuShowsMonoLeftRightOrNumbers) {
  const pa::AudioObjectID mono = provider->addDevice(channelTonesDevice("One", 1));
  const pa::AudioObjectID stereo = provider->addDevice(channelTonesDevice("Two", 2));
  const pa::AudioObjectID six = provider->addDevice(channelTonesDevice("Six", 6));
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, mono);
  launch();
  EXPECT_EQ(channelPopup.items(), (std::vector<std::string>{"mono"}));

  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, stereo);
  settle();
  EXPECT_EQ(channelPopup.items(), (std::vector<std::string>{"L", "R"}));

  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, six);
  settle();
  EXPECT_EQ(channelPopup.items(), (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
  // The device changes were noticed on the notification thread; the menu
  // was rebuilt on the main thread all the same.
  EXPECT_EQ(channelPopup.offMainThread.load(), 0);
}

TEST_F(InputTest, AStoredChannelTwoSelectsRightAndAnalysesTheSecondBuffer) {
  provider->addDevice(channelTonesDevice("Two", 2));
  PropertyDictionary settings;
  settings.set(Input::kChannelKey, int64_t{2});
  launch(settings);
  EXPECT_EQ(channelPopup.titleOfSelectedItem(), "R");
  EXPECT_EQ(input->selectedChannel(), 2);

  EXPECT_FLOAT_EQ(restart(), 48000.0f);
  run(0.2);
  ASSERT_GE(controller.blocks.size(), 10u);
  // Channel 2 carries 1000 Hz, channel 1 500 Hz.
  EXPECT_NEAR(crossingFrequency(controller.blocks.back(), 48000), 1000.0, 60.0);
  EXPECT_EQ(controller.rates.back(), 48000.0f);

  // The user picks L: the next blocks are channel 1's.
  channelPopup.pick(0);
  controller.blocks.clear();
  run(0.1);
  ASSERT_FALSE(controller.blocks.empty());
  EXPECT_NEAR(crossingFrequency(controller.blocks.back(), 48000), 500.0, 60.0);
}

TEST_F(InputTest, AChannelTheDeviceLacksFallsBackToTheFirst) {
  const pa::AudioObjectID six = provider->addDevice(channelTonesDevice("Six", 6));
  const pa::AudioObjectID stereo = provider->addDevice(channelTonesDevice("Two", 2));
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, six);
  PropertyDictionary settings;
  settings.set(Input::kChannelKey, int64_t{5});
  launch(settings);
  EXPECT_EQ(input->selectedChannel(), 5);
  EXPECT_EQ(channelPopup.titleOfSelectedItem(), "5");

  restart();
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, stereo);
  settle();
  EXPECT_EQ(input->selectedChannel(), 1);
  EXPECT_EQ(channelPopup.titleOfSelectedItem(), "L");
  run(0.1);
  ASSERT_FALSE(controller.blocks.empty());
  EXPECT_NEAR(crossingFrequency(controller.blocks.back(), 48000), 500.0, 60.0);

  for (int64_t stored : {int64_t{0}, int64_t{-3}}) {
    input.reset();
    settings.set(Input::kChannelKey, stored);
    launch(settings);
    EXPECT_EQ(input->selectedChannel(), 1) << stored;
  }
}

TEST_F(InputTest, SettingsSurviveATerminationAndTheNextLaunch) {
  sim::DeviceDescription a = channelTonesDevice("Deck", 2);
  a.input->sources = {{1, "Line", {}}, {2, "Microphone", {}}};
  a.input->currentSource = 1;
  provider->addDevice(a);
  provider->addDevice(channelTonesDevice("Other", 2));
  launch();
  devicePopup.pick(devicePopup.indexOfItemWithTitle("Deck"));
  sourcePopup.pick(sourcePopup.indexOfItemWithTitle("Microphone"));
  ratePopup.pick(ratePopup.indexOfItemWithTitle("96000"));
  settle();
  channelPopup.pick(1);
  ASSERT_TRUE(card()->setVolume(0.25f, 2));
  input->pause();
  PropertyDictionary saved;
  input->applicationTerminating(saved);
  EXPECT_EQ(*saved.string(Input::kSoundCardKey), "Deck");
  EXPECT_EQ(*saved.string(Input::kSourceKey), "Microphone");
  EXPECT_EQ(*saved.string(Input::kSamplingRateKey), "96000");
  EXPECT_EQ(saved.number(Input::kChannelKey), 2.0);
  EXPECT_NEAR(*saved.number(Input::kSliderKey), 0.25, 1e-6);

  // Another run: the device has been set back meanwhile.
  input.reset();
  const pa::AudioObjectID deck = provider->deviceNamed("Deck");
  provider->setNominalSampleRate(deck, 48000);
  provider->setDataSource(deck, pa::kAudioObjectPropertyScopeInput, 1);
  provider->setVolume(deck, pa::kAudioObjectPropertyScopeInput, 2, 1.0f);
  launch(saved);
  EXPECT_EQ(devicePopup.titleOfSelectedItem(), "Deck");
  EXPECT_EQ(sourcePopup.titleOfSelectedItem(), "Microphone");
  EXPECT_FLOAT_EQ(card()->samplingRate(), 96000.0f);
  EXPECT_EQ(channelPopup.titleOfSelectedItem(), "R");
  EXPECT_NEAR(card()->volumeForChannel(2), 0.25f, 1e-6);
  EXPECT_FLOAT_EQ(input->pause(), 96000.0f);
}

TEST_F(InputTest, AStoredSliderOfMinusOneLeavesTheVolumeAlone) {
  provider->addDevice(channelTonesDevice("Two", 2));
  const pa::AudioObjectID two = provider->deviceNamed("Two");
  provider->setVolume(two, pa::kAudioObjectPropertyScopeInput, 1, 0.6f);
  settle();
  PropertyDictionary settings;
  settings.set(Input::kChannelKey, int64_t{1});
  settings.set(Input::kSliderKey, -1.0);
  launch(settings);
  EXPECT_NEAR(card()->volumeForChannel(1), 0.6f, 1e-6);
}

TEST_F(InputTest, OnlyAVolumeChangeOfTheSelectedChannelClearsTheSpectrum) {
  provider->addDevice(channelTonesDevice("Two", 2));
  const pa::AudioObjectID two = provider->deviceNamed("Two");
  launch();
  const int before = controller.clears.load();
  provider->setVolume(two, pa::kAudioObjectPropertyScopeInput, 2, 0.5f);
  settle();
  EXPECT_EQ(controller.clears.load(), before);
  provider->setVolume(two, pa::kAudioObjectPropertyScopeInput, 1, 0.5f);
  settle();
  EXPECT_EQ(controller.clears.load(), before + 1);
}

TEST_F(InputTest, ARateChangeOfTheCardAsksTheControllerOnTheMainThread) {
  provider->addDevice(channelTonesDevice("Two", 2));
  launch();
  restart();
  provider->setNominalSampleRate(provider->deviceNamed("Two"), 96000);
  settle();
  EXPECT_EQ(controller.setups, 1);
  // Another card's report is not the input's business.
  input->soundcardSamplingRateChangedTo(nullptr, 44100.0f);
  mainThread.drain();
  EXPECT_EQ(controller.setups, 1);
}

TEST_F(InputTest, BlocksAreCopiesThatTheRingCannotOverwrite) {
  provider->addDevice(channelTonesDevice("Two", 2));
  launch();
  restart();
  // The main thread is busy for a while: the card runs on, far past the
  // ring's length, while the delivered blocks wait in the queue.
  const int blocks = Input::kPoolBlocks - 4;
  for (int i = 0; i < blocks + 1; ++i) {
    provider->advance(512.0 / 48000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (card()->memory().available() >= 512 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  mainThread.drain();
  ASSERT_EQ(controller.blocks.size(), static_cast<std::size_t>(blocks));  // the first block after a start is dropped
  // Every block holds the sine where the one before ended: 500 Hz at
  // amplitude 0.1 continues across every block boundary.
  for (std::size_t b = 1; b < controller.blocks.size(); ++b) {
    const float last = controller.blocks[b - 1].back();
    const float first = controller.blocks[b].front();
    EXPECT_LT(std::fabs(first - last), 0.1f * 2 * 3.1416f * 500.0f / 48000.0f * 1.5f) << "block " << b;
  }
  EXPECT_EQ(input->droppedSamples(), 0u);
}

TEST_F(InputTest, AMainThreadThatFallsBehindLosesCountedSamplesNotMemory) {
  provider->addDevice(channelTonesDevice("Two", 2));
  launch();
  restart();
  const int blocks = Input::kPoolBlocks + 10;
  for (int i = 0; i < blocks + 1; ++i) {
    provider->advance(512.0 / 48000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (card()->memory().available() >= 512 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  EXPECT_EQ(input->droppedSamples(), 10u * 512u);
  mainThread.drain();
  EXPECT_EQ(controller.blocks.size(), static_cast<std::size_t>(Input::kPoolBlocks));
  // The pool is free again: the input goes on.
  controller.blocks.clear();
  run(0.1);
  EXPECT_GE(controller.blocks.size(), 8u);
}

TEST_F(InputTest, BlocksQueuedBeforeAPauseAreNotAnalysed) {
  provider->addDevice(channelTonesDevice("Two", 2));
  launch();
  restart();
  for (int i = 0; i < 5; ++i) {
    provider->advance(512.0 / 48000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (card()->memory().available() >= 512 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  restart();  // a reconfiguration while four blocks wait
  mainThread.drain();
  EXPECT_TRUE(controller.blocks.empty());
  run(0.05);
  EXPECT_FALSE(controller.blocks.empty());
}

TEST_F(InputTest, CardBlocksOfOtherLengthsReachTheControllerAsWholeBlocks) {
  sim::DeviceDescription d = channelTonesDevice("Small", 2);
  d.bufferFrameSizeRange = {64, 256};
  d.bufferFrameSize = 128;
  provider->addDevice(d);
  launch();
  restart();
  EXPECT_EQ(card()->bufferLength(), 256);  // 512 is beyond the device's range
  run(0.2, 48000, 128);
  ASSERT_GE(controller.blocks.size(), 10u);
  for (const auto& block : controller.blocks) ASSERT_EQ(block.size(), 512u);
  EXPECT_NEAR(crossingFrequency(controller.blocks.back(), 48000), 500.0, 60.0);
}

}  // namespace
}  // namespace inputtest

namespace inputtest {
namespace {

// A main thread that counts how often it is woken.
class CountingMainThread final : public ui::MainThread {
 public:
  int wakes = 0;

 protected:
  void wake() override { ++wakes; }
};

TEST_F(InputTest, AtTheHighestRatesTwoBlocksShareOneWakeUpOfTheMainThread) {
  for (double rate : {48000.0, 96000.0, 192000.0}) {
    const pa::AudioObjectID id = provider->addDevice(channelTonesDevice("Rate" + std::to_string(int(rate)), 2, rate));
    provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, id);
    launch();
    ASSERT_FLOAT_EQ(restart(), static_cast<float>(rate));
    controller.blocks.clear();

    CountingMainThread counting;
    ui::MainThread::install(&counting);
    const int cycles = 41;
    for (int i = 0; i < cycles; ++i) {
      provider->advanceFrames(id, 512);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (card()->memory().available() >= 512 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    counting.drain();
    ui::MainThread::install(&mainThread);
    const int blocks = static_cast<int>(controller.blocks.size());
    EXPECT_GE(blocks, 38) << rate;
    // Every block reached the controller; at 192 kHz every second one woke
    // the main thread.
    EXPECT_EQ(counting.wakes, rate > 100000 ? blocks / 2 : blocks) << rate;
    input.reset();
    provider->removeDevice(id);
    settle();
  }
}

}  // namespace
}  // namespace inputtest
