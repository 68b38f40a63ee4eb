// Encoding and decoding of upload batches next to plain nanopb code generated from the same .proto
// files (pointer fields: nanopb allocates what it decodes), in the same run:
//   upload: a batch of the default upload size (at most 65,536 bytes) of one bundle with the
//           bundle fields, user attributes and event parameters that the engine fills;
//   large:  one bundle of 1,000 events with 10 parameters each.
// For each: our encode (sizing pass, then the bytes), our decode (straight into the record), the
// same decode driven by pb_decode (the codec's reference), and plain nanopb's encode
// (pb_get_encoded_size, then pb_encode) and decode (pb_decode, then pb_release). Prints events per
// second of thread CPU time and the ratios ours / plain nanopb (goal for decoding: at least 1.0).
#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdio>
#include <string>
#include <vector>

#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/proto/messages.h"
#include "analytics/proto/nano_codec.h"
#include "bench/bench_main.h"
#include "bench/bench_ratio.h"
#include "measurement.pb.h"

namespace {

constexpr size_t kUploadSize = 65536;

fnd::Value Record(const std::shared_ptr<NANOMessageBase>& message) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(message));
}

std::shared_ptr<APMPBEventParam> Param(const std::string& name) {
  auto param = APMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(param.get(), APMPBEventParam::kName, name);
  return param;
}

std::shared_ptr<APMPBEventParam> StringParam(const std::string& name, const std::string& value) {
  auto param = Param(name);
  NANOSetString(param.get(), APMPBEventParam::kStringValue, value);
  return param;
}

std::shared_ptr<APMPBEventParam> IntParam(const std::string& name, int64_t value) {
  auto param = Param(name);
  NANOSetInt64(param.get(), APMPBEventParam::kIntValue, value);
  return param;
}

std::shared_ptr<APMPBEventParam> DoubleParam(const std::string& name, double value) {
  auto param = Param(name);
  NANOSetDouble(param.get(), APMPBEventParam::kDoubleValue, value);
  return param;
}

// An event as the engine logs it from the application: origin, screen and engagement
// parameters, and a few of the application's own.
std::shared_ptr<APMPBEvent> EngineEvent(int e) {
  auto event = APMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(event.get(), APMPBEvent::kName, e % 5 == 0 ? "_e" : "level_up");
  NANOSetInt64(event.get(), APMPBEvent::kTimestampMillis, 1765000000000 + e * 1500);
  NANOSetInt64(event.get(), APMPBEvent::kPreviousTimestampMillis, 1765000000000 + e * 1400);
  fnd::Array params = {
      Record(StringParam("_o", "app")),
      Record(IntParam("_si", -4417200348213561391 + e)),
      Record(StringParam("_sc", "MainFlutterWindow")),
      Record(StringParam("_sn", "home")),
      Record(IntParam("_et", 1200 + e)),
      Record(IntParam("level", e % 40)),
      Record(StringParam("character", "hero")),
      Record(DoubleParam("score", 12.5 + e)),
  };
  NANOSetArray(event.get(), APMPBEvent::kParams, &params);
  return event;
}

std::shared_ptr<APMPBUserAttribute> Attribute(const std::string& name, int64_t value) {
  auto attribute = APMPBUserAttribute::initWithMessageInfo(nullptr);
  NANOSetString(attribute.get(), APMPBUserAttribute::kName, name);
  NANOSetInt64(attribute.get(), APMPBUserAttribute::kIntValue, value);
  NANOSetInt64(attribute.get(), APMPBUserAttribute::kSetTimestampMillis, 1764990000000);
  return attribute;
}

// One bundle with the fields the engine fills, holding `events`.
std::shared_ptr<APMPBMeasurementBatch> Batch(const fnd::Array& events) {
  using B = APMPBMeasurementBundle;
  auto bundle = B::initWithMessageInfo(nullptr);
  B* b = bundle.get();
  NANOSetInt32(b, B::kFormatVersion, 1);
  NANOSetArray(b, B::kEvents, &events);
  fnd::Array attributes = {Record(Attribute("_fot", 1764990000000)), Record(Attribute("_fi", 1)),
                           Record(Attribute("_lte", 35000)), Record(Attribute("_npa", 0))};
  auto favourite = APMPBUserAttribute::initWithMessageInfo(nullptr);
  NANOSetString(favourite.get(), APMPBUserAttribute::kName, "favourite_food");
  NANOSetString(favourite.get(), APMPBUserAttribute::kStringValue, "pizza");
  NANOSetInt64(favourite.get(), APMPBUserAttribute::kSetTimestampMillis, 1764990000000);
  attributes.push_back(Record(favourite));
  NANOSetArray(b, B::kUserAttributes, &attributes);
  NANOSetInt64(b, B::kUploadTimestampMillis, 1765000400000);
  NANOSetInt64(b, B::kStartTimestampMillis, 1765000000000);
  NANOSetInt64(b, B::kEndTimestampMillis, 1765000300000);
  NANOSetInt64(b, B::kPreviousBundleStartTimestamp, 1764999000000);
  NANOSetInt64(b, B::kPreviousBundleEndTimestamp, 1764999900000);
  NANOSetString(b, B::kPlatform, "macos");
  NANOSetString(b, B::kOsVersion, "26.1");
  NANOSetString(b, B::kDeviceModel, "x86_64");
  NANOSetString(b, B::kUserDefaultLanguage, "en-us");
  NANOSetInt32(b, B::kTimezoneOffsetMinutes, 60);
  NANOSetString(b, B::kAppStore, "manual_install");
  NANOSetString(b, B::kAppId, "com.quellmark.app");
  NANOSetString(b, B::kAppVersion, "1.4.2");
  NANOSetInt64(b, B::kLibraryVersion, 120100);
  NANOSetInt64(b, B::kUploadLibraryVersion, 120100);
  NANOSetString(b, B::kVendorId, "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  NANOSetString(b, B::kAppInstanceId, "0123456789abcdef0123456789abcdef");
  NANOSetInt32(b, B::kBundleIndex, 42);
  NANOSetString(b, B::kZuzAppId, "1:1234567890:ios:abcdef0123456789");
  NANOSetString(b, B::kZudiroruInstallationId, "fQ1xK3bdTq2bZ8Yp0m9Lw");
  NANOSetInt32(b, B::kAppVersionMajor, 1);
  NANOSetInt32(b, B::kAppVersionMinor, 4);
  NANOSetInt32(b, B::kAppVersionRelease, 2);
  NANOSetInt64(b, B::kConfigVersion, 1764000000000);
  fnd::Array experiments = {fnd::Value(101), fnd::Value(202)};
  NANOSetArray(b, B::kExperimentIds, &experiments);
  NANOSetString(b, B::kConsentSignals, "G111");
  NANOSetString(b, B::kConsentDiagnostics, "19911");
  NANOSetBool(b, B::kDmaRegion, false);
  NANOSetInt32(b, B::kDeliveryIndex, 41);
  NANOSetInt32(b, B::kBundleInt32_87, 1);
  auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
  fnd::Array bundles = {Record(bundle)};
  NANOSetArray(batch.get(), APMPBMeasurementBatch::kBundles, &bundles);
  return batch;
}

struct Workload {
  std::shared_ptr<APMPBMeasurementBatch> batch;
  fnd::Data bytes;
  int events = 0;
};

// As many engine events as fit the default upload size.
Workload UploadBatch() {
  fnd::Array events;
  Workload w;
  for (int e = 0;; ++e) {
    events.push_back(Record(EngineEvent(e)));
    auto batch = Batch(events);
    fnd::Data bytes = batch->protoBuffer().value_or(fnd::Data{});
    if (bytes.size() > kUploadSize) break;
    w = {batch, std::move(bytes), e + 1};
  }
  return w;
}

// 1,000 events of 10 parameters each.
Workload LargeBatch() {
  fnd::Array events;
  for (int e = 0; e < 1000; ++e) {
    auto event = APMPBEvent::initWithMessageInfo(nullptr);
    NANOSetString(event.get(), APMPBEvent::kName, "screen_view_" + std::to_string(e % 17));
    NANOSetInt64(event.get(), APMPBEvent::kTimestampMillis, 1765000000000 + e * 250);
    NANOSetInt64(event.get(), APMPBEvent::kPreviousTimestampMillis, 1765000000000 + e * 125);
    fnd::Array params;
    for (int p = 0; p < 10; ++p) {
      const std::string name = "param_" + std::to_string(p);
      switch (p % 3) {
        case 0:
          params.push_back(
              Record(StringParam(name, "value of parameter " + std::to_string(e * 10 + p))));
          break;
        case 1:
          params.push_back(Record(IntParam(name, e * 1000 + p)));
          break;
        default:
          params.push_back(Record(DoubleParam(name, e + p / 7.0)));
          break;
      }
    }
    NANOSetArray(event.get(), APMPBEvent::kParams, &params);
    events.push_back(Record(event));
  }
  Workload w;
  w.batch = Batch(events);
  w.bytes = w.batch->protoBuffer().value_or(fnd::Data{});
  w.events = 1000;
  return w;
}

const Workload& Get(int which) {
  static const Workload upload = UploadBatch();
  static const Workload large = LargeBatch();
  return which == 0 ? upload : large;
}

const char* NameOf(int which) { return which == 0 ? "upload" : "large"; }

void Report(benchmark::State& state, const std::string& name, const Workload& w) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.bytes.size()));
  state.counters["events/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * w.events, benchmark::Counter::kIsRate);
  state.SetLabel(std::string(NameOf(static_cast<int>(state.range(0)))) + ": " +
                 std::to_string(w.events) + " events, " + std::to_string(w.bytes.size()) +
                 " bytes");
  (void)name;
}

// Rates come from the CPU time of this thread in each run (the machine may be shared).
class Timed {
 public:
  explicit Timed(benchmark::State& state) : state_(state) {}
  void Record(const std::string& name, int events) {
    if (seconds_ > 0) bench::RecordRate(name, state_.iterations() * events / seconds_);
  }
  template <typename F>
  bool Run(F f) {
    const double start = bench::ThreadCpuSeconds();
    const bool ok = f();
    seconds_ += bench::ThreadCpuSeconds() - start;
    return ok;
  }

 private:
  benchmark::State& state_;
  double seconds_ = 0;
};

void BM_Encode(benchmark::State& state) {
  const Workload& w = Get(static_cast<int>(state.range(0)));
  Timed timed(state);
  for (auto _ : state) {
    const bool ok = timed.Run([&] {
      std::optional<fnd::Data> bytes = w.batch->protoBuffer();
      benchmark::DoNotOptimize(bytes);
      return bytes && bytes->size() == w.bytes.size();
    });
    if (!ok) {
      state.SkipWithError("encode failed");
      return;
    }
  }
  Report(state, "encode", w);
  timed.Record(std::string("ours encode ") + NameOf(static_cast<int>(state.range(0))), w.events);
}

void BM_Decode(benchmark::State& state) {
  const Workload& w = Get(static_cast<int>(state.range(0)));
  Timed timed(state);
  for (auto _ : state) {
    const bool ok = timed.Run([&] {
      auto decoded = APMPBMeasurementBatch::initWithBuffer(w.bytes);
      benchmark::DoNotOptimize(decoded.get());
      return decoded != nullptr;
    });
    if (!ok) {
      state.SkipWithError("decode failed");
      return;
    }
  }
  Report(state, "decode", w);
  timed.Record(std::string("ours decode ") + NameOf(static_cast<int>(state.range(0))), w.events);
}

void BM_DecodeThroughPbDecode(benchmark::State& state) {
  const Workload& w = Get(static_cast<int>(state.range(0)));
  Timed timed(state);
  for (auto _ : state) {
    const bool ok = timed.Run([&] {
      NanoMessageInfo info;
      apmpb_measurement_batch_descriptor.init(&info);
      const bool decoded = nano_message_decode_nanopb(apmpb_measurement_batch_descriptor,
                                                      w.bytes.data(), w.bytes.size(), &info);
      benchmark::DoNotOptimize(info.slots.data());
      return decoded;
    });
    if (!ok) {
      state.SkipWithError("decode failed");
      return;
    }
  }
  Report(state, "decode", w);
  timed.Record(std::string("ours via pb_decode ") + NameOf(static_cast<int>(state.range(0))),
               w.events);
}

void BM_PlainNanopbEncode(benchmark::State& state) {
  const Workload& w = Get(static_cast<int>(state.range(0)));
  plainpb_MeasurementBatch message = plainpb_MeasurementBatch_init_zero;
  pb_istream_t input = pb_istream_from_buffer(w.bytes.data(), w.bytes.size());
  if (!pb_decode(&input, plainpb_MeasurementBatch_fields, &message)) {
    state.SkipWithError("plain decode failed");
    return;
  }
  Timed timed(state);
  for (auto _ : state) {
    const bool ok = timed.Run([&] {
      size_t size = 0;
      if (!pb_get_encoded_size(&size, plainpb_MeasurementBatch_fields, &message)) return false;
      fnd::Data bytes(size);
      pb_ostream_t output = pb_ostream_from_buffer(bytes.data(), bytes.size());
      const bool encoded = pb_encode(&output, plainpb_MeasurementBatch_fields, &message);
      benchmark::DoNotOptimize(bytes.data());
      // The same content; plain nanopb writes the repeated integers packed, so a byte or two
      // shorter.
      return encoded && output.bytes_written + 16 > w.bytes.size();
    });
    if (!ok) {
      state.SkipWithError("plain encode failed");
      break;
    }
  }
  pb_release(plainpb_MeasurementBatch_fields, &message);
  Report(state, "encode", w);
  timed.Record(std::string("plain nanopb encode ") + NameOf(static_cast<int>(state.range(0))),
               w.events);
}

void BM_PlainNanopbDecode(benchmark::State& state) {
  const Workload& w = Get(static_cast<int>(state.range(0)));
  Timed timed(state);
  for (auto _ : state) {
    const bool ok = timed.Run([&] {
      plainpb_MeasurementBatch message = plainpb_MeasurementBatch_init_zero;
      pb_istream_t input = pb_istream_from_buffer(w.bytes.data(), w.bytes.size());
      const bool decoded = pb_decode(&input, plainpb_MeasurementBatch_fields, &message);
      benchmark::DoNotOptimize(message.bundles);
      pb_release(plainpb_MeasurementBatch_fields, &message);
      return decoded;
    });
    if (!ok) {
      state.SkipWithError("plain decode failed");
      return;
    }
  }
  Report(state, "decode", w);
  timed.Record(std::string("plain nanopb decode ") + NameOf(static_cast<int>(state.range(0))),
               w.events);
}

}  // namespace

int main(int argc, char** argv) {
  // Ours and plain nanopb alternate, batch by batch.
  for (int which : {0, 1}) {
    struct Named {
      const char* name;
      void (*fn)(benchmark::State&);
    };
    for (auto [name, fn] :
         {Named{"BM_Encode", BM_Encode}, Named{"BM_PlainNanopbEncode", BM_PlainNanopbEncode},
          Named{"BM_Decode", BM_Decode}, Named{"BM_PlainNanopbDecode", BM_PlainNanopbDecode},
          Named{"BM_DecodeThroughPbDecode", BM_DecodeThroughPbDecode}}) {
      benchmark::RegisterBenchmark(name, fn)
          ->Arg(which)
          ->ArgName("batch")
          ->Unit(benchmark::kMicrosecond)
          ->MinTime(0.3);
    }
  }
  if (!bench::RunBenchmarks(&argc, argv)) return 1;
  std::printf("\nEvents per second, median of repetitions\n");
  for (const char* which : {"upload", "large"}) {
    const std::string w(which);
    bench::PrintRatio(("encode " + w + ": ours / plain nanopb").c_str(), "ours encode " + w,
                      "plain nanopb encode " + w, "was 1.49");
    bench::PrintRatio(("decode " + w + ": ours / plain nanopb").c_str(), "ours decode " + w,
                      "plain nanopb decode " + w, "goal >= 1.0");
    bench::PrintRatio(("decode " + w + ": through pb_decode / plain nanopb").c_str(),
                      "ours via pb_decode " + w, "plain nanopb decode " + w, "before");
  }
  return 0;
}
