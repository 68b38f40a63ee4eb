#include "analytics/proto/nano_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

// GUARDED_BY(SinkMutex())
NanoLogSink& Sink() {
  static NanoLogSink sink;
  return sink;
}

}  // namespace

NanoLogSink SetNanoLogSink(NanoLogSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  return std::exchange(Sink(), std::move(sink));
}

void NanoLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line;
  if (length > 0) {
    line.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(line.data(), line.size(), format, args);
    line.resize(static_cast<size_t>(length));
  }
  va_end(args);
  if (!line.empty() && line.back() == '\n') line.pop_back();

  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) {
    Sink()(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
