// Throughput of the Flutter standard message codec on a large nested message: a map of 10,000
// entries whose values mix every common kind (integers of both widths, doubles, strings, bytes,
// typed lists, small lists and maps).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/flutter/standard_codec.h"

namespace {

fnd::Value largeMessage() {
  fnd::Dictionary map;
  for (int i = 0; i < 10000; ++i) {
    std::string key = "key-" + std::to_string(i);
    fnd::Value value;
    switch (i % 8) {
      case 0:
        value = i;
        break;
      case 1:
        value = fnd::Value::Int64(int64_t{i} << 33);
        break;
      case 2:
        value = i * 0.25;
        break;
      case 3:
        value = "value number " + std::to_string(i) + " \xC3\xA9";
        break;
      case 4:
        value = fnd::Data(32, static_cast<uint8_t>(i));
        break;
      case 5:
        value = std::vector<double>{1.5, 2.5, static_cast<double>(i)};
        break;
      case 6:
        value = fnd::Array{i, "x", true, fnd::Value()};
        break;
      default:
        value = fnd::Dictionary{{"id", i}, {"name", "n" + std::to_string(i)}, {"ok", false}};
        break;
    }
    map.set(std::move(key), std::move(value));
  }
  return map;
}

void BM_StandardCodecEncode(benchmark::State& state) {
  const auto& codec = *flutter::FlutterStandardMessageCodec::sharedInstance();
  fnd::Value message = largeMessage();
  size_t bytes = codec.encode(message)->size();
  for (auto _ : state) {
    auto encoded = codec.encode(message);
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_StandardCodecEncode)->Unit(benchmark::kMillisecond);

void BM_StandardCodecDecode(benchmark::State& state) {
  const auto& codec = *flutter::FlutterStandardMessageCodec::sharedInstance();
  fnd::Data encoded = *codec.encode(largeMessage());
  for (auto _ : state) {
    auto decoded = codec.decode(encoded);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * encoded.size()));
}
BENCHMARK(BM_StandardCodecDecode)->Unit(benchmark::kMillisecond);

}  // namespace
