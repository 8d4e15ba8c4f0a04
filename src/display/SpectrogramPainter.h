#pragma once
// Draws a Spectrogram's ring onto any QPainter, newest row at the top and
// time running downwards, with no copy of the history: the ring's colours are
// wrapped in a QImage as they lie in memory, and drawn as two pieces split at
// the scroll offset (Spectrogram::newestRow()). A view that scrolls repaints
// the same way, one row lower each spectrum.
//
// Main thread only, with the spectrogram's writer (Spectrogram.h).

#include <QRectF>

class QPainter;

namespace display {

class Spectrogram;

// The history into target (the painter's coordinates, y down): the full
// ring fills its height, one ring row in target.height() / rows(); rows not
// written yet leave their part of target as it was. Each ring pixel becomes
// a rectangle (no smoothing between levels).
void drawSpectrogram(QPainter& painter, const Spectrogram& spectrogram, const QRectF& target);

}  // namespace display
