#pragma once
// Microphone calibration files: plain text, one point a line, "frequency
// response_dB [phase_deg]", the numbers separated by spaces, tabs or
// commas. A line that does not start with a number (those starting with *,
// ", # or ; among them) is a comment or a header and is passed over, except a
// header giving a sensitivity factor in dB ("Sens Factor =-1.378dB",
// "Sensitivity: -1.378 dB"; the first such line counts). A line starting with
// a number must be a point: two or three finite numbers and nothing else, a
// frequency above 0 Hz and above the line before's. Lines may end in LF, CR
// LF or a lone CR, and a UTF-8 byte order mark is fine.
//
// Reading checks the whole file first: a file with one bad line, or none
// with a point, is refused with the line and the reason and gives nothing.
//
// No state; any thread.

#include <optional>
#include <string>
#include <string_view>

#include "dsp/SensorResponse.h"

// The response the text of a calibration file describes, or none with the
// reason in *error ("line 7: the frequencies must rise (250 Hz after 315 Hz)").
std::optional<dsp::SensorResponse> parseCalibrationFile(std::string_view text, std::string* error);
// The same for a file; refused too when it cannot be read, is not a regular
// file or is larger than kLargestCalibrationFile bytes.
std::optional<dsp::SensorResponse> readCalibrationFile(const std::string& path, std::string* error);

// Far more than any calibration's points need.
inline constexpr long long kLargestCalibrationFile = 4ll << 20;
