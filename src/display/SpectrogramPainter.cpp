#include "display/SpectrogramPainter.h"

#include <QImage>
#include <QPainter>

#include "display/Spectrogram.h"

namespace display {

void drawSpectrogram(QPainter& painter, const Spectrogram& spectrogram, const QRectF& target) {
  const int rows = spectrogram.rows();
  const int columns = spectrogram.columns();
  const int filled = spectrogram.filledRows();
  if (rows <= 0 || columns <= 0 || filled <= 0) return;
  // The ring as an image over its own memory: QImage does not copy a const
  // buffer it is given, and the painter only reads it.
  const QImage ring(reinterpret_cast<const uchar*>(spectrogram.ringColors()), columns, rows,
                    static_cast<qsizetype>(columns) * 4, QImage::Format_RGB32);
  const double rowHeight = target.height() / rows;
  const bool smooth = painter.testRenderHint(QPainter::SmoothPixmapTransform);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  // From the newest row to the ring's end, then from its start.
  const int newest = spectrogram.newestRow();
  const int first = std::min(filled, rows - newest);
  painter.drawImage(QRectF(target.x(), target.y(), target.width(), first * rowHeight), ring,
                    QRectF(0, newest, columns, first));
  if (const int rest = filled - first; rest > 0) {
    painter.drawImage(QRectF(target.x(), target.y() + first * rowHeight, target.width(), rest * rowHeight), ring,
                      QRectF(0, 0, columns, rest));
  }
  painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
}

}  // namespace display
