#pragma once
// The analyzer input of a sound file: one channel of a file read through
// AFSoundfile, handed to the controller in blocks of 512 samples as fast as
// the file reads. The controller gets the blocks as it gets a live input's
// (newDataFromInput at the file's rate, one block at a time, the main
// thread's queued work run between blocks as the event loop runs it between
// two delivered blocks), so the engine and the trace see exactly what they
// would see if the file played into a sound card.
//
// Only whole blocks are analysed: a last piece shorter than 512 samples is
// left out, as a sound card delivers no partial block either. Non-finite
// samples are taken out and counted as the live input takes them out
// (FiniteSamples.h).
//
// Threads: the main thread only; run() reads the file there too. Nothing
// here touches the settings: the input keeps no keys.

#include <cstdint>
#include <memory>
#include <string>

#include "endpoints/Endpoints.h"
#include "platform/BlockLength.h"

class AFSoundfile;

class FileInput final : public AnalyzerInput {
 public:
  static constexpr int32_t kBlockLength = platform::kBlockLength;
  // Returned by run() when the file ends before the length it states.
  static constexpr int32_t kErrorTruncated = -410;

  explicit FileInput(InputController* controller);
  ~FileInput() override;
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  // Opens path for reading, channel 1 selected and the whole file as the
  // range: 0, or the sound file's status (AFSoundfile.h) with nothing open.
  int32_t open(const std::string& path);
  bool isOpen() const;
  // The open file's rate (Hz), channel count and length (frames as the file
  // states it, seconds); 0 without a file.
  float samplingRate() const;
  int32_t channels() const;
  int64_t lengthFrames() const;
  double durationSeconds() const;

  // Selects the analysed channel, 1-based; false (selection unchanged) when
  // the open file has no such channel.
  bool selectChannel(int32_t channel);
  int32_t selectedChannel() const { return selectedChannel_; }
  // The part of the file run() reads, in seconds from its start; an end at
  // or beyond the file's end means its end. False (range unchanged) when
  // the range starts at or beyond the end, or ends before it starts.
  bool setRange(double fromSeconds, double toSeconds);
  // Frames of the range; blocks of it that run() hands over.
  int64_t rangeFrames() const { return rangeEnd_ - rangeStart_; }
  int64_t rangeBlocks() const { return rangeFrames() / kBlockLength; }

  // Reads the range from its start and hands every whole block to the
  // controller, then runs the main thread's queued work. The controller must
  // have resumed the input (its setupSampling does). Returns 0; the sound
  // file's status when a read failed; kErrorTruncated when the file ended
  // before the length it states. The blocks read before a failure have
  // reached the controller.
  int32_t run();
  // Blocks handed to the controller by the last run().
  int64_t blocksDelivered() const { return blocksDelivered_; }
  // Samples of the selected channel the last run() read, whole blocks only:
  // those handed over and those of blocks left out for holding nothing
  // finite.
  int64_t samplesRead() const { return samplesRead_; }
  // Of those, the non-finite ones, each handed over as 0 (FiniteSamples.h);
  // and the runs of them.
  int64_t nonFiniteSamples() const { return nonFiniteSamples_; }
  int64_t nonFiniteStretches() const { return nonFiniteStretches_; }

  // --- AnalyzerInput ---
  // The file was opened before launch; a file input stores no settings.
  void applicationFinishLaunching(platform::PropertyDictionary& settings, AFManager& manager) override;
  void applicationTerminating(platform::PropertyDictionary& settings) override;
  // Stops delivering and returns the file's rate (0 without a file).
  float pause() override;
  // Delivery may go on (run() delivers only between resume and pause).
  void resume() override;
  int32_t latencyFrames() override { return 0; }
  // The non-finite samples as lost input; a file has no other gaps.
  EndpointIoHealth ioHealth() override;

 private:
  InputController* const controller_;
  std::unique_ptr<AFSoundfile> file_;
  int32_t selectedChannel_ = 1;
  int64_t rangeStart_ = 0;
  int64_t rangeEnd_ = 0;
  bool running_ = false;
  int64_t blocksDelivered_ = 0;
  int64_t samplesRead_ = 0;
  int64_t nonFiniteSamples_ = 0;
  int64_t nonFiniteStretches_ = 0;
};
