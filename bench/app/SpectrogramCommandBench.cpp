// `specan analyze --spectrogram` on a long file, against sox's spectrogram
// of the same file in the same run.
//
// Makes a 10-minute 48 kHz mono 16-bit WAVE file (a 1 kHz sine of amplitude
// 0.5 and a sweep from 100 Hz to 20 kHz of amplitude 0.1, in white noise of
// RMS 0.01), then times as whole processes, pinned to one core, the best of
// --runs runs (3) each:
//
//   - `specan analyze --spectrogram=FILE.png FILE` at RBW 10 Hz, its
//     default 800 x 500 page (a 686 x 420 history), every spectrum of the
//     analysis (16384 points, a window every 1/11 of the Gaussian's frame)
//     taken into it;
//   - `specan analyze FILE`, the same analysis without the image, for the
//     spectrogram's share of the command;
//   - `sox FILE -n spectrogram -o FILE.png` with sox's defaults (an 800 x 257
//     history: 512-point Hann windows, about 94 Hz apart in frequency), and
//     with its finest frequency resolution on our history's size (-x 686
//     -y 1025: 2048 points, 23 Hz apart), when sox is installed (a Debian
//     package in scripts/setup); without it those are skipped. sox cannot
//     resolve 10 Hz: its height, and so its window, ends at 1200.
//
// It prints each in times real time, the ratio of sox's wall time to ours,
// and the command line that reproduces the figures. Goal: faster than sox.
//
//   spectrogram_command_bench [--minutes=10] [--runs=3] [--cpu=0]

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
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio/AFSoundfile.h"

#ifndef BENCH_SOURCE_DIR
#define BENCH_SOURCE_DIR "."
#endif
#ifndef BENCH_BINARY_DIR
#define BENCH_BINARY_DIR "build"
#endif

namespace fs = std::filesystem;

namespace {

constexpr double kRate = 48000;

bool makeFile(const std::string& path, double minutes) {
  std::unique_ptr<AFSoundfile> file = AFSoundfile::initAsOutput();
  if (file->createURLTypeSamplingRateChannelsOverWrite(path, AFSoundfile::kTypeWAVE, float(kRate), 1, true) != 0)
    return false;
  const auto total = static_cast<int64_t>(minutes * 60 * kRate);
  const double seconds = minutes * 60;
  constexpr int32_t kChunk = 48000;
  std::vector<float> samples(kChunk);
  std::mt19937 random(7);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  double sweepPhase = 0;
  for (int64_t done = 0; done < total; done += kChunk) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(kChunk, total - done));
    for (int32_t i = 0; i < n; ++i) {
      const double t = double(done + i) / kRate;
      sweepPhase += (100.0 + (20000.0 - 100.0) * t / seconds) / kRate;
      sweepPhase -= std::floor(sweepPhase);
      samples[size_t(i)] = float(0.5 * std::sin(2 * M_PI * std::fmod(1000.0 * t, 1.0)) +
                                 0.1 * std::sin(2 * M_PI * sweepPhase)) +
                           noise(random);
    }
    float* buffers[1] = {samples.data()};
    if (file->putBuffers(buffers, 1, n) != 0) return false;
  }
  file->close();
  return true;
}

struct Timing {
  double wall = 0;  // seconds
  double cpu = 0;   // user + system seconds of the child
  int status = -1;
};

// Runs argv pinned to cpu, its output to /dev/null.
Timing timeProcess(const std::vector<std::string>& args, int cpu) {
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
    if (!std::freopen("/dev/null", "w", stdout)) _exit(126);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
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

Timing best(const std::vector<std::string>& args, int cpu, int runs) {
  Timing fastest;
  for (int r = 0; r < runs; ++r) {
    const Timing t = timeProcess(args, cpu);
    if (t.status != 0) return t;
    if (r == 0 || t.wall < fastest.wall) fastest = t;
  }
  return fastest;
}

double optionValue(int argc, char** argv, const char* name, double fallback) {
  const size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return std::atof(argv[i] + length + 1);
  return fallback;
}

bool soxInstalled() { return std::system("sox --version >/dev/null 2>&1") == 0; }

}  // namespace

int main(int argc, char** argv) {
  const double minutes = optionValue(argc, argv, "--minutes", 10);
  const int runs = std::max(1, int(optionValue(argc, argv, "--runs", 3)));
  const int cpu = int(optionValue(argc, argv, "--cpu", 0));
  const double seconds = minutes * 60;

  std::string pattern = (fs::temp_directory_path() / "specan-spectrogram-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const fs::path folder = pattern;
  const std::string wave = (folder / "long.wav").string();
  std::printf("Writing %.0f s of 48 kHz mono 16-bit WAVE ...\n", seconds);
  std::fflush(stdout);
  if (!makeFile(wave, minutes)) {
    std::fprintf(stderr, "spectrogram_command_bench: could not write %s\n", wave.c_str());
    return 1;
  }
  // The file is in the page cache for all: it was just written.
  const Timing ours =
      best({SPECAN_EXECUTABLE, "analyze", "--rbw=10", "--spectrogram=" + (folder / "specan.png").string(), wave}, cpu,
           runs);
  const Timing plain = best({SPECAN_EXECUTABLE, "analyze", "--rbw=10", wave}, cpu, runs);
  if (ours.status != 0 || plain.status != 0) {
    std::fprintf(stderr, "spectrogram_command_bench: specan analyze failed (status %d, %d)\n", ours.status,
                 plain.status);
    return 1;
  }
  std::printf("spectrogram_command_bench: %.0f s of 48 kHz mono 16-bit WAVE (%.1f MB), on cpu %d, best of %d\n",
              seconds, double(fs::file_size(wave)) / 1e6, cpu, runs);
  std::printf("specan analyze --spectrogram (RBW 10 Hz, 686 x 420): %.3f s wall, %.3f s CPU: %.0fx real time\n",
              ours.wall, ours.cpu, seconds / ours.wall);
  std::printf("specan analyze without the image:                   %.3f s wall, %.3f s CPU: the spectrogram "
              "%.0f %% of the command\n",
              plain.wall, plain.cpu, 100 * (ours.wall - plain.wall) / ours.wall);
  if (!soxInstalled()) {
    std::printf("sox: not measured (sox is not installed; scripts/setup installs it)\n");
  } else {
    struct Variant {
      const char* name;
      std::vector<std::string> options;
    } variants[] = {{"sox spectrogram, defaults (800 x 257):       ", {}},
                    {"sox spectrogram, -x 686 -y 1025 (2048 points):", {"-x", "686", "-y", "1025"}}};
    for (const Variant& v : variants) {
      std::vector<std::string> args{"sox", wave, "-n", "spectrogram"};
      args.insert(args.end(), v.options.begin(), v.options.end());
      args.insert(args.end(), {"-o", (folder / "sox.png").string()});
      const Timing sox = best(args, cpu, runs);
      if (sox.status != 0) {
        std::printf("%s failed (status %d)\n", v.name, sox.status);
        continue;
      }
      std::printf("%s %.3f s wall, %.3f s CPU: %.0fx real time; sox / specan: %.2fx wall, %.2fx CPU "
                  "(goal > 1)\n",
                  v.name, sox.wall, sox.cpu, seconds / sox.wall, sox.wall / ours.wall, sox.cpu / ours.cpu);
    }
  }
  std::printf("# Reproduce:\n#   cmake -S %s -B %s -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPECAN_BUILD_BENCH=ON && "
              "\\\n#   cmake --build %s --target specan spectrogram_command_bench && "
              "%s/bench/app/spectrogram_command_bench --runs=%d\n",
              BENCH_SOURCE_DIR, BENCH_BINARY_DIR, BENCH_BINARY_DIR, BENCH_BINARY_DIR, runs);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
