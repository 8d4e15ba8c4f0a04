#pragma once
// The specan executable run as a script runs it, and readers of what it
// prints: the CSV of a trace and the summary lines of `specan analyze`.
// SPECAN_EXECUTABLE is the executable's path (a compile definition).

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TempFolder.h"

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
  bool timedOut = false;  // killed after the time it was given
};

// Runs specan with args, its settings folder at config, without a display;
// standard output and error are collected in files of scratch. Given
// timeoutSeconds, a run still going then is killed (timedOut).
inline Result specan(const std::vector<std::string>& args, const std::string& config,
                     const testsupport::TempFolder& scratch, double timeoutSeconds = 0) {
  const std::string outPath = scratch.file("stdout"), errPath = scratch.file("stderr");
  const pid_t child = fork();
  if (child == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>("specan")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(SPECAN_EXECUTABLE, argv.data());
    _exit(127);
  }
  int status = 0;
  Result run;
  if (timeoutSeconds > 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (::waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        run.timedOut = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  } else {
    ::waitpid(child, &status, 0);
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = testsupport::TempFolder::read(outPath);
  run.err = testsupport::TempFolder::read(errPath);
  return run;
}

struct CsvRow {
  double frequency;
  double level;
};

// The CSV's comment lines by their key, and its rows.
struct Csv {
  std::map<std::string, std::string> header;
  std::vector<CsvRow> rows;
};

inline Csv parseCsv(const std::string& text) {
  Csv csv;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# ", 0) == 0) {
      const std::size_t colon = line.find(": ");
      if (colon != std::string::npos) csv.header[line.substr(2, colon - 2)] = line.substr(colon + 2);
    } else if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) {
      const std::size_t comma = line.find(',');
      // An empty level, a bin without power, as minus infinity.
      const std::string level = line.substr(comma + 1);
      csv.rows.push_back({std::stod(line.substr(0, comma)),
                          level.empty() ? -std::numeric_limits<double>::infinity() : std::stod(level)});
    }
  }
  return csv;
}

// "FILE: RATE Hz, SECONDS s, CHANNELS ch, peak FREQUENCY Hz LEVEL dB"
struct Summary {
  std::string file;
  double rate = 0, seconds = 0, channels = 0, frequency = 0, level = 0;
};

inline std::vector<Summary> parseSummaries(const std::string& text) {
  std::vector<Summary> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    Summary s;
    const std::size_t colon = line.rfind(": ");
    if (colon == std::string::npos) continue;
    s.file = line.substr(0, colon);
    if (std::sscanf(line.c_str() + colon + 2, "%lf Hz, %lf s, %lf ch, peak %lf Hz %lf dB", &s.rate, &s.seconds,
                    &s.channels, &s.frequency, &s.level) == 5)
      lines.push_back(s);
  }
  return lines;
}

}  // namespace
