#include "app/formats/ReferenceFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/PlotTrace.h"

namespace {

using platform::PropertyArray;
using platform::PropertyDictionary;
using platform::PropertyValue;

// The largest reference file worth reading: every bin of the largest trace
// written out with room to spare.
constexpr long long kLargestFile = 64ll << 20;

std::nullopt_t refuse(std::string* error, const char* why) {
  if (error) *error = why;
  return std::nullopt;
}

// A stored rate or bins-per-hertz: a finite positive number that fits a float.
bool positiveFloat(const PropertyValue* value, std::optional<float>& out) {
  if (!value) return true;  // missing: the previous value stays
  const std::optional<double> number = value->number();
  if (!number || !std::isfinite(*number) || *number <= 0 || *number > std::numeric_limits<float>::max()) return false;
  out = static_cast<float>(*number);
  return true;
}

}  // namespace

PropertyDictionary referenceDictionary(const TraceData& trace, const std::string& lowerSpan,
                                       const std::string& upperSpan) {
  const int32_t bins = std::clamp(trace.bins, 0, TraceData::kCapacity);
  PropertyArray data;
  data.reserve(static_cast<std::size_t>(bins));
  // Widened to double, a float is written with every digit it needs.
  for (int32_t i = 0; i < bins; ++i) data.emplace_back(static_cast<double>(trace.averaged[i]));
  PropertyDictionary dictionary;
  dictionary.set("bins", PropertyValue(static_cast<int64_t>(bins)));
  dictionary.set("sampling rate", PropertyValue(static_cast<double>(trace.samplingRate)));
  dictionary.set("bins per Hertz", PropertyValue(static_cast<double>(trace.binsPerHertz)));
  dictionary.set("frequency (low)", PropertyValue(lowerSpan));
  dictionary.set("frequency (upper)", PropertyValue(upperSpan));
  dictionary.set("data", PropertyValue(std::move(data)));
  return dictionary;
}

std::optional<ReferenceFile> parseReferenceFile(const PropertyValue& root, std::string* error) {
  const PropertyDictionary* dictionary = root.dictionary();
  if (!dictionary) return refuse(error, "it is not a reference trace file");
  const PropertyValue* bins = dictionary->find("bins");
  if (!bins) return refuse(error, "it holds no trace (\"bins\" is missing)");
  const std::optional<double> count = bins->number();
  if (!count || !std::isfinite(*count) || *count != std::floor(*count))
    return refuse(error, "its bin count is not a whole number");
  if (*count < 1 || *count > TraceData::kCapacity)
    return refuse(error, "its bin count is outside 1 to 524288");

  ReferenceFile file;
  file.bins = static_cast<int32_t>(*count);
  if (!positiveFloat(dictionary->find("sampling rate"), file.samplingRate))
    return refuse(error, "its sampling rate is not a positive number");
  if (!positiveFloat(dictionary->find("bins per Hertz"), file.binsPerHertz))
    return refuse(error, "its bins per hertz is not a positive number");
  // The span texts as they are; the span fields' own reading copes with any
  // text, but a text no field would hold is not one.
  for (auto [key, out] : {std::pair{"frequency (low)", &file.lowerSpan}, std::pair{"frequency (upper)", &file.upperSpan}}) {
    const PropertyValue* value = dictionary->find(key);
    if (!value) continue;
    const std::string* text = value->string();
    if (!text || text->size() > 64) return refuse(error, "its span is not a frequency");
    *out = *text;
  }
  if (const PropertyValue* data = dictionary->find("data")) {
    const PropertyArray* values = data->array();
    if (!values) return refuse(error, "its data are not a list of levels");
    if (values->size() < static_cast<std::size_t>(file.bins))
      return refuse(error, "it holds fewer levels than its bin count says");
    std::vector<float> levels(static_cast<std::size_t>(file.bins));
    for (std::size_t i = 0; i < levels.size(); ++i) {
      const std::optional<double> level = (*values)[i].number();
      // Power is never negative, and a level must be a number the plot can show.
      if (!level || !std::isfinite(*level) || *level < 0 || *level > std::numeric_limits<float>::max())
        return refuse(error, "its data hold values that are not levels");
      levels[i] = static_cast<float>(*level);
    }
    file.data = std::move(levels);
  }
  return file;
}

std::optional<ReferenceFile> parseReferenceFile(std::string_view bytes, std::string* error) {
  std::string reason;
  std::optional<PropertyValue> root = platform::parsePropertyList(bytes, &reason);
  if (!root) return refuse(error, "it is not a property list");
  return parseReferenceFile(*root, error);
}

std::optional<ReferenceFile> readReferenceFile(const std::string& path, std::string* error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && info.st_size > kLargestFile)
    return refuse(error, "it is far too large for a reference trace");
  std::string reason;
  std::optional<PropertyValue> root = platform::readPropertyList(path, &reason);
  if (!root) {
    if (error) *error = reason;
    return std::nullopt;
  }
  return parseReferenceFile(*root, error);
}
