// Drop-outs per hour of live capture through the PulseAudio provider, on a
// running test server (scripts/pulse-daemon start, then export what it
// prints): a 1 kHz sine played into a null sink and recorded from its
// monitor, at 48 and 192 kHz (a null sink of that rate is loaded for the
// run), on a quiet machine and beside `stress-ng --cpu 2`.
//
// A gap heard is a run of 10 ms windows of the recording more than 0.5 dB
// below the sine's level (the sine has whole cycles in a window, so every
// window of it has the same power); a drop-out counted is one the server
// reported or our ring lost. The baseline is the server's own clients in the
// same run: pacat (asking for the 300 ms our playback asks for) into the
// sink and parec from its monitor, judged by the same windows.
//
//   build/bench/platform/platform_pulse_dropout_bench [SECONDS]   (default 60 per case)
// Prints plain text; never run by the test suite.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/Provider.h"
#include "platform/audio/pulse/PulseProvider.h"

namespace {

namespace pa = platform::audio;
using namespace std::chrono_literals;

constexpr double kHz = 1000;
constexpr float kAmplitude = 0.5f;
// The null sink may first wake after its longest latency (2 s).
constexpr double kSettleSeconds = 2.5;

// Windows of 10 ms: counts the runs of low ones from the first window that
// holds the sine on (the sink waking and the stream starting are not gaps).
class GapEar {
 public:
  explicit GapEar(double rate) : window_(uint32_t(rate / 100)) {}
  void hear(const float* x, uint32_t frames) noexcept {
    for (uint32_t i = 0; i < frames; ++i) {
      power_ += double(x[i]) * x[i];
      if (++filled_ < window_) continue;
      const bool low = 10 * std::log10(power_ / window_ + 1e-30) < kLevel - 0.5;
      if (!low) started_ = true;
      if (started_) {
        windows_.fetch_add(1, std::memory_order_relaxed);
        if (low && !wasLow_) gaps_.fetch_add(1, std::memory_order_relaxed);
      }
      wasLow_ = low;
      power_ = 0;
      filled_ = 0;
    }
  }
  uint64_t gaps() const { return gaps_.load(); }
  double seconds() const { return double(windows_.load()) / 100; }

 private:
  static inline const double kLevel = 20 * std::log10(kAmplitude / std::numbers::sqrt2);
  const uint32_t window_;
  double power_ = 0;
  uint32_t filled_ = 0;
  bool started_ = false, wasLow_ = false;
  std::atomic<uint64_t> windows_{0}, gaps_{0};
};

struct Tone : pa::IoClient {
  double rate = 48000, phase = 0;
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& c) noexcept override {
    const double step = 2 * std::numbers::pi * kHz / rate;
    for (uint32_t i = 0; i < c.frames; ++i) {
      const float v = kAmplitude * float(std::sin(phase));
      phase = std::fmod(phase + step, 2 * std::numbers::pi);
      for (uint32_t ch = 0; ch < c.output->mNumberBuffers; ++ch) static_cast<float*>(c.output->mBuffers[ch].mData)[i] = v;
    }
  }
};

struct Capture : pa::IoClient {
  explicit Capture(double rate) : ear(rate) {}
  GapEar ear;
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& c) noexcept override {
    ear.hear(static_cast<const float*>(c.input->mBuffers[0].mData), c.frames);
  }
};

uint64_t counted(pa::AudioObjectID sink, pa::AudioObjectID monitor) {
  uint64_t n = 0;
  pa::DeviceIoStatus s;
  if (pa::AudioDeviceGetIoStatus(sink, &s) == pa::noErr) n += s.dropOuts + (s.lostFrames ? 1 : 0);
  if (pa::AudioDeviceGetIoStatus(monitor, &s) == pa::noErr) n += s.dropOuts + (s.lostFrames ? 1 : 0);
  return n;
}

struct Result {
  uint64_t gaps = 0, counted = 0;
  double seconds = 0;
  double perHour() const { return seconds > 0 ? 3600.0 * double(gaps) / seconds : NAN; }
};

Result provider(pa::pulse::PulseProvider& p, pa::AudioObjectID sink, pa::AudioObjectID monitor, double rate,
                double seconds) {
  Tone tone;
  tone.rate = rate;
  Capture capture(rate);
  const uint64_t before = counted(sink, monitor);
  p.startIo(sink, pa::kAudioObjectPropertyScopeOutput, &tone);
  p.startIo(monitor, pa::kAudioObjectPropertyScopeInput, &capture);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds + kSettleSeconds));
  p.stopIo(monitor, pa::kAudioObjectPropertyScopeInput, &capture);
  p.stopIo(sink, pa::kAudioObjectPropertyScopeOutput, &tone);
  return {capture.ear.gaps(), counted(sink, monitor) - before, capture.ear.seconds()};
}

Result clients(const std::string& sink, double rate, double seconds) {
  const std::string r = std::to_string(int(rate));
  const std::string play = "pacat --playback --raw --format=float32le --channels=1 --rate=" + r +
                           " --latency-msec=300 --device=" + sink + " 2>/dev/null";
  const std::string record = "parec --raw --format=float32le --channels=1 --rate=" + r + " --device=" + sink + ".monitor 2>/dev/null";
  FILE* out = popen(play.c_str(), "w");
  FILE* in = popen(record.c_str(), "r");
  if (!out || !in) return {};
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::vector<float> block(size_t(rate / 100));
    double phase = 0;
    const double step = 2 * std::numbers::pi * kHz / rate;
    while (!done) {
      for (float& v : block) {
        v = kAmplitude * float(std::sin(phase));
        phase = std::fmod(phase + step, 2 * std::numbers::pi);
      }
      if (fwrite(block.data(), sizeof(float), block.size(), out) != block.size()) break;
    }
  });
  GapEar ear(rate);
  std::vector<float> block(4096);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds + kSettleSeconds);
  while (std::chrono::steady_clock::now() < end) {
    const size_t n = fread(block.data(), sizeof(float), block.size(), in);
    if (n == 0) break;
    ear.hear(block.data(), uint32_t(n));
  }
  done = true;
  pclose(in);
  writer.join();
  pclose(out);
  return {ear.gaps(), 0, ear.seconds()};
}

pid_t startLoad() {
  if (std::system("command -v stress-ng >/dev/null") != 0) return 0;
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("stress-ng", "stress-ng", "--cpu", "2", "--quiet", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

void stopLoad(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  if (!(seconds > 0)) {
    std::fprintf(stderr, "usage: platform_pulse_dropout_bench [SECONDS]\n");
    return 2;
  }
  // A null sink at each rate: the test server's own at 48 kHz, one loaded
  // for the run at 192 kHz.
  int module = -1;
  if (FILE* load = popen("pactl load-module module-null-sink sink_name=specan_bench_192 rate=192000 channels=2 "
                         "sink_properties=device.description=SpecAn_Bench_192 2>/dev/null", "r")) {
    if (std::fscanf(load, "%d", &module) != 1) module = -1;
    pclose(load);
  }
  auto p = pa::pulse::PulseProvider::create();
  if (!p) {
    std::fprintf(stderr, "no PulseAudio server (start one with scripts/pulse-daemon start)\n");
    return 1;
  }
  // The status calls (the drop-outs counted) go through the installed provider.
  pa::installProvider(p);
  struct Case {
    double rate;
    std::string sink;
  };
  const Case cases[] = {{48000, "specan_test_a"}, {192000, "specan_bench_192"}};
  std::printf("drop-outs over %.0f s per case, as gaps heard per hour (runs of 10 ms windows 0.5 dB low)\n", seconds);
  for (bool loaded : {false, true}) {
    const pid_t load = loaded ? startLoad() : 0;
    if (loaded && load == 0) {
      std::printf("beside stress-ng --cpu 2: not measured (stress-ng is not installed)\n");
      break;
    }
    for (const Case& c : cases) {
      if (c.rate == 192000 && module < 0) {
        std::printf("%6.0f Hz: not measured (no 192 kHz null sink)\n", c.rate);
        continue;
      }
      pa::AudioObjectID sink = 0, monitor = 0;
      for (int i = 0; i < 100 && !(sink && monitor); ++i) {
        sink = p->deviceWithUID("pulse:sink:" + c.sink + ":server:0");
        monitor = p->deviceWithUID("pulse:source:" + c.sink + ".monitor:monitor:0");
        if (!(sink && monitor)) std::this_thread::sleep_for(50ms);
      }
      if (!sink || !monitor) {
        std::printf("%6.0f Hz: not measured (no sink %s)\n", c.rate, c.sink.c_str());
        continue;
      }
      const Result ours = provider(*p, sink, monitor, c.rate, seconds);
      const Result base = clients(c.sink, c.rate, seconds);
      auto describe = [](const Result& r) {
        char text[160];
        if (r.seconds < 1)
          std::snprintf(text, sizeof text, "the tone never arrived");
        else
          std::snprintf(text, sizeof text, "%llu gaps heard in %.0f s = %.0f per hour", (unsigned long long)r.gaps,
                        r.seconds, r.perHour());
        return std::string(text);
      };
      std::printf("%6.0f Hz, %s: provider %s (%llu drop-outs counted); pacat + parec %s", c.rate,
                  loaded ? "beside stress-ng --cpu 2" : "quiet", describe(ours).c_str(),
                  (unsigned long long)ours.counted, describe(base).c_str());
      if (ours.seconds >= 1 && base.seconds >= 1 && base.gaps > 0)
        std::printf("; ratio %.2f", ours.perHour() / base.perHour());
      std::printf("\n");
      std::fflush(stdout);
    }
    stopLoad(load);
  }
  pa::installProvider(nullptr);
  p.reset();
  if (module >= 0) (void)std::system(("pactl unload-module " + std::to_string(module) + " 2>/dev/null").c_str());
  return 0;
}
