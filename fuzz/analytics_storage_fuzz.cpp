// Arbitrary bytes as every blob that the analytics database reads back.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "analytics/storage/database.h"
#include "platform/foundation/test_home.h"
#include "platform/security/gzip.h"

namespace {

ZIVDatabase& Database() {
  // One database for the whole run, in a home of its own; both live until the process ends.
  static fnd::ScopedTestHome* home = new fnd::ScopedTestHome();
  static std::shared_ptr<ZIVDatabase> database =
      ZIVDatabase::initWithDatabaseName("fuzz.sql", nullptr);
  (void)home;
  return *database;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Runs the paths once before fuzzing, so that one-time set-up (the database, the monitor, the
// crypto library's tables) is not mistaken for a leak of the first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const uint8_t warmUp[] = {0x0a, 0x06, 0x0a, 0x02, 0x5f, 0x6f, 0x18, 0x01};
  LLVMFuzzerTestOneInput(warmUp, sizeof(warmUp));
  LLVMFuzzerTestOneInput(warmUp, 3);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ZIVDatabase& database = Database();
  const fnd::Data bytes(data, data + size);

  ZIVDatabase::Row rawEvent{{"rowid", 1},
                            {"name", "e"},
                            {"timestamp", 1700000000.0},
                            {"metadata_fingerprint", 1},
                            {"data", fnd::Value(bytes)}};
  (void)database.rawEventDataFromDictionary(rawEvent);

  bool sessionScoped = false, dynamic = false, sequence = false;
  (void)ZIVEventFilterFlagsFromData(bytes, &sessionScoped, &dynamic, &sequence);
  (void)ZIVPropertyFilterFlagsFromData(bytes, &sessionScoped, &dynamic, &sequence);

  // Everything written here is rolled back, so the file stays small.
  (void)database.sqliteStore()->performTransactionWithError(nullptr, [&] {
    (void)database.insertDataType({{"data", fnd::Value(bytes)}, {"bundle_end_timestamp", 1.0}},
                                  "queue");
    (void)database.insertDataType(
        {{"data", fnd::Value(security::Gzip(bytes))}, {"bundle_end_timestamp", 1.0}}, "queue");
    (void)database.queryBundlesWithCountLimit(10, 1 << 20);
    (void)database.updateRemoteConfig(bytes);
    (void)database.queryMeasurementConfigWithError();
    (void)database.insertDataType({{"metadata_fingerprint", 7}, {"metadata", fnd::Value(bytes)}},
                                  "raw_events_metadata");
    (void)database.queryRawEventsMetadataWithFingerprint(7);
    (void)database.insertDataType({{"name", "p"},
                                   {"origin", "app"},
                                   {"value", "v"},
                                   {"creation_timestamp", 1.0},
                                   {"active", 0},
                                   {"trigger_timeout", 1.0},
                                   {"triggered_timestamp", 0.0},
                                   {"time_to_live", 1.0},
                                   {"triggered_event", fnd::Value(bytes)}},
                                  "conditional_properties");
    (void)database.conditionalUserPropertyWithName("p");
    return false;
  });
  return 0;
}
