// The Flutter standard message codec on the messages that travel and on a large one:
//   init_reply: the core plugin's initialisation reply (one app: its name, fourteen options,
//               the automatic-collection flag and plugin constants), as the reply list;
//   log_event:  an analytics logEvent message with ten parameters;
//   large_map:  a map of 10,000 entries whose values mix every common kind (integers of both
//               widths, doubles, strings, bytes, typed lists, small lists and maps).
// Encode and decode run alternately for each message; decoding includes freeing what it made.
// The Google Benchmark runs give the timings. The ratio printed at the end, decode time / encode
// time in CPU time of the thread (goal: at most 2), comes from paired rounds run afterwards: each
// round times a batch of encodes and then a batch of decodes of the same message, so that both
// sides of a round see the same load of a shared machine; the median of the rounds' ratios is
// printed beside the ratio of the Google Benchmark rates.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_ratio.h"
#include "platform/flutter/standard_codec.h"

namespace {

fnd::Value InitReply() {
  fnd::Array options = {"AIzaSyD-quellmark-example-key-0123456789",
                        "1:1234567890:ios:abcdef0123456789",
                        "1234567890",
                        "quellmark-example",
                        "quellmark-example.example",
                        "https://quellmark-example.example",
                        "quellmark-example.example",
                        "G-ABCDEFGHIJ",
                        fnd::Value(),
                        "com.quellmark.app",
                        fnd::Value(),
                        "1234567890-abcdefghijklmnopqrstuvwxyz012345.apps.example",
                        "com.quellmark.app",
                        fnd::Value()};
  fnd::Array response = {
      "[DEFAULT]", fnd::Value(std::move(options)), true,
      fnd::Dictionary{{"plugins.quellmark.example/analytics", fnd::Dictionary{}},
                      {"plugins.quellmark.example/crashkeep",
                       fnd::Dictionary{{"isCrashlyticsCollectionEnabled", true}}}}};
  return fnd::Array{fnd::Value(fnd::Array{fnd::Value(std::move(response))})};
}

fnd::Value LogEvent() {
  fnd::Dictionary parameters{{"item_id", "SKU_12345"},
                             {"item_name", "jeggings"},
                             {"item_category", "pants"},
                             {"item_variant", "black"},
                             {"item_brand", "Quellmark"},
                             {"price", 9.99},
                             {"currency", "EUR"},
                             {"quantity", 2},
                             {"index", 5},
                             {"in_stock", true}};
  return fnd::Array{fnd::Value(
      fnd::Dictionary{{"eventName", "add_to_cart"}, {"parameters", std::move(parameters)}})};
}

fnd::Value LargeMap() {
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

const char* kNames[] = {"init_reply", "log_event", "large_map"};

const fnd::Value& Message(int which) {
  static const fnd::Value messages[] = {InitReply(), LogEvent(), LargeMap()};
  return messages[which];
}

// Operations per CPU second of this thread, measured here so that both sides use the same clock.
template <typename F>
void Measure(benchmark::State& state, const std::string& name, size_t bytes, F f) {
  // The clock is read around the whole loop: reading it costs more than a small message.
  const double start = bench::ThreadCpuSeconds();
  for (auto _ : state) {
    if (!f()) {
      state.SkipWithError("codec failed");
      return;
    }
  }
  const double seconds = bench::ThreadCpuSeconds() - start;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.SetLabel(std::to_string(bytes) + " bytes");
  if (seconds > 0) bench::RecordRate(name, static_cast<double>(state.iterations()) / seconds);
}

void BM_Encode(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const auto& codec = *flutter::FlutterStandardMessageCodec::sharedInstance();
  const fnd::Value& message = Message(which);
  const size_t bytes = codec.encode(message)->size();
  Measure(state, std::string("encode ") + kNames[which], bytes, [&] {
    auto encoded = codec.encode(message);
    benchmark::DoNotOptimize(encoded);
    return encoded.has_value();
  });
}

void BM_Decode(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const auto& codec = *flutter::FlutterStandardMessageCodec::sharedInstance();
  const fnd::Data encoded = *codec.encode(Message(which));
  Measure(state, std::string("decode ") + kNames[which], encoded.size(), [&] {
    auto decoded = codec.decode(encoded);
    benchmark::DoNotOptimize(decoded);
    return decoded.has_value();
  });
}

// CPU seconds per operation of `count` calls of f.
template <typename F>
double SecondsPerCall(int count, F f) {
  const double start = bench::ThreadCpuSeconds();
  for (int i = 0; i < count; ++i) f();
  return (bench::ThreadCpuSeconds() - start) / count;
}

// The median over paired rounds of decode time / encode time; 0 when the codec fails.
double PairedRatio(int which) {
  constexpr int kRounds = 9;
  constexpr double kBatchSeconds = 0.1;
  const auto& codec = *flutter::FlutterStandardMessageCodec::sharedInstance();
  const fnd::Value& message = Message(which);
  const std::optional<fnd::Data> encoded = codec.encode(message);
  if (!encoded || !codec.decode(*encoded)) return 0;
  auto encode = [&] {
    auto data = codec.encode(message);
    benchmark::DoNotOptimize(data);
  };
  auto decode = [&] {
    auto value = codec.decode(*encoded);
    benchmark::DoNotOptimize(value);
  };
  // A batch size that takes about kBatchSeconds to decode.
  const double probe = SecondsPerCall(3, decode);
  const int count = std::max(1, static_cast<int>(kBatchSeconds / std::max(probe, 1e-9)));
  std::vector<double> ratios;
  for (int round = 0; round < kRounds; ++round) {
    const double encodeSeconds = SecondsPerCall(count, encode);
    const double decodeSeconds = SecondsPerCall(count, decode);
    if (encodeSeconds > 0) ratios.push_back(decodeSeconds / encodeSeconds);
  }
  if (ratios.empty()) return 0;
  std::sort(ratios.begin(), ratios.end());
  return ratios[ratios.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  for (int which = 0; which < 3; ++which) {
    for (auto fn : {BM_Encode, BM_Decode}) {
      benchmark::RegisterBenchmark(
          fn == BM_Encode ? "BM_StandardCodecEncode" : "BM_StandardCodecDecode", fn)
          ->Arg(which)
          ->ArgName(kNames[which])
          ->Unit(which == 2 ? benchmark::kMillisecond : benchmark::kNanosecond)
          ->MinTime(0.3);
    }
  }
  if (!bench::RunBenchmarks(&argc, argv)) return 1;
  std::printf("\nDecode time / encode time of the same value (goal: at most 2)\n");
  for (int which = 0; which < 3; ++which) {
    const std::string name = kNames[which];
    const double encode = bench::MedianRate("encode " + name);
    const double decode = bench::MedianRate("decode " + name);
    if (encode <= 0 || decode <= 0) continue;  // Not selected by the filter.
    std::printf(
        "%-12s encode %10.0f/s  decode %10.0f/s  rates %5.2f  paired rounds (median) %5.2f\n",
        name.c_str(), encode, decode, encode / decode, PairedRatio(which));
  }
  return 0;
}
