#pragma once
// A sound card whose stream is a flag (the input and output cards make the
// stream real), a delegate that writes every notice into a journal, and a
// standard pair of input devices.

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AudioTestSupport.h"
#include "audio/AFSoundcard.h"
#include "ui/fakes/FakeControls.h"

namespace audiotest {

inline std::string num(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", value);
  return text;
}

// What happened, in order, from any thread; entries made off the main
// thread start with "~".
class Journal {
 public:
  void add(std::string entry) {
    if (!ui::MainThread::instance().isMainThread()) entry = "~" + entry;
    std::lock_guard guard(lock_);
    entries_.push_back(std::move(entry));
  }
  // Everything so far, then forgets it.
  std::vector<std::string> take() {
    std::lock_guard guard(lock_);
    std::vector<std::string> out;
    out.swap(entries_);
    return out;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> entries_;
};

// Journals its stream operations, with the device listened to and the size
// of the managed format pop-up at that moment, and its pauses instead of
// sleeping.
class JournalCard : public AFSoundcard {
 public:
  JournalCard(std::shared_ptr<AFList> list, Journal* journal, bool followDefault = true)
      : AFSoundcard(std::move(list), true), journal_(journal) {
    if (followDefault) addDefaultDeviceListener();
  }
  ~JournalCard() override { removeDefaultDeviceListener(); }

  bool isRunning() override { return running_; }
  bool start() override {
    journal_->add("start listening " + std::to_string(listenerID()) + " formats " + formatItems());
    running_ = true;
    return true;
  }
  void stop() override {
    journal_->add("stop listening " + std::to_string(listenerID()));
    running_ = false;
  }
  void changeSamplingRate() override { journal_->add("changeSamplingRate " + num(samplingRate())); }
  void setRunning(bool running) { running_ = running; }

  ui::PopUpButton* formatPopUp = nullptr;

 protected:
  void sleepFor(double seconds) override { journal_->add("sleep " + num(seconds)); }

 private:
  std::string formatItems() { return formatPopUp ? std::to_string(formatPopUp->numberOfItems()) : "-"; }
  Journal* journal_;
  std::atomic<bool> running_{false};
};

class JournalDelegate : public AFSoundcardDelegate {
 public:
  JournalDelegate(Journal* journal, uint32_t methods = ~0u) : journal_(journal), methods_(methods) {}
  uint32_t implementedMethods() const override { return methods_; }

  void soundcardVolumeChangedToChannel(AFSoundcard*, float volume, int32_t channel) override {
    note("volume " + num(volume) + " channel " + std::to_string(channel));
  }
  void soundcardFormatChangedToChannelsBits(AFSoundcard*, int32_t channels, int32_t bits) override {
    note("format " + std::to_string(channels) + "ch " + std::to_string(bits) + "bit");
  }
  void soundcardDeviceChangedTo(AFSoundcard*, const std::shared_ptr<AFDevice>& device) override {
    note("device " + device->name().value_or("?"));
  }
  void soundcardSoundSourceChangedTo(AFSoundcard*, const std::string& source) override { note("source " + source); }
  void soundcardSamplingRateChangedTo(AFSoundcard*, float rate) override { note("rate " + num(rate)); }
  void soundcardHardwareChanged(AFSoundcard*, uint32_t selector) override {
    char code[5] = {char(selector >> 24), char(selector >> 16), char(selector >> 8), char(selector), 0};
    note(std::string("hardware ") + code);
  }
  void soundcardSelectedSoundcardRemoved(AFSoundcard*, uint32_t deviceID) override {
    note("removed " + std::to_string(deviceID));
  }

  // Notices that arrived on a thread other than the test's own.
  std::atomic<int> offMainThread{0};

 private:
  void note(std::string entry) {
    if (!ui::MainThread::instance().isMainThread()) ++offMainThread;
    journal_->add(std::move(entry));
  }
  Journal* journal_;
  uint32_t methods_;
};

// Two input devices: "Mic A" (the default, two formats, two sources, a main
// volume and one per channel) and "Mic B" (one format, main volume only).
class SoundcardTest : public AudioTest {
 protected:
  void SetUp() override {
    sim::DeviceDescription a = inputDevice(
        "Mic A", "sim:test:mica:PortA:0", {ranged(1, 16, 8000, 48000), ranged(2, 24, 11025, 96000)}, 48000);
    a.input->physicalFormat = a.input->formats[1].mFormat;
    a.input->physicalFormat.mSampleRate = 48000;
    a.input->sources = {{1, "Line", {}}, {2, "Microphone", {}}};
    a.input->currentSource = 1;
    a.input->volumes = {{0, 0.5f, true}, {1, 0.25f, true}, {2, 0.75f, true}};
    micA = provider->addDevice(a);

    sim::DeviceDescription b = inputDevice("Mic B", "sim:test:micb:PortB:0", {ranged(2, 24, 44100, 48000)}, 44100);
    b.input->volumes = {{0, 0.8f, true}};
    micB = provider->addDevice(b);
    ASSERT_NE(micA, 0u);
    ASSERT_NE(micB, 0u);
    settle();
    list = std::make_shared<AFList>(true);
  }

  AFSoundcardPtr<JournalCard> makeCard(bool followDefault = true) {
    settle();
    return AFSoundcard::create<JournalCard>(list, &journal, followDefault);
  }

  std::vector<std::string> itemsOf(const ui::PopUpButton& popUp) {
    std::vector<std::string> items;
    for (int i = 0; i < popUp.numberOfItems(); ++i) items.push_back(popUp.itemTitleAtIndex(i));
    return items;
  }

  pa::AudioObjectID micA = 0;
  pa::AudioObjectID micB = 0;
  std::shared_ptr<AFList> list;
  Journal journal;
};

}  // namespace audiotest
