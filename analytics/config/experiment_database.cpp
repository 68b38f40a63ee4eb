#include "analytics/config/experiment_database.h"

#include <filesystem>

#include "analytics/config/experiments_monitor.h"
#include "analytics/foundation/errors.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/monitor_context.h"

namespace {

constexpr const char* kSDKNameColumn = "sdk_name";
constexpr const char* kSnapshotProtoColumn = "snapshotProto";
constexpr const char* kTimestampColumn = "timestamp";
constexpr const char* kManuallyActivatedColumn = "manually_activated";
constexpr int64_t kFetchLimit = 100000;

// Error codes, as the SQLite store uses them: 1 a bad argument, 2 no open database.
constexpr int64_t kBadArgument = 1;
constexpr int64_t kNotOpen = 2;

const ZIVSqliteStore::ElementaryColumnInfo& SnapshotColumns() {
  static const ZIVSqliteStore::ElementaryColumnInfo columns = {
      {kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
      {kSnapshotProtoColumn, "BLOB NOT NULL"},
      {kTimestampColumn, "REAL NOT NULL"},
      {kManuallyActivatedColumn, "INTEGER"},
  };
  return columns;
}

fnd::Value ErrorValue(const fnd::Error& error) { return ZIVErrorContext(error); }

}  // namespace

APMEDatabase::APMEDatabase(std::string path, std::shared_ptr<dispatch::Clock> clock)
    : databasePath_(std::move(path)), clock_(std::move(clock)) {}

APMEDatabase::~APMEDatabase() = default;

std::unique_ptr<APMEDatabase> APMEDatabase::initWithPath(const std::string& path,
                                                         std::shared_ptr<dispatch::Clock> clock) {
  if (path.empty()) {
    APMELog(1, 810000, "Cannot initialize the database with invalid path");
    return nullptr;
  }
  std::unique_ptr<APMEDatabase> database(new APMEDatabase(path, std::move(clock)));
  if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
  return database;
}

bool APMEDatabase::initializeDatabaseResourcesWithContext(const std::string& context,
                                                          const std::string& databasePath) {
  store_.reset();  // The old connection goes before a new one opens the file.
  fnd::Error error;
  store_ = ZIVSqliteStore::initWithDatabasePath(databasePath, &error);
  if (!store_) {
    APMELog(1, 810001, "Failed to open database (" + context + ")", {ErrorValue(error)});
    return false;
  }
  if (!ensureAllTables()) {
    APMELog(1, 810002, "Failed to create or validate required database tables (" + context + ")");
    store_->closeDatabase();
    fnd::Error deleteError;
    if (!ZIVDeleteFile(databasePath, &deleteError)) {
      APMELog(4, 810003,
              "Failed to delete old database file after failed validation. Error (" +
                  deleteError.localizedDescription() + ")");
    }
    store_.reset();
    return false;
  }
  return true;
}

bool APMEDatabase::ensureAllTables() {
  if (!store_) return false;
  for (const char* table :
       {kAPMEPendingSnapshotTable, kAPMEActivatedSnapshotTable, kAPMELaunchedSnapshotTable}) {
    fnd::Error error;
    if (!store_->ensureTableWithName(table, SnapshotColumns(), {}, {}, &error)) {
      APMELog(1, 810004, "Failed to ensure table. Table, error",
              {fnd::Value(table), ErrorValue(error)});
      return false;
    }
  }
  return true;
}

void APMEDatabase::closeAndDelete() {
  if (store_) {
    if (!store_->closeAndDeleteDatabase()) APMELog(4, 810005, "Failed to delete database data");
    store_.reset();
    return;
  }
  // No open store: the file may still be there from a failed open.
  std::error_code ignored;
  if (std::filesystem::exists(databasePath_, ignored) && !ZIVDeleteFile(databasePath_)) {
    APMELog(4, 810005, "Failed to delete database data");
  }
}

void APMEDatabase::reset() {
  const std::string path = databasePath_;
  closeAndDelete();
  if (!initializeDatabaseResourcesWithContext("Reset", path)) {
    APMELog(1, 810006, "Cannot re-initialize the database");
  }
}

ZIVSqliteStore* APMEDatabase::openStore(fnd::Error* error) {
  if (!store_) ZIVSetError(error, kNotOpen, "The experiments database is not open");
  return store_.get();
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
  fnd::Error error;
  ZIVSqliteStore* store = openStore(&error);
  if (store && store->performTransactionWithError(&error, block)) return true;
  APMELog(1, 810007, "Transaction failed. " + error.description());
  return false;
}

std::shared_ptr<APMESnapshot> APMEDatabase::snapshotFromRecord(const ZIVSqliteStore::Record& record,
                                                               const std::string& table) {
  const fnd::Value name = record.get(kSDKNameColumn);
  std::shared_ptr<APMESnapshot> snapshot;
  if (const fnd::Data* bytes = record.get(kSnapshotProtoColumn).data()) {
    if (auto proto = APMPBSnapshot::initWithBuffer(bytes)) {
      snapshot = APMESnapshot::initWithProtobuf(*proto);
    }
  }
  if (!snapshot) {
    APMELog(1, 810008, "Cannot read a snapshot from the database. Table, SDK name",
            {fnd::Value(table), name});
    return nullptr;
  }
  snapshot->setTimestamp(record.get(kTimestampColumn).asDouble());
  const fnd::Value manual = record.get(kManuallyActivatedColumn);
  if (manual.isNumber() || manual.isBool()) snapshot->setManuallyActivated(manual.asInt() != 0);
  return snapshot;
}

std::optional<APMESnapshots> APMEDatabase::fetchAllSnapshotsFromTable(const std::string& table,
                                                                      fnd::Error* error) {
  ZIVSqliteStore* store = openStore(error);
  if (!store) return std::nullopt;
  const std::string sql =
      "SELECT rowid, * FROM " + table + " ORDER BY rowid LIMIT " + std::to_string(kFetchLimit);
  std::optional<std::vector<ZIVSqliteStore::Record>> rows = store->recordsForQuery(sql, {}, error);
  if (!rows) return std::nullopt;
  APMESnapshots snapshots;
  for (const auto& row : *rows) {
    if (auto snapshot = snapshotFromRecord(row, table)) snapshots.push_back(snapshot);
  }
  return snapshots;
}

std::optional<APMESnapshots> APMEDatabase::fetchAllActivatedSnapshots(fnd::Error* error) {
  return fetchAllSnapshotsFromTable(kAPMEActivatedSnapshotTable, error);
}

std::optional<APMESnapshots> APMEDatabase::fetchAllPendingSnapshots(fnd::Error* error) {
  return fetchAllSnapshotsFromTable(kAPMEPendingSnapshotTable, error);
}

std::optional<APMESnapshots> APMEDatabase::fetchAllLaunchedSnapshots(fnd::Error* error) {
  return fetchAllSnapshotsFromTable(kAPMELaunchedSnapshotTable, error);
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const APMESnapshots& snapshots,
                                                    fnd::Error* error) {
  for (const auto& snapshot : snapshots) {
    if (!snapshot) return ZIVSetError(error, kBadArgument, "Received nil snapshot");
  }
  ZIVSqliteStore* store = openStore(error);
  if (!store) return false;
  // One reply is stored whole or not at all, and in one transaction: a sync per row made a
  // reply of many snapshots hold the worker queue for seconds.
  return store->performSavepointWithError(error, [&] {
    for (const auto& snapshot : snapshots) {
      if (!upsertSnapshot(*snapshot, kAPMEPendingSnapshotTable, snapshot->timestamp(),
                          snapshot->manuallyActivated(), error)) {
        return false;
      }
    }
    return true;
  });
}

bool APMEDatabase::upsertSnapshot(const APMESnapshot& snapshot, const std::string& table,
                                  double timestamp, std::optional<bool> manuallyActivated,
                                  fnd::Error* error) {
  ZIVSqliteStore* store = openStore(error);
  if (!store) return false;
  std::shared_ptr<APMPBSnapshot> proto = snapshot.proto();
  std::optional<fnd::Data> bytes = proto ? proto->protoBuffer() : std::nullopt;
  if (!bytes) return ZIVSetError(error, kBadArgument, "Cannot encode the snapshot");
  ZIVSqliteStore::Record record{
      {kSDKNameColumn, fnd::Value(snapshot.SDKName())},
      {kTimestampColumn, fnd::Value(timestamp)},
      {kSnapshotProtoColumn, fnd::Value(std::move(*bytes))},
  };
  if (manuallyActivated) {
    record.set(kManuallyActivatedColumn, fnd::Value(int64_t{*manuallyActivated ? 1 : 0}));
  }
  return store->upsertRecord(record, table, error);
}

bool APMEDatabase::activateSnapshot(const std::shared_ptr<APMESnapshot>& pendingSnapshot,
                                    double timestamp, fnd::Error* error) {
  if (!pendingSnapshot) return ZIVSetError(error, kBadArgument, "Received nil pending snapshot");
  ZIVSqliteStore* store = openStore(error);
  if (!store) return false;
  const std::string& sdkName = pendingSnapshot->SDKName();
  std::shared_ptr<APMEExperiment> launched;
  std::vector<std::shared_ptr<APMEExperiment>> others;
  for (const auto& experiment : pendingSnapshot->experiments()) {
    if (experiment->experimentID() == APMELaunchedExperimentID) {
      launched = experiment;
    } else {
      others.push_back(experiment);
    }
  }
  if (launched) {
    auto snapshot = APMESnapshot::initWithSDKName(sdkName, {launched});
    if (!snapshot ||
        !upsertSnapshot(*snapshot, kAPMELaunchedSnapshotTable, timestamp, std::nullopt, error)) {
      return snapshot ? false : ZIVSetError(error, kBadArgument, "Cannot build launched snapshot");
    }
  }
  // The activated row always follows the pending snapshot, also when it holds nothing but the
  // launched experiment: an older activated row would otherwise come back at the next start
  // although the manager no longer has it in force.
  auto activated = APMESnapshot::initWithSDKName(sdkName, others);
  if (!activated) return ZIVSetError(error, kBadArgument, "Cannot build activated snapshot");
  if (!upsertSnapshot(*activated, kAPMEActivatedSnapshotTable, timestamp, std::nullopt, error)) {
    return false;
  }
  const std::string condition =
      std::string(kSDKNameColumn) + " = ? AND " + kTimestampColumn + " <= ?";
  return store
      ->deleteRecordsFromTableWithName(kAPMEPendingSnapshotTable, condition,
                                       {fnd::Value(sdkName), fnd::Value(timestamp)}, error)
      .has_value();
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(fnd::Error* error) {
  ZIVSqliteStore* store = openStore(error);
  if (!store) return false;
  std::optional<std::vector<ZIVSqliteStore::Record>> rows = store->recordsForQuery(
      "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY rowid",
      {fnd::Value(int64_t{1})}, error);
  if (!rows) return false;
  for (const auto& row : *rows) {
    std::shared_ptr<APMESnapshot> snapshot = snapshotFromRecord(row, kAPMEPendingSnapshotTable);
    if (!snapshot) continue;  // Logged; a later fetch for the SDK replaces the row.
    if (!activateSnapshot(snapshot, snapshot->timestamp(), error)) return false;
    if (!deletePendingExperimentsOfSDKName(snapshot->SDKName(), error)) return false;
  }
  return true;
}

bool APMEDatabase::deleteStaleActivatedSnapshots(fnd::Error* error) {
  ZIVSqliteStore* store = openStore(error);
  if (!store) return false;
  const double now = (clock_ ? clock_ : dispatch::Clock::current())->wallTime();
  return store
      ->deleteRecordsFromTableWithName(kAPMEActivatedSnapshotTable,
                                       std::string(kTimestampColumn) + " <= ?",
                                       {fnd::Value(now - APMEFlagTimeToLiveInSeconds)}, error)
      .has_value();
}

bool APMEDatabase::deleteRowOfSDKName(const std::string& table, const std::string& sdkName,
                                      fnd::Error* error) {
  if (sdkName.empty()) return ZIVSetError(error, kBadArgument, "Received empty SDK Name");
  ZIVSqliteStore* store = openStore(error);
  if (!store) return false;
  return store->deleteRecordFromTableWithName(table, kSDKNameColumn, fnd::Value(sdkName), error);
}

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(const std::string& sdkName,
                                                       fnd::Error* error) {
  return deleteRowOfSDKName(kAPMEActivatedSnapshotTable, sdkName, error);
}

bool APMEDatabase::deletePendingExperimentsOfSDKName(const std::string& sdkName,
                                                     fnd::Error* error) {
  return deleteRowOfSDKName(kAPMEPendingSnapshotTable, sdkName, error);
}

bool APMEDatabase::deleteLaunchedExperimentSDKName(const std::string& sdkName, fnd::Error* error) {
  return deleteRowOfSDKName(kAPMELaunchedSnapshotTable, sdkName, error);
}
