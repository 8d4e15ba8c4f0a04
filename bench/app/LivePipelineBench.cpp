// The whole analyzer running live on the simulated provider's real-time
// clock: device → input card → Input → controller → engine → averaging →
// detection and drawing of a plot about 1800 columns wide, at 48 kHz and
// 192 kHz, RBW 1 Hz and 100 Hz. For each configuration it reports
//
//   - the process CPU time per second of audio, as a percentage of one core,
//     against a baseline taken in the same run: the same device at the same
//     rate delivering into an input card whose delegate takes the blocks and
//     does nothing. The difference is what the analysis costs on top of
//     bringing the samples in (the signal generation on the provider's clock
//     thread, the card's ring and consumer are in both);
//   - the delay of each input block from the device to the controller on the
//     main thread, median and 99th percentile.
//
// It has its own main rather than Google Benchmark because it runs against a
// real-time clock: the cost is a rate (CPU seconds per audio second), not a
// time per iteration.
//
// Measuring windows
//   A spectrum is due every N/2 samples once the engine's ring of N samples
//   is full; at RBW 1 Hz that is more than a second, and each one costs a
//   burst of FFT, averaging and detection. A window of fixed wall time would
//   hold a varying share of those bursts, so the window runs from one
//   spectrum's arrival at the view to a later one's: a whole number of
//   spectrum periods. It opens once the ring has filled and one further
//   spectrum has passed (and not before 1.5 s after the start, so that the
//   window has been laid out and drawn).
//
// Block delay
//   Each block is stamped where the controller is reached: a forwarding
//   InputController between Input and the AppDelegate reads the device's
//   clock (AudioDeviceGetCurrentTime: sample time and host time of the same
//   instant) before handing the block on. The device's clock starts at
//   sample 0 when the card starts its I/O, every device cycle and every card
//   block is 512 samples, and the card drops the first block after a start,
//   so the block the controller receives as number j (from 0, counted from
//   the end of the last setupSampling) is complete at device sample
//   (j + 2) · 512. Its delay is (sample time now − that) / rate. That is
//   measured from the instant the device clock says the block's last sample
//   was taken, which is when its I/O cycle falls due; the provider's clock
//   thread runs the cycle then or a little after, so the figure is the
//   delay from I/O to main thread plus that wake-up jitter (an upper bound).
//   Sanity: the smallest delay must lie between 0 and one block period (an
//   off-by-one block would shift every delay by a block period: negative, or
//   never below one period), and no sample may have been lost on the way
//   (a lost block would break the count).

#include <dirent.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "app/controller/AppDelegate.h"
#include "app/window/MainWindow.h"
#include "plot/PlotView.h"
#include "audio/AFInputSoundcard.h"
#include "audio/AFManager.h"
#include "dsp/FFTPlanner.h"
#include "dsp/Spectrum.h"
#include "endpoints/Input.h"
#include "platform/audio/AudioHardware.h"
#include "platform/audio/Provider.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/qt/QtMainThread.h"

#ifndef LIVE_BENCH_SOURCE_DIR
#define LIVE_BENCH_SOURCE_DIR "."
#endif
#ifndef LIVE_BENCH_BINARY_DIR
#define LIVE_BENCH_BINARY_DIR "build"
#endif

namespace {

namespace pa = platform::audio;
namespace sim = platform::audio::simulated;

constexpr int kBlock = 512;
constexpr int kPlotColumns = 1800;

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

double wallSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// The device's sample time now; negative when its I/O does not run.
double deviceSampleTime(pa::AudioObjectID device) {
  pa::AudioTimeStamp now{};
  if (pa::AudioDeviceGetCurrentTime(device, &now) != pa::noErr) return -1.0;
  return now.mSampleTime;
}

// CPU seconds of each thread of the process, by thread id, with its name.
struct ThreadTimes {
  std::map<int, std::pair<std::string, double>> threads;
};

ThreadTimes threadTimes() {
  ThreadTimes t;
  const double tick = double(sysconf(_SC_CLK_TCK));
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return t;
  while (dirent* entry = readdir(dir)) {
    const int tid = std::atoi(entry->d_name);
    if (tid <= 0) continue;
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::atof(field.c_str());
      if (i == 15) stime = std::atof(field.c_str());
    }
    std::string name = line.substr(open + 1, close - open - 1);
    if (tid == getpid()) name = "main";
    t.threads[tid] = {name, (utime + stime) / tick};
  }
  closedir(dir);
  return t;
}

// "name tid: x %" for the threads that used most CPU between a and b, per
// second of audio.
std::string busiestThreads(const ThreadTimes& a, const ThreadTimes& b, double audioSeconds) {
  std::vector<std::pair<double, std::string>> used;
  for (const auto& [tid, entry] : b.threads) {
    const auto before = a.threads.find(tid);
    const double cpu = entry.second - (before != a.threads.end() ? before->second.second : 0.0);
    if (cpu > 0) used.push_back({cpu, entry.first + " " + std::to_string(tid)});
  }
  std::sort(used.rbegin(), used.rend());
  std::string text;
  for (size_t i = 0; i < used.size() && i < 4; ++i) {
    char part[96];
    std::snprintf(part, sizeof part, "%s%s %.1f%%", i ? ", " : "", used[i].second.c_str(),
                  100.0 * used[i].first / audioSeconds);
    text += part;
  }
  return text;
}

// Runs the event loop until done() says so (asked every 20 ms) or until
// timeout seconds have passed; false on the timeout.
bool runEventLoopUntil(const std::function<bool()>& done, double timeout) {
  QEventLoop loop;
  QTimer poll;
  const double start = wallSeconds();
  bool finished = false;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) {
      finished = true;
      loop.quit();
    } else if (wallSeconds() - start > timeout) {
      loop.quit();
    }
  });
  poll.start(20);
  loop.exec();
  return finished;
}

void drainMainThread() {
  for (int round = 0; round < 50; ++round) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (ui::MainThread::instance().drain() == 0) break;
  }
}

// A 2-channel input device at one rate only, carrying a 1 kHz sine.
sim::DeviceDescription benchDevice(double rate) {
  sim::DeviceDescription d;
  const int khz = int(rate / 1000.0);
  d.name = "Bench Input " + std::to_string(khz) + " kHz";
  d.uid = "sim:bench:input" + std::to_string(khz) + ":Bus9:0";
  sim::StreamDescription in;
  in.channels = 2;
  in.formats = sim::discreteFormats(2, 24, {rate});
  in.physicalFormat = sim::linearPcmFormat(rate, 2, 24);
  in.signal = {sim::Signal::Sine, 1000.0, 3500.0, 0.5};
  in.volumes = {{0, 1.0f, true}};
  d.input = in;
  d.bufferFrameSize = kBlock;
  return d;
}

// ------------------------------------------------------------------ baseline

// Takes the card's blocks and does nothing with them but count.
class IdleDelegate final : public AFSoundcardDelegate {
 public:
  uint32_t implementedMethods() const override { return kInputReceived; }
  void inputReceivedFromSoundcard(AFSoundcard*, float**, int32_t, int32_t samples) override {
    samples_.fetch_add(uint64_t(samples), std::memory_order_relaxed);
  }
  uint64_t samples() const { return samples_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> samples_{0};
};

struct BaselineResult {
  bool ok = false;
  double percent = 0.0;
  double audioSeconds = 0.0;
  uint64_t samplesDelivered = 0;
  uint64_t overrunSamples = 0;
};

BaselineResult measureBaseline(pa::AudioObjectID device, double rate, double warmUp, double window) {
  BaselineResult r;
  AFManager manager;
  IdleDelegate delegate;
  AFSoundcardPtr<AFInputSoundcard> card = manager.newInputSoundcard();
  if (!card) return r;
  card->setDelegate(&delegate);
  card->setBufferLength(kBlock);
  if (!card->start()) return r;
  const double started = wallSeconds();
  runEventLoopUntil([&] { return wallSeconds() - started >= warmUp; }, warmUp + 5);
  const uint64_t samples0 = delegate.samples();
  const double cpu0 = processCpuSeconds();
  const double device0 = deviceSampleTime(device);
  const double wall0 = wallSeconds();
  runEventLoopUntil([&] { return wallSeconds() - wall0 >= window; }, window + 5);
  const double cpu1 = processCpuSeconds();
  const double device1 = deviceSampleTime(device);
  r.samplesDelivered = delegate.samples() - samples0;
  r.overrunSamples = card->overrunSamples();
  card->stop();
  card.reset();
  drainMainThread();
  r.audioSeconds = (device1 - device0) / rate;
  r.ok = device0 >= 0 && device1 > device0 && r.samplesDelivered > 0;
  if (r.ok) r.percent = 100.0 * (cpu1 - cpu0) / r.audioSeconds;
  return r;
}

// ------------------------------------------------------------------ live pipeline

struct SpectrumEvent {
  double cpu;            // process CPU seconds
  double wall;           // monotonic seconds
  double deviceSamples;  // device sample time
  int64_t blocks;        // blocks handed to the controller since the last setupSampling
};

struct BlockStamp {
  double wall;
  float delay;  // seconds
};

// Between Input and the controller: stamps each block's delay, then hands it on.
class StampingController final : public InputController {
 public:
  StampingController(AppDelegate& app, pa::AudioObjectID device, double rate)
      : app_(app), device_(device), rate_(rate) {
    stamps_.reserve(kCapacity);
  }

  void newDataFromInput(const float* samples, float samplingRate) override {
    pa::AudioTimeStamp now{};
    if (pa::AudioDeviceGetCurrentTime(device_, &now) == pa::noErr && stamps_.size() < kCapacity) {
      const double complete = double(blocks_ + 2) * kBlock;
      stamps_.push_back({1e-9 * double(pa::AudioConvertHostTimeToNanos(now.mHostTime)),
                         float((now.mSampleTime - complete) / rate_)});
    }
    ++blocks_;
    app_.newDataFromInput(samples, samplingRate);
  }
  void clearSpectrum() override { app_.clearSpectrum(); }
  void setupSampling() override {
    app_.setupSampling();
    started();
  }
  // The card has started afresh: the device clock and the block count begin
  // again. Also called after the launch, whose own setupSampling reaches the
  // controller directly; no block can have been handed over before it,
  // because blocks reach the controller only from the event loop.
  void started() {
    blocks_ = 0;
    stamps_.clear();
    ++setups_;
  }

  int64_t blocks() const { return blocks_; }
  int setups() const { return setups_; }
  const std::vector<BlockStamp>& stamps() const { return stamps_; }

 private:
  static constexpr size_t kCapacity = 1 << 16;
  AppDelegate& app_;
  const pa::AudioObjectID device_;
  const double rate_;
  int64_t blocks_ = 0;
  int setups_ = 0;
  std::vector<BlockStamp> stamps_;
};

// Between the controller and the display: notes each new trace, then hands it on.
class CountingView final : public PlotView {
 public:
  CountingView(PlotView* view, const StampingController& controller, pa::AudioObjectID device)
      : view_(view), controller_(controller), device_(device) {
    events_.reserve(kCapacity);
  }

  void addTraceData(TraceData* trace) override {
    if (events_.size() < kCapacity)
      events_.push_back({processCpuSeconds(), wallSeconds(), deviceSampleTime(device_), controller_.blocks()});
    view_->addTraceData(trace);
  }
  void setSharedData(SharedData* shared) override { view_->setSharedData(shared); }
  void setColorPalette(const ColorPalette* palette, bool border) override { view_->setColorPalette(palette, border); }
  void addTraceDataBin(TraceData* trace, int bin) override { view_->addTraceDataBin(trace, bin); }
  void clearPlot() override { view_->clearPlot(); }
  void newSweep() override { view_->newSweep(); }
  void setTrackingGeneratorMode(bool enabled) override { view_->setTrackingGeneratorMode(enabled); }
  void setPlotScale(float dBPerDivision) override { view_->setPlotScale(dBPerDivision); }
  void setCaptionColor(const RGBAColor& color) override { view_->setCaptionColor(color); }
  void setNeedsDisplay() override { view_->setNeedsDisplay(); }
  void setWindowBackgroundColor(const ui::Color& color) override { view_->setWindowBackgroundColor(color); }
  void makeKeyAndOrderFront() override { view_->makeKeyAndOrderFront(); }
  void setReference(TraceData* r, TraceData* t) override { view_->setReference(r, t); }
  std::string windowFrameString() const override { return view_->windowFrameString(); }
  void setWindowFrameFromString(const std::string& frame) override { view_->setWindowFrameFromString(frame); }
  const display::MarkerCache* markerCache() const override { return view_->markerCache(); }
  const display::MarkerCache* referenceMarkerCache() const override { return view_->referenceMarkerCache(); }
  PageView* page() override { return view_->page(); }

  const std::vector<SpectrumEvent>& events() const { return events_; }

 private:
  static constexpr size_t kCapacity = 1 << 15;
  PlotView* const view_;
  const StampingController& controller_;
  const pa::AudioObjectID device_;
  std::vector<SpectrumEvent> events_;
};

// Counts the plot's paint events.
class PaintCounter final : public QObject {
 public:
  int paints = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
};

struct LiveResult {
  bool ok = false;
  std::string problem;
  double percent = 0.0;
  double audioSeconds = 0.0;
  int spectra = 0;         // in the window
  int paints = 0;          // in the whole run
  int64_t blocks = 0;      // in the window
  int fftLength = 0;
  float plotWidth = 0.0f;
  double medianDelay = 0.0, p99Delay = 0.0, minDelay = 0.0, maxDelay = 0.0;
  uint64_t lostSamples = 0;
  std::string threads;  // the busiest threads in the window (clock ticks, roughly aligned)
};

double percentile(std::vector<float> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t rank = size_t(std::ceil(p / 100.0 * double(values.size())));
  return values[std::min(values.size() - 1, rank > 0 ? rank - 1 : 0)];
}

LiveResult measureLive(pa::AudioObjectID device, double rate, int bandwidthTag, double window) {
  LiveResult r;
  PaintCounter painter;
  AppDelegate app;
  StampingController controller(app, device, rate);
  auto input = std::make_unique<Input>(&controller);
  auto mainWindow = std::make_unique<MainWindow>(app, input.get());
  CountingView view(app.display, controller, device);
  app.display = &view;
  mainWindow->display()->installEventFilter(&painter);

  // The whole band, at the RBW of this configuration.
  app.bandwidthPopup->selectItemWithTag(bandwidthTag);
  app.lowerSpanField->setStringValue("0");
  app.upperSpanField->setStringValue(std::to_string(int(rate / 2)));
  // The plot area is the display's width less 49 points of margins.
  mainWindow->resize(mainWindow->width() + (kPlotColumns + 49 - mainWindow->display()->width()), 700);

  app.applicationDidFinishLaunching();
  if (controller.blocks() != 0) {
    r.problem = "blocks reached the controller during the launch";
    return r;
  }
  controller.started();
  const double launched = wallSeconds();
  // Once shown and laid out, correct the width for the side panel's real size.
  runEventLoopUntil([&] { return wallSeconds() - launched > 0.2; }, 1.0);
  if (const int error = kPlotColumns + 49 - mainWindow->display()->width(); error != 0)
    mainWindow->resize(mainWindow->width() + error, mainWindow->height());

  const int fftLength = app.spectrum ? 2 * app.spectrum->span() : 0;
  r.fftLength = fftLength;
  // Steady: the ring is full and one more spectrum period has passed.
  const int64_t steadyBlocks = (fftLength + fftLength / 2) / kBlock;
  const auto& events = view.events();
  size_t first = SIZE_MAX, last = SIZE_MAX;
  ThreadTimes threadsAtStart, threadsAtEnd;
  const bool finished = runEventLoopUntil(
      [&] {
        for (size_t i = first == SIZE_MAX ? 0 : first; i < events.size(); ++i) {
          if (first == SIZE_MAX) {
            if (events[i].blocks >= steadyBlocks && events[i].wall - launched >= 1.5) {
              first = i;
              threadsAtStart = threadTimes();
            }
          } else if (events[i].wall - events[first].wall >= window) {
            last = i;
            threadsAtEnd = threadTimes();
            return true;
          }
        }
        return false;
      },
      window + 30.0);

  r.plotWidth = mainWindow->display()->plotWidth();
  r.paints = painter.paints;
  r.lostSamples = input->droppedSamples() + input->overrunSamples();
  const std::vector<BlockStamp> stamps = controller.stamps();
  const int setups = controller.setups();

  app.applicationWillTerminate();
  mainWindow->detachEndpoints();
  input.reset();
  drainMainThread();
  mainWindow.reset();
  drainMainThread();

  if (!finished) {
    r.problem = "no steady stream of spectra (" + std::to_string(events.size()) + " spectra, " +
                std::to_string(controller.blocks()) + " blocks)";
    return r;
  }
  if (setups != 1) {
    r.problem = "the input was set up " + std::to_string(setups) + " times";
    return r;
  }
  const SpectrumEvent& a = events[first];
  const SpectrumEvent& b = events[last];
  r.audioSeconds = (b.deviceSamples - a.deviceSamples) / rate;
  r.percent = 100.0 * (b.cpu - a.cpu) / r.audioSeconds;
  r.spectra = int(last - first);
  r.threads = busiestThreads(threadsAtStart, threadsAtEnd, r.audioSeconds);
  r.blocks = b.blocks - a.blocks;

  std::vector<float> delays;
  for (const BlockStamp& s : stamps)
    if (s.wall >= a.wall && s.wall <= b.wall) delays.push_back(s.delay);
  if (delays.empty()) {
    r.problem = "no block delays in the window";
    return r;
  }
  r.medianDelay = percentile(delays, 50);
  r.p99Delay = percentile(delays, 99);
  r.minDelay = *std::min_element(delays.begin(), delays.end());
  r.maxDelay = *std::max_element(delays.begin(), delays.end());
  const double period = kBlock / rate;
  if (r.minDelay < 0 || r.minDelay >= period)
    r.problem = "block delays do not match the device clock (smallest " + std::to_string(r.minDelay * 1e3) + " ms)";
  else if (r.lostSamples > 0)
    r.problem = std::to_string(r.lostSamples) + " samples lost on the way (block count unreliable)";
  else if (r.blocks * kBlock < int64_t(0.98 * r.audioSeconds * rate))
    r.problem = "fewer blocks than audio in the window";
  r.ok = r.problem.empty();
  return r;
}

// Plans every transform size the runs use, so that no background
// measurement of a plan falls into a window (the product measures them once
// and keeps the wisdom).
double preparePlans() {
  const double start = wallSeconds();
  std::vector<std::unique_ptr<Spectrum>> engines;
  engines.push_back(std::make_unique<Spectrum>(10.0f, 48000.0f, WindowShape::Gaussian));  // the launch configuration
  for (float rate : {48000.0f, 192000.0f})
    for (float rbw : {1.0f, 100.0f}) {
      engines.push_back(std::make_unique<Spectrum>(rbw, rate, WindowShape::Gaussian));
      engines.back()->setResolutionBandwidth(rbw, rate, WindowShape::Gaussian, 1.0f);
    }
  FFTPlanner::waitForBackgroundPlanning();
  return wallSeconds() - start;
}

}  // namespace

int main(int argc, char* argv[]) {
  double window = 6.0;
  double onlyRate = 0.0;  // 0: both
  int onlyRbw = 0;        // 0: both
  auto usage = [&](std::FILE* out) {
    std::fprintf(out,
                 "usage: %s [--window=SECONDS] [--rate=48000|192000] [--rbw=1|100]\n"
                 "  the steady window per configuration (default 6 s); one rate or RBW only\n",
                 argv[0]);
  };
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      return 0;
    }
    if (std::strncmp(argv[i], "--window=", 9) == 0 && std::atof(argv[i] + 9) >= 1.0) {
      window = std::atof(argv[i] + 9);
    } else if (std::strncmp(argv[i], "--rate=", 7) == 0 && std::atof(argv[i] + 7) > 0) {
      onlyRate = std::atof(argv[i] + 7);
    } else if (std::strncmp(argv[i], "--rbw=", 6) == 0 && std::atoi(argv[i] + 6) > 0) {
      onlyRbw = std::atoi(argv[i] + 6);
    } else {
      std::fprintf(stderr, "%s: unknown option '%s'\n", argv[0], argv[i]);
      usage(stderr);
      return 2;
    }
  }
  std::string filter;
  if (onlyRate > 0) filter += " --rate=" + std::to_string(std::lround(onlyRate));
  if (onlyRbw > 0) filter += " --rbw=" + std::to_string(onlyRbw);
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);

  std::printf("# Reproduce:\n#   cmake -S %s -B %s -G Ninja -DSPECAN_WERROR=ON -DCMAKE_BUILD_TYPE=Release && \\\n"
              "#   cmake --build %s --target live_pipeline_bench && \\\n"
              "#   QT_QPA_PLATFORM=%s %s/bench/app/live_pipeline_bench --window=%g%s\n",
              LIVE_BENCH_SOURCE_DIR, LIVE_BENCH_BINARY_DIR, LIVE_BENCH_BINARY_DIR, std::getenv("QT_QPA_PLATFORM"),
              LIVE_BENCH_BINARY_DIR, window, filter.c_str());

  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication application(qtArgc, qtArgv);
  ui::qt::QtMainThread mainThread;
  ui::MainThread::install(&mainThread);

  auto provider = std::make_shared<sim::SimulatedProvider>();
  pa::installProvider(provider);

  // Plans from a wisdom file of the benchmark's own, never the user's.
  const std::string wisdom = QCoreApplication::applicationDirPath().toStdString() + "/fftw-wisdom";
  std::filesystem::create_directories(wisdom);
  FFTPlanner::setWisdomDirectory(wisdom);
  FFTPlanner::setBackgroundPlanning(true);
  const double planning = preparePlans();
  std::printf("# FFT plans ready after %.1f s (wisdom in %s)\n", planning, wisdom.c_str());
  std::printf("# Steady window per configuration: %.0f s or more, whole spectrum periods; plot %d columns\n",
              window, kPlotColumns);
  std::printf("# CPU in %% of one core per second of audio; delay = device clock to controller, per block\n\n");
  std::printf("%-7s %-7s %7s %9s %8s %9s %5s | %8s %8s %8s %9s %5s | %7s %6s %6s %6s\n", "rate", "RBW", "total%",
              "baseline%", "analysis", "goal", "ok", "med ms", "p99 ms", "min ms", "goal ms", "ok", "spectra",
              "blocks", "FFT", "plotW");
  std::fflush(stdout);

  bool allMet = true;
  bool allValid = true;
  for (double rate : {48000.0, 192000.0}) {
    if (onlyRate > 0 && rate != onlyRate) continue;
    const pa::AudioObjectID device = provider->addDevice(benchDevice(rate));
    provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, device);
    provider->flushNotifications();
    drainMainThread();

    const BaselineResult baseline = measureBaseline(device, rate, 1.0, window * 0.75);
    if (!baseline.ok) {
      std::printf("%-7.0f baseline failed: no input delivered\n", rate);
      allValid = false;
      continue;
    }
    for (int tag : {0, 20}) {
      if (onlyRbw > 0 && std::lround(std::pow(10.0, tag * 0.1)) != onlyRbw) continue;
      FFTPlanner::waitForBackgroundPlanning();
      const LiveResult live = measureLive(device, rate, tag, window);
      const char* rbw = tag == 0 ? "1 Hz" : "100 Hz";
      if (!live.ok && live.audioSeconds <= 0) {
        std::printf("%-7.0f %-7s FAILED: %s\n", rate, rbw, live.problem.c_str());
        allValid = false;
        continue;
      }
      const double analysis = live.percent - baseline.percent;
      const double cpuGoal = rate > 96000 ? 5.0 : 2.0;
      const double delayGoal = 1e3 * kBlock / rate + 10.0;
      const bool cpuMet = analysis < cpuGoal;
      const bool delayMet = live.p99Delay * 1e3 < delayGoal;
      allMet = allMet && cpuMet && delayMet;
      std::printf("%-7.0f %-7s %7.2f %9.2f %8.2f %7s%.0f %5s | %8.2f %8.2f %8.2f %9.2f %5s | %7d %6lld %6d %6.0f\n",
                  rate, rbw, live.percent, baseline.percent, analysis, "< ", cpuGoal, cpuMet ? "yes" : "NO",
                  live.medianDelay * 1e3, live.p99Delay * 1e3, live.minDelay * 1e3, delayGoal,
                  delayMet ? "yes" : "NO", live.spectra, static_cast<long long>(live.blocks), live.fftLength,
                  double(live.plotWidth));
      if (!live.ok) {
        std::printf("        ^ not valid: %s\n", live.problem.c_str());
        allValid = false;
      }
      std::printf("        window %.2f s of audio, max delay %.2f ms, %d paints, baseline over %.2f s\n",
                  live.audioSeconds, live.maxDelay * 1e3, live.paints, baseline.audioSeconds);
      std::printf("        busiest threads: %s\n", live.threads.c_str());
      std::fflush(stdout);
    }
    provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, provider->deviceNamed("Test Signal"));
    provider->removeDevice(device);
    provider->flushNotifications();
    drainMainThread();
  }
  std::printf("\n%s%s\n", allMet ? "All goals met." : "Some goals missed.",
              allValid ? "" : " Some figures are not valid (see above).");

  pa::installProvider(nullptr);
  FFTPlanner::shutdown();
  return allValid ? 0 : 1;
}
