#pragma once
// The main window's Measure menu: the trace's mode (Average, Max Hold, Min
// Hold) and Reset Hold, the peak reading, the delta and noise markers, the
// peak table, the distortion readout with its band and noise weighting, and
// the normalisation to the reference. Each item runs the
// controller's command of the same name (MeasureCommands.cpp); the checks
// show the shared state's measure settings each time the menu opens.

class AppDelegate;
class QMenu;
class QMenuBar;

// Adds the menu to the bar (object name "measureMenu"; its actions are
// named "traceAverage", "traceMaxHold", "traceMinHold", "resetHold",
// "precisePeak", "deltaMarker", "noiseMarker", "peakTable", "distortion",
// "normalise"; the band's submenu "distortionBandMenu", its noise weighting
// "distortionNoiseWeighted").
QMenu* addMeasureMenu(QMenuBar* bar, AppDelegate& app);
