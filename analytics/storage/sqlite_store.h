// ZIVSqliteStore: the one wrapper through which the analytics database and the experiments
// database reach SQLite. It owns one connection to one file, opens and validates it (integrity
// check, one delete-and-recreate), keeps tables in step with a column description (create, add
// columns, rebuild on changed types), builds the insert, update, upsert, delete and count
// statements from records, runs queries into records, caches prepared statements and runs
// exclusive transactions. It has no schema of its own: callers describe tables and the store
// makes the file match.
//
// Values crossing the store are fnd::Value. A record is a dictionary from column name (string)
// to value. Values bind as follows (parameters are numbered from 1 in list order):
//   data                 -> blob (copied by SQLite; an empty one is a zero-length blob, not NULL)
//   double               -> double
//   int or bool          -> 64-bit integer
//   string               -> UTF-8 text (copied by SQLite)
//   null                 -> SQL NULL
//   anything else        -> binding fails
// Values read back, by storage class: INTEGER -> int (64-bit), FLOAT -> double, TEXT -> string,
// BLOB -> data (absent for an empty blob), NULL -> null.
//
// Errors are fnd::Error values in the engine's error domain with code 1 (bad argument), 2 (the
// database is not open, or a table is in a bad state) or 3 (a SQLite call failed).
//
// Thread safety: none. The store takes no lock; its statement cache and the bind-step-reset
// sequences must not interleave, so each owner uses its store from one serial queue only. The
// connection is opened in SQLite's serialized mode all the same.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// One result row of ZIVSqliteStore::visitRowsForQuery(), read in place from the running
// statement: valid only during the visit that hands it out. Columns are numbered from 0.
class ZIVSqliteRow {
 public:
  int columnCount() const;
  // The column's name as SQLite names it; null on failure.
  const char* name(int column) const;
  // SQLite's storage class: SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL.
  int type(int column) const;
  int64_t integer(int column) const;
  double real(int column) const;
  // A TEXT column's bytes, or a BLOB column's; empty when SQLite holds none (an empty blob).
  std::string_view text(int column) const;
  std::span<const uint8_t> blob(int column) const;
  // The value that recordsForQuery() puts in its record, or nullopt when it leaves it out.
  std::optional<fnd::Value> value(int column) const;

 private:
  friend class ZIVSqliteStore;
  explicit ZIVSqliteRow(sqlite3_stmt* statement) : statement_(statement) {}
  sqlite3_stmt* const statement_;
};

class ZIVSqliteStore {
 public:
  using Record = fnd::Dictionary;
  // Ordered (name, definition) pairs. An entry named "PRIMARY KEY" is a table constraint whose
  // definition is the parenthesised column list; it is written into the create statement but is
  // not a column.
  using ElementaryColumnInfo = std::vector<std::pair<std::string, std::string>>;
  // Ordered (name, type) pairs of columns that older files may lack.
  using AddOnColumnInfo = std::vector<std::pair<std::string, std::string>>;
  // Column name -> new full definition.
  using ModifyColumnInfo = std::map<std::string, std::string>;
  // Column name -> the complete SQL statement that adds it.
  using AddOnColumns = std::vector<std::pair<std::string, std::string>>;
  // Called with the zero-based row index and the row; false ends the walk without that row.
  using RecordFilter = std::function<bool(size_t index, const Record& record)>;
  // Called with the zero-based row index and the row read in place; false ends the walk.
  using RowVisitor = std::function<bool(size_t index, const ZIVSqliteRow& row)>;

  // Opens (creating when missing) the database at `path` and validates it with an integrity
  // check. A file that cannot be opened or fails the check is deleted, together with its journal
  // and WAL side files, and opened once more. Returns null and fills *error when the path is
  // empty or the second attempt fails.
  static std::unique_ptr<ZIVSqliteStore> initWithDatabasePath(const std::string& path,
                                                              fnd::Error* error = nullptr);

  // Closes the connection.
  ~ZIVSqliteStore();

  ZIVSqliteStore(const ZIVSqliteStore&) = delete;
  ZIVSqliteStore& operator=(const ZIVSqliteStore&) = delete;

  // Finalizes every cached statement and closes the connection. Does nothing when closed.
  void closeDatabase();
  // Closes, then removes the database file and its "-journal", "-wal" and "-shm" side files.
  // A missing file counts as success; a failed removal is logged and answers false.
  bool closeAndDeleteDatabase();

  const std::string& databasePath() const { return databasePath_; }
  // The connection, or null while closed. Owned by the store, and so are its update, rollback and
  // trace hooks, which keep the row counts of trackedRowCountForTableWithName(): a caller that
  // sets them (or runs ROLLBACK TO while another trace hook is set) leaves those counts stale
  // until the next call puts the hooks back.
  sqlite3* sqliteHandle() const { return db_; }

  // ---- Schema.

  // Creates the table when missing, adds missing add-on columns, validates the result and, when
  // `modify` is not empty, rebuilds the table when a declared type differs from the description
  // corrected by `modify`.
  [[nodiscard]] bool ensureTableWithName(const std::string& name,
                                         const ElementaryColumnInfo& elementary,
                                         const AddOnColumnInfo& addOn,
                                         const ModifyColumnInfo& modify,
                                         fnd::Error* error = nullptr);
  [[nodiscard]] bool ensureTableWithName(const std::string& name,
                                         const ElementaryColumnInfo& elementary,
                                         const AddOnColumnInfo& addOn, fnd::Error* error = nullptr);
  [[nodiscard]] bool ensureTableWithName(const std::string& name, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const AddOnColumns& addOnColumns,
                                         fnd::Error* error = nullptr);
  // Rebuilds the table inside one exclusive transaction when the declared types of its columns
  // differ from the description. Rows are carried over by the names of the columns that the old
  // and the new table share.
  [[nodiscard]] bool ensureSchemaOfTableWithName(const std::string& name,
                                                 const ElementaryColumnInfo& elementary,
                                                 const AddOnColumnInfo& addOn,
                                                 fnd::Error* error = nullptr);
  // true: every required column exists, add-on columns were added where missing and no unknown
  // NOT NULL column exists. false: the table is in a bad state (error filled). nullopt: the table
  // has no columns or they could not be read.
  std::optional<bool> validateTableWithName(const std::string& name,
                                            const std::vector<std::string>& requiredColumnNames,
                                            const AddOnColumns& addOnColumns,
                                            fnd::Error* error = nullptr);

  std::optional<bool> tableExists(const std::string& name, fnd::Error* error = nullptr);
  [[nodiscard]] bool dropTableWithName(const std::string& name, fnd::Error* error = nullptr);
  [[nodiscard]] bool renameTable(const std::string& oldName, const std::string& newName,
                                 fnd::Error* error = nullptr);
  // "INSERT INTO destination SELECT * FROM source": copies by column position.
  [[nodiscard]] bool copyContentsFromTable(const std::string& source,
                                           const std::string& destination,
                                           fnd::Error* error = nullptr);
  // Copies every row by column name, for the columns that both tables have.
  [[nodiscard]] bool copySharedColumnsFromTable(const std::string& source,
                                                const std::string& destination,
                                                fnd::Error* error = nullptr);
  [[nodiscard]] bool createEmptyTable(const std::string& newName, const std::string& source,
                                      fnd::Error* error = nullptr);
  // Column names in declaration order; empty for an absent table; nullopt on failure.
  std::optional<std::vector<std::string>> columnsForTableWithName(const std::string& name,
                                                                  fnd::Error* error = nullptr);
  // Column name -> declared type; empty for an absent table; nullopt on failure.
  std::optional<std::map<std::string, std::string>> columnInfoForTableWithName(
      const std::string& name, fnd::Error* error = nullptr);

  // ---- Records.

  // INSERT OR REPLACE with the record's columns in its order.
  [[nodiscard]] bool upsertRecord(const Record& record, const std::string& table,
                                  fnd::Error* error = nullptr);
  // UPDATE table SET <record> WHERE column = value.
  [[nodiscard]] bool updateRecord(const Record& record, const std::string& table,
                                  const std::string& column,
                                  const std::optional<fnd::Value>& columnValue,
                                  fnd::Error* error = nullptr);
  // UPDATE table SET column = value (every row).
  [[nodiscard]] bool updateAllRecordsInTableWithName(const std::string& table,
                                                     const std::string& column,
                                                     const std::optional<fnd::Value>& columnValue,
                                                     fnd::Error* error = nullptr);
  // UPDATE table SET column = column + amount WHERE condition. The column must be declared
  // INTEGER.
  [[nodiscard]] bool increaseColumn(const std::string& column, int64_t amount,
                                    const std::string& table, const std::string& condition,
                                    const fnd::Array& parameterValues, fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteRecordFromTableWithName(const std::string& table,
                                                   const std::string& column,
                                                   const std::optional<fnd::Value>& columnValue,
                                                   fnd::Error* error = nullptr);
  // DELETE FROM table WHERE condition. Returns the number of rows removed (0 included).
  std::optional<int64_t> deleteRecordsFromTableWithName(const std::string& table,
                                                        const std::string& condition,
                                                        const fnd::Array& parameterValues,
                                                        fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteAllRecordsFromTableWithName(const std::string& table,
                                                       fnd::Error* error = nullptr);
  std::optional<int64_t> rowCountForTableWithName(const std::string& table,
                                                  fnd::Error* error = nullptr);
  // Counts rows whose column equals the value; every row when the value is nullopt or the column
  // name is empty.
  std::optional<int64_t> rowCountForTableWithName(const std::string& table,
                                                  const std::string& column,
                                                  const std::optional<fnd::Value>& columnValue,
                                                  fnd::Error* error = nullptr);

  // The number of rows in `table`, counted once and then kept in memory in step with this
  // store's own inserts (upsertRecord of a record that names no rowid) and deletes
  // (deleteRecordsFromTableWithName), so that a caller checking a large table's size before each
  // insert does not walk the table every time. Whatever else may change the table makes the next
  // call count again: any other change to it on this connection, a rollback (of a transaction, a
  // savepoint or a failed statement), a commit by another connection (PRAGMA data_version), a
  // schema change (PRAGMA schema_version), or a change the update hook did not see (a delete of
  // every row, noticed because sqlite3_total_changes() moved further than the hook saw). A table
  // with a primary key or a unique index, where an insert may replace rows unseen, is counted on
  // every call.
  std::optional<int64_t> trackedRowCountForTableWithName(const std::string& table,
                                                         fnd::Error* error = nullptr);

  // ---- Queries.

  // Runs a SELECT and returns one record per row, columns named as SQLite names them. A column
  // whose value reads as absent (an empty blob) is left out of its record.
  std::optional<std::vector<Record>> recordsForQuery(const std::string& sql,
                                                     const fnd::Array& parameterValues,
                                                     fnd::Error* error = nullptr);
  // As above; the filter sees each row in turn and its first false ends the walk.
  std::optional<std::vector<Record>> recordsForQuery(const std::string& sql,
                                                     const fnd::Array& parameterValues,
                                                     fnd::Error* error, const RecordFilter& filter);
  // The walk of recordsForQuery() with a filter, without building records: the visitor reads each
  // row where it lies, for queries that run over many rows. The same checks, failures and log
  // lines (a column left out of a record is logged as there; a first row refused logs that all
  // rows were filtered out). False with an error when the query fails.
  [[nodiscard]] bool visitRowsForQuery(const std::string& sql, const fnd::Array& parameterValues,
                                       fnd::Error* error, const RowVisitor& visitor);
  // The first row of a SELECT as integers, one per column (nullopt for a column that is NULL or
  // not an integer), without building records: for checks that run on every event. An empty row
  // when the query has none; nullopt with an error when it fails.
  std::optional<std::vector<std::optional<int64_t>>> integersForQuery(
      const std::string& sql, const fnd::Array& parameterValues, fnd::Error* error = nullptr);
  // The first column of the first row: an int or a double. nullopt with an error when there is
  // no row or the value is not a number; nullopt without an error when it is SQL NULL.
  std::optional<fnd::Value> numberForQuery(const std::string& sql,
                                           const fnd::Array& parameterValues,
                                           fnd::Error* error = nullptr);

  // ---- Transactions.

  // BEGIN EXCLUSIVE; runs the block; commits when it returns true, rolls back otherwise. An
  // exception from the block rolls back and is thrown again. Transactions do not nest.
  [[nodiscard]] bool performTransactionWithError(fnd::Error* error,
                                                 const std::function<bool()>& block);
  // Runs the block inside a savepoint, which works both inside and outside a transaction: true
  // releases it, false (or an exception) rolls its changes back. For operations of several steps
  // that callers may or may not already run inside performTransactionWithError().
  [[nodiscard]] bool performSavepointWithError(fnd::Error* error,
                                               const std::function<bool()>& block);
  bool beginTransaction();
  bool endTransaction();
  bool rollbackTransaction();

  // ---- Statements.

  // A prepared statement for the SQL, from the cache when it is there, with the parameters bound
  // when given. Hand it back with cleanUpStatement() and the same SQL text. Statements whose SQL
  // holds a "?" or no "WHERE" are cached; others are finalized by cleanUpStatement().
  sqlite3_stmt* statementForQuery(const std::string& sql, fnd::Error* error = nullptr);
  sqlite3_stmt* statementForQuery(const std::string& sql, const fnd::Array* parameterValues,
                                  fnd::Error* error = nullptr);
  void cleanUpStatement(sqlite3_stmt* statement, const std::string& sql);
  // A select query's statement once the store is open and the text is a select (the failures
  // named "Query records"), or nullptr with the error set.
  sqlite3_stmt* selectStatement(const std::string& sql, const fnd::Array& parameterValues,
                                fnd::Error* error);
  // Prepares exactly one statement (never cached); the caller finalizes it.
  sqlite3_stmt* prepareSQL(const std::string& sql, fnd::Error* error = nullptr);
  // Prepares, steps once and finalizes; success when the step is SQLITE_DONE.
  [[nodiscard]] bool executeSQL(const std::string& sql, fnd::Error* error = nullptr);
  // The same with the parameters bound.
  [[nodiscard]] bool executeSQL(const std::string& sql, const fnd::Array& parameterValues,
                                fnd::Error* error = nullptr);
  // Steps once and finalizes the statement, in success and failure alike.
  [[nodiscard]] bool executeSQLStatement(sqlite3_stmt* statement, fnd::Error* error = nullptr);
  // Clears the statement's bindings and binds every value. A value that cannot be bound makes the
  // answer false; the others are still bound.
  [[nodiscard]] bool bindValues(const fnd::Array& values, sqlite3_stmt* statement,
                                fnd::Error* error = nullptr);
  // The value of a result column, or nullopt when it reads as absent.
  std::optional<fnd::Value> valueAtColumn(int column, sqlite3_stmt* statement);

  // A prepared and bound statement for an update; null on failure. The caller runs it with
  // executeSQLStatement().
  sqlite3_stmt* updateStatementForRecord(const Record& record, const std::string& table,
                                         const std::string& column, const fnd::Value& columnValue,
                                         fnd::Error* error = nullptr);

  // ---- Failure reporting.

  // SQLite's last error message, or nullopt while closed (logged).
  std::optional<std::string> lastErrorMessage();
  // "Database operation "OP" failed with sqlite code N and error message "M"", or nullopt while
  // closed.
  std::optional<std::string> errorDescriptionForDatabaseOperation(const std::string& operation);
  // "OP,CODE,A" (A when the file is writable, NA otherwise).
  std::string monitorContextForDatabaseOperation(const std::string& operation);
  // Fills *error with the kind-3 error for a failed SQLite call named `operation`. This is the one
  // place where SQLite's result codes become errors. Returns false.
  bool setDatabaseError(fnd::Error* error, const std::string& operation);

  // Number of statements held in the cache (for tests and diagnostics).
  size_t cachedStatementCount() const { return statementCache_.size(); }

 private:
  explicit ZIVSqliteStore(std::string path);

  bool openAndValidate(fnd::Error* error);
  // The INSERT OR REPLACE text for the record's columns; its values are appended to *values.
  std::optional<std::string> upsertSQLForRecord(const Record& record, const std::string& table,
                                                fnd::Array* values, fnd::Error* error);
  bool validateDatabase(fnd::Error* error);
  bool ensureTableInternal(const std::string& name, const ElementaryColumnInfo& elementary,
                           const AddOnColumnInfo& addOn, fnd::Error* error);
  bool stepStatementToDone(sqlite3_stmt* statement, const std::string& sql,
                           const std::string& operation, fnd::Error* error);

  // Constant after construction.
  const std::string databasePath_;
  // The label of the queue current at creation; kept for diagnostics only.
  std::string creationQueueLabel_;

  // Row counts kept by trackedRowCountForTableWithName(). SQLite's update, rollback and trace hooks
  // run inside this store's calls on the owner's queue.
  static void updateHook(void* store, int operation, const char* database, const char* table,
                         sqlite3_int64 rowid);
  static void rollbackHook(void* store);
  static int traceHook(unsigned type, void* store, void* statement, void* sql);
  void installHooks();
  void dropTrackedCounts();
  // Drops the kept counts when the file or the schema changed behind them, or when a change
  // escaped the update hook. REQUIRES: the database is open.
  bool checkTrackedCounts(fnd::Error* error);
  // Brackets one statement of this store that inserts into or deletes from `table` and whose
  // every changed row the update hook reports; `sign` is +1 for an insert, -1 for a delete.
  // endCountedChange() applies the change to a kept count, or drops it when the statement
  // failed or changed other rows than SQLite reports.
  void beginCountedChange(const std::string& table, int sign);
  void endCountedChange(bool succeeded);

  // Owned by the caller's serial queue.
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> statementCache_;
  std::unordered_map<std::string, int64_t> trackedCounts_;  // Table -> rows, while known.
  std::unordered_map<std::string, bool> trackable_;         // Table -> no key that may replace.
  std::string countingTable_;  // The table of the counted statement running, or empty.
  int countingSign_ = 0;
  int64_t countedRows_ = 0;  // Rows of countingTable_ the hook saw that statement change.
  int64_t hookChanges_ = 0;  // Rows the update hook saw changed since the last check.
  int64_t totalChangesAtCheck_ = 0;
  int64_t dataVersion_ = -1;
  int64_t schemaVersion_ = -1;
};
