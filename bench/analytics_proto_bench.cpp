// Encode and decode of one upload batch: one bundle of 1,000 events with 10 parameters each.
#include <benchmark/benchmark.h>

#include <string>

#include "analytics/proto/messages.h"

namespace {

constexpr int kEvents = 1000;
constexpr int kParams = 10;

std::shared_ptr<APMPBMeasurementBatch> MakeBatch() {
  fnd::Array events;
  for (int e = 0; e < kEvents; ++e) {
    auto event = APMPBEvent::initWithMessageInfo(nullptr);
    NANOSetString(event.get(), APMPBEvent::kName, "screen_view_" + std::to_string(e % 17));
    NANOSetInt64(event.get(), APMPBEvent::kTimestampMillis, 1765000000000 + e * 250);
    NANOSetInt64(event.get(), APMPBEvent::kPreviousTimestampMillis, 1765000000000 + e * 125);
    fnd::Array params;
    for (int p = 0; p < kParams; ++p) {
      auto param = APMPBEventParam::initWithMessageInfo(nullptr);
      NANOSetString(param.get(), APMPBEventParam::kName, "param_" + std::to_string(p));
      switch (p % 3) {
        case 0:
          NANOSetString(param.get(), APMPBEventParam::kStringValue,
                        "value of parameter " + std::to_string(e * kParams + p));
          break;
        case 1:
          NANOSetInt64(param.get(), APMPBEventParam::kIntValue, e * 1000 + p);
          break;
        default:
          NANOSetDouble(param.get(), APMPBEventParam::kDoubleValue, e + p / 7.0);
          break;
      }
      params.emplace_back(std::shared_ptr<fnd::Record>(param));
    }
    NANOSetArray(event.get(), APMPBEvent::kParams, &params);
    events.emplace_back(std::shared_ptr<fnd::Record>(event));
  }
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetInt32(bundle.get(), APMPBMeasurementBundle::kFormatVersion, 1);
  NANOSetArray(bundle.get(), APMPBMeasurementBundle::kEvents, &events);
  NANOSetString(bundle.get(), APMPBMeasurementBundle::kPlatform, "macos");
  NANOSetString(bundle.get(), APMPBMeasurementBundle::kAppId, "1:1234567890:ios:abcdef");
  NANOSetInt64(bundle.get(), APMPBMeasurementBundle::kStartTimestampMillis, 1765000000000);
  NANOSetInt64(bundle.get(), APMPBMeasurementBundle::kEndTimestampMillis, 1765000250000);

  auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
  fnd::Array bundles = {fnd::Value(std::shared_ptr<fnd::Record>(bundle))};
  NANOSetArray(batch.get(), APMPBMeasurementBatch::kBundles, &bundles);
  return batch;
}

void Report(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kEvents,
                                                  benchmark::Counter::kIsRate);
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_EncodeBatch(benchmark::State& state) {
  auto batch = MakeBatch();
  size_t size = 0;
  for (auto _ : state) {
    std::optional<fnd::Data> bytes = batch->protoBuffer();
    if (!bytes) {
      state.SkipWithError("encode failed");
      return;
    }
    size = bytes->size();
    benchmark::DoNotOptimize(bytes->data());
  }
  Report(state, size);
}
BENCHMARK(BM_EncodeBatch)->Unit(benchmark::kMillisecond);

void BM_DecodeBatch(benchmark::State& state) {
  std::optional<fnd::Data> bytes = MakeBatch()->protoBuffer();
  if (!bytes) {
    state.SkipWithError("encode failed");
    return;
  }
  for (auto _ : state) {
    auto decoded = APMPBMeasurementBatch::initWithBuffer(*bytes);
    if (!decoded) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(decoded.get());
  }
  Report(state, bytes->size());
}
BENCHMARK(BM_DecodeBatch)->Unit(benchmark::kMillisecond);

}  // namespace
