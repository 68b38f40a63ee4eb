// libFuzzer target: every input is decoded as a MeasurementConfig, an ExperimentResponse, a
// MeasurementBatch and a Program. Whatever decodes must encode, the encoding must decode again,
// and encoding that second decode must give the same bytes. An input that nano_message_is_canonical
// accepts must decode and encode back to itself; read as a MeasurementBundle with its events kept
// apart, it must splice back to itself.
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

template <typename T>
void Canonical(const fnd::Data& input, const char* name) {
  if (!nano_message_is_canonical(T::descriptor(), input.data(), input.size())) return;
  std::shared_ptr<T> message = T::initWithBuffer(input);
  if (!message || message->protoBuffer() != input) {
    std::fprintf(stderr, "%s is canonical but does not encode back to itself\n", name);
    std::abort();
  }
}

void BundleWithEventsApart(const fnd::Data& input) {
  using Bundle = APMPBMeasurementBundle;
  fnd::Data events;
  std::shared_ptr<Bundle> bundle =
      Bundle::initWithBufferKeepingElements(input, Bundle::kEvents, &events);
  const bool canonical =
      nano_message_is_canonical(Bundle::descriptor(), input.data(), input.size());
  if ((bundle != nullptr) != canonical ||
      (bundle && bundle->protoBufferWithElements(Bundle::kEvents, events) != input)) {
    std::fprintf(stderr, "MeasurementBundle with its events apart does not splice back\n");
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
  Canonical<APMPBMeasurementConfig>(input, "MeasurementConfig");
  Canonical<APMPBMeasurementBatch>(input, "MeasurementBatch");
  Canonical<APMPBProgram>(input, "Program");
  BundleWithEventsApart(input);
  return 0;
}
