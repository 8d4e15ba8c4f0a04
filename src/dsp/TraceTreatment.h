#pragma once
// What the views and the exports make of a trace before they show it: its
// bins weighted by a frequency weighting (A, C or Z) and a sensor's
// response taken out (a measurement microphone's calibration), then smoothed over a
// fraction of an octave. The trace itself (the average, the holds) stays as
// measured; a treated copy is what is drawn, read by the markers and
// written to files.
//
// Threads: the thread that owns the object (the main thread for a view).
// setTreatment() allocates what the treatment needs (the smoothing's sums,
// the weighting's gains) for traces of up to TraceData::kCapacity bins;
// treat() and treatBins() then allocate nothing.

#include <memory>
#include <vector>

#include "dsp/FrequencyWeighting.h"
#include "dsp/OctaveSmoothing.h"

struct TraceData;

namespace dsp {

class SensorResponse;

struct TraceTreatment {
  Weighting weighting = Weighting::Z;
  int smoothing = 0;  // 1/n octave; 0 none
  // Not owned; the same object for as long as it is the treatment's.
  const SensorResponse* response = nullptr;
  // From the numbers the plot state keeps (weightingOf, 1/N octave).
  static TraceTreatment of(int weighting, int smoothing, const SensorResponse* response = nullptr) {
    return {weightingOf(weighting), smoothing, response};
  }
  bool none() const { return weighting == Weighting::Z && smoothing == 0 && !response; }
  bool operator==(const TraceTreatment&) const = default;
};

class TraceTreater {
 public:
  TraceTreater();
  ~TraceTreater();
  TraceTreater(const TraceTreater&) = delete;
  TraceTreater& operator=(const TraceTreater&) = delete;

  // The treatment to apply from now on; a smoothing fraction
  // isSmoothingFraction refuses is none.
  void setTreatment(const TraceTreatment& treatment);
  const TraceTreatment& treatment() const { return treatment_; }

  // out = in treated: its bins, rate and spacing, the spectra it stands for,
  // and every value weighted and smoothed. in and out may be the same
  // record. The caller holds in's lock when another thread may write it.
  void treat(const TraceData& in, TraceData& out) noexcept;
  // The weighting alone, for bins first … last − 1 (a sweep's newest bins,
  // which smoothing cannot take before the bins above them are measured).
  void weighBins(const TraceData& in, TraceData& out, int first, int last) noexcept;
  // The power gain per bin of the weighting and the response for this
  // trace's bins and spacing (filled again when they change), or null
  // without either.
  const float* gainsFor(const TraceData& trace) noexcept;

 private:
  // out takes in's bins, rate, spacing and spectra (not its values).
  static void takeHeader(const TraceData& in, TraceData& out) noexcept;
  TraceTreatment treatment_;
  std::unique_ptr<OctaveSmoothing> smoothing_;
  std::vector<float> gains_;
  int gainBins_ = -1;
  float gainBinsPerHertz_ = 0;
  Weighting gainWeighting_ = Weighting::Z;
  const SensorResponse* gainResponse_ = nullptr;
};

}  // namespace dsp
