// Property semantics of the audio object model on the simulated provider:
// sizes, short reads, failures that leave the caller's buffer alone,
// settable flags, and refusal of what a device does not offer.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "AudioTestSupport.h"

namespace {

using namespace audiotest;

const AudioObjectPropertyAddress kDevices{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0};
const AudioObjectPropertyAddress kDefaultIn{kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0};
const AudioObjectPropertyAddress kDefaultOut{kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0};

AudioObjectPropertyAddress in(AudioObjectPropertySelector s, AudioObjectPropertyElement e = 0) {
  return {s, kAudioObjectPropertyScopeInput, e};
}
AudioObjectPropertyAddress out(AudioObjectPropertySelector s, AudioObjectPropertyElement e = 0) {
  return {s, kAudioObjectPropertyScopeOutput, e};
}
AudioObjectPropertyAddress global(AudioObjectPropertySelector s) { return {s, kAudioObjectPropertyScopeGlobal, 0}; }

std::string stringProperty(AudioObjectID id, AudioObjectPropertySelector s) {
  AudioStringRef ref = nullptr;
  uint32_t size = sizeof ref;
  const auto a = global(s);
  if (AudioObjectGetPropertyData(id, &a, 0, nullptr, &size, &ref) != noErr) return "<failed>";
  return text(ref);
}

class ObjectModel : public ::testing::Test {
 protected:
  ProviderScope provider;
  AudioObjectID testSignal = provider->deviceNamed("Test Signal");
  AudioObjectID loopback = provider->deviceNamed("Loopback");
  AudioObjectID multi = provider->deviceNamed("Multichannel");
};

TEST_F(ObjectModel, SystemObjectListsTheDefaultDevicesInOrder) {
  uint32_t size = 0;
  ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size), noErr);
  ASSERT_EQ(size, 4 * sizeof(AudioObjectID));
  AudioObjectID ids[4] = {};
  ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size, ids), noErr);
  EXPECT_EQ(ids[0], testSignal);
  EXPECT_EQ(ids[1], loopback);
  EXPECT_EQ(ids[2], multi);
  EXPECT_EQ(ids[3], provider->deviceNamed("Loopback (distorting)"));
  EXPECT_EQ(stringProperty(testSignal, kAudioObjectPropertyName), "Test Signal");
  EXPECT_EQ(stringProperty(loopback, kAudioDevicePropertyDeviceUID), "sim:specan:loopback:Bus2:0");

  AudioObjectID id = 0;
  EXPECT_EQ(getProperty(kAudioObjectSystemObject, kDefaultIn, id), noErr);
  EXPECT_EQ(id, testSignal);
  EXPECT_EQ(getProperty(kAudioObjectSystemObject, kDefaultOut, id), noErr);
  EXPECT_EQ(id, loopback);
}

TEST_F(ObjectModel, ArrayReadIntoLessRoomIsShortAndReportsTheBytesWritten) {
  AudioObjectID ids[3] = {0, 77, 77};
  uint32_t size = 6;  // room for one whole ID and a half
  ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size, ids), noErr);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(ids[0], testSignal);
  EXPECT_EQ(ids[1], 77u);

  // The source list of a device with four sources, read into room for two.
  uint32_t sources[2] = {};
  size = sizeof sources;
  const auto a = in(kAudioDevicePropertyDataSources);
  ASSERT_EQ(AudioObjectGetPropertyData(testSignal, &a, 0, nullptr, &size, sources), noErr);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(sources[0], fourCC("sine"));
}

TEST_F(ObjectModel, FailedReadsLeaveTheBufferAndItsSizeAlone) {
  AudioStreamBasicDescription f;
  std::memset(&f, 0xAB, sizeof f);
  const AudioStreamBasicDescription before = f;
  uint32_t size = sizeof f;

  // Too little room for a single value.
  size = 39;
  auto a = in(kAudioStreamPropertyPhysicalFormat);
  EXPECT_EQ(AudioObjectGetPropertyData(testSignal, &a, 0, nullptr, &size, &f), kAudioHardwareBadPropertySizeError);
  EXPECT_EQ(size, 39u);
  EXPECT_EQ(std::memcmp(&f, &before, sizeof f), 0);

  // A direction the device does not have.
  size = sizeof f;
  a = out(kAudioStreamPropertyPhysicalFormat);
  EXPECT_NE(AudioObjectGetPropertyData(testSignal, &a, 0, nullptr, &size, &f), noErr);
  EXPECT_EQ(std::memcmp(&f, &before, sizeof f), 0);

  // An object that does not exist; a string into room smaller than a reference.
  a = in(kAudioStreamPropertyPhysicalFormat);
  EXPECT_EQ(AudioObjectGetPropertyData(9999, &a, 0, nullptr, &size, &f), kAudioHardwareBadObjectError);
  AudioStringRef ref = nullptr;
  size = 4;
  const auto name = global(kAudioObjectPropertyName);
  EXPECT_EQ(AudioObjectGetPropertyData(testSignal, &name, 0, nullptr, &size, &ref), kAudioHardwareBadPropertySizeError);
  EXPECT_EQ(ref, nullptr);

  // A volume element the device lacks; an unknown selector.
  float volume = 7;
  size = sizeof volume;
  a = in(kAudioDevicePropertyVolumeScalar, 1);
  EXPECT_EQ(AudioObjectGetPropertyData(testSignal, &a, 0, nullptr, &size, &volume), kAudioHardwareUnknownPropertyError);
  EXPECT_EQ(volume, 7);
  a = in(fourCC("abcd"));
  EXPECT_FALSE(AudioObjectHasProperty(testSignal, &a));
}

TEST_F(ObjectModel, FormatsAreRangedDescriptionsAndTheStreamFormatIsFloat) {
  uint32_t size = 0;
  const auto a = in(kAudioStreamPropertyAvailablePhysicalFormats);
  ASSERT_EQ(AudioObjectGetPropertyDataSize(testSignal, &a, 0, nullptr, &size), noErr);
  ASSERT_EQ(size % sizeof(AudioStreamRangedDescription), 0u);
  std::vector<AudioStreamRangedDescription> formats(size / sizeof(AudioStreamRangedDescription));
  ASSERT_EQ(AudioObjectGetPropertyData(testSignal, &a, 0, nullptr, &size, formats.data()), noErr);
  EXPECT_EQ(formats.size(), 9u);
  EXPECT_EQ(formats[0].mFormat.mChannelsPerFrame, 2u);
  EXPECT_EQ(formats[0].mFormat.mBitsPerChannel, 24u);
  EXPECT_EQ(formats[0].mSampleRateRange.mMinimum, 44100);

  AudioStreamBasicDescription virt{};
  ASSERT_EQ(getProperty(multi, in(kAudioStreamPropertyVirtualFormat), virt), noErr);
  EXPECT_EQ(virt.mBitsPerChannel, 32u);
  EXPECT_TRUE(virt.mFormatFlags & kAudioFormatFlagIsFloat);
  EXPECT_EQ(virt.mChannelsPerFrame, 8u);
}

TEST_F(ObjectModel, OfferedFormatsAndRatesAreAcceptedOthersRefusedWithoutChange) {
  auto physical = [&](AudioObjectID id) {
    AudioStreamBasicDescription f{};
    EXPECT_EQ(getProperty(id, in(kAudioStreamPropertyPhysicalFormat), f), noErr);
    return f;
  };
  // An offered pair: 1 channel of 24 bits at 96 kHz.
  EXPECT_EQ(setProperty(testSignal, in(kAudioStreamPropertyPhysicalFormat), sim::linearPcmFormat(96000, 1, 24)), noErr);
  EXPECT_EQ(physical(testSignal).mChannelsPerFrame, 1u);
  double rate = 0;
  EXPECT_EQ(getProperty(testSignal, global(kAudioDevicePropertyNominalSampleRate), rate), noErr);
  EXPECT_EQ(rate, 96000);

  const AudioStreamBasicDescription kept = physical(testSignal);
  // A rate outside every range, a channel count not offered, a bad size, nonsense.
  EXPECT_NE(setProperty(testSignal, in(kAudioStreamPropertyPhysicalFormat), sim::linearPcmFormat(32000, 1, 24)), noErr);
  EXPECT_NE(setProperty(testSignal, in(kAudioStreamPropertyPhysicalFormat), sim::linearPcmFormat(48000, 3, 24)), noErr);
  EXPECT_NE(setProperty(testSignal, global(kAudioDevicePropertyNominalSampleRate), 88200.0), noErr);
  EXPECT_NE(setProperty(testSignal, global(kAudioDevicePropertyNominalSampleRate),
                        std::numeric_limits<double>::quiet_NaN()),
            noErr);
  const auto a = in(kAudioStreamPropertyPhysicalFormat);
  EXPECT_EQ(AudioObjectSetPropertyData(testSignal, &a, 0, nullptr, 20, &kept), kAudioHardwareBadPropertySizeError);
  const AudioStreamBasicDescription after = physical(testSignal);
  EXPECT_EQ(std::memcmp(&kept, &after, sizeof kept), 0);

  // A continuous range accepts any rate inside it, bounds included.
  EXPECT_EQ(setProperty(multi, global(kAudioDevicePropertyNominalSampleRate), 8000.0), noErr);
  EXPECT_EQ(setProperty(multi, global(kAudioDevicePropertyNominalSampleRate), 12345.0), noErr);
  EXPECT_NE(setProperty(multi, global(kAudioDevicePropertyNominalSampleRate), 7999.0), noErr);
  // One clock for both directions: the output moved with the input.
  AudioStreamBasicDescription o{};
  EXPECT_EQ(getProperty(multi, out(kAudioStreamPropertyPhysicalFormat), o), noErr);
  EXPECT_EQ(o.mSampleRate, 12345.0);
}

TEST_F(ObjectModel, SettableFlagsFollowTheDevice) {
  auto settable = [](AudioObjectID id, AudioObjectPropertyAddress a) {
    bool s = false;
    const OSStatus status = AudioObjectIsPropertySettable(id, &a, &s);
    return status == noErr ? (s ? 1 : 0) : -1;
  };
  EXPECT_EQ(settable(testSignal, in(kAudioDevicePropertyVolumeScalar, 0)), 1);
  EXPECT_EQ(settable(testSignal, in(kAudioDevicePropertyVolumeScalar, 1)), -1);  // no such element
  EXPECT_EQ(settable(loopback, out(kAudioDevicePropertyVolumeScalar, 2)), 1);
  EXPECT_EQ(settable(multi, out(kAudioDevicePropertyVolumeScalar, 0)), 0);       // present, fixed
  EXPECT_EQ(settable(testSignal, in(kAudioStreamPropertyVirtualFormat)), 0);
  EXPECT_EQ(settable(testSignal, in(kAudioStreamPropertyPhysicalFormat)), 1);
  EXPECT_EQ(settable(kAudioObjectSystemObject, kDevices), 0);
  EXPECT_EQ(settable(kAudioObjectSystemObject, kDefaultIn), 1);

  EXPECT_NE(setProperty(multi, out(kAudioDevicePropertyVolumeScalar, 0), 0.5f), noErr);
  EXPECT_NE(setProperty(kAudioObjectSystemObject, kDevices, AudioObjectID(1)), noErr);
  EXPECT_NE(setProperty(testSignal, in(kAudioStreamPropertyVirtualFormat), AudioStreamBasicDescription{}), noErr);
}

TEST_F(ObjectModel, VolumesAcceptOnlyTheUnitRange) {
  const auto a = in(kAudioDevicePropertyVolumeScalar, 0);
  EXPECT_EQ(setProperty(testSignal, a, 0.25f), noErr);
  EXPECT_NE(setProperty(testSignal, a, 1.5f), noErr);
  EXPECT_NE(setProperty(testSignal, a, -0.1f), noErr);
  EXPECT_NE(setProperty(testSignal, a, std::numeric_limits<float>::quiet_NaN()), noErr);
  float v = 0;
  EXPECT_EQ(getProperty(testSignal, a, v), noErr);
  EXPECT_EQ(v, 0.25f);
}

TEST_F(ObjectModel, DataSourcesTranslateToNamesAndOnlyKnownOnesAreSelected) {
  const auto translate = in(kAudioDevicePropertyDataSourceNameForIDCFString);
  uint32_t id = fourCC("2ton");
  AudioStringRef name = nullptr;
  AudioValueTranslation t{&id, sizeof id, &name, sizeof name};
  uint32_t size = sizeof t;
  ASSERT_EQ(AudioObjectGetPropertyData(testSignal, &translate, 0, nullptr, &size, &t), noErr);
  EXPECT_EQ(size, sizeof t);
  EXPECT_EQ(t.mOutputDataSize, sizeof name);
  EXPECT_EQ(text(name), "Two Tones");

  id = fourCC("none");
  name = nullptr;
  EXPECT_NE(AudioObjectGetPropertyData(testSignal, &translate, 0, nullptr, &size, &t), noErr);
  EXPECT_EQ(name, nullptr);

  EXPECT_EQ(setProperty(testSignal, in(kAudioDevicePropertyDataSource), fourCC("nois")), noErr);
  EXPECT_NE(setProperty(testSignal, in(kAudioDevicePropertyDataSource), fourCC("none")), noErr);
  uint32_t current = 0;
  EXPECT_EQ(getProperty(testSignal, in(kAudioDevicePropertyDataSource), current), noErr);
  EXPECT_EQ(current, fourCC("nois"));
  // A device without a source selector has neither property.
  EXPECT_NE(getProperty(loopback, in(kAudioDevicePropertyDataSource), current), noErr);
}

TEST_F(ObjectModel, DefaultsBufferSizesAndRemovedDevices) {
  EXPECT_NE(setProperty(kAudioObjectSystemObject, kDefaultOut, testSignal), noErr);  // input only
  EXPECT_EQ(setProperty(kAudioObjectSystemObject, kDefaultIn, multi), noErr);

  AudioValueRange range{};
  EXPECT_EQ(getProperty(loopback, global(kAudioDevicePropertyBufferFrameSizeRange), range), noErr);
  EXPECT_EQ(range.mMinimum, 32);
  EXPECT_EQ(range.mMaximum, 4096);
  EXPECT_EQ(setProperty(loopback, global(kAudioDevicePropertyBufferFrameSize), uint32_t(256)), noErr);
  EXPECT_NE(setProperty(loopback, global(kAudioDevicePropertyBufferFrameSize), uint32_t(8192)), noErr);
  uint32_t frames = 0;
  EXPECT_EQ(getProperty(loopback, global(kAudioDevicePropertyBufferFrameSize), frames), noErr);
  EXPECT_EQ(frames, 256u);

  // Removing the default input moves the default to the first remaining input.
  ASSERT_TRUE(provider->removeDevice(multi));
  AudioObjectID id = 0;
  EXPECT_EQ(getProperty(kAudioObjectSystemObject, kDefaultIn, id), noErr);
  EXPECT_EQ(id, testSignal);
  EXPECT_EQ(getProperty(multi, global(kAudioDevicePropertyNominalSampleRate), range.mMinimum),
            kAudioHardwareBadObjectError);
  sim::DeviceDescription again = sim::defaultDevices()[2];
  const AudioObjectID added = provider->addDevice(again);
  EXPECT_NE(added, 0u);
  EXPECT_NE(added, multi);  // IDs are never reused

  sim::DeviceDescription broken = again;
  broken.input->physicalFormat = sim::linearPcmFormat(48000, 5, 24);  // not offered
  EXPECT_EQ(provider->addDevice(broken), 0u);
}

TEST(ObjectModelEmpty, FirstDeviceOfADirectionBecomesItsDefault) {
  sim::Options options = ProviderScope::stepped();
  options.defaultDeviceSet = false;
  ProviderScope provider(options);
  uint32_t size = 0;
  ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size), noErr);
  EXPECT_EQ(size, 0u);
  AudioObjectID id = 99;
  EXPECT_EQ(getProperty(kAudioObjectSystemObject, kDefaultIn, id), noErr);
  EXPECT_EQ(id, 0u);
  const AudioObjectID multi = provider->addDevice(sim::defaultDevices()[2]);  // both directions
  const AudioObjectID signal = provider->addDevice(sim::defaultDevices()[0]);
  EXPECT_EQ(getProperty(kAudioObjectSystemObject, kDefaultIn, id), noErr);
  EXPECT_EQ(id, multi);
  EXPECT_EQ(getProperty(kAudioObjectSystemObject, kDefaultOut, id), noErr);
  EXPECT_EQ(id, multi);
  EXPECT_TRUE(provider->setDefaultDevice(kAudioObjectPropertyScopeInput, signal));
  EXPECT_FALSE(provider->setDefaultDevice(kAudioObjectPropertyScopeOutput, signal));
  EXPECT_EQ(getProperty(kAudioObjectSystemObject, kDefaultIn, id), noErr);
  EXPECT_EQ(id, signal);
}

TEST_F(ObjectModel, SteppedHostTimeAndDeviceTimeNeedRunningIo) {
  const uint64_t t0 = AudioGetCurrentHostTime();
  provider->advance(0.25);
  EXPECT_EQ(AudioGetCurrentHostTime() - t0, 250000000u);
  AudioTimeStamp ts{};
  EXPECT_EQ(AudioDeviceGetCurrentTime(loopback, &ts), kAudioHardwareNotRunningError);
  EXPECT_EQ(AudioDeviceGetCurrentTime(4242, &ts), kAudioHardwareBadDeviceError);
}

// The loopback stands for converters and an analog path, which carry no
// NaN: a non-finite sample played is heard as silence, and a block of NaN
// does not leave the loopback's filter holding NaN for good.
TEST_F(ObjectModel, TheLoopbackPlaysNonFiniteSamplesAsSilenceAndRecovers) {
  struct Player final : IoClient {
    uint64_t played = 0;
    void ioCycle(AudioObjectID, const IoCycle& c) noexcept override {
      if (!c.output) return;
      auto* out = static_cast<float*>(c.output->mBuffers[0].mData);
      for (uint32_t i = 0; i < c.frames; ++i, ++played)
        out[i] = played < 512 ? (played % 2 ? std::numeric_limits<float>::infinity() : NAN)
                              : float(0.5 * std::sin(2 * M_PI * 1000 * double(played) / 48000));
    }
  } player;
  struct Ear final : IoClient {
    std::vector<float> heard;
    void ioCycle(AudioObjectID, const IoCycle& c) noexcept override {
      if (!c.input) return;
      const auto* in = static_cast<const float*>(c.input->mBuffers[0].mData);
      heard.insert(heard.end(), in, in + c.frames);
    }
  } ear;
  ear.heard.reserve(48000);
  ASSERT_EQ(provider->startIo(loopback, kAudioObjectPropertyScopeOutput, &player), noErr);
  ASSERT_EQ(provider->startIo(loopback, kAudioObjectPropertyScopeInput, &ear), noErr);
  provider->advanceFrames(loopback, 24000);
  provider->stopIo(loopback, kAudioObjectPropertyScopeInput, &ear);
  provider->stopIo(loopback, kAudioObjectPropertyScopeOutput, &player);
  ASSERT_GE(ear.heard.size(), 22000u);
  for (size_t i = 0; i < ear.heard.size(); ++i) ASSERT_TRUE(std::isfinite(ear.heard[i])) << "sample " << i;
  // The band-pass's centre: the sine comes back at its level once the
  // filter settled.
  const std::complex<double> back = tone(ear.heard.data() + 12000, 9600, 1000, 48000);
  EXPECT_NEAR(std::abs(back), 0.5, 0.005);
}

}  // namespace
