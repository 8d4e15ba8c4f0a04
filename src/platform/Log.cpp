#include "platform/Log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace platform {
namespace {

void writeToStderr(std::string_view line, void*) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::mutex sinkMutex;
LogSink currentSink = writeToStderr;
void* currentContext = nullptr;

}  // namespace

void log(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
  std::lock_guard guard(sinkMutex);
  currentSink(std::string_view(text, length), currentContext);
}

void setLogSink(LogSink sink, void* context) {
  std::lock_guard guard(sinkMutex);
  currentSink = sink ? sink : writeToStderr;
  currentContext = context;
}

void resetLogSink() { setLogSink(nullptr, nullptr); }

}  // namespace platform
