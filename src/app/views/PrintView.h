#pragma once
// The print and export view as the controller sees it: a display::Printing
// page that is never on screen. It takes the shared plot state, the palette,
// the traces and the scale like the display, and for each export or print
// lays out a page of the size asked for from the live trace, then writes it
// into an image file or prints it through the print dialog.

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>

#include "plot/PlotView.h"
#include "display/Printing.h"

class QByteArray;
class QImage;
class QPrinter;

namespace display {
class SpectrogramPane;
}

class PrintView final : public PlotView, public PageView {
 public:
  // How the user chooses and sets up the printer: true to go on and print.
  // parent is the window the dialog belongs to (may be null).
  using PrintDialog = std::function<bool(QPrinter& printer, QWidget* parent)>;

  // window: the window the print dialog is modal over (may be null).
  explicit PrintView(QWidget* window = nullptr);
  ~PrintView() override;
  PrintView(const PrintView&) = delete;
  PrintView& operator=(const PrintView&) = delete;

  ::display::Printing& printing() { return page_; }
  // The window's spectrogram pane (or null): while it is shown, the image
  // and the printed page have it below the plot, as the pane's own page in
  // the same palette, spectrogramHeight() points high.
  void setSpectrogramPane(const ::display::SpectrogramPane* pane) { spectrogram_ = pane; }
  bool includesSpectrogram() const;
  int spectrogramHeight() const;

  // --- PlotView: what a page needs of the controller's plot state ---------

  void setSharedData(SharedData* shared) override { page_.setSharedData(shared); }
  void setColorPalette(const ColorPalette* palette, bool border) override { page_.setColorPalette(palette, border); }
  // The page is laid out from the live trace when a command asks for it;
  // it does not follow the analysis.
  void addTraceData(TraceData*) override {}
  void addTraceDataBin(TraceData*, int) override {}
  void clearPlot() override {}
  void newSweep() override {}
  void setTrackingGeneratorMode(bool enabled) override { page_.setTrackingGeneratorMode(enabled); }
  void setReference(TraceData* reference, TraceData* trace) override { page_.setReference(reference, trace); }
  void setPlotScale(float dBPerDivision) override { page_.setPlotScale(dBPerDivision); }
  void setCaptionColor(const RGBAColor& color) override { page_.setCaptionColor(color); }
  // Never on screen, and in no window of its own.
  void setNeedsDisplay() override {}
  void setWindowBackgroundColor(const ui::Color&) override {}
  void makeKeyAndOrderFront() override {}
  std::string windowFrameString() const override { return {}; }
  void setWindowFrameFromString(const std::string&) override {}
  // The page shows the display's markers; it has none of its own.
  const ::display::MarkerCache* markerCache() const override { return nullptr; }
  const ::display::MarkerCache* referenceMarkerCache() const override { return nullptr; }
  PageView* page() override { return this; }
  void measurementsChanged() override { page_.measurementsChanged(); }

  // --- PageView ------------------------------------------------------------

  void setMarker(const ::display::MarkerCache* marker, const ::display::MarkerCache* referenceMarker) override {
    page_.setMarker(marker, referenceMarker);
  }
  void preparePage(float width, float height, TraceData* trace) override;
  bool writeImage(const std::string& path, ImageFormat format, std::string* error) override;
  // The print dialog (or its stand-in), then printTo().
  bool printPage() override;

  // --- The steps of the commands -------------------------------------------

  // The prepared page encoded in the format; false with the reason in
  // *error when it could not be made or encoded.
  bool encodeImage(ImageFormat format, QByteArray& bytes, std::string* error);
  // Prints the prepared page on a printer the dialog has set up: scaled by
  // fitScale() against the paper, shrunk further where the printable area
  // is smaller still, and centred on that area. False when the printer
  // could not be opened or reported an error.
  bool printTo(QPrinter& printer);
  // Replaces the print dialog, for instance by one that sets up a PDF file
  // without asking; an empty one brings back Qt's print dialog.
  void setPrintDialog(PrintDialog dialog) { dialog_ = std::move(dialog); }

  // The factor that brings a page of width x height points onto paper of
  // paperWidth x paperHeight points: 1 when it fits, otherwise the smaller
  // of paperWidth / width and paperHeight / height, or the second when the
  // first is not a number.
  static double fitScale(double width, double height, double paperWidth, double paperHeight);

 private:
  // The pane's page for the prepared page's width, else a null image.
  QImage spectrogramPage() const;

  ::display::Printing page_;
  const ::display::SpectrogramPane* spectrogram_ = nullptr;
  QPointer<QWidget> window_;
  PrintDialog dialog_;
};
