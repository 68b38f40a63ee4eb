// ZIVDatabase: schema, creation, limits, the generic row operations and the app-metadata row.

#include "analytics/storage/database.h"

#include <algorithm>
#include <cmath>

#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/storage/database_schema.h"
#include "analytics/storage/storage_log.h"
#include "platform/dispatch/clock.h"

namespace {

constexpr const char* kAppMetadataTable = "app_metadata";

}  // namespace

ZIVDatabase::ZIVDatabase(std::shared_ptr<ZIVPersistedConfig> persistedConfig,
                         Environment environment)
    : persistedConfig_(std::move(persistedConfig)),
      settings_(environment.settings ? std::move(environment.settings)
                                     : std::make_shared<ZIVDatabaseSettings>()),
      clock_(std::move(environment.clock)) {}

ZIVDatabase::~ZIVDatabase() = default;

std::shared_ptr<ZIVDatabase> ZIVDatabase::initWithDatabaseName(
    const std::string& name, std::shared_ptr<ZIVPersistedConfig> persistedConfig, fnd::Error* error,
    Environment environment) {
  if (name.empty()) {
    ZIVSetError(error, 1, "Received empty database name in init");
    return nullptr;
  }
  std::shared_ptr<ZIVDatabase> database(
      new ZIVDatabase(std::move(persistedConfig), std::move(environment)));
  if (!database->initializeDatabaseResourcesWithContext("Init", ZIVFilePathForDatabaseName(name),
                                                        error)) {
    return nullptr;
  }
  return database;
}

double ZIVDatabase::now() const {
  return (clock_ ? clock_ : dispatch::Clock::current())->wallTime();
}

bool ZIVDatabase::initializeDatabaseResourcesWithContext(const std::string& context,
                                                         const std::string& databasePath,
                                                         fnd::Error* error) {
  // The old connection goes before the new one opens the same file.
  sqliteStore_.reset();
  sqliteStore_ = ZIVSqliteStore::initWithDatabasePath(databasePath, error);
  if (!sqliteStore_) return false;

  fnd::Error tableError;
  if (!ensureAllTables(&tableError)) {
    fnd::SetError(error, tableError);
    ZIVStorageLog(1, 12002,
                  "Failed to create or validate required database tables (" + context + ")", {});
    // The connection is closed before the file goes, and the journal goes with it, so that the
    // next open starts from an empty file.
    if (!sqliteStore_->closeAndDeleteDatabase()) {
      fnd::Error deleteError;
      if (!ZIVDeleteFile(databasePath, &deleteError)) {
        ZIVStorageLog(4, 12003,
                      "Failed to delete old database file after failed validation. Error (" +
                          deleteError.localizedDescription() + ")",
                      {ZIVErrorContext(deleteError)});
      }
    }
    sqliteStore_.reset();
    return false;
  }
  if (!initializeAppMetadata(error)) {
    ZIVStorageLog(1, 12004, "Failed to initialize App Metadata table (" + context + ")", {});
    return false;
  }
  return true;
}

bool ZIVDatabase::ensureAllTables(fnd::Error* error) {
  for (const ZIVDatabaseTableDescription& table : ZIVDatabaseTables()) {
    fnd::Error tableError;
    if (!sqliteStore_->ensureTableWithName(table.name, table.elementary, table.addOn, table.modify,
                                           &tableError)) {
      ZIVStorageLog(1, 12047, "Failed to ensure table. Table, error",
                    {fnd::Value(table.name), ZIVErrorContext(tableError)});
      return fnd::SetError(error, tableError);
    }
  }
  return true;
}

bool ZIVDatabase::initializeAppMetadata(fnd::Error* error) {
  fnd::Error stepError;
  bool done = sqliteStore_->performTransactionWithError(&stepError, [&]() {
    fnd::Error queryError;
    std::optional<ZIVAppMetadata> existing = queryAppMetadata(&queryError);
    if (existing) return true;
    if (queryError.code() != 0) {
      ZIVStorageLog(1, 12005, "Failed to query app metadata", {ZIVErrorContext(queryError)});
      stepError = queryError;
      return false;
    }
    Row row;
    row.set("last_bundle_index", 0);
    row.set("last_delivery_index", 0);
    row.set("last_bundle_start_timestamp", 0.0);
    row.set("last_bundle_end_timestamp", 0.0);
    fnd::Error upsertError;
    if (!upsertDataType(row, kAppMetadataTable, "rowid", fnd::Value("1"), 1, &upsertError)) {
      ZIVStorageLog(1, 12006, "Unable to update the app metadata. Error",
                    {ZIVErrorContext(upsertError)});
      stepError = upsertError;
      return false;
    }
    return true;
  });
  if (!done) return fnd::SetError(error, stepError);
  return true;
}

bool ZIVDatabase::reset(fnd::Error* error) {
  const std::string path = sqliteStore_ ? sqliteStore_->databasePath() : std::string();
  if (!sqliteStore_ || !sqliteStore_->closeAndDeleteDatabase()) {
    return ZIVSetError(error, 2, "Failed to delete database data");
  }
  return initializeDatabaseResourcesWithContext("Reset", path, error);
}

bool ZIVDatabase::performTransaction(const std::function<bool()>& block) {
  fnd::Error error;
  bool done = sqliteStore_ && sqliteStore_->performTransactionWithError(&error, block);
  if (!done) {
    if (!sqliteStore_) ZIVSetError(&error, 2, "Database not open");
    ZIVStorageLog(1, 12056, "Transaction failed. " + error.localizedDescription(), {});
  }
  return done;
}

// ---- Generic row operations.

std::optional<std::vector<ZIVDatabase::Row>> ZIVDatabase::rowsForQuery(const std::string& sql,
                                                                       const fnd::Array& params,
                                                                       fnd::Error* error) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Query records failed. Database not open.");
    return std::nullopt;
  }
  return sqliteStore_->recordsForQuery(sql, params, error);
}

std::optional<bool> ZIVDatabase::boolForQuery(const std::string& sql, const fnd::Array& params,
                                              fnd::Error* error) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Query numeric result failed. Database not open.");
    return std::nullopt;
  }
  std::optional<fnd::Value> number = sqliteStore_->numberForQuery(sql, params, error);
  if (!number) return std::nullopt;
  return number->asInt() != 0;
}

bool ZIVDatabase::insertDataType(const Row& row, const std::string& table, fnd::Error* error) {
  if (table.empty()) return ZIVSetError(error, 1, "Received empty table name for inserting");
  if (row.empty()) return ZIVSetError(error, 1, "Failed to insert empty record");
  if (!sqliteStore_) return ZIVSetError(error, 2, "Upsert record failed. Database not open.");
  return sqliteStore_->upsertRecord(row, table, error);
}

bool ZIVDatabase::upsertDataType(const Row& row, const std::string& table,
                                 const std::string& column, const fnd::Value& columnValue,
                                 int64_t tableLimit, fnd::Error* error) {
  if (row.empty()) return ZIVSetError(error, 1, "Received empty data type to upsert");
  if (table.empty()) return ZIVSetError(error, 1, "Received empty table name for checking upsert");
  if (!sqliteStore_) return ZIVSetError(error, 2, "Upsert record failed. Database not open.");
  std::optional<int64_t> matching =
      sqliteStore_->rowCountForTableWithName(table, column, columnValue, error);
  if (!matching) return false;
  std::optional<int64_t> total = sqliteStore_->rowCountForTableWithName(table, error);
  if (!total) return false;
  const bool allowed =
      tableLimit == -1 || *matching > 0 || (tableLimit >= 1 && *total < tableLimit);
  if (!allowed) return ZIVSetError(error, 2, "Failed to insert data type. Table is full");
  Row full = row;
  // A row addressed by its rowid keeps that rowid.
  if (column == "rowid" && !full.contains("rowid")) full.set("rowid", columnValue);
  return sqliteStore_->upsertRecord(full, table, error);
}

bool ZIVDatabase::updateDataType(const std::optional<Row>& row, const std::string& table,
                                 const std::string& column, const fnd::Value& columnValue,
                                 fnd::Error* error) {
  if (!row || row->empty()) return ZIVSetError(error, 1, "Received empty data type to update");
  if (table.empty()) return ZIVSetError(error, 1, "Received empty table name for updating");
  if (!sqliteStore_) return ZIVSetError(error, 2, "Update record failed. Database not open.");
  std::optional<int64_t> matching =
      sqliteStore_->rowCountForTableWithName(table, column, columnValue, error);
  if (!matching) return false;
  if (*matching == 0) return ZIVSetError(error, 2, "Failed to update record. Item doesn't exist");
  return sqliteStore_->updateRecord(*row, table, column, columnValue, error);
}

// ---- App metadata.

namespace {

int64_t IntColumn(const ZIVDatabase::Row& row, const char* column) {
  // Add-on columns of older rows read as NULL: 0.
  return row.get(column).asInt(0);
}

double DoubleColumn(const ZIVDatabase::Row& row, const char* column) {
  return row.get(column).asDouble(0);
}

}  // namespace

std::optional<ZIVAppMetadata> ZIVDatabase::queryAppMetadata(fnd::Error* error) {
  auto rows =
      rowsForQuery("SELECT rowid, * FROM app_metadata WHERE rowid = ?", {fnd::Value("1")}, error);
  if (!rows) return std::nullopt;
  if (rows->empty()) return std::nullopt;
  const Row& row = rows->front();
  return ZIVAppMetadata::initWithLastBundleIndex(
      static_cast<int32_t>(IntColumn(row, "last_bundle_index")),
      static_cast<int32_t>(IntColumn(row, "last_delivery_index")),
      DoubleColumn(row, "last_bundle_start_timestamp"),
      DoubleColumn(row, "last_bundle_end_timestamp"));
}

bool ZIVDatabase::updateAppMetadata(const ZIVAppMetadata& appMetadata, fnd::Error* error) {
  Row row;
  row.set("last_bundle_index", appMetadata.lastBundleIndex());
  row.set("last_delivery_index", appMetadata.lastDeliveryIndex());
  row.set("last_bundle_start_timestamp", appMetadata.lastBundleStartTimestamp());
  row.set("last_bundle_end_timestamp", appMetadata.lastBundleEndTimestamp());
  return updateDataType(row, kAppMetadataTable, "rowid", fnd::Value("1"), error);
}

std::optional<ZIVDailyCounts> ZIVDatabase::dailyCounts(fnd::Error* error) {
  auto rows =
      rowsForQuery("SELECT rowid, * FROM app_metadata WHERE rowid = ?", {fnd::Value("1")}, error);
  if (!rows) return std::nullopt;
  if (rows->empty()) {
    ZIVSetError(error, 3, "App metadata row is missing");
    return std::nullopt;
  }
  const Row& row = rows->front();
  const double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0;
  const auto today = static_cast<int32_t>(std::floor((now() - offset) / 86400.0));
  ZIVDailyCounts counts(
      static_cast<int32_t>(IntColumn(row, "day")),
      static_cast<int32_t>(IntColumn(row, "daily_conversions_count")),
      static_cast<int32_t>(IntColumn(row, "daily_events_count")),
      static_cast<int32_t>(IntColumn(row, "daily_public_events_count")),
      static_cast<int32_t>(IntColumn(row, "daily_error_events_count")),
      static_cast<int32_t>(IntColumn(row, "daily_real_time_conversion_events_count")),
      static_cast<int32_t>(IntColumn(row, "daily_real_time_dcu_events_count")));
  // Counters of an earlier day are not today's.
  if (counts.day() != today) counts.resetWithNewDay(today);
  return counts;
}

bool ZIVDatabase::updateDailyCounts(const ZIVDailyCounts& counts, fnd::Error* error) {
  Row row;
  row.set("day", counts.day());
  row.set("daily_conversions_count", counts.conversionsCount());
  row.set("daily_events_count", counts.allEventsCount());
  row.set("daily_public_events_count", counts.publicEventsCount());
  row.set("daily_error_events_count", counts.errorEventsCount());
  row.set("daily_real_time_conversion_events_count", counts.realtimeCount());
  row.set("daily_real_time_dcu_events_count", counts.dcuRealtimeCount());
  return updateDataType(row, kAppMetadataTable, "rowid", fnd::Value("1"), error);
}

std::optional<int64_t> ZIVDatabase::trimTable(const std::string& table, int64_t keep,
                                              fnd::Error* error) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
    return std::nullopt;
  }
  // This runs before every stored event, so neither the usual answer (nothing to delete) nor the
  // answer of a full table (delete the oldest row) may walk the table. Rowids are distinct
  // integers, so max - min + 1 bounds the row count from above; both ends come from the rowid tree
  // in O(log n), each in a query of its own (SQLite reads an end of the tree only for a lone min()
  // or max(); both in one query scan the table). Only a bound over `keep` looks further, at the
  // row count the store keeps in memory.
  auto ends =
      sqliteStore_->integersForQuery("SELECT (SELECT min(rowid) FROM " + table +
                                         ") AS low, (SELECT max(rowid) FROM " + table + ") AS high",
                                     {}, error);
  if (!ends) return std::nullopt;
  if (ends->size() < 2 || !(*ends)[0] || !(*ends)[1]) return 0;  // An empty table.
  const __int128 bound = static_cast<__int128>(*(*ends)[1]) - *(*ends)[0] + 1;
  if (keep >= 0 && bound <= keep) return 0;
  std::optional<int64_t> rows = sqliteStore_->trackedRowCountForTableWithName(table, error);
  if (!rows) return std::nullopt;
  const int64_t excess = *rows - std::max<int64_t>(keep, 0);
  if (excess <= 0) return 0;
  // All but the newest `keep` go: the oldest `excess` rows, up to the last of them, found by
  // walking that many rows from the old end of the rowid tree.
  auto boundary = sqliteStore_->integersForQuery(
      "SELECT rowid AS boundary FROM " + table + " ORDER BY rowid ASC LIMIT 1 OFFSET ?",
      {fnd::Value::Int64(excess - 1)}, error);
  if (!boundary) return std::nullopt;
  if (boundary->empty()) return 0;
  return sqliteStore_->deleteRecordsFromTableWithName(
      table, "rowid <= ?", {fnd::Value::Int64(boundary->front().value_or(0))}, error);
}
