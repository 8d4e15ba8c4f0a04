#pragma once
// One swept-sine measurement as it runs, step by step on the main thread:
// the generator plays a synchronized exponential sweep (dsp/LogSweep.h),
// the input records what comes back (SweepRecording.h) and, with a
// reference channel, the sweep looped back beside the device; the
// recordings are averaged and deconvolved into the impulse responses and
// read on a log grid (dsp/SweepDeconvolution.h). The window's "Log sweep"
// mode and `specan measure --method=logsweep` both run it: the window after
// each input block, the command between its looks at the devices.
//
// The phases: start() makes the sweep and its buffers and starts the output
// silent; a sound server may start an output stream by mixing it into what
// its sink had mixed ahead (PulseAudio rewinds the sink), and a monitor of
// that sink then skips the first of what the stream played, so the first
// sweep waits until a quarter of a second of input has come through. Each
// sweep is recorded from just before it is played over its length and a
// tail for the loop's delay and the response's decay. A sweep that any
// drop-out met (a gap counted by the input's or the output's ioHealth
// between arming its recording and its end) is thrown away and played
// again, never averaged in; after kMostRepeats repeats in all the
// measurement fails. The analysis runs on a thread of its own, so that the
// main thread goes on taking blocks meanwhile.
//
// Threads: main thread only, but for the analysis's own thread, which
// touches nothing but the deconvolution and the response until advance()
// sees it finished (the response is not to be read while the run analyses).
// start() allocates; advance() allocates nothing while the sweeps play.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "dsp/LogSweep.h"
#include "dsp/SweepDeconvolution.h"
#include "endpoints/Endpoints.h"
#include "endpoints/SweepRecording.h"

struct TraceData;

struct LogSweepPlan {
  int64_t length = int64_t{1} << 18;  // samples of the sweep
  int sweeps = 1;                     // averaged
  int referenceChannel = 0;           // 1-based channel of the input device; 0 none
  double lowerHz = 20, upperHz = 20000;
  double pointsPerOctave = 48;
  double peak = 0.25;                 // the sweep's amplitude, a fraction of full scale
  int smoothing = 0;                  // 1/N octave for smoothedResponse(), read with the analysis; 0 none
};

class LogSweepRun {
 public:
  enum class Phase { idle, waiting, sweeping, analysing, done, failed };
  static constexpr int kMostRepeats = 4;

  // Neither is owned; both must outlive the run.
  LogSweepRun(AnalyzerInput& input, TrackingGeneratorEndpoint& generator);
  ~LogSweepRun();
  LogSweepRun(const LogSweepRun&) = delete;
  LogSweepRun& operator=(const LogSweepRun&) = delete;

  // Makes the sweep for outputRate, takes the input's blocks and starts the
  // output, silent. False with the cause (and nothing started) when the
  // devices' rates differ or the plan cannot be swept at that rate.
  bool start(const LogSweepPlan& plan, double outputRate, double inputRate, std::string* cause);
  // Moves the run on after the blocks the input delivered since the last
  // call: plays the next sweep, takes a finished recording, throws one a
  // drop-out met away (and runs silent again, as before the first sweep,
  // before it plays the sweep again), takes a finished analysis. Returns the
  // phase now.
  Phase advance();
  // Ends a run that has not finished: the output stops, the input's blocks
  // go back to the controller alone. Waits for an analysis under way.
  void cancel();
  // Ends the run as failed with cause (for a failure its caller saw, such
  // as a vanished device or a stalled input).
  void fail(const std::string& cause);

  Phase phase() const { return phase_; }
  bool running() const { return phase_ == Phase::waiting || phase_ == Phase::sweeping || phase_ == Phase::analysing; }
  // The cause of a failed run.
  const std::string& failure() const { return failure_; }
  // How far the sweeps are, 0 … 1 (a repeated sweep counts again).
  double progress() const;
  // The sweep being recorded, from 1, and how many were asked for.
  int sweepNumber() const { return done_ + 1; }
  int sweepsPlanned() const { return plan_.sweeps; }
  // Samples recorded so far (for the caller's stall check); it stands
  // still while the run analyses.
  int64_t recorded() const { return recording_ ? recording_->recorded() : 0; }

  const LogSweepPlan& plan() const { return plan_; }
  const dsp::LogSweep& sweep() const { return *sweep_; }
  const dsp::SweepResponse& response() const { return response_; }
  // The response of a finished run with 1/N-octave smoothing (as
  // dsp::SweepReadingSettings::smoothing says; 0: the response itself): the
  // plan's was read with the analysis, another is read now (allocates).
  dsp::SweepResponse smoothedResponse(int smoothing) const;
  // The linear impulse response from the recording's first sample over the
  // recording's tail (where it lives; the harmonics' come before it, wrapped
  // to the transform's end), at the sweep's rate, in the system's gain.
  const float* impulseResponse() const { return deconvolution_->impulseResponse(); }
  int64_t impulseResponseLength() const { return deconvolution_->recordingLength() - sweep_->length(); }
  // Sweeps played again after drop-outs met them.
  int repeatedSweeps() const { return repeated_; }
  // From the first sweep's start to the response, and of that the analysis
  // after the last sweep ended.
  double seconds() const { return seconds_; }
  double analysisSeconds() const { return analysisSeconds_; }

  // The response of a finished run into trace, in its bins (trace.bins and
  // binsPerHertz as the live trace has them): each bin inside the measured
  // grid (and the span's edge bins up to a grid step beyond it) at the level
  // of the gain plus offsetDb, interpolated in dB over log frequency, as a
  // power that reads that level with the plot's refScale; the bins outside
  // it empty.
  void responseAsTrace(TraceData& trace, double refScale, double offsetDb) const {
    responseAsTrace(response_, trace, refScale, offsetDb);
  }
  // The same of a response of this run (such as a smoothed one).
  void responseAsTrace(const dsp::SweepResponse& response, TraceData& trace, double refScale, double offsetDb) const;

 private:
  void playNext();
  void finishAnalysis();
  dsp::SweepReadingSettings readingSettings(int smoothing) const;
  void release();

  AnalyzerInput& input_;
  TrackingGeneratorEndpoint& generator_;
  LogSweepPlan plan_;
  Phase phase_ = Phase::idle;
  std::string failure_;
  std::optional<dsp::LogSweep> sweep_;
  std::unique_ptr<dsp::SweepDeconvolution> deconvolution_;
  std::unique_ptr<SweepRecording> recording_;
  dsp::SweepResponse response_, smoothed_;  // smoothed_: with the plan's smoothing
  int64_t waitSamples_ = 0;  // of silent input before a sweep
  uint64_t gapsBefore_ = 0;
  int done_ = 0, repeated_ = 0;
  double started_ = 0, analysisStarted_ = 0;
  double seconds_ = 0, analysisSeconds_ = 0;
  std::thread analysis_;
  std::atomic<bool> analysed_{false};
};
