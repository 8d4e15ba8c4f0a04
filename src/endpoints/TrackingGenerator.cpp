#include "endpoints/TrackingGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <optional>
#include <string>

#include "audio/AFManager.h"
#include "audio/AFOutputSoundcard.h"
#include "endpoints/Sweep.h"
#include "platform/PropertyList.h"
#include "ui/MainThread.h"
#include "ui/PopUpButton.h"
#include "ui/Slider.h"

TrackingGenerator::~TrackingGenerator() {
  card_.store(nullptr, std::memory_order_release);
  if (soundcard_ && soundcard_->isRunning()) soundcard_->stop();
  soundcard_.reset();
}

// --- launch and termination

void TrackingGenerator::applicationFinishLaunching(platform::PropertyDictionary& settings, AFManager& manager) {
  selectedChannel_.store(1);
  const std::optional<double> level = settings.number(kLevelKey);
  setAmplitude(level ? std::pow(10.0, *level / 20) : kAmplitude);
  {
    std::lock_guard guard(publishLock_);
    pending_.suspended = false;
    publish();
  }
  setInterface(channelPopup, &TrackingGenerator::channelChanged);
  soundcard_ = manager.newOutputSoundcard();
  card_.store(soundcard_.get(), std::memory_order_release);
  if (!soundcard_) return;

  soundcard_->setManagedDeviceMenu(devicePopup);
  if (const std::string* name = settings.string(kSoundCardKey)) soundcard_->selectDeviceName(*name);
  soundcard_->setManagedSourceMenu(sourcePopup);
  if (const std::string* destination = settings.string(kDestinationKey)) soundcard_->setSource(*destination);
  soundcard_->setManagedSamplingRateMenu(samplingRatePopup);
  if (const std::string* rate = settings.string(kSamplingRateKey)) {
    const float value = std::strtof(rate->c_str(), nullptr);
    if (value > 0.0f) {
      samplingRate_.store(value);
      soundcard_->setSamplingRate(value);
    }
  }

  // The channel menu always shows the device's channels, so that a first
  // run offers them too; the volume is restored only with a stored channel.
  // Either way the generator starts on the first channel.
  rebuildChannelMenu();
  if (settings.number(kChannelKey))
    if (std::optional<double> slider = settings.number(kSliderKey); slider && *slider >= 0.0)
      soundcard_->restoreVolume(static_cast<float>(*slider), selectedChannel());
  soundcard_->setDelegate(this);
}

void TrackingGenerator::applicationTerminating(platform::PropertyDictionary& settings) {
  auto title = [](ui::PopUpButton* popUp) { return popUp ? popUp->titleOfSelectedItem() : std::string(); };
  settings.set(kSoundCardKey, title(devicePopup));
  settings.set(kDestinationKey, title(sourcePopup));
  settings.set(kSamplingRateKey, title(samplingRatePopup));
  const int32_t channel = selectedChannel();
  settings.set(kChannelKey, static_cast<int64_t>(channel));
  // Only a level other than the designed one: files stay as they were.
  if (amplitude() != kAmplitude)
    settings.set(kLevelKey, 20 * std::log10(static_cast<double>(amplitude())));
  else
    settings.erase(kLevelKey);
  settings.set(kSliderKey, soundcard_ ? soundcard_->volumeToStore(channel) : -1.0f);
}

AFSoundcard* TrackingGenerator::soundcard() const { return soundcard_.get(); }

// --- tuning

double TrackingGenerator::binIncrement(const Sweep& sweep, int32_t bin, float fg) {
  // Without a bin plan or an output rate there is no frequency to play.
  if (sweep.bins <= 0 || fg <= 0.0f) return 0.0;
  // The tone leads the bin the next spectrum is attributed to by the sweep's
  // lead, so that it is on that bin at the centre of the spectrum's window.
  // The bin's frequency is formed in single precision, the rest in double.
  const float scaled = (static_cast<float>(bin) + sweep.leadBins) * sweep.samplingRate;
  return static_cast<double>(scaled) * 0.5 / sweep.bins * kTwoPi / static_cast<double>(fg);
}

double TrackingGenerator::sweepAcceleration(const Sweep& sweep, float fg) {
  if (sweep.samplingRate <= 0.0f || fg <= 0.0f) return 0.0;
  return static_cast<double>(sweep.hertzPerSecond) * kTwoPi / static_cast<double>(sweep.samplingRate) /
         static_cast<double>(fg);
}

bool GeneratorTone::playableAt(double rate) const {
  auto inBand = [rate](double f) { return std::isfinite(f) && f > 0 && f < 0.5 * rate; };
  if (!inBand(frequencyHz) || !std::isfinite(amplitude) || !(amplitude > 0)) return false;
  if (secondFrequencyHz == 0) return amplitude <= 1.0;
  return inBand(secondFrequencyHz) && std::isfinite(secondRatio) && secondRatio > 0 &&
         amplitude * (1 + secondRatio) <= 1.0;
}

void TrackingGenerator::start(Sweep* sweep) {
  // The tone is made at the rate the card plays it at, whichever rate the
  // card was set up with and however it got there (a device of another own
  // rate, a choice in the rate menu, a change from outside).
  if (soundcard_)
    if (const float rate = soundcard_->clientSamplingRate(); rate > 0.0f) samplingRate_.store(rate);
  if (sweep) {
    std::lock_guard guard(publishLock_);
    pending_.suspended = false;
    pending_.tone = false;
    pending_.logSweep = false;
    pending_.silent = false;
    pending_.increment = binIncrement(*sweep, sweep->startBin, samplingRate());
    pending_.acceleration = sweepAcceleration(*sweep, samplingRate());
    ++pending_.retune;
    ++pending_.restart;
    publish();
  }
  if (soundcard_ && !soundcard_->isRunning()) soundcard_->start();
}

void TrackingGenerator::updateFrequency(Sweep* sweep) {
  if (!sweep) return;
  std::lock_guard guard(publishLock_);
  pending_.suspended = false;
  pending_.increment = binIncrement(*sweep, sweep->currentBin, samplingRate());
  pending_.acceleration = sweepAcceleration(*sweep, samplingRate());
  ++pending_.retune;
  publish();
}

void TrackingGenerator::setSuspend(bool suspend) {
  std::lock_guard guard(publishLock_);
  pending_.suspended = suspend;
  publish();
}

int32_t TrackingGenerator::latencyFrames() { return soundcard_ ? soundcard_->deviceLatency() : 0; }

EndpointIoHealth TrackingGenerator::ioHealth() {
  EndpointIoHealth health;
  platform::audio::DeviceIoStatus status;
  uint32_t device = 0;
  if (soundcard_ && soundcard_->deviceIoStatus(status, &device)) {
    deviceGaps_.take(device, status);
    health.latencyKnown = status.latencyKnown;
    health.latencyFrames = status.latencyFrames;
    health.gapOngoing = status.dropOutOngoing;
  }
  health.gaps = deviceGaps_.gaps;
  health.lostSamples = deviceGaps_.lostSamples;
  return health;
}

void TrackingGenerator::stop() {
  if (soundcard_) soundcard_->stop();
  std::lock_guard guard(publishLock_);
  pending_.suspended = false;
  pending_.silent = false;
  publish();
}

bool TrackingGenerator::playTone(const GeneratorTone& tone) {
  if (soundcard_)
    if (const float rate = soundcard_->clientSamplingRate(); rate > 0.0f) samplingRate_.store(rate);
  if (!tone.playableAt(samplingRate())) return false;
  {
    std::lock_guard guard(publishLock_);
    pending_.tone = true;
    pending_.logSweep = false;
    pending_.silent = false;
    pending_.toneHz = tone.frequencyHz;
    pending_.toneAmplitude = tone.amplitude;
    pending_.secondHz = tone.secondFrequencyHz;
    pending_.secondAmplitude = tone.secondFrequencyHz > 0 ? tone.amplitude * tone.secondRatio : 0.0;
    publish();
  }
  if (soundcard_ && !soundcard_->isRunning()) soundcard_->start();
  return true;
}

void TrackingGenerator::stopTone() {
  if (soundcard_) soundcard_->stop();
  std::lock_guard guard(publishLock_);
  pending_.tone = false;
  pending_.silent = false;
  publish();
}

bool TrackingGenerator::playSweep(const dsp::LogSweep& sweep) {
  if (soundcard_)
    if (const float rate = soundcard_->clientSamplingRate(); rate > 0.0f) samplingRate_.store(rate);
  if (std::fabs(sweep.sampleRate() - samplingRate()) > 0.5) return false;
  {
    std::lock_guard guard(publishLock_);
    pending_.logSweep = true;
    pending_.silent = false;
    pending_.sweep = sweep;
    ++pending_.sweepRun;
    publish();
  }
  if (soundcard_ && !soundcard_->isRunning()) soundcard_->start();
  return true;
}

void TrackingGenerator::stopSweep() {
  if (soundcard_) soundcard_->stop();
  std::lock_guard guard(publishLock_);
  pending_.logSweep = false;
  pending_.silent = false;
  publish();
}

void TrackingGenerator::playSilence() {
  {
    std::lock_guard guard(publishLock_);
    pending_.silent = true;
    publish();
  }
  if (soundcard_ && !soundcard_->isRunning()) soundcard_->start();
}

SweepPlayback TrackingGenerator::sweepPlayback() const noexcept {
  const uint64_t word = played_.load(std::memory_order_acquire);
  SweepPlayback playback;
  playback.sweep = static_cast<uint32_t>(word >> 32);
  playback.ended = (word & (uint64_t{1} << 31)) != 0;
  playback.played = static_cast<int64_t>(word & 0x7fffffffu);
  return playback;
}

// Three-slot exchange, single writer and single reader: the writer fills
// its own slot and swaps it into the middle marked fresh; the reader swaps
// a fresh middle slot for its own. Neither ever touches the other's slot.
void TrackingGenerator::publish() {
  slots_[writeSlot_] = pending_;
  writeSlot_ = handOver_.exchange(writeSlot_ | kFresh, std::memory_order_acq_rel) & kSlotMask;
}

const TrackingGenerator::Tuning& TrackingGenerator::takeTuning() noexcept {
  if (handOver_.load(std::memory_order_acquire) & kFresh)
    readSlot_ = handOver_.exchange(readSlot_, std::memory_order_acq_rel) & kSlotMask;
  return slots_[readSlot_];
}

// --- synthesis

bool TrackingGenerator::outputNeededBySoundcard(AFSoundcard*, float** buffers, int32_t numberOfBuffers,
                                                int32_t samples) noexcept {
  const int32_t channel = selectedChannel() - 1;
  if (!buffers || channel < 0 || channel >= numberOfBuffers || !buffers[channel] || samples < 0) return false;

  const Tuning& tuning = takeTuning();
  if (tuning.restart != restartTaken_) {
    restartTaken_ = tuning.restart;
    runningPhase_ = 0.0;
  }
  if (tuning.retune != retuneTaken_) {
    retuneTaken_ = tuning.retune;
    runningIncrement_ = tuning.increment;
  }

  for (int32_t b = 0; b < numberOfBuffers; ++b)
    if (b != channel && buffers[b]) std::fill_n(buffers[b], samples, 0.0f);

  float* out = buffers[channel];
  if (tuning.silent) {
    std::fill_n(out, samples, 0.0f);
    return true;
  }
  if (tuning.logSweep) {
    if (tuning.sweepRun != sweepRunTaken_) {
      sweepRunTaken_ = tuning.sweepRun;
      sweepPosition_ = 0;
    }
    tuning.sweep.render(sweepPosition_, samples, out);
    const int64_t length = tuning.sweep.length();
    sweepPosition_ = std::min(sweepPosition_ + samples, length);
    const uint64_t ended = sweepPosition_ >= length ? uint64_t{1} << 31 : 0;
    played_.store((uint64_t{tuning.sweepRun} << 32) | ended | static_cast<uint64_t>(sweepPosition_),
                  std::memory_order_release);
    return true;
  }
  if (tuning.tone) {
    renderTone(tuning, out, samples);
    return true;
  }
  const double step = tuning.suspended ? 0.0 : tuning.acceleration;
  double p = runningPhase_;
  double i = runningIncrement_;
  const double amplitude = amplitude_.load(std::memory_order_relaxed);
  for (int32_t s = 0; s < samples; ++s) {
    out[s] = static_cast<float>(std::sin(p) * amplitude);
    p += i;
    if (p > kTwoPi) p -= kTwoPi;
    i += step;
  }
  runningPhase_ = p;
  runningIncrement_ = i;
  phase_.store(p, std::memory_order_relaxed);
  increment_.store(i, std::memory_order_relaxed);
  return true;
}

void TrackingGenerator::renderTone(const Tuning& tuning, float* out, int32_t samples) noexcept {
  const double k = kTwoPi / static_cast<double>(samplingRate());
  const double i1 = tuning.toneHz * k, i2 = tuning.secondHz * k;
  const double a1 = tuning.toneAmplitude, a2 = tuning.secondAmplitude;
  double p1 = runningPhase_, p2 = secondPhase_;
  for (int32_t s = 0; s < samples; ++s) {
    out[s] = static_cast<float>(std::sin(p1) * a1 + std::sin(p2) * a2);
    p1 += i1;
    if (p1 > kTwoPi) p1 -= kTwoPi;
    p2 += i2;
    if (p2 > kTwoPi) p2 -= kTwoPi;
  }
  runningPhase_ = p1;
  secondPhase_ = p2;
  phase_.store(p1, std::memory_order_relaxed);
  increment_.store(i1, std::memory_order_relaxed);
}

// --- channels

void TrackingGenerator::setAmplitude(double amplitude) {
  // A level that is no level (NaN, 0 or less) keeps the designed one; above
  // full scale the sine would clip.
  const double taken = std::isfinite(amplitude) && amplitude > 0 ? std::min(amplitude, 1.0) : kAmplitude;
  amplitude_.store(static_cast<float>(taken), std::memory_order_relaxed);
}

std::string TrackingGenerator::deviceName() { return soundcard_ ? soundcard_->selectedDeviceTitle() : std::string(); }

void TrackingGenerator::setInterface(ui::Control* control, void (TrackingGenerator::*action)()) {
  if (control) control->setInterface([this, action] { (this->*action)(); });
}

void TrackingGenerator::channelChanged() {
  const int index = channelPopup ? channelPopup->indexOfSelectedItem() : 0;
  selectedChannel_.store(std::max(index, 0) + 1);
  if (soundcard_) soundcard_->setManagedVolumeSlider(outputSlider, selectedChannel());
}

void TrackingGenerator::rebuildChannelMenu() {
  if (!soundcard_) return;
  soundcard_->fillChannelMenu(channelPopup);
  if (channelPopup) channelPopup->selectItemAtIndex(0);
  channelChanged();
}

// --- the card's delegate

uint32_t TrackingGenerator::implementedMethods() const { return kOutputNeeded | kDeviceChange | kSamplingRateChange; }

void TrackingGenerator::soundcardDeviceChangedTo(AFSoundcard* card, const std::shared_ptr<AFDevice>&) {
  if (!card || card != card_.load(std::memory_order_acquire)) return;
  // The menu and the channel action are main-thread work, also when the
  // card follows a new default device on its notification thread. A device
  // of another own rate plays the tone at that rate.
  ui::MainThread::instance().runSync([this] {
    rebuildChannelMenu();
    if (soundcard_)
      if (const float rate = soundcard_->clientSamplingRate(); rate > 0.0f) samplingRate_.store(rate);
  });
}

void TrackingGenerator::soundcardSamplingRateChangedTo(AFSoundcard* card, float rate) {
  if (!card || card != card_.load(std::memory_order_acquire)) return;
  samplingRate_.store(rate, std::memory_order_relaxed);
}
