#include "app/cli/analyze/AnalyzeCommand.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <system_error>

#include "app/cli/analyze/AnalyzeOptions.h"
#include "app/cli/analyze/DistortionReport.h"
#include "app/cli/analyze/FileAnalysis.h"
#include "app/cli/analyze/IntermodulationReport.h"
#include "app/cli/analyze/ParallelFiles.h"
#include "app/cli/analyze/SpectrogramExport.h"
#include "app/headless/HeadlessApplication.h"
#include "dsp/FFTPlanner.h"
#include "platform/AtomicFile.h"
#include "platform/audio/Provider.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/MainThread.h"

namespace fs = std::filesystem;

namespace {

void say(const std::string& line) {
  std::fputs(("specan: " + line + "\n").c_str(), stderr);
  std::fflush(stderr);
}

// Where one kind of output goes: a file, or a folder that takes one file per
// input, named after it.
struct OutputTarget {
  std::string option;  // as given, for messages: "--csv=out/"
  std::string target;  // "" for none
  const char* extension;

  bool wanted() const { return !target.empty(); }
  bool toStandardOutput() const { return target == "-"; }
  bool isFolder() const {
    std::error_code ignored;
    return !target.empty() && (target.back() == '/' || fs::is_directory(target, ignored));
  }
  // The output of the sound file at input.
  std::string pathFor(const std::string& input) const {
    if (!isFolder()) return target;
    fs::path name = fs::path(input).filename();
    name.replace_extension(extension);
    return (fs::path(target) / name).string();
  }
};

// A mistake in where the outputs go, before anything is analysed: several
// files into one file, or two files onto one output.
std::optional<std::string> checkTargets(const OutputTarget& output, const std::vector<std::string>& files) {
  if (!output.wanted() || output.toStandardOutput()) return std::nullopt;
  if (files.size() > 1 && !output.isFolder())
    return output.option + ": " + std::to_string(files.size()) +
           " files need a folder for their outputs (an existing one, or a name ending in '/')";
  std::map<std::string, std::string> taken;
  for (const std::string& file : files) {
    const std::string path = output.pathFor(file);
    auto [at, added] = taken.emplace(fs::path(path).lexically_normal().string(), file);
    if (!added) return output.option + ": " + at->second + " and " + file + " would both be written to " + path;
  }
  return std::nullopt;
}

// Makes the folder path goes into, when it is missing; false with the
// reason said.
bool makeFolderFor(const std::string& path) {
  const fs::path folder = fs::path(path).parent_path();
  if (folder.empty()) return true;
  std::error_code error;
  fs::create_directories(folder, error);
  if (!error) return true;
  say(folder.string() + ": cannot make the folder: " + error.message());
  return false;
}

// The outputs of one analysed file; false when any was not written (said).
bool writeOutputs(FileAnalysis& analysis, const std::string& file, const OutputTarget& csv,
                  const OutputTarget& png) {
  bool written = true;
  if (png.wanted()) {
    const std::string path = png.pathFor(file);
    std::string error;
    if (!makeFolderFor(path)) {
      written = false;
    } else if (!analysis.writeImage(path, &error)) {
      say(path + ": the image was not written: " + error);
      written = false;
    }
  }
  if (csv.wanted()) {
    const std::string text = analysis.csv();
    if (csv.toStandardOutput()) {
      if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        say("standard output: the CSV was not written");
        written = false;
      }
    } else {
      const std::string path = csv.pathFor(file);
      std::string error;
      if (!makeFolderFor(path)) {
        written = false;
      } else if (!platform::writeFileAtomically(path, text, &error)) {
        say(path + ": the CSV was not written: " + error);
        written = false;
      }
    }
  }
  return written;
}

// What the command runs on while it runs: its own main thread, an audio
// layer without devices (the controller's device manager finds none, and no
// sound card is opened), and for an image the Qt application on the
// offscreen platform, whatever the environment says.
class Environment {
 public:
  explicit Environment(bool withImage) {
    ui::MainThread::install(&mainThread_);
    // A file's analysis configures the engine once.
    FFTPlanner::setPlanningAhead(false);
    platform::audio::simulated::Options none;
    none.clock = platform::audio::simulated::ClockMode::Stepped;
    none.defaultDeviceSet = false;
    platform::audio::installProvider(std::make_shared<platform::audio::simulated::SimulatedProvider>(none));
    if (withImage) application_ = std::make_unique<HeadlessApplication>();
  }
  ~Environment() {
    application_.reset();
    platform::audio::installProvider(nullptr);
    FFTPlanner::shutdown();
    FFTPlanner::setPlanningAhead(true);
    ui::MainThread::install(nullptr);
  }
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;

 private:
  ui::ManualMainThread mainThread_;
  std::unique_ptr<HeadlessApplication> application_;
};

// Analyses one sound file and writes its outputs and its line; false when
// it failed (said on standard error).
bool analyseFile(const analyze::Options& options, const std::string& file, const OutputTarget& csv,
                 const OutputTarget& png, const OutputTarget& spectrogram, const option_values::Levels& levels) {
  bool failed = false;
  FileAnalysis analysis(options, png.wanted(), levels);
  // The spectrogram takes the analysis's spectra as they come.
  std::optional<SpectrogramExport> spectrogramImage;
  if (spectrogram.wanted()) spectrogramImage.emplace(options, analysis);
  std::string cause;
  const bool analysed = analysis.run(file, &cause);
  // The file is damaged, but its finite samples are analysed as a live
  // input's are: the outputs are still written.
  if (const int64_t nonFinite = analysis.nonFiniteSamples(); nonFinite > 0) {
    say(file + ": " + std::to_string(nonFinite) + (nonFinite == 1 ? " non-finite sample" : " non-finite samples"));
    if (!analysis.nonFiniteNegligible()) failed = true;
  }
  if (!analysed) {
    say(file + ": " + cause);
    failed = true;
    return false;
  }
  if (!writeOutputs(analysis, file, csv, png)) failed = true;
  if (spectrogramImage) {
    const std::string path = spectrogram.pathFor(file);
    if (!makeFolderFor(path)) {
      failed = true;
    } else if (!writeSpectrogram(*spectrogramImage, path, &cause)) {
      say(file + ": the spectrogram: " + cause);
      failed = true;
    }
  }
  // The distortion readout analyses the file again, with its own window.
  std::optional<dsp::DistortionReading> distortion;
  if (options.distortion) {
    distortion = analyze::readDistortion(options, file, &cause);
    if (!distortion) {
      say(file + ": the distortion readout: " + cause);
      failed = true;
    }
  }
  std::optional<dsp::IntermodulationReading> intermodulation;
  if (options.imd) {
    intermodulation = analyze::readIntermodulation(options, file, &cause);
    if (!intermodulation) {
      say(file + ": the intermodulation readout: " + cause);
      failed = true;
    }
  }
  if (options.json) {
    std::string members = distortion ? analyze::distortionJson(*distortion) : std::string();
    if (intermodulation) members += (members.empty() ? "" : ",") + analyze::intermodulationJson(*intermodulation);
    std::fputs((analysis.jsonLine(file, members) + "\n").c_str(), stdout);
    std::fflush(stdout);
  } else if (!csv.toStandardOutput()) {
    std::string readout = distortion ? analyze::distortionSummary(*distortion) : std::string();
    if (intermodulation) readout += analyze::intermodulationSummary(*intermodulation);
    std::fputs((analysis.summaryLine(file) + readout + "\n").c_str(), stdout);
    std::fflush(stdout);
  }
  return !failed;
}

}  // namespace

int runAnalyzeCommand(const std::vector<std::string>& arguments) {
  analyze::Parsed parsed = analyze::parse(arguments);
  if (!parsed.options) {
    if (parsed.status == 0) {
      std::fputs(parsed.message.c_str(), stdout);
    } else {
      std::fputs((parsed.message + "\n").c_str(), stderr);
    }
    return parsed.status;
  }
  const analyze::Options& options = *parsed.options;
  const OutputTarget csv{"--csv=" + options.csv, options.csv, ".csv"};
  const OutputTarget png{"--png=" + options.png, options.png, ".png"};
  const OutputTarget spectrogram{"--spectrogram=" + options.spectrogram, options.spectrogram, ".spectrogram.png"};
  for (const OutputTarget* output : {&csv, &png, &spectrogram}) {
    if (std::optional<std::string> mistake = checkTargets(*output, options.files)) {
      say(*mistake);
      return 2;
    }
  }
  if (png.wanted() && spectrogram.wanted())
    for (const std::string& file : options.files)
      if (fs::path(png.pathFor(file)).lexically_normal() == fs::path(spectrogram.pathFor(file)).lexically_normal()) {
        say("--png and --spectrogram would both write " + png.pathFor(file));
        return 2;
      }

  // A calibration file that cannot be used stops the command before any
  // sound file is read.
  std::string refused;
  const std::optional<option_values::Levels> levels = option_values::levelsOf(options.levels, &refused);
  if (!levels) {
    say(refused);
    return 2;
  }

  // One file at a time in this process, else each in a process of its own.
  const int jobs = options.jobs > 0 ? options.jobs : analyze::processorCount();
  if (jobs == 1 || options.files.size() == 1) {
    Environment environment(png.wanted() || spectrogram.wanted());
    bool failed = false;
    for (const std::string& file : options.files)
      if (!analyseFile(options, file, csv, png, spectrogram, *levels)) failed = true;
    return failed ? 1 : 0;
  }
  const bool analysed = analyze::analyseInProcesses(options.files, jobs, [&](const std::string& file) {
    Environment environment(png.wanted() || spectrogram.wanted());
    return analyseFile(options, file, csv, png, spectrogram, *levels);
  });
  return analysed ? 0 : 1;
}
