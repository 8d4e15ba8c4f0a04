#include "app/cli/analyze/FileAnalysis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "app/cli/analyze/LevelReport.h"
#include "app/views/PrintView.h"
#include "app/formats/JsonText.h"
#include "platform/audio/ExtAudioFile.h"
#include "ui/MainThread.h"

namespace pa = platform::audio;

namespace {

// What is wrong with a sound file the layer refused for its channel count or
// rate, with the value its header states when it can be read again.
std::string statedFormatFailure(int32_t status, const std::string& path) {
  pa::AudioStreamBasicDescription stated{};
  const bool known = pa::ExtAudioFileGetStatedFormat(path.c_str(), &stated) == pa::noErr;
  if (status == pa::kAudioFileUnsupportedChannelCountError) {
    const std::string most = std::to_string(pa::kAudioBufferListCapacity);
    return known ? "has " + std::to_string(stated.mChannelsPerFrame) + " channels, more than the " + most +
                       " SpecAn reads"
                 : "has more channels than the " + most + " SpecAn reads";
  }
  const std::string highest = printedNumber("%.0f", pa::kAudioHighestSampleRate);
  if (!known) return "a sampling rate SpecAn does not read (it reads 1 to " + highest + " Hz)";
  const std::string rate = "a sampling rate of " + printedNumber("%.0f", stated.mSampleRate) + " Hz";
  return stated.mSampleRate > pa::kAudioHighestSampleRate
             ? rate + " is above the highest SpecAn reads (" + highest + " Hz)"
             : rate + " is below the lowest SpecAn reads (1 Hz)";
}

// Why the sound file at path could not be opened, by the sound-file layer's
// status.
std::string openFailure(int32_t status, const std::string& path) {
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
    case pa::kAudioFileUnsupportedChannelCountError:
    case pa::kAudioFileUnsupportedSampleRateError:
      return statedFormatFailure(status, path);
    default:
      return "cannot be read as a sound file (status " + std::to_string(status) + ")";
  }
}

// What a file that is neither a regular file nor a folder is, for messages.
const char* specialKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// What the file system says of path before the sound-file layer looks at
// it: empty when it is a file that can be read. Only regular files are
// read: a pipe or a device would have the analysis wait, with nothing said,
// for a writer that may never come.
std::string fileProblem(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    return errno == ENOENT || errno == ENOTDIR ? "no such file" : std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return "is a folder, not a sound file";
  if (!S_ISREG(info.st_mode))
    return std::string("is ") + specialKind(info.st_mode) + ", not a sound file (SpecAn reads regular files only)";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string("cannot be read: ") + std::strerror(errno);
  ::close(fd);
  return {};
}

// The lowest sampling rate analysed at an RBW. The band, 0 to half the
// rate, must hold the controller's narrowest span (10 Hz: it keeps the
// span's lower edge 10 Hz below the band's top), and the RBW twice over:
// the engine's window has bandwidth-in-bins × rate/RBW points, and from
// four times the RBW every window has at least seven, enough for its noise
// bandwidth to come within 8 % of the RBW (the Gaussian's within 1 %).
// Below, the shortest windows shrink to three to six points and miss it by
// 10 % to 75 %, and at twice the RBW one RBW is the whole band.
double lowestRate(double rbw) { return std::max(20.0, std::ceil(4.0 * rbw - 1e-6)); }

// The RBW as the options name it: 3.16, 31.6, 1000.
std::string rbwText(double rbw) { return printedNumber(rbw < 100 ? "%.3g" : "%.0f", rbw); }

// Why the file's rate cannot be analysed at the RBW of bandwidthTag; empty
// when it can.
std::string rateProblem(double rate, int bandwidthTag) {
  // The bandwidth menu's tags are ten times log10 of the RBW in Hz.
  const double rbw = std::pow(10.0, bandwidthTag * 0.1);
  const double lowest = lowestRate(rbw);
  if (rate >= lowest) return {};
  return "a sampling rate of " + printedNumber("%g", rate) + " Hz is below the lowest SpecAn analyses at RBW " +
         rbwText(rbw) + " Hz (" + printedNumber("%.0f", lowest) + " Hz)";
}

}  // namespace

FileAnalysis::FileAnalysis(const analyze::Options& options, bool withImage, const option_values::Levels& levels)
    : options_(options) {
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
  // The page's marker reads as the summary line does: the sine between bins.
  app_.sharedData.measure.precisePeak = 1;
  option_values::applyLevels(levels, app_.sharedData);
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
  controls_.axisPopup.selectItemWithTag(static_cast<int>(o.axis));
  // The controller's treatment: the CSV and the image show the trace
  // weighted and smoothed, the peak and the levels read it weighted.
  controls_.weightingPopup.selectItemWithTag(static_cast<int>(o.weighting));
  controls_.smoothingPopup.selectItemWithTag(o.smoothing);
  // The image draws the bands asked for.
  controls_.bandsPopup.selectItemWithTag(o.bands);
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
    *cause = "starts at " + printedNumber("%g", o.from) + " s, not before the end of the file (" +
             printedNumber("%.3f", duration) + " s)";
    return false;
  }
  // The span as the fields hold it: the whole band unless given; the
  // controller keeps it inside the file's band.
  if (o.lowerSpan) controls_.lowerSpanField.setStringValue(printedNumber("%.15g", *o.lowerSpan));
  controls_.upperSpanField.setStringValue(printedNumber("%.15g", o.upperSpan ? *o.upperSpan : 0.5 * input_.samplingRate()));
  // Every spectrum of the range in a running mean: no sample ends more than
  // one window.
  const double averages = o.averages ? *o.averages : static_cast<double>(std::max<int64_t>(1, input_.rangeFrames()));
  controls_.traceAverageField.setStringValue(printedNumber("%.15g", averages));
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
    *cause = openFailure(status, path);
    return false;
  }
  if (std::string problem = rateProblem(input_.samplingRate(), options_.bandwidthTag); !problem.empty()) {
    *cause = problem;
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
    *cause = "too short for a spectrum at RBW " + printedNumber("%g", app_.sharedData.span.bandwidth) + " Hz: " +
             std::to_string(frames) + (frames == 1 ? " sample (" : " samples (") +
             printedNumber("%.3f", static_cast<double>(frames) / input_.samplingRate()) + " s), and one takes " +
             std::to_string(least) + " (" + printedNumber("%.3f", static_cast<double>(least) / input_.samplingRate()) +
             " s): a window of " + std::to_string(window) + " samples, read in whole blocks of " +
             std::to_string(FileInput::kBlockLength);
    return false;
  }
  const int32_t status = input_.run();
  mainThread.drain();
  if (status == FileInput::kErrorTruncated) {
    *cause = "truncated: it ends before the " + printedNumber("%.3f", input_.durationSeconds()) + " s its header states";
    return false;
  }
  if (status != 0) {
    const double reached = options_.from + static_cast<double>(input_.samplesRead()) / input_.samplingRate();
    *cause = "read error (status " + std::to_string(status) + ") at " + printedNumber("%.3f", reached) + " s";
    return false;
  }
  const TraceData* trace = view_.trace();
  if (!trace || trace->bins <= 0 || !(trace->traces > 0)) {
    // Blocks of nothing but non-finite samples were left out, and what
    // remained holds no window.
    *cause = std::string(input_.nonFiniteSamples() > 0 ? "too few finite samples" : "too short") +
             " for a spectrum at RBW " + printedNumber("%g", app_.sharedData.span.bandwidth) +
             " Hz (" + std::to_string(input_.blocksDelivered()) + " of " + std::to_string(input_.rangeBlocks()) +
             " blocks analysed, a window of " + std::to_string(window) + " samples)";
    return false;
  }
  if (!view_.placePeakMarker()) {
    *cause = "no bin of the trace lies inside the span " + printedNumber("%.3f", app_.sharedData.span.startFrequency) +
             " to " + printedNumber("%.3f", app_.sharedData.span.endFrequency) + " Hz";
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
  if (peak.silent) return line + "silent";
  if (peak.slope) return line + "no peak in the span";
  if (!peak.power || !std::isfinite(peak.level)) return line + "no power in the span";
  std::snprintf(text, sizeof text, "peak %.3f Hz ", peak.frequency);
  line += text;
  line += levelText(peak.level);
  // A sine this near 0 Hz or half the rate merges with its image: the
  // reading is its bin's own.
  if (peak.uncertain) line += " (near the band's edge, the bin's own reading)";
  if (const double seconds = app_.recordingSecondsAveraged(); seconds > 0) {
    std::snprintf(text, sizeof text, ", averaged over %.3f s", seconds);
    line += text;
  }
  return line;
}

std::string FileAnalysis::levelText(double dB) const {
  const char* weighting = options_.weighting == dsp::Weighting::Z ? nullptr : dsp::weightingName(options_.weighting);
  return option_values::summaryLevel(app_.sharedData.levelScale, dB, weighting);
}

std::string FileAnalysis::csv() {
  const TraceData* trace = view_.measuredTrace();
  if (options_.bands > 0 && trace) {
    const SharedData::Span& span = app_.sharedData.span;
    return analyze::bandsCsv(analyze::measureLevels(*trace, span.startFrequency, span.endFrequency, span.bandwidth,
                                                    options_.bands, options_.weighting),
                             app_.sharedData.levelScale);
  }
  return app_.traceExportCsv();
}

std::string FileAnalysis::jsonLine(const std::string& name, const std::string& moreMembers) const {
  analyze::FileFacts facts;
  facts.file = name;
  facts.samplingRate = input_.samplingRate();
  facts.seconds = input_.durationSeconds();
  facts.channels = input_.channels();
  const HeadlessView::Peak& peak = view_.peak();
  if (!peak.silent && !peak.slope && peak.power && std::isfinite(peak.level)) {
    facts.peakFrequency = peak.frequency;
    facts.peakLevel = peak.level;
  }
  facts.averagedSeconds = app_.recordingSecondsAveraged();
  const SharedData::Span& span = app_.sharedData.span;
  analyze::LevelReport report;
  report.weighting = options_.weighting;
  if (const TraceData* trace = view_.measuredTrace())
    report = analyze::measureLevels(*trace, span.startFrequency, span.endFrequency, span.bandwidth, options_.bands,
                                    options_.weighting);
  return analyze::jsonLine(facts, report, options_.bands > 0, app_.sharedData.levelScale, moreMembers);
}

bool FileAnalysis::writeImage(const std::string& path, std::string* error) { return app_.exportImage(path, error); }
