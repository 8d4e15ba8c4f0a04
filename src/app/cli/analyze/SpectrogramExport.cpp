#include "app/cli/analyze/SpectrogramExport.h"

#include <QBuffer>
#include <QByteArray>
#include <algorithm>
#include <cmath>

#include "display/PlotDetectors.h"
#include "display/SpectrogramPage.h"
#include "dsp/PlotTrace.h"
#include "dsp/Spectrum.h"
#include "platform/AtomicFile.h"

SpectrogramExport::SpectrogramExport(const analyze::Options& options, const option_values::Levels& levels)
    : options_(options), analysis_(eachSpectrum(options), false, levels) {
  analysis_.setTraceListener(&SpectrogramExport::takeTrace, this);
}

analyze::Options SpectrogramExport::eachSpectrum(analyze::Options options) {
  // Each spectrum by itself: an average of one.
  options.averages = 1;
  return options;
}

void SpectrogramExport::takeTrace(void* context, TraceData* trace) {
  static_cast<SpectrogramExport*>(context)->take(*trace);
}

void SpectrogramExport::configure(const TraceData& trace) {
  configured_ = true;
  const Spectrum* engine = analysis_.engine();
  rate_ = engine->samplingRate();
  hop_ = engine->evenHop();
  window_ = engine->windowedBins();
  const SharedData& shared = analysis_.sharedData();
  geometry_.setAxisScale(options_.axis);
  geometry_.setDBPerDivision(10);
  geometry_.layOut(QRectF(0, 0, options_.width.value_or(kDefaultWidth), options_.height.value_or(kDefaultHeight)));
  geometry_.updateScale(shared.span.startFrequency, shared.span.endFrequency, display::binsPerHertzOf(&trace),
                        trace.bins, shared.refScale);
  const int columns = std::max(1, static_cast<int>(geometry_.plotBounds().width()));
  const int rows = std::max(1, static_cast<int>(geometry_.plotBounds().height()));
  spectrogram_.configure(columns, rows);
  spectrogram_.setRange(display::LevelRange::ofPlot(geometry_.dBPerDivision()));
  rowSeconds_ = analysis_.rangeSeconds() / rows;
}

void SpectrogramExport::take(const TraceData& trace) {
  if (!configured_) configure(trace);
  // The middle of this spectrum's window, from the range's start.
  const double middle = (static_cast<double>(spectra_) * hop_ + 0.5 * window_) / rate_;
  ++spectra_;
  const int row = std::clamp(static_cast<int>(std::floor(middle / rowSeconds_)), 0, spectrogram_.rows() - 1);
  const int mode = analysis_.sharedData().detectorMode;
  if (spectrogram_.rowsAdded() > row) {
    spectrogram_.mergeRow(geometry_, trace, mode);
    return;
  }
  // Rows before this one that no spectrum fell in show the one before (the
  // first spectrum's for the rows before it).
  if (spectrogram_.rowsAdded() == 0) spectrogram_.addRow(geometry_, trace, mode);
  while (spectrogram_.rowsAdded() < row) spectrogram_.repeatRow();
  if (spectrogram_.rowsAdded() == row) spectrogram_.addRow(geometry_, trace, mode);
}

bool SpectrogramExport::run(const std::string& path, std::string* cause) {
  if (!analysis_.run(path, cause)) return false;
  if (!configured_ || spectra_ == 0) {
    *cause = "no spectrum for the spectrogram";
    return false;
  }
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
  if (!image().save(&buffer, "PNG")) {
    if (error) *error = "the PNG could not be encoded";
    return false;
  }
  return platform::writeFileAtomically(path, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
                                       error);
}

bool writeSpectrogram(const analyze::Options& options, const option_values::Levels& levels, const std::string& file,
                      const std::string& path, std::string* cause) {
  SpectrogramExport spectrogram(options, levels);
  if (!spectrogram.run(file, cause)) return false;
  std::string error;
  if (!spectrogram.writeImage(path, &error)) {
    *cause = path + ": the spectrogram was not written: " + error;
    return false;
  }
  return true;
}
