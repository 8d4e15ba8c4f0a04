#pragma once
// A log sweep's impulse response as a file: mono 32-bit float WAV at the
// sweep's rate, in the system's gain (a wire's peak is 1), written whole or
// not at all (a file beside it renamed over it once complete). What `specan
// measure --method=logsweep --ir` and the window's File ▸ Export Impulse
// Response write.

#include <cstdint>
#include <string>

// False with the reason in *error (the file then untouched).
bool writeImpulseResponseWav(const std::string& path, const float* samples, int64_t length, double rate,
                             std::string* error);
