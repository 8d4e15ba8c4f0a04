// Devices and device lists against the simulated provider: offered rates from
// ranged descriptions, format and rate changes, data sources, identity,
// unique titles, refreshes and the manager.

#include <algorithm>
#include <atomic>
#include <thread>

#include "AudioTestSupport.h"
#include "audio/AFDevice.h"
#include "audio/AFList.h"
#include "audio/AFManager.h"
#include "platform/audio/AudioHardware.h"

namespace {

using namespace audiotest;
using Rates = std::vector<float>;

class DeviceTest : public AudioTest {
 protected:
  AFFormat formatOf(uint32_t channels, uint32_t bits) {
    auto d = sim::linearPcmFormat(48000, channels, bits);
    return AFFormat(&d);
  }
  double deviceRate(pa::AudioObjectID id) {
    pa::AudioStreamBasicDescription f{};
    pa::getProperty(id, {pa::kAudioStreamPropertyPhysicalFormat, pa::kAudioDevicePropertyScopeInput, 0}, f);
    return f.mSampleRate;
  }
};

TEST_F(DeviceTest, OffersTheCandidateRatesInsideMatchingRanges) {
  pa::AudioObjectID id = provider->addDevice(inputDevice("Mic", "a:b:c:Bus1:0",
                                                         {ranged(2, 24, 44100, 48000), ranged(2, 16, 8000, 192000),
                                                          ranged(1, 16, 44100, 44100), ranged(1, 24, 7000, 20000),
                                                          ranged(1, 24, 16000, 33000), ranged(4, 24, 6000, 6500)},
                                                         44100));
  ASSERT_NE(id, 0u);
  AFDevice device(id, true);
  EXPECT_EQ(device.samplingRatesForFormat(formatOf(2, 24)), (Rates{44100, 48000}));
  EXPECT_EQ(device.samplingRatesForFormat(formatOf(2, 16)),
            (Rates{8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 72000, 96000, 192000}));
  EXPECT_EQ(device.samplingRatesForFormat(formatOf(1, 16)), (Rates{44100}));
  // Two overlapping descriptions list each rate once.
  EXPECT_EQ(device.samplingRatesForFormat(formatOf(1, 24)), (Rates{8000, 11025, 12000, 16000, 22050, 24000, 32000}));
  // Only 6400 is a candidate between 6000 and 6500, for 4 channels only.
  EXPECT_EQ(device.samplingRatesForFormat(formatOf(4, 24)), (Rates{6400}));
  EXPECT_TRUE(device.samplingRatesForFormat(formatOf(8, 24)).empty());
  // The current format is 2 channels of 24 bits.
  EXPECT_EQ(device.samplingRates(), (Rates{44100, 48000}));
  EXPECT_EQ(device.samplingRate(), 44100.0f);
}

TEST_F(DeviceTest, FormatsKeepTheFirstDescriptionOfEachPair) {
  pa::AudioObjectID id = provider->addDevice(inputDevice(
      "Mic", "a:b:c:Bus1:0", {ranged(1, 16, 44100, 44100), ranged(2, 24, 96000, 96000), ranged(1, 16, 48000, 48000)},
      44100));
  AFDevice device(id, true);
  ASSERT_EQ(device.formats().size(), 2u);
  EXPECT_EQ(device.formats()[0].channels(), 1);
  EXPECT_EQ(device.formats()[0].bits(), 16);
  EXPECT_EQ(device.formats()[0].streamDescription()->mSampleRate, 44100.0);
  EXPECT_EQ(device.formats()[1].channels(), 2);
  EXPECT_EQ(device.indexOfFormatWithChannels(2, 24), 1);
  EXPECT_EQ(device.indexOfFormatWithChannels(2, 16), -1);
}

TEST_F(DeviceTest, FormatChangeKeepsTheDevicesOwnRateWhenOffered) {
  pa::AudioObjectID id = provider->addDevice(
      inputDevice("Mic", "a:b:c:Bus1:0", {ranged(2, 24, 44000, 48000), ranged(2, 16, 44000, 48000)}, 44099.5));
  AFDevice device(id, true);
  ASSERT_TRUE(device.selectFormat(formatOf(2, 16)));
  EXPECT_EQ(deviceRate(id), 44099.5);
  EXPECT_EQ(device.physicalFormat().mBitsPerChannel, 16u);
  EXPECT_EQ(device.physicalFormat().mBytesPerFrame, 4u);

  pa::AudioObjectID other = provider->addDevice(
      inputDevice("Mic", "a:b:c:Bus2:0", {ranged(2, 24, 32000, 48000), ranged(2, 16, 44100, 48000)}, 32000));
  AFDevice second(other, true);
  ASSERT_TRUE(second.selectFormat(formatOf(2, 16)));
  EXPECT_EQ(deviceRate(other), 48000.0);  // the highest offered rate
  EXPECT_FALSE(second.selectFormat(formatOf(8, 16)));
}

TEST_F(DeviceTest, RateChangesGoThroughThePhysicalFormat) {
  pa::AudioObjectID id = provider->addDevice(inputDevice("Mic", "a:b:c:Bus1:0", {ranged(2, 24, 44100, 48000)}, 44100));
  AFDevice device(id, true);
  EXPECT_TRUE(device.selectSamplingRate(48000));
  EXPECT_EQ(deviceRate(id), 48000.0);
  EXPECT_EQ(device.samplingRate(), 48000.0f);
  EXPECT_FALSE(device.selectSamplingRate(96000));  // not offered: refused, unchanged
  EXPECT_EQ(device.samplingRate(), 48000.0f);
}

TEST_F(DeviceTest, RateCacheSurvivesAFailedRead) {
  pa::AudioObjectID id = provider->addDevice(inputDevice("Mic", "a:b:c:Bus1:0", {ranged(2, 24, 44100, 48000)}, 44100));
  AFDevice device(id, true);
  EXPECT_EQ(device.samplingRatesForFormat(formatOf(2, 24)).size(), 2u);
  provider->removeDevice(id);
  EXPECT_TRUE(device.samplingRatesForFormat(formatOf(2, 16)).empty());
  EXPECT_EQ(device.samplingRatesForFormat(formatOf(2, 24)).size(), 2u);  // from the cache
  EXPECT_FALSE(device.getPhysicalFormatForDevice());
}

TEST_F(DeviceTest, SourceMenusWithOneOrSeveralSources) {
  auto single = stereoInput("One", "Bus1");
  single.input->sources = {{7, "Line", {}}};
  single.input->currentSource = 7;
  AFDevice one(provider->addDevice(single), true);
  ASSERT_EQ(one.sourceMenu()->numberOfItems(), 1);
  EXPECT_EQ(one.sourceMenu()->itemAt(0)->title, "Default");
  EXPECT_EQ(one.sourceMenu()->itemAt(0)->tag, 0);
  EXPECT_EQ(one.source(), "");
  EXPECT_FALSE(one.selectSource("Line"));
  EXPECT_FALSE(one.selectSource("Default"));

  AFDevice none(provider->addDevice(stereoInput("None", "Bus2")), true);
  ASSERT_EQ(none.sourceMenu()->numberOfItems(), 1);
  EXPECT_EQ(none.sourceMenu()->itemAt(0)->title, "Default");

  auto several = stereoInput("Several", "Bus3");
  several.input->sources = {{3, "Line", {}}, {5, "Microphone", {}}, {9, "Optical", {}}};
  several.input->currentSource = 5;
  pa::AudioObjectID id = provider->addDevice(several);
  AFDevice three(id, true);
  ASSERT_EQ(three.sourceMenu()->numberOfItems(), 3);
  EXPECT_EQ(three.sourceMenu()->itemAt(2)->title, "Optical");
  EXPECT_EQ(three.sourceMenu()->itemAt(2)->tag, 9);
  EXPECT_EQ(three.source(), "Microphone");
  EXPECT_TRUE(three.selectSource("Optical"));
  uint32_t current = 0;
  pa::getProperty(id, {pa::kAudioDevicePropertyDataSource, pa::kAudioDevicePropertyScopeInput, 0}, current);
  EXPECT_EQ(current, 9u);
  EXPECT_EQ(three.source(), "Optical");
  EXPECT_FALSE(three.selectSource("optical"));
}

TEST_F(DeviceTest, IdentityFromNameAndIdentifier) {
  EXPECT_EQ(locationFieldOfIdentifier("a:b:c:Bus1:0"), "Bus1");
  EXPECT_EQ(locationFieldOfIdentifier("a:b:c:Bus1"), "Bus1");
  EXPECT_EQ(locationFieldOfIdentifier("a:b:c:"), "");
  EXPECT_EQ(locationFieldOfIdentifier("AppleUSB"), "AppleUSB");
  EXPECT_EQ(locationFieldOfIdentifier("a:b"), "a:b");

  AFDevice device(provider->addDevice(stereoInput("USB Mic", "Port2")), true);
  EXPECT_EQ(device.name(), "USB Mic");
  EXPECT_EQ(device.locationID(), "Port2");
  EXPECT_EQ(device.uniqueName(), "USB Mic (Port2)");
  EXPECT_TRUE(device.isInput());

  // Read in the direction it lacks, a device has no identity.
  AFDevice asOutput(device.deviceID(), false);
  EXPECT_FALSE(asOutput.name());
  EXPECT_FALSE(asOutput.uniqueName());
  EXPECT_TRUE(asOutput.formats().empty());
}

class ListTest : public DeviceTest {};

std::vector<std::string> titles(const AFList& list) {
  std::vector<std::string> out;
  for (const auto& item : list.menu()->items()) out.push_back(item.title);
  return out;
}

TEST_F(ListTest, RepeatedNamesAreTitledByTheirUniqueNames) {
  provider->addDevice(stereoInput("USB Mic", "Port1"));
  provider->addDevice(stereoInput("Line In", "Port3"));
  provider->addDevice(stereoInput("USB Mic", "Port2"));
  AFList list(true);
  EXPECT_EQ(titles(list), (std::vector<std::string>{"USB Mic (Port1)", "Line In", "USB Mic (Port2)"}));
  EXPECT_EQ(list.devices().size(), 3u);
  auto copy = list.menuCopy();
  EXPECT_EQ(copy->numberOfItems(), 3);
  EXPECT_EQ(copy->itemAt(2)->title, "USB Mic (Port2)");

  EXPECT_EQ(list.deviceWithName("USB Mic (Port2)"), list.devices()[2]);
  EXPECT_EQ(list.deviceWithName("USB Mic"), list.devices()[0]);
  EXPECT_EQ(list.deviceWithName("Line In"), list.devices()[1]);
  EXPECT_EQ(list.deviceWithName("Nothing"), nullptr);
  EXPECT_EQ(list.deviceWithID(list.devices()[1]->deviceID()), list.devices()[1]);
  // The first input added became the default.
  EXPECT_EQ(list.defaultDevice(), list.devices()[0]);
}

TEST_F(ListTest, DirectionsListTheirOwnDevices) {
  sim::DeviceDescription output;
  output.name = "Speakers";
  output.uid = "sim:test:speakers:Out:0";
  sim::StreamDescription out;
  out.formats = {ranged(2, 16, 48000, 48000)};
  out.physicalFormat = out.formats[0].mFormat;
  output.output = out;
  provider->addDevice(output);
  provider->addDevice(stereoInput("Mic", "Port1"));

  AFManager manager;
  ASSERT_EQ(manager.inputList()->devices().size(), 1u);
  EXPECT_EQ(manager.inputList()->devices()[0]->name(), "Mic");
  ASSERT_EQ(manager.outputList()->devices().size(), 1u);
  EXPECT_EQ(*manager.outputList()->defaultDevice()->name(), "Speakers");
  EXPECT_FALSE(manager.outputList()->isInput());
}

TEST_F(ListTest, NoDeviceMeansEmptyListAndNoDefault) {
  AFList list(true);
  EXPECT_TRUE(list.devices().empty());
  EXPECT_EQ(list.menu()->numberOfItems(), 0);
  EXPECT_EQ(list.defaultDevice(), nullptr);
}

TEST_F(ListTest, RefreshKeepsObjectsWhenTheIDsStayTheSame) {
  provider->addDevice(stereoInput("Mic", "Port1"));
  provider->addDevice(stereoInput("Line", "Port2"));
  AFList list(true);
  auto before = list.snapshot();
  // An output-only device changes the platform's list but not this one.
  sim::DeviceDescription output;
  output.name = "Speakers";
  output.uid = "x:y:z:Out:0";
  sim::StreamDescription out;
  out.formats = {ranged(2, 16, 48000, 48000)};
  out.physicalFormat = out.formats[0].mFormat;
  output.output = out;
  provider->addDevice(output);
  list.refreshDeviceList();
  EXPECT_EQ(list.snapshot(), before);
  EXPECT_EQ(list.devices()[1], before->devices[1]);
}

TEST_F(ListTest, RefreshRebuildsWhenTheListChangedAndReadersKeepTheirDevices) {
  pa::AudioObjectID mic = provider->addDevice(stereoInput("Mic", "Port1"));
  provider->addDevice(stereoInput("Line", "Port2"));
  AFList list(true);
  auto held = list.snapshot();
  std::shared_ptr<AFDevice> line = held->devices[1];

  provider->removeDevice(mic);
  provider->addDevice(stereoInput("Line", "Port3"));
  list.refreshDeviceList();
  EXPECT_EQ(titles(list), (std::vector<std::string>{"Line (Port2)", "Line (Port3)"}));
  EXPECT_EQ(list.devices()[0]->deviceID(), line->deviceID());
  EXPECT_NE(list.devices()[0], line);  // new objects

  // What a reader took before the refresh is still whole and consistent.
  ASSERT_EQ(held->devices.size(), 2u);
  EXPECT_EQ(held->menu->numberOfItems(), 2);
  EXPECT_EQ(held->menu->itemAt(0)->title, "Mic");
  EXPECT_EQ(*line->name(), "Line");
  EXPECT_EQ(line->samplingRate(), 48000.0f);
}

TEST_F(ListTest, ReadersSeeAConsistentListWhileItIsRefreshed) {
  for (int i = 0; i < 4; ++i) provider->addDevice(stereoInput("Mic", "Port" + std::to_string(i)));
  AFList list(true);
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    // Devices come and go while the list is refreshed, as on hot-plug.
    for (int round = 0; round < 60; ++round) {
      pa::AudioObjectID id = provider->addDevice(stereoInput("Hot", "Plug" + std::to_string(round)));
      list.refreshDeviceList();
      provider->removeDevice(id);
      list.refreshDeviceList();
    }
    stop = true;
  });
  int reads = 0;
  while (!stop) {
    auto snapshot = list.snapshot();
    ASSERT_EQ(static_cast<int>(snapshot->devices.size()), snapshot->menu->numberOfItems());
    for (std::size_t i = 0; i < snapshot->devices.size(); ++i) {
      const std::string& title = snapshot->menu->itemAt(static_cast<int>(i))->title;
      ASSERT_TRUE(title == *snapshot->devices[i]->name() || title == *snapshot->devices[i]->uniqueName());
    }
    auto copy = list.menuCopy();
    ASSERT_GE(copy->numberOfItems(), 4);
    ++reads;
  }
  changer.join();
  EXPECT_GT(reads, 0);
}

TEST_F(DeviceTest, PresentTimeStampCarriesOnlyTheHostTime) {
  uint64_t before = pa::AudioGetCurrentHostTime();
  pa::AudioTimeStamp stamp = AFManager::presentAudioTimeStamp();
  uint64_t after = pa::AudioGetCurrentHostTime();
  EXPECT_EQ(stamp.mFlags, pa::kAudioTimeStampHostTimeValid);
  EXPECT_GE(stamp.mHostTime, before);
  EXPECT_LE(stamp.mHostTime, after);
  EXPECT_EQ(stamp.mSampleTime, 0.0);
  EXPECT_EQ(stamp.mRateScalar, 0.0);
}

}  // namespace
