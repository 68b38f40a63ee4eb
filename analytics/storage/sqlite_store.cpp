#include "analytics/storage/sqlite_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include "analytics/foundation/errors.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/storage/storage_log.h"
#include "platform/dispatch/queue.h"

namespace {

// Error codes of the store.
constexpr int64_t kBadArgument = 1;
constexpr int64_t kBadState = 2;

constexpr const char* kPrimaryKey = "PRIMARY KEY";

std::string ToLowerASCII(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string ToUpperASCII(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Whether `text` equals `lowercase` (already in lower case) when ASCII letters are folded.
bool EqualsLowercaseASCII(const std::string& lowercase, const char* text) {
  size_t i = 0;
  for (; text[i] != '\0'; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (i >= lowercase.size() || c != lowercase[i]) return false;
  }
  return i == lowercase.size();
}

bool HasPlaceholder(const std::string& sql) { return sql.find('?') != std::string::npos; }

bool HasWhere(const std::string& sql) {
  return ToLowerASCII(sql).find("where") != std::string::npos;
}

// The first blank-separated word of a column definition ("INTEGER NOT NULL" -> "INTEGER").
std::string FirstWord(const std::string& definition) {
  size_t start = definition.find_first_not_of(' ');
  if (start == std::string::npos) return std::string();
  size_t end = definition.find(' ', start);
  return definition.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Whether a value can be written into a record column.
bool IsStorableValue(const fnd::Value& value) {
  return value.isString() || value.isInt() || value.isBool() || value.isDouble() ||
         value.isData() || value.isNull();
}

std::string NotOpenMessage(const std::string& operation) {
  return operation + " failed. Database not open.";
}

fnd::Error FileSystemError(const std::error_code& code, const std::string& path) {
  fnd::Dictionary info;
  info.set(fnd::kLocalizedDescriptionKey, code.message());
  info.set(fnd::kFilePathErrorKey, path);
  return fnd::Error(fnd::kPOSIXErrorDomain, code.value(), std::move(info));
}

// Removes one file; a missing file counts as removed.
bool RemoveFileIfPresent(const std::string& path, fnd::Error* error) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) {
    return fnd::SetError(error, FileSystemError(ec, path));
  }
  return true;
}

}  // namespace

// ---- Life cycle.

ZIVSqliteStore::ZIVSqliteStore(std::string path) : databasePath_(std::move(path)) {
  if (auto queue = dispatch::Queue::current()) creationQueueLabel_ = queue->label();
}

ZIVSqliteStore::~ZIVSqliteStore() { closeDatabase(); }

std::unique_ptr<ZIVSqliteStore> ZIVSqliteStore::initWithDatabasePath(const std::string& path,
                                                                     fnd::Error* error) {
  if (path.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty database path on init");
    return nullptr;
  }
  std::unique_ptr<ZIVSqliteStore> store(new ZIVSqliteStore(path));
  fnd::Error attemptError;
  if (store->openAndValidate(&attemptError)) return store;
  // The file cannot be used: start once more from an empty one. Its rows are lost, which the
  // log line says.
  ZIVStorageLog(1, 34010, "Database could not be opened or failed validation. Recreating it. Error",
                {ZIVErrorContext(attemptError)});
  if (!store->closeAndDeleteDatabase() || !store->openAndValidate(&attemptError)) {
    fnd::SetError(error, attemptError);
    return nullptr;
  }
  return store;
}

bool ZIVSqliteStore::openAndValidate(fnd::Error* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path path(databasePath_);
  if (fs::exists(path, ec)) {
    // Linux has no per-file immutable flag that an unprivileged process could clear; a file that
    // cannot be written is made writable for its owner instead.
    struct stat st;
    if (::stat(databasePath_.c_str(), &st) != 0) {
      return fnd::SetError(
          error, FileSystemError(std::error_code(errno, std::generic_category()), databasePath_));
    }
    if ((st.st_mode & S_IWUSR) == 0 && ::chmod(databasePath_.c_str(), st.st_mode | S_IWUSR) != 0) {
      return fnd::SetError(
          error, FileSystemError(std::error_code(errno, std::generic_category()), databasePath_));
    }
  } else if (path.has_parent_path()) {
    fs::create_directories(path.parent_path(), ec);
    if (ec) return fnd::SetError(error, FileSystemError(ec, path.parent_path().string()));
  }

  sqlite3* handle = nullptr;
  int rc =
      sqlite3_open_v2(databasePath_.c_str(), &handle,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  db_ = handle;  // SQLite hands back a handle even on failure, for its error message.
  if (rc != SQLITE_OK) {
    setDatabaseError(error, "initialize sqlite handle");
    closeDatabase();
    return false;
  }

  installHooks();

  fnd::Error backupError;
  if (!ZIVExcludeFilePathFromBackup(databasePath_, &backupError)) {
    ZIVStorageLog(4, 34017, "Failed to exclude database file from backup",
                  {ZIVErrorContext(backupError)});
  }

  if (!validateDatabase(error)) {
    closeDatabase();
    return false;
  }
  return true;
}

bool ZIVSqliteStore::validateDatabase(fnd::Error* error) {
  sqlite3_stmt* statement = nullptr;
  bool valid = false;
  if (sqlite3_prepare_v2(db_, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_count(statement) == 1) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    valid = text != nullptr && std::strcmp(reinterpret_cast<const char*>(text), "ok") == 0;
  }
  if (!valid) setDatabaseError(error, "validate database");
  sqlite3_finalize(statement);
  return valid;
}

void ZIVSqliteStore::closeDatabase() {
  if (!db_) return;
  for (auto& [sql, statement] : statementCache_) sqlite3_finalize(statement);
  statementCache_.clear();
  int rc = sqlite3_close(db_);
  if (rc != SQLITE_OK) {
    ZIVStorageLog(1, 34018, "Failed to close database. Got error code", {fnd::Value(rc)});
    // A statement made outside the cache is still alive; let SQLite close once it is finalized.
    sqlite3_close_v2(db_);
  }
  db_ = nullptr;
  dropTrackedCounts();
  trackable_.clear();
  countingTable_.clear();
  hookChanges_ = 0;
  totalChangesAtCheck_ = 0;
  dataVersion_ = -1;
  schemaVersion_ = -1;
}

bool ZIVSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  fnd::Error error;
  // The journal and WAL side files belong to the database: a journal left behind would be rolled
  // back into the next file of the same name.
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    if (!RemoveFileIfPresent(databasePath_ + suffix, &error)) {
      ZIVStorageLog(1, 34019, "Failed to delete database. Error", {ZIVErrorContext(error)});
      return false;
    }
  }
  return true;
}

// ---- Schema.

bool ZIVSqliteStore::ensureTableWithName(const std::string& name,
                                         const ElementaryColumnInfo& elementary,
                                         const AddOnColumnInfo& addOn,
                                         const ModifyColumnInfo& modify, fnd::Error* error) {
  if (!ensureTableWithName(name, elementary, addOn, error)) return false;
  if (modify.empty()) return true;
  auto correct = [&modify](const auto& columns) {
    std::vector<std::pair<std::string, std::string>> corrected;
    for (const auto& [column, definition] : columns) {
      if (column == kPrimaryKey) continue;
      auto it = modify.find(column);
      corrected.emplace_back(column, it == modify.end() ? definition : it->second);
    }
    return corrected;
  };
  return ensureSchemaOfTableWithName(name, correct(elementary), correct(addOn), error);
}

bool ZIVSqliteStore::ensureTableWithName(const std::string& name,
                                         const ElementaryColumnInfo& elementary,
                                         const AddOnColumnInfo& addOn, fnd::Error* error) {
  return ensureTableInternal(name, elementary, addOn, error);
}

bool ZIVSqliteStore::ensureTableInternal(const std::string& name,
                                         const ElementaryColumnInfo& elementary,
                                         const AddOnColumnInfo& addOn, fnd::Error* error) {
  if (name.empty())
    return ZIVSetError(error, kBadArgument, "Received empty table name for ensure table");
  if (elementary.empty()) {
    return ZIVSetError(error, kBadArgument,
                       "Received empty elementary column info for ensure table");
  }
  std::string createSQL = "CREATE TABLE IF NOT EXISTS " + name + " ( ";
  std::vector<std::string> required;
  for (const auto& [column, definition] : elementary) {
    createSQL += column + " " + definition + ", ";
    if (column != kPrimaryKey) required.push_back(column);
  }
  createSQL.replace(createSQL.size() - 2, 2, ");");
  AddOnColumns addOnColumns;
  for (const auto& [column, type] : addOn) {
    addOnColumns.emplace_back(column, "ALTER TABLE " + name + " ADD COLUMN " + column + " " + type);
  }
  return ensureTableWithName(name, createSQL, required, addOnColumns, error);
}

bool ZIVSqliteStore::ensureTableWithName(const std::string& name, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const AddOnColumns& addOnColumns, fnd::Error* error) {
  if (name.empty())
    return ZIVSetError(error, kBadArgument, "Received empty table name for ensure table");
  if (requiredColumnNames.empty()) {
    return ZIVSetError(error, kBadArgument, "Received no table columns for ensure table");
  }
  if (createSQL.empty()) {
    return ZIVSetError(error, kBadArgument, "Received empty create statement for ensure table");
  }
  if (!db_) return ZIVSetError(error, kBadState, NotOpenMessage("Ensure table"));
  std::optional<bool> exists = tableExists(name, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  std::optional<bool> valid = validateTableWithName(name, requiredColumnNames, addOnColumns, error);
  return valid.value_or(false);
}

std::optional<bool> ZIVSqliteStore::validateTableWithName(
    const std::string& name, const std::vector<std::string>& requiredColumnNames,
    const AddOnColumns& addOnColumns, fnd::Error* error) {
  if (name.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty table name for validate table");
    return std::nullopt;
  }
  if (requiredColumnNames.empty()) {
    ZIVSetError(error, kBadArgument, "Received no table columns for validate table");
    return std::nullopt;
  }
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Validate table"));
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> columns = columnsForTableWithName(name, error);
  if (!columns || columns->empty()) return std::nullopt;
  std::set<std::string> existing(columns->begin(), columns->end());
  for (const std::string& required : requiredColumnNames) {
    if (!existing.count(required)) {
      ZIVSetError(error, kBadState, "Table is missing required columns");
      return false;
    }
  }
  for (const std::string& required : requiredColumnNames) existing.erase(required);
  for (const auto& [column, statement] : addOnColumns) {
    if (existing.erase(column)) continue;
    if (!executeSQL(statement, error)) return false;
  }
  if (existing.empty()) return true;

  std::string sql = "PRAGMA table_info(" + name + ")";
  sqlite3_stmt* statement = statementForQuery(sql, nullptr, error);
  if (!statement) return std::nullopt;
  bool unknownRequired = false;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* column = sqlite3_column_text(statement, 1);
    if (column && existing.count(reinterpret_cast<const char*>(column)) &&
        sqlite3_column_int(statement, 3) != 0) {
      unknownRequired = true;
      break;
    }
  }
  cleanUpStatement(statement, sql);
  if (unknownRequired) {
    ZIVSetError(error, kBadState, "Table contains unknown non-optional columns");
    return false;
  }
  return true;
}

bool ZIVSqliteStore::ensureSchemaOfTableWithName(const std::string& name,
                                                 const ElementaryColumnInfo& elementary,
                                                 const AddOnColumnInfo& addOn, fnd::Error* error) {
  if (name.empty()) {
    return ZIVSetError(error, kBadArgument, "Received empty table name for ensure table schema");
  }
  if (elementary.empty()) {
    return ZIVSetError(error, kBadArgument, "Received empty column info for ensure table schema");
  }
  std::optional<std::map<std::string, std::string>> current =
      columnInfoForTableWithName(name, error);
  if (!current) return false;
  if (current->empty()) {
    return ZIVSetError(error, kBadState, "Table does not exist for ensure table schema");
  }
  std::map<std::string, std::string> expected;
  for (const auto& [column, definition] : elementary) {
    if (column == kPrimaryKey) continue;
    std::string type = FirstWord(definition);
    if (column.empty() || type.empty()) continue;
    expected[column] = type;
  }
  for (const auto& [column, type] : addOn) {
    if (column.empty() || type.empty()) continue;
    expected[column] = type;
  }
  if (expected == *current) return true;

  const std::string oldName = name + "_old";
  fnd::Error stepError;
  bool rebuilt = performTransactionWithError(&stepError, [&]() {
    return renameTable(name, oldName, &stepError) &&
           ensureTableInternal(name, elementary, addOn, &stepError) &&
           copySharedColumnsFromTable(oldName, name, &stepError) &&
           dropTableWithName(oldName, &stepError);
  });
  if (!rebuilt) {
    // The transaction's own "Transaction failed" hides the step that failed; report that step.
    return fnd::SetError(error, stepError);
  }
  return true;
}

// Copies every row, column by column name, for the columns that both tables have. Copying by
// position would shift values into the wrong columns whenever the two column orders differ.
bool ZIVSqliteStore::copySharedColumnsFromTable(const std::string& source,
                                                const std::string& destination, fnd::Error* error) {
  std::optional<std::vector<std::string>> sourceColumns = columnsForTableWithName(source, error);
  std::optional<std::vector<std::string>> destinationColumns =
      columnsForTableWithName(destination, error);
  if (!sourceColumns || !destinationColumns) return false;
  std::set<std::string> destinationSet(destinationColumns->begin(), destinationColumns->end());
  std::string list;
  for (const std::string& column : *sourceColumns) {
    if (!destinationSet.count(column)) continue;
    if (!list.empty()) list += ", ";
    list += "\"" + column + "\"";
  }
  if (list.empty()) return true;
  return executeSQL(
      "INSERT INTO " + destination + " (" + list + ") SELECT " + list + " FROM " + source, error);
}

std::optional<bool> ZIVSqliteStore::tableExists(const std::string& name, fnd::Error* error) {
  if (name.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty table name for table exists");
    return std::nullopt;
  }
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Table exists"));
    return std::nullopt;
  }
  sqlite3_stmt* statement =
      prepareSQL("SELECT name FROM sqlite_master WHERE type='table' AND name=?", error);
  if (!statement) return std::nullopt;
  if (!bindValues({fnd::Value(name)}, statement, error)) {
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  int rc = sqlite3_step(statement);
  std::optional<bool> result;
  if (rc == SQLITE_ROW) {
    result = true;
  } else if (rc == SQLITE_DONE) {
    result = false;
  } else {
    setDatabaseError(error, "execute statement");
  }
  sqlite3_finalize(statement);
  return result;
}

bool ZIVSqliteStore::dropTableWithName(const std::string& name, fnd::Error* error) {
  if (name.empty())
    return ZIVSetError(error, kBadArgument, "Received empty table name for drop table");
  return executeSQL("DROP TABLE " + name, error);
}

bool ZIVSqliteStore::renameTable(const std::string& oldName, const std::string& newName,
                                 fnd::Error* error) {
  if (oldName.empty())
    return ZIVSetError(error, kBadArgument, "Received empty old name for rename table");
  if (newName.empty())
    return ZIVSetError(error, kBadArgument, "Received empty new name for rename table");
  if (oldName == newName) {
    return ZIVSetError(error, kBadArgument, "Received duplicate name for rename table");
  }
  return executeSQL("ALTER TABLE " + oldName + " RENAME TO " + newName, error);
}

bool ZIVSqliteStore::copyContentsFromTable(const std::string& source,
                                           const std::string& destination, fnd::Error* error) {
  if (source.empty())
    return ZIVSetError(error, kBadArgument, "Received empty source name for copy table");
  if (destination.empty()) {
    return ZIVSetError(error, kBadArgument, "Received empty destination name for copy table");
  }
  if (source == destination) {
    return ZIVSetError(error, kBadArgument, "Received duplicate name for copy table");
  }
  return executeSQL("INSERT INTO " + destination + " SELECT * FROM " + source, error);
}

bool ZIVSqliteStore::createEmptyTable(const std::string& newName, const std::string& source,
                                      fnd::Error* error) {
  if (source.empty()) {
    return ZIVSetError(error, kBadArgument, "Received empty source name for create empty copy");
  }
  if (newName.empty()) {
    return ZIVSetError(error, kBadArgument,
                       "Received empty destination name for create empty copy");
  }
  if (source == newName) {
    return ZIVSetError(error, kBadArgument, "Received duplicate name for create empty copy");
  }
  return executeSQL(
      "CREATE TABLE IF NOT EXISTS " + newName + " AS SELECT * FROM " + source + " WHERE false",
      error);
}

std::optional<std::vector<std::string>> ZIVSqliteStore::columnsForTableWithName(
    const std::string& name, fnd::Error* error) {
  if (name.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty table name for get columns");
    return std::nullopt;
  }
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Get table columns"));
    return std::nullopt;
  }
  std::string sql = "PRAGMA table_info(" + name + ")";
  sqlite3_stmt* statement = statementForQuery(sql, nullptr, error);
  if (!statement) return std::nullopt;
  std::vector<std::string> columns;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* column = sqlite3_column_text(statement, 1);
    if (column && *column) columns.emplace_back(reinterpret_cast<const char*>(column));
  }
  cleanUpStatement(statement, sql);
  return columns;
}

std::optional<std::map<std::string, std::string>> ZIVSqliteStore::columnInfoForTableWithName(
    const std::string& name, fnd::Error* error) {
  if (name.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty table name for column info");
    return std::nullopt;
  }
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Get table column info"));
    return std::nullopt;
  }
  std::string sql = "PRAGMA table_info(" + name + ")";
  sqlite3_stmt* statement = statementForQuery(sql, nullptr, error);
  if (!statement) return std::nullopt;
  std::map<std::string, std::string> info;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* column = sqlite3_column_text(statement, 1);
    const unsigned char* type = sqlite3_column_text(statement, 2);
    if (column && *column && type && *type) {
      info[reinterpret_cast<const char*>(column)] = reinterpret_cast<const char*>(type);
    }
  }
  cleanUpStatement(statement, sql);
  return info;
}

// ---- Records.

std::optional<std::string> ZIVSqliteStore::upsertSQLForRecord(const Record& record,
                                                              const std::string& table,
                                                              fnd::Array* values,
                                                              fnd::Error* error) {
  std::string keys = "INSERT OR REPLACE INTO " + table + " (";
  std::string placeholders;
  for (const auto& [key, value] : record) {
    if (!IsStorableValue(value)) {
      ZIVStorageLog(4, 34020, "Record has value of unexpected type", {key, value});
      ZIVSetError(error, kBadArgument,
                  "Failed to bind parameter of unexpected type to upsert statement");
      return std::nullopt;
    }
    keys += key.asString() + ", ";
    placeholders += "?, ";
    values->push_back(value);
  }
  keys.replace(keys.size() - 2, 2, ") VALUES (");
  placeholders.replace(placeholders.size() - 2, 2, ");");
  return keys + placeholders;
}

bool ZIVSqliteStore::upsertRecord(const Record& record, const std::string& table,
                                  fnd::Error* error) {
  if (record.empty()) return ZIVSetError(error, kBadArgument, "Received empty record for upsert");
  if (table.empty())
    return ZIVSetError(error, kBadArgument, "Received empty table name for upsert");
  if (!db_) return ZIVSetError(error, kBadState, NotOpenMessage("Upsert record"));
  // The same columns give the same text, so the prepared statement is reused from the cache.
  fnd::Array values;
  std::optional<std::string> sql = upsertSQLForRecord(record, table, &values, error);
  if (!sql) return false;
  sqlite3_stmt* statement = statementForQuery(*sql, &values, error);
  if (!statement) return false;
  // A record that names no rowid adds one row to a table without keys, which a kept row count
  // follows; one that names it may replace a row unseen, and the hook then drops the count.
  bool namesRowid = false;
  for (const auto& [key, value] : record) {
    const std::string column = ToLowerASCII(key.asString());
    namesRowid = namesRowid || column == "rowid" || column == "oid" || column == "_rowid_";
  }
  if (!namesRowid) beginCountedChange(table, +1);
  const bool done = stepStatementToDone(statement, *sql, "execute statement", error);
  if (!namesRowid) endCountedChange(done);
  return done;
}

sqlite3_stmt* ZIVSqliteStore::updateStatementForRecord(const Record& record,
                                                       const std::string& table,
                                                       const std::string& column,
                                                       const fnd::Value& columnValue,
                                                       fnd::Error* error) {
  std::string assignments;
  fnd::Array values;
  for (const auto& [key, value] : record) {
    if (!IsStorableValue(value)) {
      ZIVStorageLog(4, 34021, "Record has value of unexpected type (update)", {key, value});
      ZIVSetError(error, kBadArgument,
                  "Failed to bind parameter of unexpected type to update statement");
      return nullptr;
    }
    assignments += key.asString() + "=?,";
    values.push_back(value);
  }
  assignments.pop_back();
  values.push_back(columnValue);
  std::string sql = "UPDATE " + table + " SET " + assignments + " WHERE " + column + "=?";
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (!statement) return nullptr;
  if (!bindValues(values, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool ZIVSqliteStore::updateRecord(const Record& record, const std::string& table,
                                  const std::string& column,
                                  const std::optional<fnd::Value>& columnValue, fnd::Error* error) {
  if (record.empty()) return ZIVSetError(error, kBadArgument, "Empty record for update");
  if (table.empty()) return ZIVSetError(error, kBadArgument, "Empty table name for update");
  if (column.empty()) return ZIVSetError(error, kBadArgument, "Empty column name for update");
  if (!columnValue) return ZIVSetError(error, kBadArgument, "Nil column value for update");
  if (!db_) return ZIVSetError(error, kBadState, NotOpenMessage("Update record"));
  sqlite3_stmt* statement = updateStatementForRecord(record, table, column, *columnValue, error);
  if (!statement) return false;
  return executeSQLStatement(statement, error);
}

bool ZIVSqliteStore::stepStatementToDone(sqlite3_stmt* statement, const std::string& sql,
                                         const std::string& operation, fnd::Error* error) {
  bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, operation);
  cleanUpStatement(statement, sql);
  return done;
}

bool ZIVSqliteStore::updateAllRecordsInTableWithName(const std::string& table,
                                                     const std::string& column,
                                                     const std::optional<fnd::Value>& columnValue,
                                                     fnd::Error* error) {
  if (table.empty()) return ZIVSetError(error, kBadArgument, "Empty table name for update");
  if (column.empty()) return ZIVSetError(error, kBadArgument, "Empty column name for update");
  if (!columnValue) return ZIVSetError(error, kBadArgument, "Nil column value for update");
  if (!db_) return ZIVSetError(error, kBadState, NotOpenMessage("Update record"));
  std::string sql = "UPDATE " + table + " SET " + column + "=?";
  fnd::Array parameters{*columnValue};
  sqlite3_stmt* statement = statementForQuery(sql, &parameters, error);
  if (!statement) return false;
  return stepStatementToDone(statement, sql, "update all records value", error);
}

bool ZIVSqliteStore::increaseColumn(const std::string& column, int64_t amount,
                                    const std::string& table, const std::string& condition,
                                    const fnd::Array& parameterValues, fnd::Error* error) {
  if (table.empty())
    return ZIVSetError(error, kBadArgument, "Empty table name for increase column");
  if (column.empty())
    return ZIVSetError(error, kBadArgument, "Empty column name for increase column");
  if (condition.empty())
    return ZIVSetError(error, kBadArgument, "Empty condition for increase column");
  if (!db_) return ZIVSetError(error, kBadState, NotOpenMessage("Increase column"));
  std::optional<std::map<std::string, std::string>> info = columnInfoForTableWithName(table, error);
  if (!info) return false;
  auto it = info->find(column);
  if (it == info->end()) return ZIVSetError(error, kBadArgument, "Invalid column or table name");
  if (ToUpperASCII(it->second) != "INTEGER") {
    return ZIVSetError(error, kBadArgument, "Column type is not integer.");
  }
  std::string sql = "UPDATE " + table + " SET " + column + " = " + column + " + " +
                    std::to_string(amount) + " WHERE " + condition;
  sqlite3_stmt* statement =
      statementForQuery(sql, parameterValues.empty() ? nullptr : &parameterValues, error);
  if (!statement) return false;
  return stepStatementToDone(statement, sql, "increase records value", error);
}

bool ZIVSqliteStore::deleteRecordFromTableWithName(const std::string& table,
                                                   const std::string& column,
                                                   const std::optional<fnd::Value>& columnValue,
                                                   fnd::Error* error) {
  if (table.empty())
    return ZIVSetError(error, kBadArgument, "Received empty table name for delete record");
  if (column.empty())
    return ZIVSetError(error, kBadArgument, "Received empty column for delete record");
  if (!columnValue) return ZIVSetError(error, kBadArgument, "Received nil value for delete record");
  if (!db_) return ZIVSetError(error, kBadState, NotOpenMessage("Delete record"));
  sqlite3_stmt* statement = prepareSQL("DELETE FROM " + table + " WHERE " + column + "=?", error);
  if (!statement) return false;
  if (!bindValues({*columnValue}, statement, error)) {
    sqlite3_finalize(statement);
    return false;
  }
  bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "delete record");
  sqlite3_finalize(statement);
  return done;
}

std::optional<int64_t> ZIVSqliteStore::deleteRecordsFromTableWithName(
    const std::string& table, const std::string& condition, const fnd::Array& parameterValues,
    fnd::Error* error) {
  if (table.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty table name for delete record");
    return std::nullopt;
  }
  if (condition.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty condition for delete record");
    return std::nullopt;
  }
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Delete records with condition"));
    return std::nullopt;
  }
  std::string sql = "DELETE FROM " + table + " WHERE " + condition;
  sqlite3_stmt* statement =
      statementForQuery(sql, parameterValues.empty() ? nullptr : &parameterValues, error);
  if (!statement) return std::nullopt;
  beginCountedChange(table, -1);
  const bool done = stepStatementToDone(statement, sql, "delete records with condition", error);
  endCountedChange(done);
  if (!done) return std::nullopt;
  return static_cast<int64_t>(sqlite3_changes64(db_));
}

bool ZIVSqliteStore::deleteAllRecordsFromTableWithName(const std::string& table,
                                                       fnd::Error* error) {
  if (table.empty()) {
    return ZIVSetError(error, kBadArgument, "Received empty table name for delete all records");
  }
  if (!db_) return ZIVSetError(error, kBadState, NotOpenMessage("Delete all records"));
  std::string sql = "DELETE FROM " + table;
  sqlite3_stmt* statement = statementForQuery(sql, nullptr, error);
  if (!statement) return false;
  return stepStatementToDone(statement, sql, "delete all records", error);
}

std::optional<int64_t> ZIVSqliteStore::rowCountForTableWithName(const std::string& table,
                                                                fnd::Error* error) {
  return rowCountForTableWithName(table, std::string(), std::nullopt, error);
}

std::optional<int64_t> ZIVSqliteStore::rowCountForTableWithName(
    const std::string& table, const std::string& column,
    const std::optional<fnd::Value>& columnValue, fnd::Error* error) {
  if (table.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty table name for row count");
    return std::nullopt;
  }
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Row count"));
    return std::nullopt;
  }
  std::string sql = "SELECT count(1) FROM " + table;
  fnd::Array parameters;
  if (columnValue && !column.empty()) {
    sql += " WHERE " + column + "=?";
    parameters.push_back(*columnValue);
  }
  std::optional<fnd::Value> count = numberForQuery(sql, parameters, error);
  if (!count) return std::nullopt;
  return count->asInt();
}

// ---- Row counts kept in memory.

void ZIVSqliteStore::installHooks() {
  sqlite3_update_hook(db_, &ZIVSqliteStore::updateHook, this);
  sqlite3_rollback_hook(db_, &ZIVSqliteStore::rollbackHook, this);
  sqlite3_trace_v2(db_, SQLITE_TRACE_STMT, &ZIVSqliteStore::traceHook, this);
  totalChangesAtCheck_ = sqlite3_total_changes64(db_);
  hookChanges_ = 0;
}

void ZIVSqliteStore::dropTrackedCounts() { trackedCounts_.clear(); }

void ZIVSqliteStore::updateHook(void* context, int operation, const char* /*database*/,
                                const char* table, sqlite3_int64 /*rowid*/) {
  auto* store = static_cast<ZIVSqliteStore*>(context);
  ++store->hookChanges_;
  if (store->trackedCounts_.empty() || !table) return;
  // Few tables are counted: compare names in place rather than build a key for every row.
  auto it =
      std::find_if(store->trackedCounts_.begin(), store->trackedCounts_.end(),
                   [&](const auto& entry) { return EqualsLowercaseASCII(entry.first, table); });
  if (it == store->trackedCounts_.end()) return;
  const int sign = operation == SQLITE_INSERT ? +1 : operation == SQLITE_DELETE ? -1 : 0;
  if (it->first == store->countingTable_ && sign != 0 && sign == store->countingSign_) {
    ++store->countedRows_;
  } else {
    store->trackedCounts_.erase(it);  // A change the store does not account for.
  }
}

void ZIVSqliteStore::rollbackHook(void* context) {
  static_cast<ZIVSqliteStore*>(context)->dropTrackedCounts();
}

namespace {

// Whether the statement text starts with the keyword ROLLBACK (a whole transaction, or back to a
// savepoint), after blanks and comments.
bool StartsWithRollback(const char* sql) {
  const char* p = sql;
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f') ++p;
    if (p[0] == '-' && p[1] == '-') {
      while (*p && *p != '\n') ++p;
    } else if (p[0] == '/' && p[1] == '*') {
      p += 2;
      while (*p && !(p[0] == '*' && p[1] == '/')) ++p;
      if (*p) p += 2;
    } else {
      break;
    }
  }
  static constexpr char kKeyword[] = "rollback";
  for (size_t i = 0; i + 1 < sizeof kKeyword; ++i) {
    char c = p[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kKeyword[i]) return false;
  }
  const char next = p[sizeof kKeyword - 1];
  return !((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
           (next >= '0' && next <= '9') || next == '_' || next == '$');
}

}  // namespace

int ZIVSqliteStore::traceHook(unsigned type, void* context, void* /*statement*/, void* sql) {
  // A ROLLBACK TO a savepoint undoes changes without calling the rollback hook.
  auto* store = static_cast<ZIVSqliteStore*>(context);
  if (type == SQLITE_TRACE_STMT && sql && !store->trackedCounts_.empty() &&
      StartsWithRollback(static_cast<const char*>(sql))) {
    store->dropTrackedCounts();
  }
  return 0;
}

bool ZIVSqliteStore::checkTrackedCounts(fnd::Error* error) {
  // Hooks that someone else replaced on the handle may have missed changes; put them back.
  if (sqlite3_update_hook(db_, &ZIVSqliteStore::updateHook, this) != this ||
      sqlite3_rollback_hook(db_, &ZIVSqliteStore::rollbackHook, this) != this) {
    dropTrackedCounts();
  }
  sqlite3_trace_v2(db_, SQLITE_TRACE_STMT, &ZIVSqliteStore::traceHook, this);
  // Every row change that SQLite counts passes the update hook, except a delete of all rows by
  // the truncate optimisation (and changes to tables without rowid, which nothing here keeps).
  const int64_t total = sqlite3_total_changes64(db_);
  if (total - totalChangesAtCheck_ != hookChanges_) dropTrackedCounts();
  totalChangesAtCheck_ = total;
  hookChanges_ = 0;

  static const std::string kVersionsSQL =
      "SELECT data_version, schema_version FROM pragma_data_version, pragma_schema_version";
  sqlite3_stmt* statement = statementForQuery(kVersionsSQL, error);
  if (!statement) {
    dropTrackedCounts();
    return false;
  }
  const bool read = sqlite3_step(statement) == SQLITE_ROW;
  const int64_t dataVersion = read ? sqlite3_column_int64(statement, 0) : -1;
  const int64_t schemaVersion = read ? sqlite3_column_int64(statement, 1) : -1;
  if (!read) setDatabaseError(error, "read data version");
  cleanUpStatement(statement, kVersionsSQL);
  if (!read) {
    dropTrackedCounts();
    return false;
  }
  if (dataVersion != dataVersion_) dropTrackedCounts();  // Another connection committed.
  if (schemaVersion != schemaVersion_) {
    dropTrackedCounts();
    trackable_.clear();
  }
  dataVersion_ = dataVersion;
  schemaVersion_ = schemaVersion;
  return true;
}

void ZIVSqliteStore::beginCountedChange(const std::string& table, int sign) {
  if (trackedCounts_.empty()) return;
  countingTable_ = ToLowerASCII(table);
  countingSign_ = sign;
  countedRows_ = 0;
}

void ZIVSqliteStore::endCountedChange(bool succeeded) {
  if (countingTable_.empty()) return;
  auto it = trackedCounts_.find(countingTable_);
  if (it != trackedCounts_.end()) {
    if (succeeded && countedRows_ == sqlite3_changes64(db_)) {
      it->second += countingSign_ * countedRows_;
    } else {
      trackedCounts_.erase(it);  // A failed statement may have been undone in part.
    }
  }
  countingTable_.clear();
}

std::optional<int64_t> ZIVSqliteStore::trackedRowCountForTableWithName(const std::string& table,
                                                                       fnd::Error* error) {
  if (table.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty table name for row count");
    return std::nullopt;
  }
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Row count"));
    return std::nullopt;
  }
  if (!checkTrackedCounts(error)) return std::nullopt;
  const std::string key = ToLowerASCII(table);
  if (auto it = trackedCounts_.find(key); it != trackedCounts_.end()) return it->second;
  auto trackable = trackable_.find(key);
  if (trackable == trackable_.end()) {
    // A primary key or a unique index lets INSERT OR REPLACE delete rows without the hook.
    std::optional<fnd::Value> keys = numberForQuery(
        "SELECT (SELECT count(*) FROM pragma_table_info(?) WHERE pk > 0) + "
        "(SELECT count(*) FROM pragma_index_list(?) WHERE \"unique\")",
        {fnd::Value(table), fnd::Value(table)}, error);
    if (!keys) return std::nullopt;
    trackable = trackable_.emplace(key, keys->asInt() == 0).first;
  }
  std::optional<int64_t> count = rowCountForTableWithName(table, error);
  if (count && trackable->second) trackedCounts_[key] = *count;
  return count;
}

// ---- Queries.

std::optional<std::vector<ZIVSqliteStore::Record>> ZIVSqliteStore::recordsForQuery(
    const std::string& sql, const fnd::Array& parameterValues, fnd::Error* error) {
  return recordsForQuery(sql, parameterValues, error, [](size_t, const Record&) { return true; });
}

std::optional<std::vector<ZIVSqliteStore::Record>> ZIVSqliteStore::recordsForQuery(
    const std::string& sql, const fnd::Array& parameterValues, fnd::Error* error,
    const RecordFilter& filter) {
  // The walk logs the columns it leaves out; each row becomes a record of the others.
  std::vector<Record> records;
  RowVisitor collect;
  if (filter) {
    collect = [&](size_t index, const ZIVSqliteRow& row) {
      Record record;
      const int count = row.columnCount();
      for (int column = 0; column < count; ++column) {
        const char* name = row.name(column);
        if (!name) continue;
        std::optional<fnd::Value> value = row.value(column);
        if (value) record.set(std::string(name), std::move(*value));
      }
      if (!filter(index, record)) return false;
      records.push_back(std::move(record));
      return true;
    };
  }
  if (!visitRowsForQuery(sql, parameterValues, error, collect)) return std::nullopt;
  return records;
}

namespace {

// Whether recordsForQuery() leaves the column out of its record: text or a blob that SQLite
// hands out as a null pointer (an empty blob; out of memory).
bool ReadsAsAbsent(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_TEXT:
      return sqlite3_column_text(statement, column) == nullptr;
    case SQLITE_BLOB:
      return sqlite3_column_blob(statement, column) == nullptr;
    default:
      return false;
  }
}

}  // namespace

bool ZIVSqliteStore::visitRowsForQuery(const std::string& sql, const fnd::Array& parameterValues,
                                       fnd::Error* error, const RowVisitor& visitor) {
  if (sql.empty()) {
    return ZIVSetError(error, kBadArgument, "Received empty query for records for query");
  }
  if (!visitor) {
    return ZIVSetError(error, kBadArgument, "Received empty filter for selecting records");
  }
  sqlite3_stmt* statement = selectStatement(sql, parameterValues, error);
  if (!statement) return false;

  const ZIVSqliteRow row(statement);
  size_t index = 0;
  size_t accepted = 0;
  bool failed = false;
  while (true) {
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) {
      setDatabaseError(error, "query records");
      failed = true;
      break;
    }
    const int count = sqlite3_column_count(statement);
    for (int column = 0; column < count; ++column) {
      const char* name = sqlite3_column_name(statement, column);
      if (!name) {
        ZIVStorageLog(4, 34003, "Failed to get column name", {});
      } else if (ReadsAsAbsent(statement, column)) {
        ZIVStorageLog(4, 34004, "Value is nil for column", {fnd::Value(name)});
      }
    }
    const bool keep = visitor(index, row);
    ++index;
    if (!keep) break;
    ++accepted;
  }
  cleanUpStatement(statement, sql);
  if (failed) return false;
  if (index > 0 && accepted == 0) {
    ZIVStorageLog(4, 34005, "Database contains records that were all filtered out", {});
  }
  return true;
}

sqlite3_stmt* ZIVSqliteStore::selectStatement(const std::string& sql,
                                              const fnd::Array& parameterValues,
                                              fnd::Error* error) {
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Query records"));
    return nullptr;
  }
  if (ToLowerASCII(sql.substr(0, 6)) != "select") {
    ZIVSetError(error, kBadArgument, "Received invalid select query");
    return nullptr;
  }
  return statementForQuery(sql, parameterValues.empty() ? nullptr : &parameterValues, error);
}

std::optional<std::vector<std::optional<int64_t>>> ZIVSqliteStore::integersForQuery(
    const std::string& sql, const fnd::Array& parameterValues, fnd::Error* error) {
  // The same checks and failure texts as recordsForQuery.
  if (sql.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty query for records for query");
    return std::nullopt;
  }
  sqlite3_stmt* statement = selectStatement(sql, parameterValues, error);
  if (!statement) return std::nullopt;
  std::vector<std::optional<int64_t>> row;
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) {
    const int count = sqlite3_column_count(statement);
    row.reserve(static_cast<size_t>(count));
    for (int column = 0; column < count; ++column) {
      if (sqlite3_column_type(statement, column) == SQLITE_INTEGER) {
        row.emplace_back(sqlite3_column_int64(statement, column));
      } else {
        row.emplace_back(std::nullopt);
      }
    }
  } else if (rc != SQLITE_DONE) {
    setDatabaseError(error, "query records");
  }
  cleanUpStatement(statement, sql);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return std::nullopt;
  return row;
}

std::optional<fnd::Value> ZIVSqliteStore::numberForQuery(const std::string& sql,
                                                         const fnd::Array& parameterValues,
                                                         fnd::Error* error) {
  if (sql.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty query to get numeric result");
    return std::nullopt;
  }
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Query numeric result"));
    return std::nullopt;
  }
  sqlite3_stmt* statement =
      statementForQuery(sql, parameterValues.empty() ? nullptr : &parameterValues, error);
  if (!statement) return std::nullopt;
  std::optional<fnd::Value> result;
  if (sqlite3_step(statement) != SQLITE_ROW) {
    setDatabaseError(error, "query numeric result");
  } else {
    std::optional<fnd::Value> value = valueAtColumn(0, statement);
    if (value && value->isNull()) {
      // SQL NULL: no number and no error.
    } else if (value && value->isNumber()) {
      result = std::move(value);
    } else {
      ZIVSetError(error, kBadArgument, "Found result that was not numeric");
    }
  }
  cleanUpStatement(statement, sql);
  return result;
}

// ---- Transactions.

bool ZIVSqliteStore::performTransactionWithError(fnd::Error* error,
                                                 const std::function<bool()>& block) {
  if (!block) return ZIVSetError(error, kBadArgument, "Received nil transaction block");
  if (!db_) return ZIVSetError(error, kBadState, "Database not open");
  if (!beginTransaction()) {
    return ZIVSetErrorWithMonitorContext(error, 3, "Failed to begin transaction",
                                         monitorContextForDatabaseOperation("begin transaction"));
  }
  bool committed;
  try {
    committed = block();
  } catch (...) {
    if (!rollbackTransaction()) {
      ZIVStorageLog(1, 34009, "Failed to rollback transaction after exception",
                    {ZIVCurrentExceptionContext()});
    }
    throw;
  }
  if (!committed) {
    ZIVSetError(error, 3, "Transaction failed");
    if (!rollbackTransaction()) ZIVStorageLog(1, 34011, "Failed to rollback transaction", {});
    return false;
  }
  if (!endTransaction()) {
    ZIVSetErrorWithMonitorContext(error, 3, "Failed to end transaction",
                                  monitorContextForDatabaseOperation("end transaction"));
    // A commit that failed (a busy or full disk) leaves the transaction open, and every later
    // BEGIN would fail with it. Give the changes up instead.
    if (db_ && sqlite3_get_autocommit(db_) == 0 && !rollbackTransaction()) {
      ZIVStorageLog(1, 34011, "Failed to rollback transaction", {});
    }
    return false;
  }
  return true;
}

bool ZIVSqliteStore::performSavepointWithError(fnd::Error* error,
                                               const std::function<bool()>& block) {
  if (!block) return ZIVSetError(error, kBadArgument, "Received nil transaction block");
  if (!db_) return ZIVSetError(error, kBadState, "Database not open");
  if (sqlite3_exec(db_, "SAVEPOINT ziv_step", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return setDatabaseError(error, "begin savepoint");
  }
  auto rollBack = [this]() {
    if (sqlite3_exec(db_, "ROLLBACK TO ziv_step", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db_, "RELEASE ziv_step", nullptr, nullptr, nullptr) != SQLITE_OK) {
      ZIVStorageLog(1, 34011, "Failed to rollback transaction", {});
    }
  };
  bool done;
  try {
    done = block();
  } catch (...) {
    rollBack();
    throw;
  }
  if (!done) {
    rollBack();
    return false;
  }
  if (sqlite3_exec(db_, "RELEASE ziv_step", nullptr, nullptr, nullptr) != SQLITE_OK) {
    setDatabaseError(error, "release savepoint");
    rollBack();
    return false;
  }
  return true;
}

bool ZIVSqliteStore::beginTransaction() {
  return db_ && sqlite3_exec(db_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) == 0;
}

bool ZIVSqliteStore::endTransaction() {
  return db_ && sqlite3_exec(db_, "END TRANSACTION", nullptr, nullptr, nullptr) == 0;
}

bool ZIVSqliteStore::rollbackTransaction() {
  return db_ && sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr) == 0;
}

// ---- Statements.

sqlite3_stmt* ZIVSqliteStore::statementForQuery(const std::string& sql, fnd::Error* error) {
  return statementForQuery(sql, nullptr, error);
}

sqlite3_stmt* ZIVSqliteStore::statementForQuery(const std::string& sql,
                                                const fnd::Array* parameterValues,
                                                fnd::Error* error) {
  sqlite3_stmt* statement = nullptr;
  if (auto it = statementCache_.find(sql); it != statementCache_.end()) {
    statement = it->second;
  } else {
    if (!db_) {
      ZIVSetError(error, kBadState, NotOpenMessage("Statement for query"));
      return nullptr;
    }
    if (HasPlaceholder(sql) && (!parameterValues || parameterValues->empty())) {
      ZIVSetError(error, kBadArgument, "Received empty parameters");
      return nullptr;
    }
    statement = prepareSQL(sql, error);
    if (!statement) return nullptr;
    if (HasPlaceholder(sql) || !HasWhere(sql)) statementCache_[sql] = statement;
  }
  if (parameterValues && !parameterValues->empty() &&
      !bindValues(*parameterValues, statement, error)) {
    cleanUpStatement(statement, sql);
    return nullptr;
  }
  return statement;
}

void ZIVSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& sql) {
  if (!statement) return;
  auto it = statementCache_.find(sql);
  if (it == statementCache_.end()) {
    sqlite3_finalize(statement);
    return;
  }
  if (it->second != statement) {
    ZIVStorageLog(5, 34016, "Statement is not the same one in the cache", {});
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

sqlite3_stmt* ZIVSqliteStore::prepareSQL(const std::string& sql, fnd::Error* error) {
  if (sql.empty()) {
    ZIVSetError(error, kBadArgument, "Received empty SQL string to prepare");
    return nullptr;
  }
  if (!db_) {
    ZIVSetError(error, kBadState, NotOpenMessage("Prepare SQL"));
    return nullptr;
  }
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, &tail) != SQLITE_OK) {
    setDatabaseError(error, "prepare statement");
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (tail && *tail) {
    ZIVSetError(error, kBadArgument, "Query contained more than one SQL statement.");
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (!statement) {
    // Text without any statement (only a comment) prepares to nothing.
    ZIVSetError(error, kBadArgument, "Received empty SQL string to prepare");
    return nullptr;
  }
  return statement;
}

bool ZIVSqliteStore::executeSQL(const std::string& sql, fnd::Error* error) {
  if (sql.empty()) return ZIVSetError(error, kBadArgument, "Received empty SQL string to execute");
  if (!db_) return ZIVSetError(error, kBadState, NotOpenMessage("Execute SQL"));
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (!statement) return false;
  return executeSQLStatement(statement, error);
}

bool ZIVSqliteStore::executeSQL(const std::string& sql, const fnd::Array& parameterValues,
                                fnd::Error* error) {
  if (sql.empty()) return ZIVSetError(error, kBadArgument, "Received empty SQL string to execute");
  if (!db_) return ZIVSetError(error, kBadState, NotOpenMessage("Execute SQL"));
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (!statement) return false;
  if (!bindValues(parameterValues, statement, error)) {
    sqlite3_finalize(statement);
    return false;
  }
  return executeSQLStatement(statement, error);
}

bool ZIVSqliteStore::executeSQLStatement(sqlite3_stmt* statement, fnd::Error* error) {
  if (!statement) {
    return ZIVSetError(error, kBadArgument, "Execute SQL statement failed. Statement is NULL.");
  }
  if (!db_) {
    sqlite3_finalize(statement);
    return ZIVSetError(error, kBadState, NotOpenMessage("Execute SQL statement"));
  }
  bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "execute statement");
  sqlite3_finalize(statement);
  return done;
}

bool ZIVSqliteStore::bindValues(const fnd::Array& values, sqlite3_stmt* statement,
                                fnd::Error* error) {
  if (!statement) return ZIVSetError(error, kBadArgument, "Failed to bind to NULL statement");
  sqlite3_clear_bindings(statement);
  bool allBound = true;
  for (size_t i = 0; i < values.size(); ++i) {
    const fnd::Value& value = values[i];
    const int index = static_cast<int>(i + 1);
    int rc;
    switch (value.kind()) {
      case fnd::Value::Kind::kData: {
        const fnd::Data& data = *value.data();
        // SQLite binds a null pointer as NULL; an empty blob must stay a (zero-length) blob.
        rc = data.empty() ? sqlite3_bind_zeroblob(statement, index, 0)
                          : sqlite3_bind_blob64(statement, index, data.data(), data.size(),
                                                SQLITE_TRANSIENT);
        break;
      }
      case fnd::Value::Kind::kDouble:
        rc = sqlite3_bind_double(statement, index, value.asDouble());
        break;
      case fnd::Value::Kind::kInt:
      case fnd::Value::Kind::kBool:
        rc = sqlite3_bind_int64(statement, index, value.asInt());
        break;
      case fnd::Value::Kind::kString:
        rc = sqlite3_bind_text64(statement, index, value.asString().data(), value.asString().size(),
                                 SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
      case fnd::Value::Kind::kNull:
        rc = sqlite3_bind_null(statement, index);
        break;
      default:
        rc = SQLITE_MISMATCH;
        break;
    }
    if (rc != SQLITE_OK) {
      setDatabaseError(error, "bind values");
      allBound = false;
    }
  }
  return allBound;
}

std::optional<fnd::Value> ZIVSqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
  return ZIVSqliteRow(statement).value(column);
}

// ---- Rows read in place.

int ZIVSqliteRow::columnCount() const { return sqlite3_column_count(statement_); }

const char* ZIVSqliteRow::name(int column) const { return sqlite3_column_name(statement_, column); }

int ZIVSqliteRow::type(int column) const { return sqlite3_column_type(statement_, column); }

int64_t ZIVSqliteRow::integer(int column) const { return sqlite3_column_int64(statement_, column); }

double ZIVSqliteRow::real(int column) const { return sqlite3_column_double(statement_, column); }

std::string_view ZIVSqliteRow::text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (!text) return {};
  const int length = sqlite3_column_bytes(statement_, column);
  return std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
}

std::span<const uint8_t> ZIVSqliteRow::blob(int column) const {
  const void* blob = sqlite3_column_blob(statement_, column);
  if (!blob) return {};
  const int length = sqlite3_column_bytes(statement_, column);
  return std::span<const uint8_t>(static_cast<const uint8_t*>(blob), static_cast<size_t>(length));
}

std::optional<fnd::Value> ZIVSqliteRow::value(int column) const {
  sqlite3_stmt* statement = statement_;
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return fnd::Value::Int64(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT:
      return fnd::Value(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_column_text(statement, column);
      if (!text) return std::nullopt;
      int length = sqlite3_column_bytes(statement, column);
      return fnd::Value(std::string(reinterpret_cast<const char*>(text), length));
    }
    case SQLITE_BLOB: {
      const void* blob = sqlite3_column_blob(statement, column);
      if (!blob) return std::nullopt;
      int length = sqlite3_column_bytes(statement, column);
      const uint8_t* bytes = static_cast<const uint8_t*>(blob);
      return fnd::Value(fnd::Data(bytes, bytes + length));
    }
    case SQLITE_NULL:
    default:
      return fnd::Value();
  }
}

// ---- Failure reporting.

std::optional<std::string> ZIVSqliteStore::lastErrorMessage() {
  if (!db_) {
    ZIVStorageLog(1, 34022, "Failed to get last error message. Database not open", {});
    return std::nullopt;
  }
  return std::string(sqlite3_errmsg(db_));
}

std::optional<std::string> ZIVSqliteStore::errorDescriptionForDatabaseOperation(
    const std::string& operation) {
  if (!db_) return std::nullopt;
  return "Database operation \"" + operation + "\" failed with sqlite code " +
         std::to_string(sqlite3_errcode(db_)) + " and error message \"" + sqlite3_errmsg(db_) +
         "\"";
}

std::string ZIVSqliteStore::monitorContextForDatabaseOperation(const std::string& operation) {
  std::string context = operation.empty() ? std::string("Unknown operation") : operation;
  context += ",";
  context += std::to_string(db_ ? sqlite3_errcode(db_) : 0);
  context += ",";
  context += ::access(databasePath_.c_str(), W_OK) == 0 ? "A" : "NA";
  return context;
}

bool ZIVSqliteStore::setDatabaseError(fnd::Error* error, const std::string& operation) {
  std::optional<std::string> description = errorDescriptionForDatabaseOperation(operation);
  return ZIVSetErrorWithMonitorContext(error, 3, description.value_or(std::string()),
                                       monitorContextForDatabaseOperation(operation));
}
