// APMEDatabase: the experiments client's own SQLite file ("rivado_experimentation_database.sql").
// It keeps one row per SDK in each of three tables of identical shape: pending snapshots (fetched,
// not in force), activated snapshots (in force) and launched snapshots (experiment 0, for
// everybody). Each row holds the encoded Snapshot message, its timestamp and its manual mark.
//
// Failures are logged through the experiments monitor (810000 to 810008) and reported as false
// or nullopt with an optional error in the engine's domain.
//
// Thread safety: none. The database is used only on the experiments worker queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/experiment_snapshot.h"
#include "analytics/storage/sqlite_store.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/error.h"

// The file name of the experiments database.
inline constexpr const char* kAPMEDatabaseName = "rivado_experimentation_database.sql";
// The tables.
inline constexpr const char* kAPMEPendingSnapshotTable = "pending_snapshot_table";
inline constexpr const char* kAPMEActivatedSnapshotTable = "activated_snapshot_table";
inline constexpr const char* kAPMELaunchedSnapshotTable = "launched_snapshot_table";
// How long an activated snapshot stays in force: 3 days.
inline constexpr double APMEFlagTimeToLiveInSeconds = 259200;

using APMESnapshots = std::vector<std::shared_ptr<APMESnapshot>>;

class APMEDatabase {
 public:
  // Opens (creating when missing) the database at `path` and ensures its tables. An empty path
  // logs 810000; a file that cannot be opened or given its tables is logged and answers null.
  // `clock` gives "now" for stale deletion (dispatch::Clock::current() when null).
  static std::unique_ptr<APMEDatabase> initWithPath(
      const std::string& path, std::shared_ptr<dispatch::Clock> clock = nullptr);
  ~APMEDatabase();
  APMEDatabase(const APMEDatabase&) = delete;
  APMEDatabase& operator=(const APMEDatabase&) = delete;

  // Opens the store and ensures the tables; on a table failure deletes the file and drops the
  // store. `context` ("Init", "Reset") names the occasion in log lines.
  bool initializeDatabaseResourcesWithContext(const std::string& context,
                                              const std::string& databasePath);
  // Each table, in turn; the first failure logs 810004 and answers false.
  bool ensureAllTables();
  // Closes the store and deletes the file; failure logs 810005. Afterwards every operation fails
  // until reset().
  void closeAndDelete();
  // Deletes the file and opens a new, empty one at the same path; failure logs 810006.
  void reset();

  // Runs the block inside one exclusive transaction, committed when it answers true. A failure
  // logs 810007 and answers false.
  bool performTransaction(const std::function<bool()>& block);

  // Every row of a table as a snapshot (with the row's timestamp and manual mark), in row order,
  // at most 100000. A row that does not hold a readable snapshot is left out and logged (810008);
  // it stays in the file. nullopt when the query fails.
  std::optional<APMESnapshots> fetchAllActivatedSnapshots(fnd::Error* error = nullptr);
  std::optional<APMESnapshots> fetchAllPendingSnapshots(fnd::Error* error = nullptr);
  std::optional<APMESnapshots> fetchAllLaunchedSnapshots(fnd::Error* error = nullptr);

  // Upserts each snapshot into the pending table with its own timestamp and manual mark; stops at
  // the first failure.
  bool upsertPendingExperimentSnapshots(const APMESnapshots& snapshots,
                                        fnd::Error* error = nullptr);
  // Writes the row of the snapshot's SDK in `table` (replacing an earlier one). The manual mark is
  // written only when given.
  bool upsertSnapshot(const APMESnapshot& snapshot, const std::string& table, double timestamp,
                      std::optional<bool> manuallyActivated, fnd::Error* error = nullptr);

  // Puts a pending snapshot in force at time `timestamp`: experiment 0 (the last one when several)
  // becomes the SDK's launched row, the others its activated row, and the SDK's pending rows
  // stamped at or before `timestamp` are deleted. With no other experiment the activated row is
  // replaced by an empty snapshot, as the manager does in memory. A null snapshot fails.
  bool activateSnapshot(const std::shared_ptr<APMESnapshot>& pendingSnapshot, double timestamp,
                        fnd::Error* error = nullptr);
  // Activates, in row order, every pending row not marked manually activated, with the row's own
  // timestamp, and deletes it. A row that does not hold a readable snapshot is logged (810008),
  // left as it is and skipped. Run it inside a transaction.
  bool activatePendingSnapshotsAutomatically(fnd::Error* error = nullptr);
  // Deletes activated rows stamped APMEFlagTimeToLiveInSeconds or longer ago.
  bool deleteStaleActivatedSnapshots(fnd::Error* error = nullptr);

  // Delete the SDK's row from one table. An empty name fails.
  bool deleteActivatedExperimentsOfSDKName(const std::string& sdkName, fnd::Error* error = nullptr);
  bool deletePendingExperimentsOfSDKName(const std::string& sdkName, fnd::Error* error = nullptr);
  bool deleteLaunchedExperimentSDKName(const std::string& sdkName, fnd::Error* error = nullptr);

  // The path given at creation.
  const std::string& databasePath() const { return databasePath_; }

 private:
  APMEDatabase(std::string path, std::shared_ptr<dispatch::Clock> clock);

  std::optional<APMESnapshots> fetchAllSnapshotsFromTable(const std::string& table,
                                                          fnd::Error* error);
  bool deleteRowOfSDKName(const std::string& table, const std::string& sdkName, fnd::Error* error);
  // The snapshot of a row, or null (logged 810008) when the row does not hold one.
  std::shared_ptr<APMESnapshot> snapshotFromRecord(const ZIVSqliteStore::Record& record,
                                                   const std::string& table);
  // The open store, or null with error code 2 filled.
  ZIVSqliteStore* openStore(fnd::Error* error);

  // Constant after construction.
  const std::string databasePath_;
  const std::shared_ptr<dispatch::Clock> clock_;  // May be null: Clock::current().

  // Owned by the experiments worker queue.
  std::unique_ptr<ZIVSqliteStore> store_;
};
