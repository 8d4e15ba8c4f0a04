// `specan analyze` on a long file, against scipy in the same run.
//
// Makes a 10-minute 48 kHz stereo 16-bit WAVE file (channel 1: a 1 kHz sine
// of amplitude 0.5 in white noise of RMS 0.01; channel 2: the noise alone),
// then times, pinned to one core:
//
//   - the analyze command in this process (runAnalyzeCommand, what `specan
//     analyze --csv=… FILE` runs after the program has loaded) at RBW
//     10 Hz: opening and decoding the file, launching the controller, its
//     block path, engine and averaging, the CSV written;
//   - scipy (analyze_welch.py beside this file), likewise in its own
//     process after its start and imports: scipy.io.wavfile.read and
//     scipy.signal.welch over channel 1 with the engine's window length,
//     FFT length and hop for a sound file at RBW 10 Hz, asked of the engine
//     itself (16384 points, a spectrum every 1489 samples);
//   - scipy likewise at half the window's length apart (its default
//     overlap), for scale only: that average takes 5.5 times fewer spectra
//     and weighs the samples unevenly;
//   - once, the specan executable as a whole, start-up included, for the
//     cost of loading the program.
//
// The best of --runs runs (3) counts, for both: on a machine that runs other
// work, a slower run only measures the interruptions. It prints each as
// times real time, the ratio in wall and in CPU time, and the command line
// that reproduces the figures. Goals: the command at least 500x real time,
// and at least twice as fast as scipy.
//
//   analyze_bench [--minutes=10] [--runs=3] [--cpu=0]
//   analyze_bench --schedule   (prints the engine's --window= --hop= --fft=
//                               for analyze_welch.py, and nothing else)

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/cli/analyze/AnalyzeCommand.h"
#include "audio/AFSoundfile.h"
#include "dsp/Spectrum.h"

#ifndef ANALYZE_BENCH_SOURCE_DIR
#define ANALYZE_BENCH_SOURCE_DIR "."
#endif
#ifndef ANALYZE_BENCH_BINARY_DIR
#define ANALYZE_BENCH_BINARY_DIR "build"
#endif

namespace fs = std::filesystem;

namespace {

constexpr double kRate = 48000;

bool makeFile(const std::string& path, double minutes) {
  std::unique_ptr<AFSoundfile> file = AFSoundfile::initAsOutput();
  if (file->createURLTypeSamplingRateChannelsOverWrite(path, AFSoundfile::kTypeWAVE, float(kRate), 2, true) != 0)
    return false;
  const auto total = static_cast<int64_t>(minutes * 60 * kRate);
  constexpr int32_t kChunk = 48000;
  std::vector<float> left(kChunk), right(kChunk);
  std::mt19937 random(7);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  for (int64_t done = 0; done < total; done += kChunk) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(kChunk, total - done));
    for (int32_t i = 0; i < n; ++i) {
      right[size_t(i)] = noise(random);
      left[size_t(i)] = float(0.5 * std::sin(2 * M_PI * 1000.0 * double(done + i) / kRate)) + right[size_t(i)];
    }
    float* buffers[2] = {left.data(), right.data()};
    if (file->putBuffers(buffers, 2, n) != 0) return false;
  }
  file->close();
  return true;
}

struct Timing {
  double wall = 0;  // seconds
  double cpu = 0;   // user + system seconds of the child
  int status = -1;
};

// Runs argv pinned to cpu, its standard output to outPath.
Timing timeProcess(const std::vector<std::string>& args, int cpu, const std::string& outPath) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
    if (std::FILE* out = std::freopen(outPath.c_str(), "w", stdout); !out) _exit(126);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  Timing t;
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  t.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return t;
}

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Runs the analyze command here, its standard output to outPath.
Timing timeCommand(const std::vector<std::string>& args, const std::string& outPath) {
  std::fflush(stdout);
  const int saved = dup(1);
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(out, 1);
  close(out);
  const double cpu = processCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  Timing t;
  t.status = runAnalyzeCommand(args);
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.cpu = processCpuSeconds() - cpu;
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  return t;
}

std::string firstLineOf(const std::string& path, const char* prefix) {
  std::FILE* in = std::fopen(path.c_str(), "r");
  if (!in) return {};
  char line[512];
  std::string found;
  while (std::fgets(line, sizeof line, in))
    if (std::strncmp(line, prefix, std::strlen(prefix)) == 0) {
      found = line;
      if (!found.empty() && found.back() == '\n') found.pop_back();
      break;
    }
  std::fclose(in);
  return found;
}

double optionValue(int argc, char** argv, const char* name, double fallback) {
  const size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return std::atof(argv[i] + length + 1);
  return fallback;
}

// The engine's schedule for a sound file at RBW 10 Hz, 48 kHz, the
// command's default Gaussian window and full span, as analyze_welch.py's
// options.
std::string engineSchedule() {
  Spectrum engine(10.0f, float(kRate), WindowShape::Gaussian);
  engine.setEvenSchedule(true);
  return "--window=" + std::to_string(engine.windowedBins()) + " --hop=" + std::to_string(engine.evenHop()) +
         " --fft=" + std::to_string(engine.fftLength());
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find(' ', at), text.size());
    if (end > at) out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

struct ScipyTiming {
  Timing process;
  double wall = 0, cpu = 0;
  std::string peak;
};

ScipyTiming timeScipy(const std::string& script, const std::string& wave, const std::vector<std::string>& schedule,
                      int runs, int cpu, const std::string& outPath) {
  std::vector<std::string> args = {"/usr/bin/python3", script, wave, std::to_string(runs), std::to_string(cpu)};
  args.insert(args.end(), schedule.begin(), schedule.end());
  ScipyTiming t;
  t.process = timeProcess(args, cpu, outPath);
  const std::string line = firstLineOf(outPath, "scipy_seconds");
  t.peak = firstLineOf(outPath, "scipy_peak");
  if (!line.empty()) std::sscanf(line.c_str(), "scipy_seconds %lf cpu %lf", &t.wall, &t.cpu);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--schedule") == 0) {
      std::printf("%s\n", engineSchedule().c_str());
      return 0;
    }
  const double minutes = optionValue(argc, argv, "--minutes", 10);
  const int runs = std::max(1, int(optionValue(argc, argv, "--runs", 3)));
  const int cpu = int(optionValue(argc, argv, "--cpu", 0));
  const double seconds = minutes * 60;

  std::string pattern = (fs::temp_directory_path() / "specan-analyze-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const fs::path folder = pattern;
  const std::string wave = (folder / "ten-minutes.wav").string();
  std::printf("Writing %.0f s of 48 kHz stereo 16-bit WAVE ...\n", seconds);
  std::fflush(stdout);
  if (!makeFile(wave, minutes)) {
    std::fprintf(stderr, "analyze_bench: could not write %s\n", wave.c_str());
    return 1;
  }

  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);

  // The file is in the page cache for all: it was just written.
  const std::string csv = "--csv=" + (folder / "trace.csv").string();
  const std::string summary = (folder / "summary.txt").string();
  std::vector<Timing> ours;
  for (int r = 0; r < runs; ++r) {
    ours.push_back(timeCommand({"--rbw=10", csv, wave}, summary));
    if (ours.back().status != 0) {
      std::fprintf(stderr, "analyze_bench: the analyze command failed (status %d)\n", ours.back().status);
      return 1;
    }
  }
  std::sort(ours.begin(), ours.end(), [](const Timing& a, const Timing& b) { return a.wall < b.wall; });
  const Timing& specan = ours.front();
  const std::string specanLine = firstLineOf(summary, wave.c_str());
  const Timing whole = timeProcess({SPECAN_EXECUTABLE, "analyze", "--rbw=10", csv, wave}, cpu, summary);

  const std::string script = std::string(ANALYZE_BENCH_SOURCE_DIR) + "/bench/app/analyze_welch.py";
  const std::string schedule = engineSchedule();
  const ScipyTiming scipy = timeScipy(script, wave, words(schedule), runs, cpu, (folder / "scipy.txt").string());
  // Half a window apart: scipy's default overlap.
  Spectrum engine(10.0f, float(kRate), WindowShape::Gaussian);
  const ScipyTiming halves = timeScipy(
      script, wave,
      {"--window=" + std::to_string(engine.windowedBins()), "--hop=" + std::to_string(engine.windowedBins() / 2),
       "--fft=" + std::to_string(engine.fftLength())},
      runs, cpu, (folder / "scipy-halves.txt").string());

  std::printf("analyze_bench: %.0f s of 48 kHz stereo 16-bit WAVE (%.1f MB), RBW 10 Hz, Gaussian, on cpu %d, "
              "best of %d\n",
              seconds, double(fs::file_size(wave)) / 1e6, cpu, runs);
  std::printf("specan analyze, in process: %.3f s wall, %.3f s CPU: %.0fx real time (goal >= 500x)\n", specan.wall,
              specan.cpu, seconds / specan.wall);
  std::printf("  %s\n", specanLine.c_str());
  std::printf("specan analyze, whole program with its start-up: %.3f s wall, %.3f s CPU: %.0fx real time\n",
              whole.wall, whole.cpu, seconds / whole.wall);
  if (scipy.process.status != 0 || scipy.wall <= 0) {
    std::printf("scipy: not measured (python3 with numpy and scipy is needed: %s)\n", script.c_str());
  } else {
    std::printf("scipy wavfile.read + welch at the engine's schedule (%s): %.3f s wall, %.3f s CPU: %.0fx real "
                "time\n",
                schedule.c_str(), scipy.wall, scipy.cpu, seconds / scipy.wall);
    std::printf("  %s\n", scipy.peak.c_str());
    std::printf("speed-up (scipy / specan analyze in process): %.2fx in wall time, %.2fx in CPU time (goal >= 2)\n",
                scipy.wall / specan.wall, scipy.cpu / specan.cpu);
    if (halves.process.status == 0 && halves.wall > 0)
      std::printf("for scale, scipy with windows half a window apart (5.5x fewer spectra): %.3f s wall, %.3f s "
                  "CPU: %.2fx specan's wall time\n",
                  halves.wall, halves.cpu, halves.wall / specan.wall);
  }
  std::printf("# Reproduce:\n#   cmake -S %s -B %s -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo && \\\n"
              "#   cmake --build %s --target specan analyze_bench && %s/bench/app/analyze_bench --runs=%d\n",
              ANALYZE_BENCH_SOURCE_DIR, ANALYZE_BENCH_BINARY_DIR, ANALYZE_BENCH_BINARY_DIR, ANALYZE_BENCH_BINARY_DIR,
              runs);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
