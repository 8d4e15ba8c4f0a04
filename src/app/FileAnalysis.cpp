#include "app/FileAnalysis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "app/PrintView.h"
#include "platform/audio/ExtAudioFile.h"
#include "ui/MainThread.h"

namespace pa = platform::audio;

namespace {

std::string printed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Why a sound file could not be opened, by the sound-file layer's status.
std::string openFailure(int32_t status) {
  switch (status) {
    case pa::kAudioFileFileNotFoundError:
      return "no such file";
    case pa::kAudioFilePermissionsError:
      return "cannot be opened for reading";
    case pa::kAudioFileUnsupportedFileTypeError:
      return "not a sound file (not a format SpecAn reads)";
    case pa::kAudioFileInvalidFileError:
      return "damaged or truncated sound file";
    case pa::kAudioFileUnsupportedDataFormatError:
      return "a sound file in an encoding SpecAn does not read";
    case pa::kAudioFileUnspecifiedError:
      return "cannot be read as a sound file: damaged, truncated or of a kind SpecAn does not read";
    default:
      return "cannot be read as a sound file (status " + std::to_string(status) + ")";
  }
}

// What the file system says of path before the sound-file layer looks at
// it: empty when it is a file that can be read.
std::string fileProblem(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    return errno == ENOENT || errno == ENOTDIR ? "no such file" : std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return "is a folder, not a sound file";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string("cannot be read: ") + std::strerror(errno);
  ::close(fd);
  return {};
}

}  // namespace

FileAnalysis::FileAnalysis(const analyze::Options& options, bool withImage) : options_(options) {
  // The view and the input stand where the window's display and sound-card
  // input stand; no tracking generator, no popovers.
  app_.usesSettingsFile = false;
  app_.analysesRecording = true;
  app_.input = &input_;
  app_.display = &view_;
  if (withImage) {
    printView_ = std::make_unique<PrintView>();
    app_.printView = printView_.get();
  }
  setUpControls(options);
  controls_.attach(app_);
}

FileAnalysis::~FileAnalysis() {
  // Whatever the analysis queued on the main thread points into the
  // controller's traces.
  ui::MainThread::instance().drain();
}

void FileAnalysis::setUpControls(const analyze::Options& o) {
  controls_.bandwidthPopup.selectItemWithTag(o.bandwidthTag);
  controls_.windowPopup.selectItemWithTag(o.windowTag);
  controls_.detectorPopup.selectItemWithTag(o.detectorTag);
  if (o.width) controls_.printWidthField.setStringValue(std::to_string(*o.width));
  if (o.height) controls_.printHeightField.setStringValue(std::to_string(*o.height));
}

bool FileAnalysis::prepareFile(std::string* cause) {
  const analyze::Options& o = options_;
  const int channels = input_.channels();
  if (!input_.selectChannel(o.channel)) {
    *cause = "has " + std::to_string(channels) + (channels == 1 ? " channel" : " channels") + ", no channel " +
             std::to_string(o.channel);
    return false;
  }
  const double duration = input_.durationSeconds();
  if (!input_.setRange(o.from, o.to.value_or(std::numeric_limits<double>::infinity()))) {
    *cause = "starts at " + printed("%g", o.from) + " s, not before the end of the file (" +
             printed("%.3f", duration) + " s)";
    return false;
  }
  // The span as the fields hold it: the whole band unless given; the
  // controller keeps it inside the file's band.
  if (o.lowerSpan) controls_.lowerSpanField.setStringValue(printed("%.15g", *o.lowerSpan));
  controls_.upperSpanField.setStringValue(printed("%.15g", o.upperSpan ? *o.upperSpan : 0.5 * input_.samplingRate()));
  // Every spectrum of the range in a running mean: no sample ends more than
  // one window.
  const double averages = o.averages ? *o.averages : static_cast<double>(std::max<int64_t>(1, input_.rangeFrames()));
  controls_.traceAverageField.setStringValue(printed("%.15g", averages));
  return true;
}

bool FileAnalysis::run(const std::string& path, std::string* cause) {
  if (ran_) {
    *cause = "already analysed";
    return false;
  }
  ran_ = true;
  if (std::string problem = fileProblem(path); !problem.empty()) {
    *cause = problem;
    return false;
  }
  if (const int32_t status = input_.open(path); status != 0) {
    *cause = openFailure(status);
    return false;
  }
  if (!prepareFile(cause)) return false;

  // The launch configures the engine from the controls and resumes the
  // input; the input then delivers the file's blocks.
  app_.applicationDidFinishLaunching();
  ui::MainThread& mainThread = ui::MainThread::instance();
  mainThread.drain();
  // One window of the RBW in whole blocks, or nothing to analyse.
  const int64_t window = app_.spectrum->windowedBins();
  if (input_.rangeBlocks() * FileInput::kBlockLength < window) {
    const int64_t frames = input_.rangeFrames();
    const int64_t least = (window + FileInput::kBlockLength - 1) / FileInput::kBlockLength * FileInput::kBlockLength;
    *cause = "too short for a spectrum at RBW " + printed("%g", app_.sharedData.span.bandwidth) + " Hz: " +
             std::to_string(frames) + (frames == 1 ? " sample (" : " samples (") +
             printed("%.3f", static_cast<double>(frames) / input_.samplingRate()) + " s), and one takes " +
             std::to_string(least) + " (" + printed("%.3f", static_cast<double>(least) / input_.samplingRate()) +
             " s): a window of " + std::to_string(window) + " samples, read in whole blocks of " +
             std::to_string(FileInput::kBlockLength);
    return false;
  }
  const int32_t status = input_.run();
  mainThread.drain();
  if (status == FileInput::kErrorTruncated) {
    *cause = "truncated: it ends before the " + printed("%.3f", input_.durationSeconds()) + " s its header states";
    return false;
  }
  if (status != 0) {
    const double reached = options_.from + static_cast<double>(input_.samplesRead()) / input_.samplingRate();
    *cause = "read error (status " + std::to_string(status) + ") at " + printed("%.3f", reached) + " s";
    return false;
  }
  const TraceData* trace = view_.trace();
  if (!trace || trace->bins <= 0 || !(trace->traces > 0)) {
    // Blocks of nothing but non-finite samples were left out, and what
    // remained holds no window.
    *cause = std::string(input_.nonFiniteSamples() > 0 ? "too few finite samples" : "too short") +
             " for a spectrum at RBW " + printed("%g", app_.sharedData.span.bandwidth) +
             " Hz (" + std::to_string(input_.blocksDelivered()) + " of " + std::to_string(input_.rangeBlocks()) +
             " blocks analysed, a window of " + std::to_string(window) + " samples)";
    return false;
  }
  if (!view_.placePeakMarker()) {
    *cause = "no bin of the trace lies inside the span " + printed("%.3f", app_.sharedData.span.startFrequency) +
             " to " + printed("%.3f", app_.sharedData.span.endFrequency) + " Hz";
    return false;
  }
  return true;
}

std::string FileAnalysis::summaryLine(const std::string& name) const {
  const HeadlessView::Peak& peak = view_.peak();
  char text[256];
  std::snprintf(text, sizeof text, ": %g Hz, %.3f s, %d ch, ", static_cast<double>(input_.samplingRate()),
                input_.durationSeconds(), input_.channels());
  std::string line = name + text;
  if (!peak.power || !std::isfinite(peak.level)) return line + "no power in the span";
  std::snprintf(text, sizeof text, "peak %.3f Hz %.2f dB", peak.frequency, peak.level);
  line += text;
  if (const double seconds = app_.recordingSecondsAveraged(); seconds > 0) {
    std::snprintf(text, sizeof text, ", averaged over %.3f s", seconds);
    line += text;
  }
  return line;
}

std::string FileAnalysis::csv() { return app_.traceExportCsv(); }

bool FileAnalysis::writeImage(const std::string& path, std::string* error) { return app_.exportImage(path, error); }
