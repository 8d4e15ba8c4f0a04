// Fuzzes the reading of microphone calibration files: arbitrary bytes are
// either refused with a reason or give a response of finite points above
// 0 Hz whose frequencies rise, and whose gains over a trace's bins, as the
// views take them out, are finite and above 0.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/formats/CalibrationFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  const std::optional<dsp::SensorResponse> response =
      parseCalibrationFile(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (!response) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  const std::vector<dsp::ResponsePoint>& points = response->points();
  if (points.empty()) std::abort();
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!std::isfinite(points[i].hertz) || !(points[i].hertz > 0) || !std::isfinite(points[i].db)) std::abort();
    if (i > 0 && !(points[i].hertz > points[i - 1].hertz)) std::abort();
  }
  if (response->sensitivityDb() && !std::isfinite(*response->sensitivityDb())) std::abort();
  // Responses stay within what single precision holds as a gain.
  std::vector<float> gains(1025);
  response->fillGains(1024 / 24000.0, static_cast<int>(gains.size()), gains.data());
  for (float g : gains)
    if (!std::isfinite(g) || !(g > 0)) std::abort();
  return 0;
}
