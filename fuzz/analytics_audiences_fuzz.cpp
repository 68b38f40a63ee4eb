// Arbitrary audience definitions and events through the audience evaluator.
//
// Input: a 16-bit little-endian length, that many bytes of an encoded measurement configuration
// (its audiences are the definitions), then operations until the input ends, at most kMaxOps:
//   0 event:          name, up to 4 parameters (name, kind, value), lifetime and session counts,
//                     time offset
//   1 user property:  name, kind, value, time offset
//   2 bundle:         the results for bundling
//   3 session start:  clearing of session-scoped results
// A name is one byte: below the size of kNames it picks a name that definitions are likely to
// use, otherwise a length byte and that many bytes follow. Everything runs in one transaction that
// is rolled back, so the database stays empty between inputs.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "analytics/audiences/audience.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "platform/foundation/test_home.h"

namespace {

constexpr int kMaxOps = 64;
const char* const kNames[] = {"purchase", "level_up", "_ai",   "shop",  "_s",
                              "level",    "tier",     "value", "price", "item"};
constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint64_t word(size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(byte()) << (8 * i);
    return v;
  }
  std::string bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  std::string name() {
    const uint8_t pick = byte();
    if (pick < kNameCount) return kNames[pick];
    return bytes(byte());
  }
  ZIVValuePtr value() {
    switch (byte() % 3) {
      case 0:
        return ZIVValue::initWithString(bytes(byte()));
      case 1:
        return ZIVValue::initWithInt64(static_cast<int64_t>(word(8)));
      default: {
        const uint64_t bits = word(8);
        double d;
        std::memcpy(&d, &bits, sizeof(d));
        return ZIVValue::initWithDouble(d);
      }
    }
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

class FuzzSettings : public ZIVAudienceSettings {
 public:
  int32_t maxFiltersPerAudience() const override { return 100; }
  int32_t maxFilterResultCount() const override { return 2; }
};

ZIVDatabase& Database() {
  // One database for the whole run, in a home of its own; both live until the process ends.
  static fnd::ScopedTestHome* home = new fnd::ScopedTestHome();
  static std::shared_ptr<ZIVDatabase> database =
      ZIVDatabase::initWithDatabaseName("fuzz-audiences.sql", nullptr);
  (void)home;
  return *database;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const uint8_t warmUp[] = {0x00, 0x00, 0x00, 0x00, 0x00};
  LLVMFuzzerTestOneInput(warmUp, sizeof(warmUp));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::shared_ptr<ZIVAudience> audience =
      ZIVAudience::initWithDatabase(std::shared_ptr<ZIVDatabase>(&Database(), [](ZIVDatabase*) {}),
                                    {std::make_shared<FuzzSettings>()});
  Reader in(data, size);
  const size_t configLength = static_cast<size_t>(in.word(2));
  const std::string configBytes = in.bytes(configLength);
  const fnd::Data configData(configBytes.begin(), configBytes.end());
  auto config = APMPBMeasurementConfig::initWithBuffer(configData);

  (void)Database().sqliteStore()->performTransactionWithError(nullptr, [&] {
    if (config) {
      std::optional<fnd::Array> audiences = NANOGetArray(
          config.get(), APMPBMeasurementConfig::kAudiences, &APMPBAudience::messageClass());
      if (audiences) (void)audience->updateAudiences(*audiences);
    }
    ZIVAudienceTimestampsCache cache;
    for (int op = 0; op < kMaxOps && !in.empty(); ++op) {
      switch (in.byte() % 4) {
        case 0: {
          const std::string name = in.name();
          ZIVEvent::Parameters parameters;
          const int count = in.byte() % 5;
          for (int i = 0; i < count; ++i) {
            std::string parameter = in.name();
            parameters[parameter] = in.value();
          }
          const int32_t lifetime = in.byte();
          const int32_t session = in.byte();
          const double time = 1700000000.0 + static_cast<double>(in.word(4)) / 16;
          auto aggregates = ZIVEventAggregates::initWithName(name, lifetime, 0, session, time);
          (void)audience->evaluateFiltersForEventName(name, parameters, aggregates.get(), time,
                                                      &cache);
          break;
        }
        case 1: {
          const std::string name = in.name();
          ZIVValuePtr value = in.value();
          const double time = 1700000000.0 + static_cast<double>(in.word(4)) / 16;
          if (auto attribute = ZIVUserAttribute::initWithOrigin("app", name, value, time)) {
            (void)audience->evaluateFiltersForUserProperty(*attribute, &cache, time);
          }
          break;
        }
        case 2: {
          ZIVAudience::LeafResults leaves;
          (void)audience->resultsForBundling(&leaves);
          break;
        }
        default:
          (void)audience->clearEvaluationResultsForSessionScopedFilters();
          break;
      }
    }
    return false;
  });
  return 0;
}
