#include "endpoints/FileInput.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "audio/AFSoundfile.h"
#include "endpoints/FiniteSamples.h"
#include "ui/MainThread.h"

FileInput::FileInput(InputController* controller) : controller_(controller) {}

FileInput::~FileInput() = default;

int32_t FileInput::open(const std::string& path) {
  file_.reset();
  std::unique_ptr<AFSoundfile> file = AFSoundfile::initAsInput();
  // Every channel is read; the selected one is picked from them, so a file
  // of any channel count up to the layer's 64 works alike.
  const int32_t status = file->openURL(path);
  if (status != 0) return status;
  file_ = std::move(file);
  selectedChannel_ = 1;
  rangeStart_ = 0;
  rangeEnd_ = lengthFrames();
  return 0;
}

bool FileInput::isOpen() const { return file_ && file_->isOpen(); }

float FileInput::samplingRate() const { return isOpen() ? file_->samplingRate() : 0.0f; }

int32_t FileInput::channels() const { return isOpen() ? file_->channels() : 0; }

int64_t FileInput::lengthFrames() const {
  if (!isOpen()) return 0;
  return std::llround(static_cast<double>(file_->duration()) * static_cast<double>(file_->samplingRate()));
}

double FileInput::durationSeconds() const {
  const float rate = samplingRate();
  return rate > 0 ? static_cast<double>(lengthFrames()) / rate : 0.0;
}

bool FileInput::selectChannel(int32_t channel) {
  if (channel < 1 || channel > channels()) return false;
  selectedChannel_ = channel;
  return true;
}

bool FileInput::setRange(double fromSeconds, double toSeconds) {
  const double rate = samplingRate();
  const int64_t length = lengthFrames();
  if (!(rate > 0) || !(fromSeconds >= 0) || !(toSeconds > fromSeconds)) return false;
  const double from = std::round(fromSeconds * rate);
  if (!(from < static_cast<double>(length))) return false;
  const double to = std::round(std::min(toSeconds * rate, static_cast<double>(length)));
  rangeStart_ = static_cast<int64_t>(from);
  rangeEnd_ = std::max(rangeStart_, static_cast<int64_t>(to));
  return true;
}

int32_t FileInput::run() {
  blocksDelivered_ = 0;
  samplesRead_ = 0;
  nonFiniteSamples_ = 0;
  nonFiniteStretches_ = 0;
  if (!isOpen() || !controller_) return 0;
  const float rate = file_->samplingRate();
  const int32_t fileChannels = file_->channels();
  file_->cueTo(static_cast<float>(static_cast<double>(rangeStart_) / rate));

  // One block per file channel; the selected one goes to the controller.
  std::vector<float> storage(static_cast<size_t>(fileChannels) * kBlockLength);
  std::array<float*, AFSoundfile::kMaxChannels> buffers{};
  for (int32_t c = 0; c < fileChannels; ++c) buffers[static_cast<size_t>(c)] = storage.data() + c * kBlockLength;
  float* selected = buffers[static_cast<size_t>(selectedChannel_ - 1)];
  bool inNonFinite = false;

  ui::MainThread& mainThread = ui::MainThread::instance();
  int64_t position = rangeStart_;
  while (running_ && rangeEnd_ - position >= kBlockLength) {
    int32_t got = 0;
    const int32_t status = file_->getBuffersInner(buffers.data(), fileChannels, kBlockLength, &got);
    if (status != 0) return status;
    if (got < kBlockLength) {
      // The length comes as float seconds, exact to a few frames in a long
      // file: only an end clearly before the stated one is a truncation.
      const int64_t slack = 1 + static_cast<int64_t>(std::ldexp(static_cast<double>(rangeEnd_), -22));
      return position + got + slack < rangeEnd_ ? kErrorTruncated : 0;
    }
    position += got;
    samplesRead_ += got;
    const finite_samples::Count found = finite_samples::copy(selected, selected, kBlockLength, inNonFinite);
    nonFiniteSamples_ += found.samples;
    nonFiniteStretches_ += found.stretches;
    if (finite_samples::blockIsLost(found.samples, kBlockLength)) continue;
    controller_->newDataFromInput(selected, rate);
    ++blocksDelivered_;
    // What the block queued (the trace's averaging step) runs before the
    // next block, as the event loop runs it between two live blocks.
    mainThread.drain();
  }
  return 0;
}

void FileInput::applicationFinishLaunching(platform::PropertyDictionary&, AFManager&) {}

void FileInput::applicationTerminating(platform::PropertyDictionary&) {}

float FileInput::pause() {
  running_ = false;
  return samplingRate();
}

void FileInput::resume() { running_ = true; }

EndpointIoHealth FileInput::ioHealth() {
  EndpointIoHealth health;
  health.gaps = static_cast<uint64_t>(nonFiniteStretches_);
  health.lostSamples = static_cast<uint64_t>(nonFiniteSamples_);
  return health;
}
