// Fuzzes the reading of reference trace files: arbitrary bytes are either
// refused with a reason or give a reference the trace can hold, which is
// then loaded into a trace as the controller does.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/formats/ReferenceFile.h"
#include "dsp/PlotTrace.h"

namespace {

TraceData& reference() {
  static TraceData* trace = new TraceData;
  return *trace;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  const std::optional<ReferenceFile> file =
      parseReferenceFile(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (!file) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  if (file->bins < 1 || file->bins > TraceData::kCapacity) std::abort();
  if (file->data && file->data->size() != static_cast<std::size_t>(file->bins)) std::abort();
  TraceData& trace = reference();
  trace.bins = file->bins;
  if (file->samplingRate) trace.samplingRate = *file->samplingRate;
  if (file->binsPerHertz) trace.binsPerHertz = *file->binsPerHertz;
  if (file->data)
    for (std::size_t i = 0; i < file->data->size(); ++i) {
      const float level = (*file->data)[i];
      if (!std::isfinite(level) || level < 0) std::abort();
      trace.averaged[i] = level;
    }
  return 0;
}
