// Helpers shared by the tests of the message layer: a capture of the NanoLog lines and byte
// helpers. Test-only.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "analytics/proto/nano_log.h"
#include "platform/foundation/value.h"

// Collects every NanoLog line while alive, then restores the previous sink.
class NanoLogCapture {
 public:
  NanoLogCapture() {
    previous_ = SetNanoLogSink([this](const std::string& line) { lines_.push_back(line); });
  }
  ~NanoLogCapture() { SetNanoLogSink(std::move(previous_)); }
  NanoLogCapture(const NanoLogCapture&) = delete;
  NanoLogCapture& operator=(const NanoLogCapture&) = delete;

  const std::vector<std::string>& lines() const { return lines_; }
  void clear() { lines_.clear(); }
  // True when some line equals `line`.
  bool contains(const std::string& line) const {
    for (const auto& l : lines_) {
      if (l == line) return true;
    }
    return false;
  }

 private:
  NanoLogSink previous_;
  std::vector<std::string> lines_;
};

inline fnd::Data Bytes(std::initializer_list<int> bytes) {
  fnd::Data data;
  for (int b : bytes) data.push_back(static_cast<uint8_t>(b));
  return data;
}

inline std::string Hex(const fnd::Data& data) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : data) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}
