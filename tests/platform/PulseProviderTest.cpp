// The PulseAudio provider against a private server (scripts/pulse-daemon): two
// null sinks "specan_test_a" (48 kHz, default) and "specan_test_b" (44.1 kHz).
// Without a server the cases skip, unless SPECAN_PULSE_REQUIRED=1 (set by
// scripts/test), which turns a missing server into a failure.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <numbers>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/AFInputSoundcard.h"
#include "audio/AFManager.h"
#include "AudioTestSupport.h"
#include "platform/audio/ProviderChoice.h"
#include "platform/audio/pulse/PulseProvider.h"
#include "support/AllocationCounter.h"
#include "support/TestServer.h"
#include "ui/MainThread.h"

namespace {

namespace pa = platform::audio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::string shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The address of a temporary address, for the calls that take a pointer.
const pa::AudioObjectPropertyAddress* ptr(const pa::AudioObjectPropertyAddress& a) { return &a; }

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// Second column of `pactl list short <what>`.
std::set<std::string> serverNames(const std::string& what) {
  std::set<std::string> names;
  std::istringstream in(shell("pactl list short " + what));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string index, name;
    if (fields >> index >> name) names.insert(name);
  }
  return names;
}

using audiotest::deviceList;
using audiotest::readString;

// Server name of a device from its identifier "pulse:<kind>:<name>:...".
std::string serverNameOf(pa::AudioObjectID id) {
  const std::string uid = readString(id, pa::kAudioDevicePropertyDeviceUID);
  const size_t a = uid.find(':', 6);
  return a == std::string::npos ? "" : uid.substr(a + 1, uid.find(':', a + 1) - a - 1);
}

pa::AudioObjectID deviceNamed(const std::string& name) {
  for (auto id : deviceList())
    if (readString(id, pa::kAudioObjectPropertyName) == name) return id;
  return 0;
}

// Counts the notifications of one object, by selector.
struct Heard {
  std::mutex lock;
  std::condition_variable changed;
  std::map<pa::AudioObjectPropertySelector, int> counts;
  static pa::OSStatus listener(pa::AudioObjectID, uint32_t n, const pa::AudioObjectPropertyAddress* addresses,
                               void* me) {
    auto* h = static_cast<Heard*>(me);
    {
      std::lock_guard guard(h->lock);
      for (uint32_t i = 0; i < n; ++i) ++h->counts[addresses[i].mSelector];
    }
    h->changed.notify_all();
    return pa::noErr;
  }
  int count(pa::AudioObjectPropertySelector s) {
    std::lock_guard guard(lock);
    return counts[s];
  }
  bool waitFor(pa::AudioObjectPropertySelector s, int atLeast, std::chrono::milliseconds limit) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, limit, [&] { return counts[s] >= atLeast; });
  }
};

// An I/O client: plays a sine on output, counts and checks cycles on input.
struct Client : pa::IoClient {
  double hz = 1000, rate = 48000, amplitude = 0.5, phase = 0;
  std::atomic<uint64_t> cycles{0}, frames{0}, badCycles{0};
  std::atomic<uint32_t> expectedFrames{512};
  double nextSampleTime = 0;
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& c) noexcept override {
    if (c.frames != expectedFrames.load() || (cycles > 0 && c.timeStamp.mSampleTime != nextSampleTime)) ++badCycles;
    nextSampleTime = c.timeStamp.mSampleTime + c.frames;
    if (c.output) {
      const double step = 2 * std::numbers::pi * hz / rate;
      for (uint32_t i = 0; i < c.frames; ++i) {
        const float v = float(amplitude * std::sin(phase + step * i));
        for (uint32_t ch = 0; ch < c.output->mNumberBuffers; ++ch) static_cast<float*>(c.output->mBuffers[ch].mData)[i] = v;
      }
      phase = std::fmod(phase + step * c.frames, 2 * std::numbers::pi);
    }
    frames += c.frames;
    ++cycles;
  }
};

// Everything that counts a drop-out between a playback into sink and its
// capture from monitor by card: the server's underflows of the playback, its
// overflows of the recording, our rings.
uint64_t countedDropOuts(AFInputSoundcard& card, pa::AudioObjectID sink, pa::AudioObjectID monitor) {
  uint64_t n = card.overruns();
  pa::DeviceIoStatus status;
  if (pa::AudioDeviceGetIoStatus(sink, &status) == pa::noErr)
    n += status.dropOuts + status.lostFrames + (status.dropOutOngoing ? 1 : 0);
  if (pa::AudioDeviceGetIoStatus(monitor, &status) == pa::noErr) n += status.dropOuts + status.lostFrames;
  return n;
}

// Keeps channel 0 of what the input card delivers.
class Recorder : public AFSoundcardDelegate {
 public:
  uint32_t implementedMethods() const override { return kInputReceived; }
  void inputReceivedFromSoundcard(AFSoundcard*, float** buffers, int32_t, int32_t samples) override {
    std::lock_guard guard(lock_);
    if (samples_.size() < (1u << 20)) samples_.insert(samples_.end(), buffers[0], buffers[0] + samples);
  }
  std::vector<float> samples() {
    std::lock_guard guard(lock_);
    return samples_;
  }
  void clear() {
    std::lock_guard guard(lock_);
    samples_.clear();
  }

 private:
  std::mutex lock_;
  std::vector<float> samples_;
};

class PulseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pa::pulse::Options options;
    options.ioThreadStarted = [] { testsupport::countAllocationsOnThisThread(true); };
    options.connectTimeoutMs = 5000;  // the suite runs in parallel: the server may answer slowly
    provider = pa::pulse::PulseProvider::create(options);
    if (!provider) {
      const char* required = std::getenv("SPECAN_PULSE_REQUIRED");
      if (required && std::string(required) == "1") FAIL() << "no PulseAudio server answers (PULSE_SERVER is set by scripts/pulse-daemon)";
      GTEST_SKIP() << "no PulseAudio server";
    }
    pa::installProvider(provider);
    ui::MainThread::install(&mainThread);
    sinkA = deviceNamed("SpecAn_Test_Sink_A");
    monitorA = deviceNamed("Monitor of SpecAn_Test_Sink_A");
    ASSERT_NE(sinkA, 0u);
    ASSERT_NE(monitorA, 0u);
  }
  void TearDown() override {
    ui::MainThread::install(nullptr);
    pa::installProvider(nullptr);
    provider.reset();
  }
  // Waits for a notification while serving as the main thread.
  bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return eventually([&] {
      mainThread.drain();
      return done();
    }, limit);
  }

  std::shared_ptr<pa::pulse::PulseProvider> provider;
  ui::ManualMainThread mainThread;
  pa::AudioObjectID sinkA = 0, monitorA = 0;
};

const pa::AudioObjectPropertyAddress kDevices{pa::kAudioHardwarePropertyDevices, pa::kAudioObjectPropertyScopeGlobal, 0};
const pa::AudioObjectPropertyAddress kDefaultOut{pa::kAudioHardwarePropertyDefaultOutputDevice,
                                                 pa::kAudioObjectPropertyScopeGlobal, 0};

TEST_F(PulseTest, DevicesAreTheServersSinksAndSourcesWithTheirNamesFormatsAndDefaults) {
  std::set<std::string> sinks, sources;
  for (auto id : deviceList()) {
    const bool input = pa::AudioObjectHasProperty(
        id, ptr(pa::AudioObjectPropertyAddress{pa::kAudioStreamPropertyPhysicalFormat, pa::kAudioObjectPropertyScopeInput, 0}));
    (input ? sources : sinks).insert(serverNameOf(id));
  }
  EXPECT_EQ(sinks, serverNames("sinks"));
  EXPECT_EQ(sources, serverNames("sources"));
  EXPECT_EQ(serverNameOf(sinkA), "specan_test_a");
  EXPECT_EQ(serverNameOf(monitorA), "specan_test_a.monitor");
  EXPECT_EQ(readString(sinkA, pa::kAudioDevicePropertyDeviceUID), "pulse:sink:specan_test_a:server:0");
  EXPECT_EQ(provider->deviceWithUID("pulse:source:specan_test_a.monitor:monitor:0"), monitorA);

  pa::AudioObjectID out = 0, in = 0;
  ASSERT_EQ(pa::getProperty(pa::kAudioObjectSystemObject, kDefaultOut, out), pa::noErr);
  ASSERT_EQ(pa::getProperty(pa::kAudioObjectSystemObject,
                            {pa::kAudioHardwarePropertyDefaultInputDevice, pa::kAudioObjectPropertyScopeGlobal, 0}, in),
            pa::noErr);
  EXPECT_EQ(serverNameOf(out), trimmed(shell("pactl get-default-sink")));
  EXPECT_EQ(serverNameOf(in), trimmed(shell("pactl get-default-source")));

  // The device's own rate first and by default, then the rates the server converts to.
  const pa::AudioObjectID sinkB = deviceNamed("SpecAn_Test_Sink_B");
  double rate = 0;
  ASSERT_EQ(pa::getProperty(sinkB, {pa::kAudioDevicePropertyNominalSampleRate, pa::kAudioObjectPropertyScopeGlobal, 0}, rate), pa::noErr);
  EXPECT_EQ(rate, 44100.0);
  const pa::AudioObjectPropertyAddress available{pa::kAudioStreamPropertyAvailablePhysicalFormats,
                                                 pa::kAudioObjectPropertyScopeOutput, 0};
  uint32_t size = 0;
  ASSERT_EQ(pa::AudioObjectGetPropertyDataSize(sinkB, &available, 0, nullptr, &size), pa::noErr);
  std::vector<pa::AudioStreamRangedDescription> formats(size / sizeof(pa::AudioStreamRangedDescription));
  ASSERT_EQ(pa::AudioObjectGetPropertyData(sinkB, &available, 0, nullptr, &size, formats.data()), pa::noErr);
  std::vector<double> rates;
  for (auto& f : formats) rates.push_back(f.mSampleRateRange.mMinimum);
  EXPECT_EQ(rates, (std::vector<double>{44100, 48000, 88200, 96000, 176400, 192000}));
  EXPECT_EQ(formats[0].mFormat.mChannelsPerFrame, 2u);
  EXPECT_EQ(formats[0].mFormat.mBitsPerChannel, 16u);  // the null sink's s16le
  pa::AudioValueRange range{};
  ASSERT_EQ(pa::getProperty(sinkA, {pa::kAudioDevicePropertyBufferFrameSizeRange, pa::kAudioObjectPropertyScopeGlobal, 0}, range), pa::noErr);
  EXPECT_LE(range.mMinimum, 512.0);
  EXPECT_GE(range.mMaximum, 4096.0);

  // Null sinks have no ports: no data-source selector then.
  EXPECT_FALSE(pa::AudioObjectHasProperty(
      sinkA, ptr(pa::AudioObjectPropertyAddress{pa::kAudioDevicePropertyDataSources, pa::kAudioObjectPropertyScopeOutput, 0})));

  EXPECT_EQ(pa::makeProvider("pulse")->name(), "PulseAudio");
  EXPECT_EQ(pa::makeProvider("")->name(), "PulseAudio");
  EXPECT_EQ(pa::makeProvider("simulated")->name(), "Simulated");
}

TEST_F(PulseTest, VolumesGoBothWaysBetweenTheModelAndTheServer) {
  Heard heard;
  const pa::AudioObjectPropertyAddress main{pa::kAudioDevicePropertyVolumeScalar, pa::kAudioObjectPropertyScopeOutput, 0};
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(sinkA, &main, Heard::listener, &heard), pa::noErr);
  ASSERT_EQ(pa::setProperty(sinkA, main, 0.5f), pa::noErr);
  EXPECT_TRUE(eventually([] { return shell("pactl get-sink-volume specan_test_a").find("32768 /  50%") != std::string::npos; }, 2000ms))
      << shell("pactl get-sink-volume specan_test_a");
  EXPECT_TRUE(heard.waitFor(pa::kAudioDevicePropertyVolumeScalar, 1, 1000ms));

  shell("pactl set-sink-volume specan_test_a 30% 20%");
  float value = 0;
  EXPECT_TRUE(eventually([&] {
    pa::getProperty(sinkA, main, value);
    return std::abs(value - 0.3f) < 1e-3f;
  }, 1000ms)) << value;
  float right = 0;
  pa::getProperty(sinkA, {pa::kAudioDevicePropertyVolumeScalar, pa::kAudioObjectPropertyScopeOutput, 2}, right);
  EXPECT_NEAR(right, 0.2f, 1e-3f);
  // Channel 2 through the model.
  ASSERT_EQ(pa::setProperty(sinkA, {pa::kAudioDevicePropertyVolumeScalar, pa::kAudioObjectPropertyScopeOutput, 2}, 0.25f), pa::noErr);
  EXPECT_TRUE(eventually([] { return shell("pactl get-sink-volume specan_test_a").find("16384 /  25%") != std::string::npos; }, 2000ms));
  pa::AudioObjectRemovePropertyListener(sinkA, &main, Heard::listener, &heard);
  shell("pactl set-sink-volume specan_test_a 100%");
  EXPECT_TRUE(eventually([&] {
    pa::getProperty(sinkA, main, value);
    return value == 1.0f;
  }, 1000ms));
}

TEST_F(PulseTest, DefaultDeviceChangesReachTheListenersAndTheServer) {
  Heard heard;
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(pa::kAudioObjectSystemObject, &kDefaultOut, Heard::listener, &heard), pa::noErr);
  const pa::AudioObjectID sinkB = deviceNamed("SpecAn_Test_Sink_B");
  shell("pactl set-default-sink specan_test_b");
  EXPECT_TRUE(heard.waitFor(kDefaultOut.mSelector, 1, 1000ms));
  pa::AudioObjectID out = 0;
  pa::getProperty(pa::kAudioObjectSystemObject, kDefaultOut, out);
  EXPECT_EQ(out, sinkB);
  // And from the model to the server.
  ASSERT_EQ(pa::setProperty(pa::kAudioObjectSystemObject, kDefaultOut, sinkA), pa::noErr);
  EXPECT_TRUE(heard.waitFor(kDefaultOut.mSelector, 2, 1000ms));
  EXPECT_EQ(trimmed(shell("pactl get-default-sink")), "specan_test_a");
  pa::AudioObjectRemovePropertyListener(pa::kAudioObjectSystemObject, &kDefaultOut, Heard::listener, &heard);
}

TEST_F(PulseTest, PluggedDevicesComeAndGoWhileAnInputCardRuns) {
  AFManager manager;
  auto card = manager.newInputSoundcard();  // on the monitor of sink A
  ASSERT_TRUE(card);
  Recorder recorder;
  card->setDelegate(&recorder);
  ASSERT_TRUE(card->start());
  // An idle null sink may first wake after its longest latency (2 s).
  ASSERT_TRUE(serveUntil([&] { return recorder.samples().size() > 4096; }, 4000ms));
  Heard heard;
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard), pa::noErr);
  const std::string module =
      trimmed(shell("pactl load-module module-null-sink sink_name=specan_plugged sink_properties=device.description=Plugged"));
  ASSERT_FALSE(module.empty());
  EXPECT_TRUE(heard.waitFor(kDevices.mSelector, 1, 1000ms));
  EXPECT_TRUE(eventually([] { return deviceNamed("Plugged") != 0 && deviceNamed("Monitor of Plugged") != 0; }, 1000ms));
  const pa::AudioObjectID plugged = deviceNamed("Plugged");
  const int before = heard.count(kDevices.mSelector);
  shell("pactl unload-module " + module);
  EXPECT_TRUE(heard.waitFor(kDevices.mSelector, before + 1, 1000ms));
  EXPECT_TRUE(eventually([] { return deviceNamed("Plugged") == 0; }, 1000ms));
  EXPECT_EQ(pa::AudioObjectHasProperty(plugged, &kDevices), false);
  // The card went on throughout.
  const size_t taken = recorder.samples().size();
  EXPECT_TRUE(serveUntil([&] { return recorder.samples().size() > taken + 4096; }, 3000ms));
  EXPECT_TRUE(card->isRunning());
  card->stop();
  pa::AudioObjectRemovePropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard);
}

TEST_F(PulseTest, TwoSinksOfOneDescriptionHaveTwoNamesThatStayTheSameAcrossConnections) {
  // Loaded in the reverse order of their server names: the names follow the
  // server names, not the order the devices came in.
  const std::string second = trimmed(
      shell("pactl load-module module-null-sink sink_name=specan_twin_z sink_properties=device.description=Twin"));
  const std::string first = trimmed(
      shell("pactl load-module module-null-sink sink_name=specan_twin_a sink_properties=device.description=Twin"));
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_TRUE(eventually([] { return deviceNamed("Twin (2)") != 0 && deviceNamed("Monitor of Twin (2)") != 0; }, 2000ms));
  auto names = [] {
    return std::vector<std::string>{serverNameOf(deviceNamed("Twin")), serverNameOf(deviceNamed("Twin (2)")),
                                    serverNameOf(deviceNamed("Monitor of Twin")),
                                    serverNameOf(deviceNamed("Monitor of Twin (2)"))};
  };
  const std::vector<std::string> expected{"specan_twin_a", "specan_twin_z", "specan_twin_a.monitor",
                                          "specan_twin_z.monitor"};
  EXPECT_EQ(names(), expected);

  // A new connection (the next run of the analyzer) finds them under the same names.
  pa::installProvider(nullptr);
  provider.reset();
  pa::pulse::Options options;
  options.connectTimeoutMs = 5000;
  provider = pa::pulse::PulseProvider::create(options);
  ASSERT_TRUE(provider);
  pa::installProvider(provider);
  EXPECT_EQ(names(), expected);

  // With one of them gone, the other is plain "Twin" again.
  shell("pactl unload-module " + first);
  EXPECT_TRUE(eventually([] { return deviceNamed("Twin (2)") == 0 && deviceNamed("Twin") != 0; }, 2000ms));
  EXPECT_EQ(serverNameOf(deviceNamed("Twin")), "specan_twin_z");
  shell("pactl unload-module " + second);
  EXPECT_TRUE(eventually([] { return deviceNamed("Twin") == 0; }, 2000ms));
}

// Tells whether a window of 10 ms of channel 0 held the tone at its level.
struct ToneEar : pa::IoClient {
  explicit ToneEar(double rate) : window(uint32_t(rate / 100)) {}
  const uint32_t window;
  double power = 0;
  uint32_t filled = 0;
  std::atomic<bool> heard{false};
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& c) noexcept override {
    const float* x = static_cast<const float*>(c.input->mBuffers[0].mData);
    for (uint32_t i = 0; i < c.frames; ++i) {
      power += double(x[i]) * x[i];
      if (++filled < window) continue;
      if (std::abs(10 * std::log10(power / window + 1e-30) - 20 * std::log10(0.5 / std::numbers::sqrt2)) < 0.1)
        heard = true;
      power = 0;
      filled = 0;
    }
  }
};

// At 192 kHz in stereo the playback queue the stream asks for is larger
// than one of the server's memory blocks, so its first request is met by
// several writes; each start of a fresh stream must reach the sink.
TEST_F(PulseTest, AStereoSinkAt192kHzPlaysFromEveryStart) {
  const std::string module = trimmed(shell(
      "pactl load-module module-null-sink sink_name=specan_test_192 rate=192000 channels=2 "
      "sink_properties=device.description=SpecAn_Test_192"));
  ASSERT_FALSE(module.empty());
  ASSERT_TRUE(eventually([] { return deviceNamed("SpecAn_Test_192") && deviceNamed("Monitor of SpecAn_Test_192"); }, 2000ms));
  const pa::AudioObjectID sink = deviceNamed("SpecAn_Test_192"), monitor = deviceNamed("Monitor of SpecAn_Test_192");
  double rate = 0;
  ASSERT_EQ(pa::getProperty(sink, {pa::kAudioDevicePropertyNominalSampleRate, pa::kAudioObjectPropertyScopeGlobal, 0}, rate),
            pa::noErr);
  ASSERT_EQ(rate, 192000.0);
  for (int start = 0; start < 6; ++start) {
    Client play;
    play.rate = rate;
    ToneEar ear(rate);
    ASSERT_EQ(provider->startIo(sink, pa::kAudioObjectPropertyScopeOutput, &play), pa::noErr);
    ASSERT_EQ(provider->startIo(monitor, pa::kAudioObjectPropertyScopeInput, &ear), pa::noErr);
    // An idle null sink may first wake after its longest latency (2 s).
    EXPECT_TRUE(eventually([&] { return ear.heard.load(); }, 6000ms)) << "start " << start << ": the tone never arrived";
    provider->stopIo(monitor, pa::kAudioObjectPropertyScopeInput, &ear);
    provider->stopIo(sink, pa::kAudioObjectPropertyScopeOutput, &play);
  }
  shell("pactl unload-module " + module);
}

TEST_F(PulseTest, CyclesHaveTheBufferSizeAllocateNothingAndMeasureTheRate) {
  Client play, capture;
  ASSERT_EQ(provider->startIo(sinkA, pa::kAudioObjectPropertyScopeOutput, &play), pa::noErr);
  ASSERT_EQ(provider->startIo(monitorA, pa::kAudioObjectPropertyScopeInput, &capture), pa::noErr);
  // An idle null sink may first wake after its longest latency (2 s).
  ASSERT_TRUE(eventually([&] { return capture.cycles > 20 && play.cycles > 20; }, 5000ms));
  testsupport::resetAllocationCount();
  // A second and a half of audio through both streams. A busy machine (the
  // whole suite runs in parallel) delays the server by up to a second now
  // and then, and the stream catches up later: the device's pace is judged
  // by its measured rate scalar below, not by how long this took.
  const uint64_t before = capture.frames, playedBefore = play.frames;
  ASSERT_TRUE(eventually([&] { return capture.frames - before >= 72000 && play.frames - playedBefore >= 72000; },
                         15000ms));
  EXPECT_EQ(testsupport::allocationCount(), 0);
  EXPECT_EQ(capture.badCycles, 0u);
  EXPECT_EQ(play.badCycles, 0u);

  // The rate is measured from the second second on, over two seconds at
  // least: another second and a half of audio.
  const uint64_t measured = capture.frames;
  ASSERT_TRUE(eventually([&] { return capture.frames - measured >= 72000; }, 15000ms));
  pa::AudioTimeStamp now{};
  ASSERT_EQ(pa::AudioDeviceGetCurrentTime(monitorA, &now), pa::noErr);
  EXPECT_NEAR(now.mRateScalar, 1.0, 0.03);
  EXPECT_NE(now.mRateScalar, 0.0);
  uint32_t running = 0;
  pa::getProperty(monitorA, {pa::kAudioDevicePropertyDeviceIsRunning, pa::kAudioObjectPropertyScopeGlobal, 0}, running);
  EXPECT_EQ(running, 1u);

  // A new buffer size reaches the running cycles.
  capture.expectedFrames = 256;
  const uint64_t bad = capture.badCycles;
  ASSERT_EQ(pa::setProperty(monitorA, {pa::kAudioDevicePropertyBufferFrameSize, pa::kAudioObjectPropertyScopeGlobal, 0}, uint32_t(256)), pa::noErr);
  // Within a few cycles every cycle has the new size, and then stays so.
  const uint64_t changed = capture.cycles;
  ASSERT_TRUE(eventually([&] { return capture.cycles - changed >= 20; }));
  const uint64_t settled = capture.badCycles;
  EXPECT_LE(settled - bad, 2u);
  const uint64_t later = capture.cycles;
  ASSERT_TRUE(eventually([&] { return capture.cycles - later >= 20; }));
  EXPECT_EQ(capture.badCycles, settled);

  provider->stopIo(monitorA, pa::kAudioObjectPropertyScopeInput, &capture);
  provider->stopIo(sinkA, pa::kAudioObjectPropertyScopeOutput, &play);
  const uint64_t stopped = capture.cycles;
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(capture.cycles, stopped);
  EXPECT_EQ(pa::AudioDeviceGetCurrentTime(monitorA, &now), pa::kAudioHardwareNotRunningError);
}

TEST_F(PulseTest, ASinePlayedIntoANullSinkIsMeasuredFromItsMonitorByTheInputCard) {
  constexpr uint32_t kN = 4096;
  constexpr int kBin = 85;  // 996.09 Hz: a whole number of cycles in kN at 48 kHz
  Client play;
  play.hz = 48000.0 * kBin / kN;
  ASSERT_EQ(play.expectedFrames, 512u);  // the cards' own cycle
  ASSERT_EQ(provider->startIo(sinkA, pa::kAudioObjectPropertyScopeOutput, &play), pa::noErr);

  AFManager manager;
  auto card = manager.newInputSoundcard();  // on the default input: the monitor of sink A
  ASSERT_TRUE(card);
  Recorder recorder;
  card->setDelegate(&recorder);
  ASSERT_TRUE(card->start());
  // Wait for the sine to arrive, then measure 24 blocks. The test server is
  // not a real-time process: on a loaded machine it may stall for longer
  // than its buffer now and then and the sink plays a gap, which spoils a
  // block. The server's tests run alone (RUN_SERIAL), so that is rare.
  auto level = [](const float* block) {
    double power = 0;
    for (uint32_t i = 0; i < kN; ++i) power += double(block[i]) * block[i];
    return 10 * std::log10(power / kN);
  };
  const double expected = 20 * std::log10(0.5 / std::sqrt(2.0));
  ASSERT_TRUE(serveUntil([&] {
    const auto x = recorder.samples();
    return x.size() >= kN && std::abs(level(x.data() + x.size() - kN) - expected) < 0.05;
  }, 10000ms));
  // The drop-outs counted on the way while the blocks are taken: a block
  // spoiled by a counted gap is accounted for.
  auto counted = [&] { return countedDropOuts(*card, sinkA, monitorA); };
  recorder.clear();
  const uint64_t countedBefore = counted();
  ASSERT_TRUE(serveUntil([&] { return recorder.samples().size() >= 24 * kN; }, 10000ms));
  // Those of the last blocks reach the counts within the latencies.
  std::this_thread::sleep_for(200ms);
  const uint64_t gaps = counted() - countedBefore;
  card->stop();
  provider->stopIo(sinkA, pa::kAudioObjectPropertyScopeOutput, &play);
  const std::vector<float> x = recorder.samples();

  int good = 0;
  for (int b = 0; b < 24; ++b) {
    const float* block = x.data() + size_t(b) * kN;
    if (std::abs(level(block) - expected) > 0.05) continue;
    int peak = 0;
    double best = 0;
    for (int k = 1; k < int(kN / 2); ++k) {
      std::complex<double> sum = 0;
      for (uint32_t i = 0; i < kN; ++i) sum += double(block[i]) * std::polar(1.0, -2 * std::numbers::pi * k * i / kN);
      if (std::abs(sum) > best) {
        best = std::abs(sum);
        peak = k;
      }
    }
    if (std::abs(peak - kBin) <= 1) ++good;
  }
  // Two blocks may miss without a count (the first may hold the tail of
  // the sine's arrival); a counted gap spoils at most the two blocks it
  // straddles.
  EXPECT_GE(good, 22 - 2 * static_cast<int>(gaps)) << "blocks within 0.05 dB and one bin, of 24; " << gaps
                                                    << " drop-outs counted";
}

// The levels of successive blocks of channel 0, each with the moment the
// input card delivered its last sample.
class BlockMeter : public AFSoundcardDelegate {
 public:
  static constexpr uint32_t kN = 4096;
  struct Block {
    double level;  // dB of mean square
    Clock::time_point at;
  };
  BlockMeter() { blocks_.reserve(4096); }
  uint32_t implementedMethods() const override { return kInputReceived; }
  void inputReceivedFromSoundcard(AFSoundcard*, float** buffers, int32_t, int32_t samples) override {
    for (int32_t i = 0; i < samples; ++i) {
      power_ += double(buffers[0][i]) * buffers[0][i];
      if (++filled_ < kN) continue;
      std::lock_guard guard(lock_);
      blocks_.push_back({10 * std::log10(power_ / kN + 1e-30), Clock::now()});
      power_ = 0;
      filled_ = 0;
    }
  }
  std::vector<Block> blocks() {
    std::lock_guard guard(lock_);
    return blocks_;
  }

 private:
  double power_ = 0;  // the card's consumer thread only
  uint32_t filled_ = 0;
  std::mutex lock_;
  std::vector<Block> blocks_;
};

// A steady tone captured for a minute: every block holds the tone's level,
// unless a drop-out was counted about then. Once in the minute the whole
// server stops for longer than the playback queued there, which must be
// counted. The tone has a whole number of cycles in a block, so every
// block of it, wherever it starts, has the same power.
TEST_F(PulseTest, ASteadyToneCapturedForAMinuteLosesNoBlockThatIsNotCounted) {
  constexpr int kBin = 85;  // 996.09 Hz at 48 kHz
  Client play;
  play.hz = 48000.0 * kBin / BlockMeter::kN;
  ASSERT_EQ(provider->startIo(sinkA, pa::kAudioObjectPropertyScopeOutput, &play), pa::noErr);
  AFManager manager;
  auto card = manager.newInputSoundcard();  // the monitor of sink A
  ASSERT_TRUE(card);
  BlockMeter meter;
  card->setDelegate(&meter);
  ASSERT_TRUE(card->start());
  const double expected = 20 * std::log10(0.5 / std::sqrt(2.0));
  ASSERT_TRUE(serveUntil([&] {
    const auto b = meter.blocks();
    return !b.empty() && std::abs(b.back().level - expected) < 0.1;
  }, 10000ms));
  const size_t first = meter.blocks().size();

  auto counted = [&] { return countedDropOuts(*card, sinkA, monitorA); };
  const pid_t server = testsupport::testServerProcess();
  std::optional<testsupport::ServerStalls> stalls;
  if (server) stalls.emplace(server);
  std::vector<Clock::time_point> gaps;
  uint64_t seen = counted();
  const auto begin = Clock::now();
  Clock::time_point stalledAt{};
  std::chrono::milliseconds stall = 400ms;
  while (Clock::now() - begin < 60s) {
    mainThread.drain();
    if (stalls && stalledAt == Clock::time_point{} && Clock::now() - begin > 40s) {
      // The stop outlasts the tone the server holds queued (more on a busy
      // machine), or the playback rides it out and nothing is lost.
      pa::DeviceIoStatus status;
      if (pa::AudioDeviceGetIoStatus(sinkA, &status) == pa::noErr && status.latencyKnown && status.latencyFrames > 0)
        stall += std::chrono::milliseconds(status.latencyFrames * 1000 / 48000);
      stalledAt = Clock::now();
      stalls->stallFor(stall);
    }
    if (const uint64_t n = counted(); n != seen) {
      seen = n;
      gaps.push_back(Clock::now());
    }
    std::this_thread::sleep_for(5ms);
  }
  card->stop();
  provider->stopIo(sinkA, pa::kAudioObjectPropertyScopeOutput, &play);
  if (stalls) stalls->resume();

  // A gap is counted when the server reports it, and the silence it left
  // reaches us within the playback and record latencies: well inside 1.5 s.
  auto countedNear = [&](Clock::time_point t) {
    for (auto g : gaps)
      if (g - t < 1500ms && t - g < 1500ms) return true;
    return false;
  };
  const auto blocks = meter.blocks();
  ASSERT_GT(blocks.size(), first + 600) << "a minute is 703 blocks";
  int low = 0;
  for (size_t b = first; b < blocks.size(); ++b) {
    if (std::abs(blocks[b].level - expected) <= 0.1) continue;
    ++low;
    EXPECT_TRUE(countedNear(blocks[b].at))
        << "block " << b - first << " at " << blocks[b].level << " dB, "
        << std::chrono::duration<double>(blocks[b].at - begin).count() << " s in, with no drop-out counted";
  }
  EXPECT_LT(low, 50) << "of " << blocks.size() - first << " blocks";
  if (stalls) {
    EXPECT_TRUE(countedNear(stalledAt + stall)) << "the server's stop of " << stall.count() << " ms was not counted";
  }
}

TEST_F(PulseTest, TheServerGoingAwayRemovesItsDevicesAndTheyComeBack) {
  const char* folder = std::getenv("SPECAN_PULSE_DIR");
  if (!folder) GTEST_SKIP() << "the server is not ours to restart";
  const std::string pid = trimmed(shell(std::string("cat ") + folder + "/daemon.pid"));
  ASSERT_FALSE(pid.empty());
  Client capture;
  ASSERT_EQ(provider->startIo(monitorA, pa::kAudioObjectPropertyScopeInput, &capture), pa::noErr);
  // An idle null sink may first wake after its longest latency (2 s).
  ASSERT_TRUE(eventually([&] { return capture.cycles > 5; }, 4000ms));
  Heard heard;
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard), pa::noErr);
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(pa::kAudioObjectSystemObject, &kDefaultOut, Heard::listener, &heard), pa::noErr);

  shell("kill -9 " + pid);
  EXPECT_TRUE(heard.waitFor(kDevices.mSelector, 1, 2000ms));
  EXPECT_TRUE(heard.waitFor(kDefaultOut.mSelector, 1, 1000ms));
  EXPECT_TRUE(deviceList().empty());
  EXPECT_FALSE(provider->connected());
  std::this_thread::sleep_for(50ms);
  const uint64_t cycles = capture.cycles;
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(capture.cycles, cycles);  // no cycles from a removed device
  EXPECT_EQ(provider->stopIo(monitorA, pa::kAudioObjectPropertyScopeInput, &capture), pa::noErr);
  EXPECT_NE(provider->startIo(monitorA, pa::kAudioObjectPropertyScopeInput, &capture), pa::noErr);

  shell(std::string(SPECAN_SOURCE_DIR) + "/scripts/pulse-daemon start");
  EXPECT_TRUE(eventually([] { return deviceNamed("Monitor of SpecAn_Test_Sink_A") != 0; }, 5000ms));
  const pa::AudioObjectID again = provider->deviceWithUID("pulse:source:specan_test_a.monitor:monitor:0");
  EXPECT_NE(again, 0u);
  EXPECT_NE(again, monitorA);  // a new ID for the device that came back
  Client after;
  ASSERT_EQ(provider->startIo(again, pa::kAudioObjectPropertyScopeInput, &after), pa::noErr);
  EXPECT_TRUE(eventually([&] { return after.cycles > 5; }, 4000ms));
  provider->stopIo(again, pa::kAudioObjectPropertyScopeInput, &after);
  pa::AudioObjectRemovePropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard);
  pa::AudioObjectRemovePropertyListener(pa::kAudioObjectSystemObject, &kDefaultOut, Heard::listener, &heard);
}

TEST(PulseChoice, WithoutAServerTheChoiceFallsBackToTheSimulatedProviderAtOnce) {
  const char* was = std::getenv("PULSE_SERVER");
  const std::string saved = was ? was : "";
  setenv("PULSE_SERVER", "unix:/nonexistent/specan/native", 1);
  const auto start = Clock::now();
  EXPECT_EQ(pa::pulse::PulseProvider::create(), nullptr);
  auto chosen = pa::makeProvider("");
  EXPECT_LT(Clock::now() - start, 1500ms);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->name(), "Simulated");
  setenv("SPECAN_AUDIO", "simulated", 1);
  EXPECT_EQ(pa::makeProvider("")->name(), "Simulated");
  unsetenv("SPECAN_AUDIO");
  EXPECT_EQ(pa::makeProvider("bogus"), nullptr);
  if (was)
    setenv("PULSE_SERVER", saved.c_str(), 1);
  else
    unsetenv("PULSE_SERVER");
}

}  // namespace
