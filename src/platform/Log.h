#pragma once
// The system log: fixed texts, printf-formatted, written to stderr (journald
// keeps them for desktop sessions). Never call from a real-time audio thread.

#include <string_view>

namespace platform {

// Writes one formatted line as given; texts that end in a newline keep it and
// texts without one get none added, so the log reads as the messages are written.
[[gnu::format(printf, 1, 2)]] void log(const char* format, ...);

// Where log lines go. The default writes to stderr; tests install their own
// sink to read what was logged. Any thread may log; the sink must be thread-safe.
using LogSink = void (*)(std::string_view line, void* context);
void setLogSink(LogSink sink, void* context);
void resetLogSink();

}  // namespace platform
