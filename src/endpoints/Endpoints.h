#pragma once
// What the controller asks of its two signal endpoints: the analyzer input,
// which delivers the sample blocks, and the tracking generator, which plays
// the swept sine. Either may be absent; the controller then runs without it.
// Main thread only.

struct Sweep;

class AnalyzerInput {
 public:
  virtual ~AnalyzerInput() = default;
  // Stops the input card, sets its block length to 512 and returns its
  // sampling rate in Hz (not above 0 when the card has none).
  virtual float pause() = 0;
  // Starts the card again if it is not running.
  virtual void resume() = 0;
};

class TrackingGeneratorEndpoint {
 public:
  virtual ~TrackingGeneratorEndpoint() = default;
  // Tunes to sweep->startBin at sweep->hertzPerSecond and starts the output.
  virtual void start(Sweep* sweep) = 0;
  // Stops the output and clears a suspension.
  virtual void stop() = 0;
  // While suspended the tone holds its frequency.
  virtual void setSuspend(bool suspend) = 0;
  // Retunes to sweep->currentBin.
  virtual void updateFrequency(Sweep* sweep) = 0;
};
