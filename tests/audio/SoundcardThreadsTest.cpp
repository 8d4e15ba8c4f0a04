// A sound card between the main thread and the platform's notification
// thread: no deadlock and no lost registration when the main thread picks
// devices or destroys the card while listener calls wait for it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "SoundcardSupport.h"

namespace {

using namespace audiotest;
using ui::fakes::FakePopUpButton;
using ui::fakes::FakeSlider;

// Raises a flag when the device-list notice arrives; the card then goes on
// to wait for the main thread.
class HardwareFlag : public AFSoundcardDelegate {
 public:
  uint32_t implementedMethods() const override { return kHardwareChange; }
  void soundcardHardwareChanged(AFSoundcard*, uint32_t) override { raised = true; }
  std::atomic<bool> raised{false};
};

TEST_F(SoundcardTest, DestroyingACardWhoseListenerWaitsForTheMainThread) {
  for (int round = 0; round < 20; ++round) {
    FakePopUpButton devices, rates;
    HardwareFlag flag;
    auto card = makeCard();
    card->setManagedDeviceMenu(&devices);
    card->setManagedSamplingRateMenu(&rates);
    card->setDelegate(&flag);

    pa::AudioObjectID extra = provider->addDevice(stereoInput("Hot", "Plug" + std::to_string(round)));
    // The listener is in its call; give it time to reach its main-thread step.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!flag.raised && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    ASSERT_TRUE(flag.raised);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));

    card.reset();  // must not wait forever for the listener that waits for us
    EXPECT_FALSE(devices.hasInterface());
    provider->removeDevice(extra);
    settle();
  }
}

TEST_F(SoundcardTest, PickingDevicesWhileTheDeviceChangesUnderneath) {
  FakePopUpButton devices, formats, rates, sources;
  FakeSlider one, two;
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  card->setManagedFormatMenu(&formats);
  card->setManagedSamplingRateMenu(&rates);
  card->setManagedSourceMenu(&sources);
  card->setManagedVolumeSlider(&one, 1);
  card->setManagedVolumeSlider(&two, 2);
  JournalDelegate delegate(&journal);
  card->setDelegate(&delegate);

  std::atomic<bool> done{false};
  std::thread outside([&] {
    for (int i = 0; i < 150; ++i) {
      provider->setVolume(micA, pa::kAudioObjectPropertyScopeInput, 1 + i % 2, float(i % 10) / 10.0f);
      provider->setVolume(micB, pa::kAudioObjectPropertyScopeInput, 0, float(i % 7) / 7.0f);
      provider->setNominalSampleRate(micA, i % 2 ? 44100 : 48000);
      provider->setDataSource(micA, pa::kAudioObjectPropertyScopeInput, 1 + i % 2);
      provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, i % 2 ? micB : micA);
    }
    done = true;
  });
  int picks = 0;
  do {
    devices.pick(picks++ % 2);
    mainThread.drain();
  } while (!done);
  outside.join();
  settle();

  auto selected = card->selectedDevice();
  ASSERT_NE(selected, nullptr);
  EXPECT_EQ(card->listenerID(), selected->deviceID());
  EXPECT_EQ(devices.titleOfSelectedItem(), *selected->name());
  EXPECT_FALSE(card->useDefaultDevice());

  // The card still hears the device it is on, and only that one.
  devices.pick(0);
  settle();
  journal.take();
  provider->setVolume(micB, pa::kAudioObjectPropertyScopeInput, 0, 0.35f);
  provider->setVolume(micA, pa::kAudioObjectPropertyScopeInput, 1, 0.55f);
  settle();
  // (A slider whose last reading raced with a device pick may also be
  // reported with its current value; that is news, not noise.)
  auto entries = journal.take();
  EXPECT_NE(std::find(entries.begin(), entries.end(), "~volume 0.55 channel 1"), entries.end());
  for (const std::string& e : entries) EXPECT_EQ(e.find("0.35"), std::string::npos) << e;
}

TEST_F(SoundcardTest, CardsSharingAListHandleHotPlugTogether) {
  FakePopUpButton first, second;
  auto a = makeCard();
  auto b = makeCard();
  a->setManagedDeviceMenu(&first);
  b->setManagedDeviceMenu(&second);
  second.pick(1);

  std::thread plug([&] {
    for (int i = 0; i < 30; ++i) {
      pa::AudioObjectID id = provider->addDevice(stereoInput("Hot", "Plug" + std::to_string(i)));
      provider->removeDevice(id);
    }
  });
  onOtherThread([&] { plug.join(); });
  settle();
  EXPECT_EQ(first.numberOfItems(), 2);
  EXPECT_EQ(second.numberOfItems(), 2);
  EXPECT_EQ(first.titleOfSelectedItem(), "Mic A");
  EXPECT_EQ(second.titleOfSelectedItem(), "Mic B");
  EXPECT_EQ(b->selectedDevice()->deviceID(), micB);
}

}  // namespace
