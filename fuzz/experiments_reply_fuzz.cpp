// The experiments service's reply as the client handles it: gunzipped (a body without the gzip
// magic passes unchanged), decoded as an ExperimentResponse, its snapshots and per-SDK errors
// built, the snapshots stored as pending rows, activated, and everything read back. What is read
// back must be what was stored: one pending row per SDK name stored, no other.
//
// Run with -max_len=1048576: a reply can be that large.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "analytics/config/experiment.h"
#include "analytics/config/experiment_database.h"
#include "analytics/config/experiment_snapshot.h"
#include "analytics/config/experiment_task_manager.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/user_defaults.h"
#include "analytics/proto/nano_log.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/test_home.h"
#include "platform/vendor/utilities/gzip.h"

namespace {

struct Parts {
  fnd::ScopedTestHome home;
  std::shared_ptr<dispatch::ManualClock> clock = std::make_shared<dispatch::ManualClock>();
  std::shared_ptr<dispatch::Queue> queue =
      dispatch::Queue::create("fuzz.experiments.worker", dispatch::Qos::kUtility, clock);
  std::shared_ptr<APMETaskManager> taskManager = APMETaskManager::initWithQueue(
      queue,
      std::make_shared<ZIVAlarm>(queue, "ZIVExperimentAlarm", ZIVMeasurement::monitor(), clock),
      nullptr, std::make_shared<ZIVUserDefaults>("fuzz.experiments"),
      home.path() + "/" + kAPMEDatabaseName, 0, clock);
  std::unique_ptr<APMEDatabase> database =
      APMEDatabase::initWithPath(home.path() + "/" + kAPMEDatabaseName, clock);
};

Parts& Shared() {
  // Lives until the process ends.
  static Parts* parts = new Parts();
  return *parts;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void ReadSnapshot(const APMESnapshot& snapshot) {
  for (const auto& experiment : snapshot.experiments()) {
    (void)experiment->experimentID();
    for (const auto& flag : experiment->flags()) (void)flag->protoBuffer();
    (void)experiment->flagValues();
  }
  (void)snapshot.flagByName("flag");
  (void)snapshot.proto();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetNanoLogSink([](const std::string&) {});
  (void)Shared();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Parts& parts = Shared();
  std::optional<fnd::Data> body = gul_dataByInflatingGzippedData(fnd::Data(data, data + size));
  if (!body) return 0;

  std::optional<APMESnapshots> snapshots = parts.taskManager->experimentSnapshotsFromData(*body);
  (void)APMETaskManager::errorsFromExperimentResponse(
      APMPBExperimentResponse::initWithBuffer(*body));
  if (!snapshots || snapshots->empty()) return 0;

  std::set<std::string> names;
  for (const auto& snapshot : *snapshots) {
    ReadSnapshot(*snapshot);
    names.insert(snapshot->SDKName());
  }

  APMEDatabase& database = *parts.database;
  if (!database.upsertPendingExperimentSnapshots(*snapshots)) Fail("pending snapshots not stored");
  std::optional<APMESnapshots> pending = database.fetchAllPendingSnapshots();
  if (!pending) Fail("pending snapshots not read back");
  std::set<std::string> stored;
  for (const auto& snapshot : *pending) {
    if (!names.count(snapshot->SDKName())) Fail("a pending row that was never stored");
    if (!stored.insert(snapshot->SDKName()).second) Fail("two pending rows for one SDK");
    ReadSnapshot(*snapshot);
  }
  if (stored != names) Fail("a stored snapshot was not read back");

  (void)database.activatePendingSnapshotsAutomatically();
  using Fetch = std::optional<APMESnapshots> (APMEDatabase::*)(fnd::Error*);
  for (Fetch fetch :
       {&APMEDatabase::fetchAllActivatedSnapshots, &APMEDatabase::fetchAllLaunchedSnapshots,
        &APMEDatabase::fetchAllPendingSnapshots}) {
    std::optional<APMESnapshots> read = (database.*fetch)(nullptr);
    if (!read) Fail("snapshots not read back");
    for (const auto& snapshot : *read) ReadSnapshot(*snapshot);
  }

  // The next input starts from empty tables.
  for (const std::string& name : names) {
    (void)database.deletePendingExperimentsOfSDKName(name);
    (void)database.deleteActivatedExperimentsOfSDKName(name);
    (void)database.deleteLaunchedExperimentSDKName(name);
  }
  return 0;
}
