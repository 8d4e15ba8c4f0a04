// The JACK provider against a private server (scripts/jack-daemon): the dummy
// driver at 48 kHz with 256-frame periods, named by SPECAN_JACK_SERVER. The
// cases add clients of their own to the server's graph. Without a server they
// skip, unless SPECAN_JACK_REQUIRED=1 (set by scripts/test), which turns a
// missing server into a failure.

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AudioTestSupport.h"
#include "platform/audio/AudioHardware.h"
#include "platform/audio/ProviderChoice.h"
#include "platform/audio/jack/JackProvider.h"
#include "platform/audio/jack/JackState.h"
#include "support/AllocationCounter.h"
#include "support/ToneMeasure.h"

namespace {

namespace pa = platform::audio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string serverName() {
  const char* name = std::getenv("SPECAN_JACK_SERVER");
  return name ? name : "";
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10000ms) {
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

using audiotest::deviceList;
using audiotest::readString;

// Channels of a device in a scope, 0 when it has none there.
uint32_t channels(pa::AudioObjectID id, pa::AudioObjectPropertyScope scope) {
  pa::AudioStreamBasicDescription f{};
  if (pa::getProperty(id, {pa::kAudioStreamPropertyPhysicalFormat, scope, 0}, f) != pa::noErr) return 0;
  return f.mChannelsPerFrame;
}

// The device of a client in a direction, 0 when there is none.
pa::AudioObjectID deviceOf(const std::string& client, bool input) {
  for (auto id : deviceList())
    if (readString(id, pa::kAudioObjectPropertyName) == client &&
        channels(id, input ? pa::kAudioObjectPropertyScopeInput : pa::kAudioObjectPropertyScopeOutput) > 0)
      return id;
  return 0;
}

// A client of the test's own at the server: output ports playing a sine or a
// ramp, or input ports copied to its output ports; its process callback
// stalls once for longer than a period when asked.
class TestClient {
 public:
  enum class Kind { sine, loop };
  TestClient(const std::string& name, Kind kind, int ins, int outs) : kind_(kind) {
    jack_status_t status{};
    client_ = jack_client_open(name.c_str(), jack_options_t(JackNoStartServer | JackServerName), &status,
                               serverName().c_str());
    if (!client_) return;
    for (int i = 0; i < ins; ++i)
      ins_.push_back(jack_port_register(client_, ("in_" + std::to_string(i + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsInput, 0));
    for (int i = 0; i < outs; ++i)
      outs_.push_back(jack_port_register(client_, ("out_" + std::to_string(i + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                         JackPortIsOutput, 0));
    jack_set_process_callback(client_, process, this);
    jack_activate(client_);
  }
  ~TestClient() { close(); }
  void close() {
    if (client_) jack_client_close(client_);
    client_ = nullptr;
  }
  bool ok() const { return client_ != nullptr; }
  void sine(double hz, double amplitude) {
    hz_.store(hz);
    amplitude_.store(amplitude);
  }
  void stallOnce(std::chrono::milliseconds length) {
    stallMs_.store(int(length.count()));
    stall_.store(true);
  }
  bool stalled() const { return stalledDone_.load(); }

 private:
  static int process(jack_nframes_t frames, void* arg) {
    auto* me = static_cast<TestClient*>(arg);
    const double rate = jack_get_sample_rate(me->client_);
    for (size_t p = 0; p < me->outs_.size(); ++p) {
      auto* out = static_cast<float*>(jack_port_get_buffer(me->outs_[p], frames));
      if (me->kind_ == Kind::loop && p < me->ins_.size()) {
        const auto* in = static_cast<const float*>(jack_port_get_buffer(me->ins_[p], frames));
        std::copy(in, in + frames, out);
      } else {
        for (jack_nframes_t i = 0; i < frames; ++i)
          out[i] = float(me->amplitude_.load(std::memory_order_relaxed) *
                         std::sin(2 * std::numbers::pi * me->hz_.load(std::memory_order_relaxed) * double(me->n_ + i) / rate));
      }
    }
    me->n_ += frames;
    if (me->stall_.exchange(false)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(me->stallMs_.load()));
      me->stalledDone_.store(true);
    }
    return 0;
  }

  Kind kind_;
  jack_client_t* client_ = nullptr;
  std::vector<jack_port_t*> ins_, outs_;
  std::atomic<double> hz_{1000}, amplitude_{0.5};
  uint64_t n_ = 0;
  std::atomic<bool> stall_{false}, stalledDone_{false};
  std::atomic<int> stallMs_{0};
};

// An I/O client: keeps channel 0 of what it records into room made
// beforehand, or plays a ramp that says which frame each sample is.
struct Client : pa::IoClient {
  std::vector<float> kept = std::vector<float>(1 << 20);
  std::atomic<size_t> count{0};
  std::atomic<uint64_t> cycles{0};
  std::atomic<uint32_t> frames{0};
  // Cycles whose pace was not 1: the server's cycles jitter, and a pace
  // read from them would wobble the generator's pitch.
  std::atomic<uint64_t> paced{0};
  uint64_t played = 0;
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& c) noexcept override {
    frames = c.frames;
    if (c.timeStamp.mRateScalar != 1.0) paced.fetch_add(1, std::memory_order_relaxed);
    if (c.input) {
      const auto* in = static_cast<const float*>(c.input->mBuffers[0].mData);
      const size_t at = count.load(std::memory_order_relaxed);
      const size_t n = std::min<size_t>(c.frames, kept.size() - at);
      std::copy(in, in + n, kept.data() + at);
      count.store(at + n, std::memory_order_release);
    }
    if (c.output) {
      for (uint32_t i = 0; i < c.frames; ++i) {
        const float v = ramp(played + i);
        for (uint32_t ch = 0; ch < c.output->mNumberBuffers; ++ch)
          static_cast<float*>(c.output->mBuffers[ch].mData)[i] = ch == 0 ? v : -v;
      }
      played += c.frames;
    }
    ++cycles;
  }
  // Exactly representable, never zero, distinct over 2^16 frames.
  static float ramp(uint64_t frame) { return float(frame % 65536 + 1) / 65536.0f; }
};

// A client started on a device, stopped however the test ends (an assertion
// returning early must not leave the provider calling a destroyed client).
class Started {
 public:
  Started(pa::jack::JackProvider& provider, pa::AudioObjectID device, pa::AudioObjectPropertyScope scope,
          pa::IoClient& client)
      : provider_(provider), device_(device), scope_(scope), client_(client) {
    status_ = provider_.startIo(device_, scope_, &client_);
  }
  ~Started() { stop(); }
  pa::OSStatus status() const { return status_; }
  void stop() {
    if (status_ == pa::noErr) provider_.stopIo(device_, scope_, &client_);
    status_ = pa::kAudioHardwareNotRunningError;
  }

 private:
  pa::jack::JackProvider& provider_;
  pa::AudioObjectID device_;
  pa::AudioObjectPropertyScope scope_;
  pa::IoClient& client_;
  pa::OSStatus status_;
};

// Counts the notifications of one address.
struct Heard {
  std::mutex lock;
  std::condition_variable changed;
  int count = 0;
  static pa::OSStatus listener(pa::AudioObjectID, uint32_t, const pa::AudioObjectPropertyAddress*, void* me) {
    auto* h = static_cast<Heard*>(me);
    {
      std::lock_guard guard(h->lock);
      ++h->count;
    }
    h->changed.notify_all();
    return pa::noErr;
  }
  int heard() {
    std::lock_guard guard(lock);
    return count;
  }
};

const pa::AudioObjectPropertyAddress kDevices{pa::kAudioHardwarePropertyDevices, pa::kAudioObjectPropertyScopeGlobal, 0};

class JackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* required = std::getenv("SPECAN_JACK_REQUIRED");
    const bool mustRun = required && std::string(required) == "1";
    if (serverName().empty()) {
      if (mustRun) FAIL() << "SPECAN_JACK_SERVER is not set (scripts/jack-daemon sets it)";
      GTEST_SKIP() << "no JACK test server";
    }
    pa::jack::Options options;
    options.serverName = serverName();
    options.processThreadStarted = [] { testsupport::countAllocationsOnThisThread(true); };
    provider = pa::jack::JackProvider::create(options);
    if (!provider) {
      if (mustRun) FAIL() << "the JACK server " << serverName() << " does not answer";
      GTEST_SKIP() << "no JACK server";
    }
    pa::installProvider(provider);
  }
  void TearDown() override {
    pa::installProvider(nullptr);
    provider.reset();
  }

  // What `jack_lsp` lists, as devices: (input device?, client) -> ports,
  // our own client's ports left out.
  std::map<std::pair<bool, std::string>, int> listedDevices() {
    std::map<std::pair<bool, std::string>, int> devices;
    std::istringstream in(shell("jack_lsp -s " + serverName() + " -p -t"));
    std::string line, port;
    bool output = false;
    const std::string ours = provider->clientName() + ":";
    while (std::getline(in, line)) {
      if (line.empty()) continue;
      if (line[0] != '\t') {
        port = line;
        continue;
      }
      if (line.find("properties:") != std::string::npos) output = line.find("output") != std::string::npos;
      if (line.find("audio") != std::string::npos && port.rfind(ours, 0) != 0)
        ++devices[{output, port.substr(0, port.find(':'))}];
    }
    return devices;
  }

  static uint64_t dropOuts(pa::AudioObjectID device) {
    pa::DeviceIoStatus status;
    EXPECT_EQ(pa::AudioDeviceGetIoStatus(device, &status), pa::noErr);
    return status.dropOuts;
  }

  std::shared_ptr<pa::jack::JackProvider> provider;
};

// Where the library tells of no xruns (PipeWire's JACK), a cycle that
// begins further on than the last one's frames is a drop-out: never the
// first cycle, nor cycles one after another (after a change of the period
// too, and across the 32-bit clock's wrap), and once for a skip however
// long.
TEST(JackFrameClock, ACycleThatBeginsPastTheLastOnesFramesLostTheFramesBetween) {
  pa::jack::FrameClockGaps gaps;
  EXPECT_FALSE(gaps.skipped(1000, 256));
  EXPECT_FALSE(gaps.skipped(1256, 256));
  EXPECT_TRUE(gaps.skipped(1256 + 5 * 256, 256));
  EXPECT_FALSE(gaps.skipped(1256 + 6 * 256, 1024));
  EXPECT_FALSE(gaps.skipped(1256 + 6 * 256 + 1024, 1024));
  pa::jack::FrameClockGaps wrapping;
  const jack_nframes_t nearTheEnd = 0xFFFFFFFFu - 100;
  EXPECT_FALSE(wrapping.skipped(nearTheEnd, 256));
  EXPECT_FALSE(wrapping.skipped(nearTheEnd + 256, 256));
  EXPECT_TRUE(wrapping.skipped(nearTheEnd + 256 + 3 * 256, 256));
}

TEST_F(JackTest, DevicesAreTheClientsPortsAndFollowClientsComingAndGoing) {
  Heard heard;
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard),
            pa::noErr);
  TestClient probe("specan-probe", TestClient::Kind::loop, 3, 1);
  ASSERT_TRUE(probe.ok());
  ASSERT_TRUE(eventually([&] { return deviceOf("specan-probe", false) != 0; }));
  provider->flushNotifications();
  EXPECT_GE(heard.heard(), 1);

  // Every client with ports is a device per direction, its ports the channels.
  std::map<std::pair<bool, std::string>, int> ours;
  for (auto id : deviceList()) {
    const std::string name = readString(id, pa::kAudioObjectPropertyName);
    const uint32_t in = channels(id, pa::kAudioObjectPropertyScopeInput);
    const uint32_t out = channels(id, pa::kAudioObjectPropertyScopeOutput);
    ASSERT_TRUE((in > 0) != (out > 0)) << name;
    ours[{in > 0, name}] = int(in + out);
    EXPECT_EQ(readString(id, pa::kAudioDevicePropertyDeviceUID), std::string(in ? "jack:in:" : "jack:out:") + name);
    EXPECT_EQ(provider->deviceWithUID(std::string(in ? "jack:in:" : "jack:out:") + name), id);
  }
  EXPECT_EQ(ours, listedDevices());
  EXPECT_EQ((ours[{true, "specan-probe"}]), 1);
  EXPECT_EQ((ours[{false, "specan-probe"}]), 3);

  // The server's format is the only one; the sound card's ports are the defaults.
  const pa::AudioObjectID system = deviceOf("system", true);
  double rate = 0;
  ASSERT_EQ(pa::getProperty(system, {pa::kAudioDevicePropertyNominalSampleRate, pa::kAudioObjectPropertyScopeGlobal, 0}, rate), pa::noErr);
  EXPECT_EQ(rate, 48000);
  EXPECT_NE(pa::setProperty(system, {pa::kAudioDevicePropertyNominalSampleRate, pa::kAudioObjectPropertyScopeGlobal, 0}, 44100.0), pa::noErr);
  pa::AudioValueRange range{};
  ASSERT_EQ(pa::getProperty(system, {pa::kAudioDevicePropertyBufferFrameSizeRange, pa::kAudioObjectPropertyScopeGlobal, 0}, range), pa::noErr);
  EXPECT_EQ(range.mMinimum, 256);
  EXPECT_EQ(range.mMaximum, 256);
  pa::AudioObjectID defaultInput = 0, defaultOutput = 0;
  pa::getProperty(pa::kAudioObjectSystemObject, {pa::kAudioHardwarePropertyDefaultInputDevice, pa::kAudioObjectPropertyScopeGlobal, 0}, defaultInput);
  pa::getProperty(pa::kAudioObjectSystemObject, {pa::kAudioHardwarePropertyDefaultOutputDevice, pa::kAudioObjectPropertyScopeGlobal, 0}, defaultOutput);
  EXPECT_EQ(defaultInput, system);
  EXPECT_EQ(defaultOutput, deviceOf("system", false));

  // A client going takes its devices with it, and listeners hear of it.
  const int before = heard.heard();
  probe.close();
  ASSERT_TRUE(eventually([&] { return deviceOf("specan-probe", false) == 0 && deviceOf("specan-probe", true) == 0; }));
  provider->flushNotifications();
  EXPECT_GT(heard.heard(), before);
  EXPECT_EQ(pa::AudioObjectRemovePropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard),
            pa::noErr);
}

TEST_F(JackTest, AnotherClientsToneIsRecordedAtItsLevelAndFrequencyWithoutAllocating) {
  TestClient tone("specan-tone", TestClient::Kind::sine, 0, 1);
  ASSERT_TRUE(tone.ok());
  constexpr double kHz = 1234.5, kAmplitude = 0.5;
  tone.sine(kHz, kAmplitude);
  ASSERT_TRUE(eventually([&] { return deviceOf("specan-tone", true) != 0; }));
  const pa::AudioObjectID device = deviceOf("specan-tone", true);
  provider->flushNotifications();
  Heard heard;
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard),
            pa::noErr);
  Client ear;
  Started listening(*provider, device, pa::kAudioObjectPropertyScopeInput, ear);
  ASSERT_EQ(listening.status(), pa::noErr);
  // Our port is connected to the tone's.
  const std::string ours = provider->clientName() + ":specan-tone_in_1";
  ASSERT_TRUE(eventually([&] { return shell("jack_lsp -s " + serverName() + " -c").find("specan-tone:out_1\n   " + ours) != std::string::npos; }))
      << shell("jack_lsp -s " + serverName() + " -c");
  ASSERT_TRUE(eventually([&] { return ear.count.load() > 4096; }));
  testsupport::resetAllocationCount();
  // Level within 0.05 dB (the port carries the float samples as they were
  // made), frequency within one bin of a kN-point transform, in a window the
  // sine fills without a break. The test server has no real-time priority, so
  // a busy machine makes xruns; a window an xrun broke (the fit leaves a
  // residual) is measured again, and that xrun must have been counted.
  constexpr size_t kN = 1 << 14;
  tonetest::Tone measured;
  int broken = 0;
  for (; broken < 40; ++broken) {
    const uint64_t before = dropOuts(device);
    const size_t from = ear.count.load();
    ASSERT_TRUE(eventually([&] { return ear.count.load() >= from + kN; }));
    measured = tonetest::measure(ear.kept.data() + from, kN, 48000, kHz);
    if (measured.residualRms < 1e-4 * kAmplitude) break;
    EXPECT_TRUE(eventually([&] { return dropOuts(device) > before; })) << "a break in the tone no xrun explains";
  }
  ASSERT_LT(broken, 40) << "every window was broken";
  EXPECT_NEAR(measured.levelDb(), 20 * std::log10(kAmplitude), 0.05);
  EXPECT_NEAR(measured.frequency, kHz, 48000.0 / kN);
  EXPECT_EQ(testsupport::allocationCount(), 0) << "the process thread allocated";
  EXPECT_EQ(ear.frames.load(), 256u);
  EXPECT_EQ(ear.paced.load(), 0u) << "the pace followed the cycles' timing";
  listening.stop();
  // Our own ports and connections, made and gone, are no change of the devices.
  provider->flushNotifications();
  EXPECT_EQ(heard.heard(), 0);
  pa::AudioObjectRemovePropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard);

  // Stopping unregisters our port.
  EXPECT_EQ(shell("jack_lsp -s " + serverName()).find(ours), std::string::npos);
}

TEST_F(JackTest, OurOutputReachesOurInputIntactThroughTheGraph) {
  TestClient loop("specan-loop", TestClient::Kind::loop, 2, 2);
  ASSERT_TRUE(loop.ok());
  ASSERT_TRUE(eventually([&] { return deviceOf("specan-loop", true) && deviceOf("specan-loop", false); }));
  const pa::AudioObjectID out = deviceOf("specan-loop", false), in = deviceOf("specan-loop", true);
  Client mouth, ear;
  const uint64_t before = dropOuts(in);
  Started playing(*provider, out, pa::kAudioObjectPropertyScopeOutput, mouth);
  Started recording(*provider, in, pa::kAudioObjectPropertyScopeInput, ear);
  ASSERT_EQ(playing.status(), pa::noErr);
  ASSERT_EQ(recording.status(), pa::noErr);
  // Half way, the loop client overruns its period by a few periods once: an
  // xrun the ramp shows, whatever the load.
  ASSERT_TRUE(eventually([&] { return ear.count.load() > 24000; }));
  loop.stallOnce(30ms);
  ASSERT_TRUE(eventually([&] { return loop.stalled() && ear.count.load() > 48000; }));
  pa::DeviceIoStatus status;
  ASSERT_EQ(pa::AudioDeviceGetIoStatus(in, &status), pa::noErr);
  EXPECT_TRUE(status.latencyKnown);
  pa::AudioTimeStamp now{};
  EXPECT_EQ(pa::AudioDeviceGetCurrentTime(in, &now), pa::noErr);

  // After the silence before the connections, the ramp arrives sample for
  // sample: no frame lost, doubled or changed, except at an xrun (the test
  // server has no real-time priority, so a busy machine makes them), and
  // every such disturbance is counted as a drop-out of the device. One xrun
  // can break the ramp twice: a late cycle leaves a period of the previous
  // cycle's samples in the loop, which is a jump back where it starts and a
  // jump forward where it ends. Breaks within a few periods of the one before
  // are therefore one disturbance; the stall makes at least one.
  const size_t n = ear.count.load();
  const std::vector<float>& kept = ear.kept;
  size_t first = 0;
  while (first < n && kept[first] == 0.0f) ++first;
  ASSERT_LT(first + 24000, n);
  const auto rampAt = [&](size_t i) { return uint64_t(std::lround(kept[i] * 65536.0f)) - 1; };
  uint64_t start = rampAt(first);
  size_t from = first;
  constexpr size_t kOneDisturbance = 2 * 256;
  uint64_t disturbances = 0;
  std::string at;
  size_t lastBreak = 0;
  for (size_t i = first; i < n; ++i)
    if (kept[i] != Client::ramp(start + (i - from))) {
      if (disturbances == 0 || i - lastBreak > kOneDisturbance) ++disturbances;
      if (at.size() < 200) at += " " + std::to_string(i - first);
      lastBreak = i;
      start = rampAt(i);
      from = i;
    }
  // The xrun callback comes on its own thread, perhaps after the cycles that follow.
  EXPECT_GE(disturbances, 1u);
  EXPECT_TRUE(eventually([&] { return dropOuts(in) - before >= disturbances; }))
      << disturbances << " disturbances in " << n - first << " samples (breaks at" << at << "), "
      << dropOuts(in) - before << " drop-outs counted";
  recording.stop();
  playing.stop();
  EXPECT_EQ(pa::AudioDeviceGetCurrentTime(in, &now), pa::kAudioHardwareNotRunningError);
}

TEST_F(JackTest, AClientOverrunningItsPeriodCountsAsADropOutOfTheRunningDevice) {
  TestClient slow("specan-slow", TestClient::Kind::sine, 0, 1);
  ASSERT_TRUE(slow.ok());
  ASSERT_TRUE(eventually([&] { return deviceOf("specan-slow", true) != 0; }));
  // What we record comes from the client that stalls: the cycles after its
  // stall lose frames on any server (PipeWire's does not hold back the
  // clients that do not depend on it).
  const pa::AudioObjectID device = deviceOf("specan-slow", true);
  Client ear;
  Started listening(*provider, device, pa::kAudioObjectPropertyScopeInput, ear);
  ASSERT_EQ(listening.status(), pa::noErr);
  ASSERT_TRUE(eventually([&] { return ear.cycles.load() > 10; }));
  pa::DeviceIoStatus status;
  ASSERT_EQ(pa::AudioDeviceGetIoStatus(device, &status), pa::noErr);
  const uint64_t before = status.dropOuts;
  slow.stallOnce(100ms);  // twenty periods
  ASSERT_TRUE(eventually([&] { return slow.stalled(); }));
  EXPECT_TRUE(eventually([&] {
    pa::DeviceIoStatus now;
    return pa::AudioDeviceGetIoStatus(device, &now) == pa::noErr && now.dropOuts > before;
  }));
  ASSERT_EQ(pa::AudioDeviceGetIoStatus(device, &status), pa::noErr);
}

TEST_F(JackTest, AChoiceOfJackOrOfNoneFindsTheRunningServerAndNeverStartsOne) {
  // The default server, as a user's environment would name it, for this
  // process only.
  ASSERT_EQ(setenv("JACK_DEFAULT_SERVER", serverName().c_str(), 1), 0);
  EXPECT_EQ(pa::makeProvider("jack")->name(), "JACK");
  EXPECT_EQ(pa::makeProvider("")->name(), "JACK");
  // A server that does not run is not started: no provider.
  const std::string absent = "specan-absent-" + std::to_string(getpid());
  ASSERT_EQ(setenv("JACK_DEFAULT_SERVER", absent.c_str(), 1), 0);
  EXPECT_EQ(pa::makeProvider("jack"), nullptr);
  EXPECT_EQ(shell("jack_lsp -s " + absent), "");
  unsetenv("JACK_DEFAULT_SERVER");
}

// A JACK server of the test's own (the shared one stays up for the others):
// started as scripts/jack-daemon starts its one, and stopped under its clients.
class OwnServer {
 public:
  explicit OwnServer(std::string name) : name_(std::move(name)) {}
  ~OwnServer() { kill(); }
  bool start() {
    // Everything the child needs is made before the fork: it only execs.
    std::vector<std::string> env{"JACK_NO_AUDIO_RESERVATION=1"};
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{"jackd", "--no-realtime", "-n", name_, "-d", "dummy", "-r", "48000", "-p", "256"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      const int null = ::open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      execvpe("jackd", argv.data(), envp.data());
      _exit(127);
    }
    return pid_ > 0 && eventually([&] { return shell("jack_lsp -s " + name_).find("system:capture_1") != std::string::npos; });
  }
  // A server's SIGTERM tells its clients it shuts down, as when it stops or
  // fails; a SIGKILL would leave its entry in the machine's JACK registry,
  // which has room for few servers.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  pid_t pid_ = 0;
};

TEST(JackServer, AServerStoppedMidCaptureTakesItsDevicesAndTheyComeBackWithItAndFollowItsPeriod) {
  const char* required = std::getenv("SPECAN_JACK_REQUIRED");
  if (serverName().empty() && !(required && std::string(required) == "1")) GTEST_SKIP() << "no JACK test server";
  OwnServer server("specan-restart-" + std::to_string(getpid()));
  ASSERT_TRUE(server.start());
  pa::jack::Options options;
  options.serverName = server.name();
  options.reconnectIntervalMs = 50;
  auto provider = pa::jack::JackProvider::create(options);
  ASSERT_TRUE(provider);
  pa::installProvider(provider);
  Heard heard;
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard),
            pa::noErr);
  const pa::AudioObjectID before = provider->deviceWithUID("jack:in:system");
  ASSERT_NE(before, 0u);
  Client ear;
  ASSERT_EQ(provider->startIo(before, pa::kAudioObjectPropertyScopeInput, &ear), pa::noErr);
  ASSERT_TRUE(eventually([&] { return ear.cycles.load() > 10; }));

  const int heardBefore = heard.heard();
  server.kill();
  ASSERT_TRUE(eventually([&] { return !provider->connected(); }));
  provider->flushNotifications();
  EXPECT_GT(heard.heard(), heardBefore);
  EXPECT_TRUE(deviceList().empty());
  EXPECT_EQ(provider->startIo(before, pa::kAudioObjectPropertyScopeInput, &ear), pa::kAudioHardwareBadDeviceError);
  pa::AudioTimeStamp now{};
  EXPECT_NE(pa::AudioDeviceGetCurrentTime(before, &now), pa::noErr);
  const uint64_t cycles = ear.cycles.load();

  // Back under the same name and identifier, as a new device that records.
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(eventually([&] { return provider->deviceWithUID("jack:in:system") != 0; }));
  const pa::AudioObjectID after = provider->deviceWithUID("jack:in:system");
  EXPECT_NE(after, before);
  EXPECT_EQ(readString(after, pa::kAudioObjectPropertyName), "system");
  EXPECT_EQ(ear.cycles.load(), cycles) << "a removed device's client was called again";
  ASSERT_EQ(provider->startIo(after, pa::kAudioObjectPropertyScopeInput, &ear), pa::noErr);
  EXPECT_TRUE(eventually([&] { return ear.cycles.load() > cycles + 10; }));

  // A new period at the server is a new buffer size and format of every
  // device, told to listeners and followed by the running cycles.
  Heard resized;
  const pa::AudioObjectPropertyAddress frames{pa::kAudioDevicePropertyBufferFrameSize, pa::kAudioObjectPropertyScopeGlobal, 0};
  const pa::AudioObjectPropertyAddress format{pa::kAudioStreamPropertyPhysicalFormat, pa::kAudioObjectPropertyScopeInput, 0};
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(after, &frames, Heard::listener, &resized), pa::noErr);
  ASSERT_EQ(pa::AudioObjectAddPropertyListener(after, &format, Heard::listener, &resized), pa::noErr);
  jack_status_t status{};
  jack_client_t* admin = jack_client_open("specan-admin", jack_options_t(JackNoStartServer | JackServerName), &status,
                                          server.name().c_str());
  ASSERT_TRUE(admin);
  ASSERT_EQ(jack_set_buffer_size(admin, 512), 0);
  EXPECT_TRUE(eventually([&] { return resized.heard() >= 2; }));
  EXPECT_TRUE(eventually([&] { return ear.frames.load() == 512; }));
  uint32_t size = 0;
  EXPECT_EQ(pa::getProperty(after, frames, size), pa::noErr);
  EXPECT_EQ(size, 512u);
  jack_client_close(admin);
  pa::AudioObjectRemovePropertyListener(after, &frames, Heard::listener, &resized);
  pa::AudioObjectRemovePropertyListener(after, &format, Heard::listener, &resized);
  provider->stopIo(after, pa::kAudioObjectPropertyScopeInput, &ear);
  pa::AudioObjectRemovePropertyListener(pa::kAudioObjectSystemObject, &kDevices, Heard::listener, &heard);
  pa::installProvider(nullptr);
}

}  // namespace
