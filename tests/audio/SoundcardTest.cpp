// The sound-card base against the simulated provider: device selection and
// its order of operations, managed controls, rates, formats, sources,
// volumes, and the reactions to the platform's notifications.

#include <algorithm>
#include <cmath>

#include "SoundcardSupport.h"
#include "platform/audio/AudioHardware.h"

namespace {

using namespace audiotest;
using ui::fakes::FakePopUpButton;
using ui::fakes::FakeSlider;
using Entries = std::vector<std::string>;

bool contains(const Entries& entries, const std::string& entry) {
  return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

// Index of the first entry that reads entry, on whichever thread it was
// made; -1 when there is none.
int indexOf(const Entries& entries, const std::string& entry) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string& e = entries[i];
    if (e == entry || (e.rfind("~", 0) == 0 && e.compare(1, std::string::npos, entry) == 0)) return static_cast<int>(i);
  }
  return -1;
}

// The entries made on the test's own (main) thread.
Entries onMain(const Entries& entries) {
  Entries out;
  std::copy_if(entries.begin(), entries.end(), std::back_inserter(out),
               [](const std::string& e) { return e.rfind("~", 0) != 0; });
  return out;
}

double deviceRate(pa::AudioObjectID id) {
  pa::AudioStreamBasicDescription f{};
  pa::getProperty(id, {pa::kAudioStreamPropertyPhysicalFormat, pa::kAudioDevicePropertyScopeInput, 0}, f);
  return f.mSampleRate;
}

float deviceVolume(pa::AudioObjectID id, uint32_t element) {
  float v = -1;
  pa::getProperty(id, {pa::kAudioDevicePropertyVolumeScalar, pa::kAudioDevicePropertyScopeInput, element}, v);
  return v;
}

std::string selectedName(AFSoundcard& card) {
  auto device = card.selectedDevice();
  return device ? device->name().value_or("?") : "none";
}

TEST_F(SoundcardTest, ANewCardFollowsTheDefaultDevice) {
  auto card = makeCard();
  EXPECT_EQ(selectedName(*card), "Mic A");
  EXPECT_TRUE(card->useDefaultDevice());
  EXPECT_EQ(card->defaultDeviceID(), micA);
  EXPECT_EQ(card->listenerID(), micA);
  EXPECT_EQ(card->physicalFormat().mBitsPerChannel, 24u);
  EXPECT_EQ(card->streamFormat().mChannelsPerFrame, 2u);
  EXPECT_TRUE(card->needNewAudioUnit());
  EXPECT_EQ(card->bufferLength(), 0);
  EXPECT_EQ(card->samplingRate(), 48000.0f);
  EXPECT_EQ(card->rateScalar(), 1.0);
}

TEST_F(SoundcardTest, WithoutAListThereIsNoCard) {
  LogCapture log;
  auto card = AFSoundcard::create<JournalCard>(nullptr, &journal);
  EXPECT_EQ(card, nullptr);
  EXPECT_EQ(log.lines(), Entries{"AFSoundcard has to be initialized with an AFList"});
}

TEST_F(SoundcardTest, ManagedControlsShowTheSelectedDevice) {
  FakePopUpButton devices, formats, rates, sources;
  FakeSlider volume;
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  card->setManagedFormatMenu(&formats);
  card->setManagedSamplingRateMenu(&rates);
  card->setManagedSourceMenu(&sources);
  card->setManagedVolumeSlider(&volume, 1);

  EXPECT_EQ(itemsOf(devices), (Entries{"Mic A", "Mic B"}));
  EXPECT_EQ(devices.titleOfSelectedItem(), "Mic A");
  EXPECT_EQ(card->currentDeviceName(), "Mic A");
  EXPECT_EQ(itemsOf(formats), (Entries{"1ch-16bit", "2ch-24bit"}));
  EXPECT_EQ(formats.titleOfSelectedItem(), "2ch-24bit");
  EXPECT_EQ(itemsOf(rates),
            (Entries{"11025", "12000", "16000", "22050", "24000", "32000", "44100", "48000", "72000", "96000"}));
  EXPECT_EQ(rates.titleOfSelectedItem(), "48000");
  EXPECT_EQ(itemsOf(sources), (Entries{"Line", "Microphone"}));
  EXPECT_EQ(sources.titleOfSelectedItem(), "Line");
  EXPECT_FLOAT_EQ(volume.floatValue(), 0.25f);
  EXPECT_TRUE(volume.isEnabled());
  for (ui::Control* control : std::initializer_list<ui::Control*>{&devices, &formats, &rates, &sources, &volume})
    EXPECT_TRUE(control->hasInterface());
}

TEST_F(SoundcardTest, PickingAnotherDeviceStopsReformatsRestartsAndThenTellsTheDelegate) {
  FakePopUpButton devices, formats, rates, sources;
  FakeSlider volume;
  JournalDelegate delegate(&journal);
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  card->setManagedFormatMenu(&formats);
  card->setManagedSamplingRateMenu(&rates);
  card->setManagedSourceMenu(&sources);
  card->setManagedVolumeSlider(&volume, 1);
  card->formatPopUp = &formats;
  card->setDelegate(&delegate);
  card->setRunning(true);
  journal.take();

  devices.pick(1);
  EXPECT_EQ(journal.take(), (Entries{"stop listening " + std::to_string(micA), "format 2ch 24bit",
                                     "changeSamplingRate 44100",
                                     "start listening " + std::to_string(micB) + " formats 1", "device Mic B"}));
  EXPECT_EQ(selectedName(*card), "Mic B");
  EXPECT_FALSE(card->useDefaultDevice());
  EXPECT_EQ(card->currentDeviceName(), "Mic B");
  EXPECT_EQ(card->physicalFormat().mSampleRate, 44100.0);
  EXPECT_EQ(itemsOf(rates), (Entries{"44100", "48000"}));
  EXPECT_EQ(rates.titleOfSelectedItem(), "44100");
  EXPECT_EQ(itemsOf(sources), (Entries{"Default"}));
  EXPECT_FALSE(volume.isEnabled());  // Mic B has no volume of its own on channel 1
  EXPECT_EQ(volume.floatValue(), 0.0f);

  // The selected device again: no stop, no restart, no notice.
  devices.pick(1);
  EXPECT_TRUE(journal.take().empty());
  EXPECT_EQ(delegate.offMainThread, 0);
}

TEST_F(SoundcardTest, SelectDeviceNameFallsBackToTheDefaultDevice) {
  FakePopUpButton devices;
  JournalDelegate delegate(&journal);
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  card->setDelegate(&delegate);
  journal.take();

  EXPECT_EQ(card->selectDeviceName(std::string("Mic B"))->deviceID(), micB);
  EXPECT_EQ(devices.titleOfSelectedItem(), "Mic B");
  EXPECT_EQ(card->listenerID(), micB);
  EXPECT_EQ(card->physicalFormat().mSampleRate, 44100.0);
  EXPECT_TRUE(card->useDefaultDevice());
  EXPECT_FALSE(contains(journal.take(), "device Mic B"));

  EXPECT_EQ(card->selectDeviceName(std::string("Nothing like it"))->deviceID(), micA);
  EXPECT_EQ(devices.titleOfSelectedItem(), "Mic A");
  EXPECT_EQ(card->selectDeviceName(std::nullopt)->deviceID(), micA);

  // Without a device pop-up a found device gives way to the default, and the
  // card then listens to the device it uses.
  auto bare = makeCard();
  bare->selectDevice(list->deviceWithName("Mic B"));
  ASSERT_EQ(bare->listenerID(), micB);
  EXPECT_EQ(bare->selectDeviceName(std::string("Mic B"))->deviceID(), micA);
  EXPECT_EQ(bare->listenerID(), micA);
  EXPECT_EQ(bare->physicalFormat().mSampleRate, 48000.0);
}

TEST_F(SoundcardTest, AStoredTitleWithItsLocationFindsItsDevice) {
  sim::DeviceDescription twin = inputDevice("Mic A", "sim:test:mica:PortC:0", {ranged(2, 24, 44100, 48000)}, 44100);
  pa::AudioObjectID micC = provider->addDevice(twin);
  settle();
  list = std::make_shared<AFList>(true);
  FakePopUpButton devices;
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  EXPECT_EQ(itemsOf(devices), (Entries{"Mic A (PortA)", "Mic B", "Mic A (PortC)"}));
  EXPECT_EQ(devices.titleOfSelectedItem(), "Mic A (PortA)");

  EXPECT_EQ(card->selectDeviceName(std::string("Mic A (PortC)"))->deviceID(), micC);
  EXPECT_EQ(devices.titleOfSelectedItem(), "Mic A (PortC)");
  EXPECT_EQ(card->currentDeviceName(), "Mic A (PortC)");
}

TEST_F(SoundcardTest, ADeviceMissingFromThePopUpTakesTheRemovalPath) {
  FakePopUpButton devices, formats, rates;
  JournalDelegate delegate(&journal);
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  card->setManagedFormatMenu(&formats);
  card->setManagedSamplingRateMenu(&rates);
  card->setDelegate(&delegate);
  card->setRunning(true);
  journal.take();

  FakePopUpButton other({{"Somewhere else", 0}});
  EXPECT_FALSE(card->reselectDeviceMenu(&other));
  Entries entries = journal.take();
  EXPECT_EQ(entries.front(), "stop listening " + std::to_string(micA));
  EXPECT_EQ(entries.back(), "removed " + std::to_string(micA));
  EXPECT_FALSE(card->isRunning());
  EXPECT_EQ(card->selectedDevice(), nullptr);
  EXPECT_EQ(card->currentDeviceName(), "");
  EXPECT_EQ(card->listenerID(), 0u);
  EXPECT_EQ(formats.numberOfItems(), 0);
  EXPECT_EQ(rates.numberOfItems(), 0);
  EXPECT_EQ(card->physicalFormat().mSampleRate, 0.0);
  EXPECT_EQ(card->samplingRate(), 0.0f);
  EXPECT_FALSE(card->setVolume(0.5f, 0));
  EXPECT_EQ(card->soundcardPropertyChanged(pa::kAudioDevicePropertyDataSource), -1);
}

TEST_F(SoundcardTest, AGoneDeviceIsReplacedByTheDefaultAndTheCardMovesOverToIt) {
  FakePopUpButton devices;
  JournalDelegate delegate(&journal);
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  card->setDelegate(&delegate);
  devices.pick(1);
  card->setRunning(true);
  journal.take();

  provider->removeDevice(micB);
  settle();
  Entries entries = journal.take();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front(), "~hardware dev#");
  // A card left on the gone device would run on without a sound: it is
  // stopped, bound to the default device, started again, and the delegate
  // hears of the new device.
  const int stop = indexOf(entries, "stop listening " + std::to_string(micA));
  const int start = indexOf(entries, "start listening " + std::to_string(micA) + " formats -");
  const int notice = indexOf(entries, "device Mic A");
  EXPECT_GE(stop, 0) << ::testing::PrintToString(entries);
  EXPECT_GT(start, stop);
  EXPECT_GT(notice, start);
  EXPECT_EQ(selectedName(*card), "Mic A");
  EXPECT_TRUE(card->isRunning());
  EXPECT_EQ(itemsOf(devices), (Entries{"Mic A"}));
  EXPECT_EQ(devices.titleOfSelectedItem(), "Mic A");
  EXPECT_EQ(card->listenerID(), micA);
  EXPECT_EQ(card->devices().size(), 1u);
}

TEST_F(SoundcardTest, WhenEveryDeviceIsGoneTheCardStopsAndSaysSo) {
  FakePopUpButton devices, formats, rates;
  JournalDelegate delegate(&journal, AFSoundcardDelegate::kDeviceRemoval);
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  card->setManagedFormatMenu(&formats);
  card->setManagedSamplingRateMenu(&rates);
  card->setDelegate(&delegate);
  devices.pick(1);
  card->setRunning(true);
  journal.take();

  provider->removeDevice(micA);
  provider->removeDevice(micB);
  settle();
  Entries entries = journal.take();
  EXPECT_TRUE(contains(entries, "stop listening " + std::to_string(micB)));
  EXPECT_EQ(entries.back(), "removed " + std::to_string(micB));
  EXPECT_FALSE(card->isRunning());
  EXPECT_EQ(card->selectedDevice(), nullptr);
  EXPECT_EQ(card->listenerID(), 0u);
  EXPECT_EQ(devices.numberOfItems(), 0);
  // Nothing of the gone device is offered any more.
  EXPECT_EQ(formats.numberOfItems(), 0);
  EXPECT_EQ(rates.numberOfItems(), 0);

  // A device that comes back is there to be picked.
  provider->addDevice(stereoInput("Mic C", "PortC"));
  settle();
  EXPECT_EQ(itemsOf(devices), Entries{"Mic C"});
  devices.pick(0);
  EXPECT_EQ(selectedName(*card), "Mic C");
}

TEST_F(SoundcardTest, ADeviceListChangeWithoutDevicePopUpOnlyNotifies) {
  JournalDelegate delegate(&journal);
  auto card = makeCard();
  card->setDelegate(&delegate);
  auto before = list->snapshot();
  provider->addDevice(stereoInput("Mic C", "PortC"));
  settle();
  EXPECT_EQ(journal.take(), Entries{"~hardware dev#"});
  EXPECT_EQ(list->snapshot(), before);
}

TEST_F(SoundcardTest, FollowingTheDefaultDevice) {
  FakePopUpButton devices;
  JournalDelegate delegate(&journal, AFSoundcardDelegate::kDeviceChange | AFSoundcardDelegate::kHardwareChange);
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  card->setDelegate(&delegate);
  journal.take();

  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, micB);
  settle();
  Entries entries = journal.take();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_TRUE(contains(entries, "~device Mic B"));
  EXPECT_EQ(entries.back(), "~hardware dIn ");
  EXPECT_EQ(selectedName(*card), "Mic B");
  EXPECT_EQ(card->defaultDeviceID(), micB);
  EXPECT_EQ(devices.titleOfSelectedItem(), "Mic B");
  EXPECT_EQ(card->listenerID(), micB);
  EXPECT_GT(delegate.offMainThread, 0);

  // Once the user picked a device, a new default is only noted.
  devices.pick(0);
  journal.take();
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, micA);
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, micB);
  settle();
  EXPECT_TRUE(journal.take().empty());
  EXPECT_EQ(selectedName(*card), "Mic A");
  EXPECT_EQ(card->defaultDeviceID(), micB);
}

TEST_F(SoundcardTest, ACardWithoutTheDefaultListenerStaysPut) {
  auto card = makeCard(false);
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, micB);
  settle();
  EXPECT_EQ(selectedName(*card), "Mic A");
  EXPECT_EQ(card->defaultDeviceID(), micA);
  // Told by hand, it follows.
  card->defaultDeviceChanged(pa::kAudioHardwarePropertyDefaultInputDevice);
  EXPECT_EQ(selectedName(*card), "Mic B");
  card->defaultDeviceChanged(pa::kAudioHardwarePropertyDefaultOutputDevice);  // not its selector
  EXPECT_EQ(card->defaultDeviceID(), micB);
}

TEST_F(SoundcardTest, SetSamplingRateOnARunningCardPausesAroundTheChange) {
  FakePopUpButton rates;
  auto card = makeCard();
  card->setManagedSamplingRateMenu(&rates);
  card->setRunning(true);
  journal.take();

  card->setSamplingRate(44100);
  EXPECT_EQ(onMain(journal.take()),
            (Entries{"stop listening " + std::to_string(micA), "sleep 0.1", "changeSamplingRate 44100",
                     "changeSamplingRate 44100", "sleep 0.02", "sleep 0.03",
                     "start listening " + std::to_string(micA) + " formats -"}));
  EXPECT_EQ(deviceRate(micA), 44100.0);
  EXPECT_EQ(rates.titleOfSelectedItem(), "44100");

  // Stopped: no pauses. A refused rate leaves the device and the pop-up as they were.
  card->setRunning(false);
  settle();
  journal.take();
  card->setSamplingRate(6400);
  EXPECT_EQ(onMain(journal.take()), (Entries{"changeSamplingRate 44100", "changeSamplingRate 44100"}));
  EXPECT_EQ(rates.titleOfSelectedItem(), "44100");
}

TEST_F(SoundcardTest, RatePopUpListsOfferedRatesAndSwitchesByIndex) {
  EXPECT_EQ(AFSoundcard::samplingRateMenuTitle(11025), "11025");
  EXPECT_EQ(AFSoundcard::samplingRateMenuTitle(44099.7f), "44099");
  FakePopUpButton rates;
  JournalDelegate delegate(&journal, AFSoundcardDelegate::kSamplingRateChange);
  auto card = makeCard();
  card->setManagedSamplingRateMenu(&rates);
  int index = rates.indexOfItemWithTitle("96000");
  ASSERT_GE(index, 0);
  card->switchSamplingIndex(index);
  EXPECT_EQ(deviceRate(micA), 96000.0);
  card->switchSamplingIndex(63);  // past the rates shown: nothing
  card->switchSamplingIndex(-1);
  EXPECT_EQ(deviceRate(micA), 96000.0);

  // The user's pick changes the device; its notice brings the pop-up along.
  card->setDelegate(&delegate);
  settle();
  journal.take();
  rates.pickTitle("22050");
  settle();
  EXPECT_EQ(deviceRate(micA), 22050.0);
  EXPECT_EQ(rates.titleOfSelectedItem(), "22050");
  EXPECT_TRUE(contains(journal.take(), "~rate 22050"));
}

TEST_F(SoundcardTest, FormatPopUpChangesTheDeviceAndFollowsItsNotice) {
  pa::AudioStreamBasicDescription stereo24 = sim::linearPcmFormat(48000, 2, 24);
  EXPECT_EQ(AFSoundcard::formatMenuTitle(AFFormat::formatForDescription(&stereo24)), "2ch-24bit");
  FakePopUpButton formats, rates;
  JournalDelegate delegate(&journal);
  auto card = makeCard();
  card->setManagedFormatMenu(&formats);
  card->setManagedSamplingRateMenu(&rates);
  card->setDelegate(&delegate);
  journal.take();

  formats.pickTitle("1ch-16bit");
  settle();
  Entries entries = journal.take();
  EXPECT_TRUE(contains(entries, "~format 1ch 16bit"));
  for (const std::string& e : entries) EXPECT_EQ(e.rfind("~rate", 0), std::string::npos) << e;
  EXPECT_EQ(formats.titleOfSelectedItem(), "1ch-16bit");
  EXPECT_EQ(card->physicalFormat().mChannelsPerFrame, 1u);
  EXPECT_EQ(deviceRate(micA), 48000.0);  // kept: 1ch-16bit offers it

  // setFormat rebuilds the pop-up and reports the device's format at once.
  card->setFormat(card->selectedDevice()->formats()[1]);
  EXPECT_TRUE(contains(onMain(journal.take()), "format 2ch 24bit"));
  EXPECT_EQ(formats.titleOfSelectedItem(), "2ch-24bit");
}

TEST_F(SoundcardTest, ARateNoticeAloneSendsTheRateButNoFormat) {
  FakePopUpButton rates, formats;
  JournalDelegate delegate(&journal);
  auto card = makeCard();
  card->setManagedSamplingRateMenu(&rates);
  card->setManagedFormatMenu(&formats);
  card->setDelegate(&delegate);
  journal.take();
  LogCapture log;

  provider->setNominalSampleRate(micA, 32000);
  settle();
  Entries entries = journal.take();
  EXPECT_TRUE(contains(entries, "~rate 32000"));
  for (const std::string& e : entries) EXPECT_EQ(e.rfind("~format", 0), std::string::npos) << e;
  EXPECT_EQ(rates.titleOfSelectedItem(), "32000");
  EXPECT_EQ(card->physicalFormat().mSampleRate, 32000.0);
  EXPECT_TRUE(log.lines().empty());

  // A notice that changes nothing the card tracks is logged.
  EXPECT_EQ(card->soundcardPropertyChanged(pa::kAudioStreamPropertyPhysicalFormat), 0);
  EXPECT_EQ(log.lines(), Entries{"soundcardPropertyChanged: physical format change not handled\n"});
}

TEST_F(SoundcardTest, UnknownSelectorsAreLoggedByTheirFourCharacters) {
  auto card = makeCard();
  LogCapture log;
  provider->notify(micA, {pa::fourCC("mute"), pa::kAudioObjectPropertyScopeInput, 0});
  provider->notify(micA, {pa::fourCC("abcd"), pa::kAudioObjectPropertyScopeInput, 0});
  provider->notify(micA, {pa::fourCC("vist"), pa::kAudioObjectPropertyScopeInput, 0});
  settle();
  EXPECT_EQ(log.lines(), Entries{"device property change selector: abcd not implemented?\n"});
}

TEST_F(SoundcardTest, SourceChangesReachTheDeviceAndComeBack) {
  FakePopUpButton sources;
  JournalDelegate delegate(&journal, AFSoundcardDelegate::kSourceChange);
  auto card = makeCard();
  card->setManagedSourceMenu(&sources);
  card->setDelegate(&delegate);
  card->setSource("Microphone");
  EXPECT_EQ(sources.titleOfSelectedItem(), "Microphone");
  EXPECT_EQ(card->source(), "Microphone");
  settle();
  EXPECT_EQ(journal.take(), Entries{"~source Microphone"});

  provider->setDataSource(micA, pa::kAudioObjectPropertyScopeInput, 1);
  settle();
  EXPECT_EQ(journal.take(), Entries{"~source Line"});
  EXPECT_EQ(sources.titleOfSelectedItem(), "Line");

  sources.pickTitle("Microphone");
  settle();
  EXPECT_EQ(card->source(), "Microphone");
}

TEST_F(SoundcardTest, VolumeFallsBackToTheMainControl) {
  FakeSlider slider;
  auto card = makeCard();
  card->selectDevice(list->deviceWithName("Mic B"));
  card->setManagedVolumeSlider(&slider, 1);
  EXPECT_TRUE(card->deviceHasVolumeControl(0));
  EXPECT_FALSE(card->deviceHasVolumeControl(1));
  EXPECT_FALSE(slider.isEnabled());
  EXPECT_EQ(slider.floatValue(), 0.0f);
  EXPECT_FLOAT_EQ(card->volumeForChannel(1), 0.8f);
  EXPECT_FLOAT_EQ(card->volumeForChannel(0), 0.8f);
  EXPECT_FALSE(card->setVolume(0.5f, 1));
}

// Notes the slider's value when the volume notice arrives.
class SliderWatcher : public JournalDelegate {
 public:
  SliderWatcher(Journal* journal, FakeSlider* slider) : JournalDelegate(journal), slider_(slider) {}
  void soundcardVolumeChangedToChannel(AFSoundcard* card, float volume, int32_t channel) override {
    JournalDelegate::soundcardVolumeChangedToChannel(card, volume, channel);
    if (ui::MainThread::instance().isMainThread()) sliderAtNotice = slider_->floatValue();
  }
  float sliderAtNotice = -1;

 private:
  FakeSlider* slider_;
};

TEST_F(SoundcardTest, VolumeChangesNotifyAndMoveTheSliders) {
  FakeSlider one, two;
  SliderWatcher delegate(&journal, &two);
  auto card = makeCard();
  card->setManagedVolumeSlider(&one, 1);
  card->setManagedVolumeSlider(&two, 2);
  card->setDelegate(&delegate);
  journal.take();

  EXPECT_TRUE(card->setVolume(0.6f, 2));
  EXPECT_FLOAT_EQ(delegate.sliderAtNotice, 0.75f);  // the notice comes first
  EXPECT_FLOAT_EQ(two.floatValue(), 0.6f);
  EXPECT_FLOAT_EQ(deviceVolume(micA, 2), 0.6f);
  settle();
  // Its own change seen again on the device is no news.
  EXPECT_EQ(journal.take(), Entries{"volume 0.6 channel 2"});

  provider->setVolume(micA, pa::kAudioObjectPropertyScopeInput, 1, 0.125f);
  settle();
  EXPECT_EQ(journal.take(), Entries{"~volume 0.125 channel 1"});
  EXPECT_FLOAT_EQ(one.floatValue(), 0.125f);

  card->updateVolumeSliders(true);  // nothing changed
  EXPECT_TRUE(journal.take().empty());

  // The user moves a slider.
  two.move(0.3);
  EXPECT_FLOAT_EQ(deviceVolume(micA, 2), 0.3f);
  EXPECT_EQ(journal.take(), Entries{"volume 0.3 channel 2"});
}

TEST_F(SoundcardTest, ASliderMovedToAnotherChannelActsOnThatChannel) {
  FakeSlider slider;
  auto card = makeCard();
  card->setManagedVolumeSlider(&slider, 1);
  card->setManagedVolumeSlider(&slider, 2);
  EXPECT_FLOAT_EQ(slider.floatValue(), 0.75f);
  slider.move(0.4);
  EXPECT_FLOAT_EQ(deviceVolume(micA, 2), 0.4f);
  EXPECT_FLOAT_EQ(deviceVolume(micA, 1), 0.25f);
  card->setManagedVolumeSlider(nullptr, 2);
  EXPECT_FALSE(slider.hasInterface());
}

TEST_F(SoundcardTest, ADelegateWithoutMethodsHearsNothing) {
  FakePopUpButton devices, formats;
  FakeSlider slider;
  Journal notices;
  JournalDelegate delegate(&notices, 0);
  auto card = makeCard();
  card->setManagedDeviceMenu(&devices);
  card->setManagedFormatMenu(&formats);
  card->setManagedVolumeSlider(&slider, 1);
  card->setDelegate(&delegate);
  EXPECT_FALSE(card->delegateRespondsToVolumeChange());
  EXPECT_FALSE(card->delegateRespondsToInputReceived());

  card->setVolume(0.1f, 1);
  devices.pick(1);
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, micB);
  provider->addDevice(stereoInput("Mic C", "PortC"));
  settle();
  EXPECT_EQ(selectedName(*card), "Mic B");
  EXPECT_TRUE(notices.take().empty());

  card->setDelegate(nullptr);
  EXPECT_EQ(card->delegate(), nullptr);
}

TEST_F(SoundcardTest, ControlsLoseTheirTargetWhenTheCardGoes) {
  FakePopUpButton devices, rates;
  FakeSlider slider;
  {
    auto card = makeCard();
    card->setManagedDeviceMenu(&devices);
    card->setManagedSamplingRateMenu(&rates);
    card->setManagedVolumeSlider(&slider, 0);
  }
  EXPECT_FALSE(devices.hasInterface());
  EXPECT_FALSE(rates.hasInterface());
  EXPECT_FALSE(slider.hasInterface());
  devices.pick(1);  // reaches nothing
  // Notifications after the card has gone reach nothing either.
  provider->setVolume(micA, pa::kAudioObjectPropertyScopeInput, 0, 0.2f);
  provider->addDevice(stereoInput("Mic C", "PortC"));
  settle();
}

TEST_F(SoundcardTest, ResamplingRateChangesStopAndRestartARunningCard) {
  auto card = makeCard();
  card->setRunning(true);
  journal.take();
  card->setResamplingRate(5);
  EXPECT_EQ(card->resamplingRate(), 0.0f);
  EXPECT_EQ(onMain(journal.take()), (Entries{"stop listening " + std::to_string(micA),
                                             "start listening " + std::to_string(micA) + " formats -",
                                             "changeSamplingRate 48000"}));
  EXPECT_FALSE(card->needNewRateConverter());
  card->setResamplingRate(5);  // stored 0 but asked 5: a change again
  card->setResamplingRate(0);  // equal to what is stored: nothing
  journal.take();
  card->setResamplingRate(0);
  EXPECT_TRUE(journal.take().empty());
}

}  // namespace
