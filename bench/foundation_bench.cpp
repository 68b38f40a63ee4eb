// Throughput of the foundation helpers the engine calls in bulk: property-list writing and
// reading (XML and binary) of a preferences-sized dictionary of 10,000 mixed entries, UTF-16 and
// code-point lengths of a long mixed-script text, and a regular-expression search.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/foundation/property_list.h"
#include "platform/foundation/regex.h"
#include "platform/foundation/text.h"

namespace {

fnd::Value largeDictionary() {
  fnd::Dictionary map;
  for (int i = 0; i < 10000; ++i) {
    fnd::Value value;
    switch (i % 6) {
      case 0:
        value = i;
        break;
      case 1:
        value = i * 0.25;
        break;
      case 2:
        value = "value number " + std::to_string(i) + " \xC3\xA9";
        break;
      case 3:
        value = fnd::Data(32, static_cast<uint8_t>(i));
        break;
      case 4:
        value = fnd::Array{i, "x", true};
        break;
      default:
        value = fnd::Dictionary{{"n", i}, {"s", "nested"}};
        break;
    }
    map.set("/rivado/measurement/key_" + std::to_string(i), std::move(value));
  }
  return fnd::Value(std::move(map));
}

void Write(benchmark::State& state, fnd::PropertyListFormat format) {
  const fnd::Value value = largeDictionary();
  size_t bytes = 0;
  for (auto _ : state) {
    auto data = fnd::PropertyList::ToData(value, format);
    bytes += data->size();
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void Read(benchmark::State& state, fnd::PropertyListFormat format) {
  const fnd::Data data = *fnd::PropertyList::ToData(largeDictionary(), format);
  for (auto _ : state) {
    auto value = fnd::PropertyList::FromData(data);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_PropertyListWriteXML(benchmark::State& s) { Write(s, fnd::PropertyListFormat::kXML); }
void BM_PropertyListWriteBinary(benchmark::State& s) { Write(s, fnd::PropertyListFormat::kBinary); }
void BM_PropertyListReadXML(benchmark::State& s) { Read(s, fnd::PropertyListFormat::kXML); }
void BM_PropertyListReadBinary(benchmark::State& s) { Read(s, fnd::PropertyListFormat::kBinary); }

std::string longText() {
  std::string text;
  while (text.size() < (1 << 20)) text += "event_name \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 ";
  return text;
}

void BM_UTF16Length(benchmark::State& state) {
  const std::string text = longText();
  for (auto _ : state) benchmark::DoNotOptimize(fnd::UTF16Length(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_CodePointSubstring(benchmark::State& state) {
  const std::string text = longText();
  for (auto _ : state) benchmark::DoNotOptimize(fnd::SubstringCodePoints(text, 1000, 500));
}

void BM_RegexSearch(benchmark::State& state) {
  const std::string text = longText() + "value 12345";
  auto re = fnd::Regex::Compile("[0-9]{5}");
  for (auto _ : state) benchmark::DoNotOptimize(re->firstMatch(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

}  // namespace

BENCHMARK(BM_PropertyListWriteXML)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PropertyListWriteBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PropertyListReadXML)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PropertyListReadBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UTF16Length)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CodePointSubstring)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RegexSearch)->Unit(benchmark::kMillisecond);
