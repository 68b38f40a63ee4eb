#include "plugins/cloud_virelda/virelda_log.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& SinkMutex() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}

std::function<void(const std::string&)>& Sink() {
  static auto* sink = new std::function<void(const std::string&)>();
  return *sink;
}

}  // namespace

void FLTVireldaLog(const std::string& line) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> lock(SinkMutex());
    sink = Sink();
  }
  if (sink) {
    sink(line);
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

void FLTVireldaSetLogSink(std::function<void(const std::string& line)> sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}
