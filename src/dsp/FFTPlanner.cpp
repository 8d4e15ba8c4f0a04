#include "dsp/FFTPlanner.h"

#include <fftw3.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kMaxExponent = 24;
// The engine's FFT sizes: the first plan of any of them plans them all, so
// that a later reconfiguration never waits for the planner.
constexpr int kEngineFirst = 14;
constexpr int kEngineLast = 19;
constexpr const char* kWisdomFile = "fftwf.wisdom";

struct Slot {
  std::atomic<fftwf_plan_s*> real{nullptr};
  std::atomic<fftwf_plan_s*> complex{nullptr};
  bool measured = false;
  bool queued = false;
  std::vector<fftwf_plan> superseded;  // replaced plans an FFT may still execute
};

struct Planner {
  // Held for every call into FFTW's planner and for the bookkeeping below.
  std::mutex lock;
  std::condition_variable changed;
  Slot slots[kMaxExponent + 1];
  std::deque<int> queue;  // real sizes waiting for a measured plan
  std::string directory = FFTPlanner::defaultWisdomDirectory();
  bool imported = false;
  bool stopping = false;
  bool measuring = false;
  bool planningAhead = true;
  std::thread worker;

  ~Planner() { stopWorker(); }

  void importWisdomLocked() {
    if (imported) return;
    imported = true;
    if (directory.empty()) return;
    std::string path = directory + "/" + kWisdomFile;
    // A missing or damaged file just means no wisdom.
    fftwf_import_wisdom_from_filename(path.c_str());
  }

  void planLocked(int e) {
    Slot& slot = slots[e];
    int n = 1 << e;
    if (!slot.real.load(std::memory_order_relaxed) || !slot.complex.load(std::memory_order_relaxed)) {
      importWisdomLocked();
      float* in = fftwf_alloc_real(n);
      fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
      fftwf_complex* data = fftwf_alloc_complex(n);
      if (!slot.real.load(std::memory_order_relaxed)) {
        fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE | FFTW_WISDOM_ONLY);
        slot.measured = plan != nullptr;
        if (!plan) {
          plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
          queueLocked(e);
        }
        slot.real.store(plan, std::memory_order_release);
      }
      if (!slot.complex.load(std::memory_order_relaxed)) {
        fftwf_plan plan = fftwf_plan_dft_1d(n, data, data, FFTW_FORWARD, FFTW_MEASURE | FFTW_WISDOM_ONLY);
        if (!plan) plan = fftwf_plan_dft_1d(n, data, data, FFTW_FORWARD, FFTW_ESTIMATE);
        slot.complex.store(plan, std::memory_order_release);
      }
      fftwf_free(data);
      fftwf_free(out);
      fftwf_free(in);
    }
  }

  void queueLocked(int e) {
    if (slots[e].queued) return;
    slots[e].queued = true;
    queue.push_back(e);
    changed.notify_all();
  }

  void run() {
    std::unique_lock guard(lock);
    for (;;) {
      changed.wait(guard, [&] { return stopping || !queue.empty(); });
      if (stopping) break;
      int e = queue.front();
      queue.pop_front();
      measuring = true;
      int n = 1 << e;
      float* in = fftwf_alloc_real(n);
      fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
      // Measuring takes the planner for up to a few seconds; reconfigurations
      // meanwhile find their plans already made.
      fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE);
      fftwf_free(out);
      fftwf_free(in);
      Slot& slot = slots[e];
      slot.queued = false;
      if (plan) {
        fftwf_plan old = slot.real.exchange(plan, std::memory_order_acq_rel);
        if (old) slot.superseded.push_back(old);
        slot.measured = true;
        char* wisdom = fftwf_export_wisdom_to_string();
        std::string dir = directory;
        guard.unlock();
        if (wisdom) {
          saveWisdom(dir, wisdom);
          std::free(wisdom);
        }
        guard.lock();
      }
      measuring = false;
      changed.notify_all();
    }
    measuring = false;
    changed.notify_all();
  }

  static void saveWisdom(const std::string& dir, const char* wisdom) {
    if (dir.empty()) return;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    std::string path = dir + "/" + kWisdomFile;
    std::string temp = path + ".tmp." + std::to_string(::getpid());
    FILE* file = std::fopen(temp.c_str(), "w");
    if (!file) return;
    bool ok = std::fputs(wisdom, file) >= 0;
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) std::remove(temp.c_str());
  }

  void startWorker() {
    std::lock_guard guard(lock);
    if (worker.joinable()) return;
    stopping = false;
    worker = std::thread([this] { run(); });
  }

  void stopWorker() {
    std::thread joining;
    {
      std::lock_guard guard(lock);
      if (!worker.joinable()) return;
      stopping = true;
      changed.notify_all();
      joining = std::move(worker);
    }
    joining.join();
  }
};

Planner& planner() {
  static Planner instance;
  return instance;
}

}  // namespace

std::string FFTPlanner::defaultWisdomDirectory() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache && *cache == '/') return std::string(cache) + "/org.specan.SpecAn";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.cache/org.specan.SpecAn";
  return {};
}

void FFTPlanner::setWisdomDirectory(const std::string& directory) {
  Planner& p = planner();
  std::lock_guard guard(p.lock);
  if (p.directory == directory) return;
  p.directory = directory;
  p.imported = false;
}

std::string FFTPlanner::wisdomDirectory() {
  Planner& p = planner();
  std::lock_guard guard(p.lock);
  return p.directory;
}

void FFTPlanner::setBackgroundPlanning(bool on) {
  if (on)
    planner().startWorker();
  else
    planner().stopWorker();
}

bool FFTPlanner::backgroundPlanning() {
  Planner& p = planner();
  std::lock_guard guard(p.lock);
  return p.worker.joinable();
}

void FFTPlanner::setPlanningAhead(bool on) {
  Planner& p = planner();
  std::lock_guard guard(p.lock);
  p.planningAhead = on;
}

void FFTPlanner::waitForBackgroundPlanning() {
  Planner& p = planner();
  std::unique_lock guard(p.lock);
  p.changed.wait(guard, [&] { return !p.worker.joinable() || p.stopping || (p.queue.empty() && !p.measuring); });
}

bool FFTPlanner::hasMeasuredPlan(int log2n) {
  if (log2n < 1 || log2n > kMaxExponent) return false;
  Planner& p = planner();
  std::lock_guard guard(p.lock);
  return p.slots[log2n].measured;
}

void FFTPlanner::shutdown() {
  Planner& p = planner();
  p.stopWorker();
  std::lock_guard guard(p.lock);
  for (Slot& slot : p.slots) {
    if (fftwf_plan plan = slot.real.exchange(nullptr)) fftwf_destroy_plan(plan);
    if (fftwf_plan plan = slot.complex.exchange(nullptr)) fftwf_destroy_plan(plan);
    for (fftwf_plan plan : slot.superseded) fftwf_destroy_plan(plan);
    slot.superseded.clear();
    slot.measured = false;
    slot.queued = false;
  }
  p.queue.clear();
  // Later plans read the wisdom file afresh.
  fftwf_forget_wisdom();
  p.imported = false;
}

void FFTPlanner::plansFor(int log2n, const std::atomic<fftwf_plan_s*>** real, fftwf_plan_s** complex) {
  Planner& p = planner();
  Slot& slot = p.slots[log2n];
  // Sizes planned before need no planner at all.
  if (!slot.real.load(std::memory_order_acquire) || !slot.complex.load(std::memory_order_acquire)) {
    std::lock_guard guard(p.lock);
    p.planLocked(log2n);
    if (p.planningAhead && log2n >= kEngineFirst && log2n <= kEngineLast) {
      for (int e = kEngineFirst; e <= kEngineLast; ++e) p.planLocked(e);
    }
  }
  *real = &slot.real;
  *complex = slot.complex.load(std::memory_order_acquire);
}
