#pragma once
// A sensor's frequency response, a measurement microphone's as its
// calibration gives it: points of frequency, response in dB and optionally
// phase, and the sensitivity factor in dB some calibrations carry beside
// them. Between points the response is interpolated linearly in log
// frequency; beyond the ends the end values hold (at and below 0 Hz the
// first point's).
//
// Taking the response out of a trace is a power gain per bin,
// 10^(−response/10), which multiplies into the same kind of array as the
// frequency weightings' gains.
//
// Threads: none of its own. The object is immutable once made; any thread
// may read it, and the gain functions allocate nothing.

#include <optional>
#include <string>
#include <vector>

namespace dsp {

struct ResponsePoint {
  double hertz = 0;
  double db = 0;
  std::optional<double> phaseDegrees;
  bool operator==(const ResponsePoint&) const = default;
};

class SensorResponse {
 public:
  // Beyond this a response (or a sensitivity factor) is no sensor's, and
  // its gain would leave the range of single precision.
  static constexpr double kLargestResponseDb = 200;

  // No points: 0 dB at every frequency.
  SensorResponse() = default;

  // The response of points, or none with the reason in *error when they are
  // not all finite, a frequency is not above 0 Hz, the frequencies do not
  // rise strictly or a response lies beyond ±kLargestResponseDb; a
  // sensitivity factor given must be finite and within that too.
  static std::optional<SensorResponse> make(std::vector<ResponsePoint> points, std::optional<double> sensitivityDb,
                                            std::string* error);

  const std::vector<ResponsePoint>& points() const { return points_; }
  // The sensitivity factor as the calibration gives it; responseDb() leaves
  // it out.
  std::optional<double> sensitivityDb() const { return sensitivityDb_; }

  // The response in dB at f Hz.
  double responseDb(double f) const noexcept;

  // gains[k] = 10^(−(responseDb(k / binsPerHertz) + sensitivityDb) / 10)
  // for k < bins: the sensitivity factor, when given, is the sensor's gain at
  // every frequency and is taken out with the response.
  void fillGains(double binsPerHertz, int bins, float* gains) const noexcept;
  // The same multiplied into gains as they are (a weighting's, say).
  void applyGains(double binsPerHertz, int bins, float* gains) const noexcept;

 private:
  // The response at f from segment *segment on, which moves up to f's: a
  // walk up the frequencies visits each segment once.
  double responseFrom(double f, std::size_t& segment) const noexcept;

  std::vector<ResponsePoint> points_;
  std::vector<double> logHertz_;  // log10 of each point's frequency
  std::optional<double> sensitivityDb_;
};

}  // namespace dsp
