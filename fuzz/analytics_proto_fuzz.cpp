// libFuzzer target: every input is decoded as a MeasurementConfig, an ExperimentResponse, a
// MeasurementBatch and a Program. Whatever decodes must encode, the encoding must decode again,
// and encoding that second decode must give the same bytes.
//
// Run: analytics_proto_fuzz fuzz/corpus/analytics_proto
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "analytics/proto/messages.h"
#include "analytics/proto/nano_log.h"

namespace {

template <typename T>
void RoundTrip(const fnd::Data& input, const char* name) {
  std::shared_ptr<T> message = T::initWithBuffer(input);
  if (!message) return;
  std::optional<fnd::Data> first = message->protoBuffer();
  if (!first) {
    std::fprintf(stderr, "%s decoded but did not encode\n", name);
    std::abort();
  }
  std::shared_ptr<T> again = T::initWithBuffer(*first);
  if (!again) {
    std::fprintf(stderr, "%s encoding did not decode\n", name);
    std::abort();
  }
  std::optional<fnd::Data> second = again->protoBuffer();
  if (!second || *second != *first) {
    std::fprintf(stderr, "%s encoding is not stable\n", name);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    SetNanoLogSink([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  const fnd::Data input(data, data + size);
  RoundTrip<APMPBMeasurementConfig>(input, "MeasurementConfig");
  RoundTrip<APMPBExperimentResponse>(input, "ExperimentResponse");
  RoundTrip<APMPBMeasurementBatch>(input, "MeasurementBatch");
  RoundTrip<APMPBProgram>(input, "Program");
  return 0;
}
