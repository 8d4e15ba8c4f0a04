#pragma once
// Reference trace files: a stored trace as an XML property list, with the
// span it was measured over. Reading checks everything before anything is
// used, so a damaged or foreign file is refused with the reason and never
// loads part of itself.

#include <optional>
#include <string>
#include <vector>

#include "platform/PropertyList.h"

struct TraceData;

struct ReferenceFile {
  int32_t bins = 0;
  std::optional<float> samplingRate;  // Hz
  std::optional<float> binsPerHertz;
  std::optional<std::string> lowerSpan;  // the span fields' texts when saved
  std::optional<std::string> upperSpan;
  // Exactly bins values when present.
  std::optional<std::vector<float>> data;
};

// The file's dictionary for a trace and the span fields' texts; every value
// of the trace reads back as the same float.
platform::PropertyDictionary referenceDictionary(const TraceData& trace, const std::string& lowerSpan,
                                                 const std::string& upperSpan);

// The reference a property list describes; empty with the reason in *error
// when it is not a reference file: no "bins", a bin count the trace cannot
// hold, a rate that is no rate, or data that are too few or not numbers.
std::optional<ReferenceFile> parseReferenceFile(const platform::PropertyValue& root, std::string* error);
// The same for the bytes of a file, and for a file.
std::optional<ReferenceFile> parseReferenceFile(std::string_view bytes, std::string* error);
std::optional<ReferenceFile> readReferenceFile(const std::string& path, std::string* error);
