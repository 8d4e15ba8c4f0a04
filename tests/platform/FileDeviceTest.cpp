// The file-device overlay on the stepped simulated provider: the inner
// provider's devices, properties and notifications pass through unchanged;
// an open file is an input device that joins and leaves the device list with
// its notification; it plays sample for sample, looping or once, at the rate
// the device is set to.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "AudioTestSupport.h"
#include "platform/audio/filedevices/FileDeviceProvider.h"
#include "support/TempFolder.h"
#include "support/ToneMeasure.h"
#include "support/WaveFile.h"

namespace {

using namespace audiotest;
namespace files = platform::audio::files;

constexpr AudioObjectPropertyAddress kDevices{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0};
constexpr AudioObjectPropertyAddress kName{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0};
constexpr AudioObjectPropertyAddress kSource{kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput, 0};
constexpr AudioObjectPropertyAddress kRate{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};

struct Heard {
  AudioObjectID object;
  std::vector<AudioObjectPropertyAddress> addresses;
};

struct Recorder {
  std::mutex mutex;
  std::vector<Heard> heard;
  static OSStatus proc(AudioObjectID object, uint32_t n, const AudioObjectPropertyAddress* a, void* me) {
    auto* r = static_cast<Recorder*>(me);
    std::lock_guard lock(r->mutex);
    r->heard.push_back({object, {a, a + n}});
    return noErr;
  }
  std::vector<Heard> take() {
    std::lock_guard lock(mutex);
    return std::exchange(heard, {});
  }
};

// Keeps channel 0 of every input cycle.
struct Collector final : IoClient {
  std::vector<float> samples;
  std::vector<uint32_t> cycleFrames;
  void ioCycle(AudioObjectID, const IoCycle& cycle) noexcept override {
    const auto* x = static_cast<const float*>(cycle.input->mBuffers[0].mData);
    samples.insert(samples.end(), x, x + cycle.frames);
    cycleFrames.push_back(cycle.frames);
  }
};

std::vector<AudioObjectID> deviceList() {
  uint32_t size = 0;
  EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size), noErr);
  std::vector<AudioObjectID> ids(size / 4);
  EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &kDevices, 0, nullptr, &size, ids.data()), noErr);
  ids.resize(size / 4);
  return ids;
}

std::string stringProperty(AudioObjectID id, AudioObjectPropertySelector selector) {
  AudioStringRef s = nullptr;
  if (getProperty(id, {selector, kAudioObjectPropertyScopeGlobal, 0}, s) != noErr) return "(none)";
  return text(s);
}

class FileDevices : public ::testing::Test {
 protected:
  FileDevices() {
    inner = std::make_shared<sim::SimulatedProvider>(ProviderScope::stepped());
    files::Options options;
    options.clock = files::ClockMode::Stepped;
    overlay = std::make_shared<files::FileDeviceProvider>(inner, options);
    installProvider(overlay);
  }
  ~FileDevices() override { installProvider(nullptr); }

  void settle() {
    inner->flushNotifications();
    overlay->flushNotifications();
  }
  // Runs the file devices for `frames` frames at `rate`.
  void play(double frames, double rate) { overlay->advance(frames / rate); }

  testsupport::TempFolder folder;
  std::shared_ptr<sim::SimulatedProvider> inner;
  std::shared_ptr<files::FileDeviceProvider> overlay;
  Recorder recorder;
};

TEST_F(FileDevices, TheInnerProvidersDevicesPropertiesAndNotificationsPassUnchanged) {
  EXPECT_EQ(overlay->name(), "Simulated");
  EXPECT_EQ(deviceList(), inner->devices());
  const AudioObjectID testSignal = inner->deviceNamed("Test Signal");
  EXPECT_EQ(stringProperty(testSignal, kAudioObjectPropertyName), "Test Signal");
  AudioObjectID defaultInput = 0;
  EXPECT_EQ(getProperty(kAudioObjectSystemObject,
                        {kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0}, defaultInput),
            noErr);
  EXPECT_EQ(defaultInput, testSignal);

  // A write reaches the inner device, and its notification the listener,
  // with the inner provider's object and addresses.
  const AudioObjectPropertyAddress everyInputProperty{kAudioObjectPropertySelectorWildcard,
                                                      kAudioObjectPropertyScopeInput, 0};
  ASSERT_EQ(AudioObjectAddPropertyListener(testSignal, &everyInputProperty, Recorder::proc, &recorder), noErr);
  ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &kDevices, Recorder::proc, &recorder), noErr);
  ASSERT_EQ(setProperty(testSignal, kSource, fourCC("sil ")), noErr);
  settle();
  uint32_t source = 0;
  EXPECT_EQ(getProperty(testSignal, kSource, source), noErr);
  EXPECT_EQ(source, fourCC("sil "));
  std::vector<Heard> heard = recorder.take();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].object, testSignal);
  ASSERT_EQ(heard[0].addresses.size(), 1u);
  EXPECT_EQ(heard[0].addresses[0], kSource);

  // A device the inner provider adds shows in the list, with its notification.
  sim::DeviceDescription added = sim::defaultDevices()[0];
  added.name = "Added";
  added.uid = "sim:test:added:Bus9:0";
  const AudioObjectID id = inner->addDevice(added);
  settle();
  heard = recorder.take();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].object, kAudioObjectSystemObject);
  EXPECT_EQ(heard[0].addresses, std::vector<AudioObjectPropertyAddress>{kDevices});
  EXPECT_EQ(deviceList().back(), id);

  // Removed listeners hear nothing more, and the overlay stops listening.
  ASSERT_EQ(AudioObjectRemovePropertyListener(testSignal, &everyInputProperty, Recorder::proc, &recorder), noErr);
  ASSERT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &kDevices, Recorder::proc, &recorder), noErr);
  EXPECT_NE(AudioObjectRemovePropertyListener(testSignal, &everyInputProperty, Recorder::proc, &recorder), noErr);
  inner->removeDevice(id);
  ASSERT_EQ(setProperty(testSignal, kSource, fourCC("sine")), noErr);
  settle();
  EXPECT_TRUE(recorder.take().empty());
  // A listener on an object the inner provider does not have is refused.
  EXPECT_NE(AudioObjectAddPropertyListener(id, &everyInputProperty, Recorder::proc, &recorder), noErr);

  // The inner devices' I/O runs through the overlay.
  Collector collector;
  ASSERT_EQ(overlay->startIo(testSignal, kAudioObjectPropertyScopeInput, &collector), noErr);
  inner->advance(0.1);
  EXPECT_EQ(overlay->stopIo(testSignal, kAudioObjectPropertyScopeInput, &collector), noErr);
  EXPECT_GE(collector.samples.size(), 4096u);
  EXPECT_NEAR(tonetest::measure(collector.samples, 48000, 1000).amplitude, 0.5, 1e-3);
}

TEST_F(FileDevices, AnOpenFileIsAnInputDeviceThatJoinsAndLeavesTheDeviceList) {
  const std::string path = folder.file("tone.wav");
  testsupport::writeWave(path, {tonetest::sine(4410, 44100, 1000, 0.5), tonetest::sine(4410, 44100, 500, 0.5)},
                         44100);
  ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &kDevices, Recorder::proc, &recorder), noErr);
  const std::vector<AudioObjectID> before = deviceList();

  const AudioObjectID id = overlay->addFile(path);
  ASSERT_NE(id, 0u);
  settle();
  EXPECT_EQ(recorder.take().size(), 1u);
  std::vector<AudioObjectID> after = before;
  after.push_back(id);
  EXPECT_EQ(deviceList(), after);
  EXPECT_EQ(overlay->addFile(path), id);  // open already: the same device, no notification
  settle();
  EXPECT_TRUE(recorder.take().empty());

  // Its identity: the file's name, and an identifier of the path whose fourth
  // field tells it from a file of the same name elsewhere.
  EXPECT_EQ(stringProperty(id, kAudioObjectPropertyName), "tone.wav");
  const std::string uid = stringProperty(id, kAudioDevicePropertyDeviceUID);
  EXPECT_EQ(uid, files::FileDeviceProvider::identifierForPath(path));
  EXPECT_EQ(uid.rfind("file:specan:", 0), 0u);
  EXPECT_EQ(std::count(uid.begin(), uid.end(), ':'), 4);
  EXPECT_NE(files::FileDeviceProvider::identifierForPath(folder.file("other/tone.wav")), uid);

  // Its input: the file's channels, bits and rate, the standard rates besides,
  // the two sources; no output; not the default device.
  AudioStreamBasicDescription physical{};
  ASSERT_EQ(getProperty(id, {kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeInput, 0}, physical), noErr);
  EXPECT_EQ(physical.mChannelsPerFrame, 2u);
  EXPECT_EQ(physical.mBitsPerChannel, 16u);
  EXPECT_EQ(physical.mSampleRate, 44100.0);
  EXPECT_NE(getProperty(id, {kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeOutput, 0}, physical), noErr);
  AudioStreamRangedDescription offered[16];
  uint32_t size = sizeof offered;
  const AudioObjectPropertyAddress available{kAudioStreamPropertyAvailablePhysicalFormats,
                                             kAudioObjectPropertyScopeInput, 0};
  ASSERT_EQ(AudioObjectGetPropertyData(id, &available, 0, nullptr, &size, offered), noErr);
  ASSERT_EQ(size / sizeof offered[0], 9u);  // 44100 first, then the other eight
  EXPECT_EQ(offered[0].mSampleRateRange.mMinimum, 44100.0);
  EXPECT_EQ(offered[7].mSampleRateRange.mMinimum, 96000.0);
  uint32_t sources[4] = {};
  size = sizeof sources;
  const AudioObjectPropertyAddress sourceList{kAudioDevicePropertyDataSources, kAudioObjectPropertyScopeInput, 0};
  ASSERT_EQ(AudioObjectGetPropertyData(id, &sourceList, 0, nullptr, &size, sources), noErr);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(sources[0], files::kSourceLoop);
  EXPECT_EQ(sources[1], files::kSourcePlayOnce);
  AudioValueRange range{};
  EXPECT_EQ(getProperty(id, {kAudioDevicePropertyBufferFrameSizeRange, kAudioObjectPropertyScopeGlobal, 0}, range),
            noErr);
  EXPECT_EQ(range.mMinimum, 16.0);
  EXPECT_EQ(range.mMaximum, 4096.0);
  AudioObjectID defaultInput = 0;
  getProperty(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0},
              defaultInput);
  EXPECT_EQ(defaultInput, inner->deviceNamed("Test Signal"));
  // A device listener hears its source change.
  ASSERT_EQ(AudioObjectAddPropertyListener(id, &kSource, Recorder::proc, &recorder), noErr);
  ASSERT_EQ(setProperty(id, kSource, files::kSourcePlayOnce), noErr);
  EXPECT_NE(setProperty(id, kSource, fourCC("xxxx")), noErr);
  settle();
  std::vector<Heard> heard = recorder.take();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].object, id);

  // Files that are not there, or are no sound files, are refused.
  OSStatus status = noErr;
  EXPECT_EQ(overlay->addFile(folder.file("missing.wav"), &status), 0u);
  EXPECT_EQ(status, kAudioFileFileNotFoundError);
  EXPECT_EQ(overlay->addFile(folder.write("notes.wav", "not a sound file at all"), &status), 0u);
  EXPECT_NE(status, noErr);

  // Closed, it leaves the list with its notification, running I/O gets no
  // further cycles and the device answers nothing.
  Collector collector;
  ASSERT_EQ(overlay->startIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
  play(2048, 44100);
  const size_t played = collector.samples.size();
  EXPECT_GT(played, 0u);
  EXPECT_TRUE(overlay->removeFile(id));
  play(2048, 44100);
  EXPECT_EQ(collector.samples.size(), played);
  EXPECT_EQ(overlay->stopIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
  settle();
  heard = recorder.take();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].addresses, std::vector<AudioObjectPropertyAddress>{kDevices});
  EXPECT_EQ(deviceList(), before);
  EXPECT_FALSE(AudioObjectHasProperty(id, &kName));
  EXPECT_NE(AudioObjectAddPropertyListener(id, &kSource, Recorder::proc, &recorder), noErr);
  EXPECT_NE(overlay->startIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
  EXPECT_FALSE(overlay->removeFile(id));
  EXPECT_EQ(AudioObjectRemovePropertyListener(id, &kSource, Recorder::proc, &recorder), noErr);
}

TEST_F(FileDevices, ALoopingFileRepeatsSampleForSampleAndPlayOnceEndsInSilence) {
  // 3000 distinct float samples: a seam, a skipped or a repeated frame shows.
  constexpr size_t n = 3000;
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = 0.5f * float(i + 1) / float(n);
  const std::string path = folder.file("ramp.wav");
  testsupport::writeWave(path, {x}, 8000, true);
  const AudioObjectID id = overlay->addFile(path);
  ASSERT_NE(id, 0u);
  Collector collector;
  ASSERT_EQ(overlay->startIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);

  play(3.5 * n, 8000);
  ASSERT_GE(collector.samples.size(), 3 * n);
  for (size_t k = 0; k < collector.samples.size(); ++k)
    ASSERT_EQ(collector.samples[k], x[k % n]) << "frame " << k;
  EXPECT_TRUE(std::all_of(collector.cycleFrames.begin(), collector.cycleFrames.end(),
                          [](uint32_t f) { return f == 512; }));

  // Play Once: from the start to the end, then silence.
  ASSERT_EQ(setProperty(id, kSource, files::kSourcePlayOnce), noErr);
  collector.samples.clear();
  play(2.0 * n, 8000);
  ASSERT_GE(collector.samples.size(), 2 * n - 512);
  for (size_t k = 0; k < collector.samples.size(); ++k)
    ASSERT_EQ(collector.samples[k], k < n ? x[k] : 0.0f) << "frame " << k;

  // Stopping I/O pauses the file; Loop then plays it from its start again,
  // in cycles of the buffer size set meanwhile.
  ASSERT_EQ(overlay->stopIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
  ASSERT_EQ(setProperty(id, kSource, files::kSourceLoop), noErr);
  ASSERT_EQ(setProperty(id, {kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0}, uint32_t(100)),
            noErr);
  collector.samples.clear();
  collector.cycleFrames.clear();
  ASSERT_EQ(overlay->startIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
  play(1.5 * n, 8000);
  ASSERT_GE(collector.samples.size(), n + 100);
  for (size_t k = 0; k < collector.samples.size(); ++k)
    ASSERT_EQ(collector.samples[k], x[k % n]) << "frame " << k;
  EXPECT_EQ(collector.cycleFrames.front(), 100u);
  EXPECT_EQ(overlay->underrunFrames(id), 0u);
  EXPECT_EQ(overlay->stopIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
}

TEST_F(FileDevices, TheFileIsConvertedToTheRateTheDeviceIsSetTo) {
  const std::string path = folder.file("sine.wav");
  testsupport::writeWave(path, {tonetest::sine(88200, 44100, 1000, 0.5)}, 44100, true);
  const AudioObjectID id = overlay->addFile(path);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(AudioObjectAddPropertyListener(id, &kRate, Recorder::proc, &recorder), noErr);
  EXPECT_NE(setProperty(id, kRate, 12345.0), noErr);  // not offered
  ASSERT_EQ(setProperty(id, kRate, 48000.0), noErr);
  settle();
  EXPECT_EQ(recorder.take().size(), 1u);
  AudioStreamBasicDescription stream{};
  ASSERT_EQ(getProperty(id, {kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeInput, 0}, stream), noErr);
  EXPECT_EQ(stream.mSampleRate, 48000.0);

  Collector collector;
  ASSERT_EQ(overlay->startIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
  play(48000, 48000);
  ASSERT_GE(collector.samples.size(), 47000u);
  // Past the converter's first milliseconds: 1 kHz at its level, now at 48 kHz.
  const tonetest::Tone tone = tonetest::measure(collector.samples.data() + 4800, 38400, 48000, 1000);
  EXPECT_NEAR(tone.frequency, 1000.0, 0.01);
  EXPECT_NEAR(tone.levelDb(), 20 * std::log10(0.5), 0.05);
  EXPECT_EQ(overlay->stopIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
}

TEST_F(FileDevices, ANewRateGoesOnFromWhereThePlayingHadGot) {
  // A second of a ramp at 8 kHz: the value tells the time in the file.
  constexpr size_t n = 8000;
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = float(i) / float(n);
  const std::string path = folder.file("ramp.wav");
  testsupport::writeWave(path, {x}, 8000, true);
  const AudioObjectID id = overlay->addFile(path);
  ASSERT_NE(id, 0u);
  Collector collector;
  ASSERT_EQ(overlay->startIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
  play(2048, 8000);
  ASSERT_EQ(collector.samples.size(), 2048u);
  EXPECT_EQ(collector.samples.back(), x[2047]);

  // The reader had read far ahead; at 16 kHz the file goes on from 0.256 s.
  ASSERT_EQ(setProperty(id, kRate, 16000.0), noErr);
  play(2048, 16000);
  ASSERT_EQ(collector.samples.size(), 4096u);
  for (size_t k : {64u, 512u, 1024u})  // 16 kHz frames after the change: half as many file frames
    EXPECT_NEAR(collector.samples[2048 + k], x[2048 + k / 2], 5.0 / n) << k;
  EXPECT_EQ(overlay->stopIo(id, kAudioObjectPropertyScopeInput, &collector), noErr);
}

}  // namespace
