#include "app/cli/analyze/SpectrogramExport.h"

#include <QBuffer>
#include <QByteArray>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/PlotTrace.h"
#include "dsp/Spectrum.h"
#include "platform/AtomicFile.h"

SpectrogramExport::SpectrogramExport(const analyze::Options& options, FileAnalysis& analysis)
    : options_(options), analysis_(analysis), gathered_(std::make_unique<TraceData>()) {
  analysis_.setSpectrumListener(&SpectrogramExport::takeSpectrum, this);
}

SpectrogramExport::~SpectrogramExport() { analysis_.setSpectrumListener(nullptr, nullptr); }

void SpectrogramExport::takeSpectrum(void* context, const SpectrumResult* result, float samplingRate) {
  static_cast<SpectrogramExport*>(context)->take(*result, samplingRate);
}

void SpectrogramExport::configure(int bins, float samplingRate) {
  configured_ = true;
  const Spectrum* engine = analysis_.engine();
  rate_ = samplingRate;
  hop_ = engine->evenHop();
  window_ = engine->windowedBins();
  gathered_->bins = bins;
  gathered_->samplingRate = samplingRate;
  gathered_->binsPerHertz = PlotTrace::binsPerHertz(bins, samplingRate);
  gathered_->traces = 1;
  const SharedData& shared = analysis_.sharedData();
  geometry_.setAxisScale(options_.axis);
  geometry_.setDBPerDivision(10);
  geometry_.layOut(QRectF(0, 0, options_.width.value_or(kDefaultWidth), options_.height.value_or(kDefaultHeight)));
  geometry_.updateScale(shared.span.startFrequency, shared.span.endFrequency, gathered_->binsPerHertz, bins,
                        shared.refScale);
  const int columns = std::max(1, static_cast<int>(geometry_.plotBounds().width()));
  const int rows = std::max(1, static_cast<int>(geometry_.plotBounds().height()));
  spectrogram_.configure(columns, rows);
  const dsp::TraceTreatment treatment =
      dsp::TraceTreatment::of(shared.treatment.weighting, shared.treatment.smoothing, shared.sensorResponse.get());
  if (!treatment.none()) {
    treater_.setTreatment(treatment);
    treated_ = std::make_unique<TraceData>();
  }
  spectrogram_.setRange(display::LevelRange::ofPlot(geometry_.dBPerDivision()));
  rowSeconds_ = analysis_.rangeSeconds() / rows;
}

void SpectrogramExport::addGathered(int row) {
  const int mode = analysis_.sharedData().detectorMode;
  if (treated_) treater_.treat(*gathered_, *treated_);
  const TraceData& shown = treated_ ? *treated_ : *gathered_;
  // The rows before it that no spectrum fell in show the one before (the
  // first spectrum's for the rows before it).
  if (spectrogram_.rowsAdded() == 0) {
    spectrogram_.addRow(geometry_, shown, mode);
    while (spectrogram_.rowsAdded() <= row) spectrogram_.repeatRow();
    return;
  }
  while (spectrogram_.rowsAdded() < row) spectrogram_.repeatRow();
  spectrogram_.addRow(geometry_, shown, mode);
}

void SpectrogramExport::take(const SpectrumResult& result, float samplingRate) {
  const int bins = std::clamp(result.bins, 0, TraceData::kCapacity);
  if (!configured_) configure(bins, samplingRate);
  if (bins != gathered_->bins) return;  // one configuration throughout a file
  // The middle of this spectrum's window, from the range's start.
  const double middle = (static_cast<double>(spectra_) * hop_ + 0.5 * window_) / rate_;
  ++spectra_;
  const int row = std::clamp(static_cast<int>(std::floor(middle / rowSeconds_)), 0, spectrogram_.rows() - 1);
  float* __restrict highest = gathered_->averaged;
  if (row == gatheredRow_) {
    // The engine's buffer and the gathered row never overlap: a loop the
    // compiler vectorises.
    const float* __restrict spectrum = result.output;
    for (int k = 0; k < bins; ++k) highest[k] = spectrum[k] > highest[k] ? spectrum[k] : highest[k];
    return;
  }
  if (gatheredRow_ >= 0) addGathered(gatheredRow_);
  std::memcpy(highest, result.output, sizeof(float) * static_cast<size_t>(bins));
  gatheredRow_ = row;
}

bool SpectrogramExport::finish(std::string* cause) {
  if (!configured_ || gatheredRow_ < 0) {
    *cause = "no spectrum for the spectrogram";
    return false;
  }
  addGathered(gatheredRow_);
  gatheredRow_ = -1;
  // The rows after the last window's middle.
  while (spectrogram_.rowsAdded() < spectrogram_.rows()) spectrogram_.repeatRow();
  start_ = options_.from;
  end_ = options_.from + analysis_.rangeSeconds();
  return true;
}

QImage SpectrogramExport::image() const {
  display::SpectrogramPageContent content;
  content.spectrogram = &spectrogram_;
  content.geometry = &geometry_;
  content.startSeconds = start_;
  content.endSeconds = end_;
  const SharedData& shared = analysis_.sharedData();
  content.startFrequency = shared.span.startFrequency;
  content.endFrequency = shared.span.endFrequency;
  content.bandwidth = shared.span.bandwidth;
  // The print view's colours, as File > Export Image uses them.
  content.palette = analysis_.printPalette();
  return display::renderSpectrogramPage(content);
}

bool SpectrogramExport::writeImage(const std::string& path, std::string* error) const {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  // Qt's quality 50 is a faster zlib level than its default: a history of
  // noise compresses little better at the default (11 % smaller on ten
  // minutes of a tone in noise) and takes four times as long (140 ms against
  // 37 ms for 800 x 500), longer than drawing the rows.
  if (!image().save(&buffer, "PNG", 50)) {
    if (error) *error = "the PNG could not be encoded";
    return false;
  }
  return platform::writeFileAtomically(path, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
                                       error);
}

bool writeSpectrogram(SpectrogramExport& spectrogram, const std::string& path, std::string* cause) {
  if (!spectrogram.finish(cause)) return false;
  std::string error;
  if (!spectrogram.writeImage(path, &error)) {
    *cause = path + ": the image was not written: " + error;
    return false;
  }
  return true;
}
