#include "app/views/PrintView.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <QPageLayout>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "display/SpectrogramPane.h"
#include "platform/AtomicFile.h"

namespace {

// Qt's print dialog, modal over the window; it also offers printing into a
// PDF file.
bool runPrintDialog(QPrinter& printer, QWidget* parent) {
  QPrintDialog dialog(&printer, parent);
  dialog.setWindowTitle(QStringLiteral("Print Plot"));
  // One page: no ranges, no selection, no copies sorted by page.
  dialog.setOptions(QAbstractPrintDialog::PrintToFile | QAbstractPrintDialog::PrintShowPageSize);
  return dialog.exec() == QDialog::Accepted;
}

const char* formatName(PageView::ImageFormat format) {
  switch (format) {
    case PageView::ImageFormat::jpeg:
      return "jpeg";
    case PageView::ImageFormat::tiff:
      return "tiff";
    case PageView::ImageFormat::png:
      break;
  }
  return "png";
}

// A side of the page as the page can take it. Sizes come from the settings
// as typed; a number that is none, or one too large for any image, must not
// reach the widget geometry as an undefined conversion. Such a page simply
// fails to render.
float pageSide(float points) {
  if (!std::isfinite(points) || points < 0) return 0;
  return std::min(points, 1e6f);
}

}  // namespace

PrintView::PrintView(QWidget* window) : window_(window) {}

PrintView::~PrintView() = default;

void PrintView::preparePage(float width, float height, TraceData* trace) {
  page_.setPageSize(QSizeF(pageSide(width), pageSide(height)));
  page_.createPlotFromTraceData(trace);
}

bool PrintView::includesSpectrogram() const { return spectrogram_ && spectrogram_->active(); }

int PrintView::spectrogramHeight() const {
  // Somewhat shorter than the plot: its rows are scaled to fit.
  return std::max(160, static_cast<int>(std::lround(page_.pageSize().height() * 0.6)));
}

QImage PrintView::spectrogramPage() const {
  if (!includesSpectrogram()) return QImage();
  static const ColorPalette kNoPalette{};
  const ColorPalette* palette = page_.colorPalette();
  return spectrogram_->page(static_cast<int>(std::lround(page_.pageSize().width())), spectrogramHeight(),
                            palette ? *palette : kNoPalette);
}

bool PrintView::encodeImage(ImageFormat format, QByteArray& bytes, std::string* error) {
  QImage image = page_.renderImage();
  if (const QImage below = spectrogramPage(); !image.isNull() && !below.isNull()) {
    // The plot above, the spectrogram below, each in the page's palette.
    QImage both(image.width(), image.height() + below.height(), image.format());
    both.fill(Qt::transparent);
    QPainter painter(&both);
    painter.drawImage(0, 0, image);
    painter.drawImage(0, image.height(), below);
    painter.end();
    image = std::move(both);
  }
  if (image.isNull()) {
    if (error) {
      const QSizeF size = page_.pageSize();
      *error = "no image of " + std::to_string(static_cast<long long>(size.width())) + " x " +
               std::to_string(static_cast<long long>(size.height())) + " pixels can be made";
    }
    return false;
  }
  bytes.clear();
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, formatName(format));
  if (format == ImageFormat::jpeg) writer.setQuality(100);
  if (!writer.write(image)) {
    if (error) *error = "the image could not be encoded as " + std::string(formatName(format)) + ": " +
                        writer.errorString().toStdString();
    return false;
  }
  return true;
}

bool PrintView::writeImage(const std::string& path, ImageFormat format, std::string* error) {
  QByteArray bytes;
  if (!encodeImage(format, bytes, error)) return false;
  return platform::writeFileAtomically(path, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
                                       error);
}

bool PrintView::printPage() {
  QPrinter printer(QPrinter::HighResolution);
  printer.setDocName(QStringLiteral("SpecAn plot"));
  const bool accepted = dialog_ ? dialog_(printer, window_) : runPrintDialog(printer, window_);
  return accepted && printTo(printer);
}

double PrintView::fitScale(double width, double height, double paperWidth, double paperHeight) {
  if (!(width > paperWidth) && !(height > paperHeight)) return 1.0;
  const double across = paperWidth / width;
  const double down = paperHeight / height;
  if (std::isnan(across)) return down;
  return std::min(across, down);
}

bool PrintView::printTo(QPrinter& printer) {
  QPainter painter;
  if (!painter.begin(&printer)) return false;
  const QImage below = spectrogramPage();
  const QSizeF plot = page_.pageSize();
  const QSizeF page(plot.width(), plot.height() + below.height());
  const QSizeF paper = printer.pageLayout().fullRect(QPageLayout::Point).size();
  const double scale = fitScale(page.width(), page.height(), paper.width(), paper.height());
  // The painter's coordinates are device pixels of the printable area.
  const double pixelsPerPoint = printer.resolution() / 72.0;
  const QSizeF area(printer.width(), printer.height());
  QSizeF target = page * (scale * pixelsPerPoint);
  // Margins may leave less than the paper: the page fits inside them too.
  if (target.width() > area.width() || target.height() > area.height())
    target.scale(area, Qt::KeepAspectRatio);
  const QRectF whole(QPointF((area.width() - target.width()) / 2, (area.height() - target.height()) / 2), target);
  const double plotShare = plot.height() / page.height();
  page_.renderPage(painter, QRectF(whole.topLeft(), QSizeF(whole.width(), whole.height() * plotShare)));
  if (!below.isNull())
    painter.drawImage(QRectF(whole.left(), whole.top() + whole.height() * plotShare, whole.width(),
                             whole.height() * (1 - plotShare)),
                      below);
  const bool ended = painter.end();
  return ended && printer.printerState() != QPrinter::Error;
}
