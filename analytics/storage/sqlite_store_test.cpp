#include "analytics/storage/sqlite_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "analytics/foundation/errors.h"
#include "analytics/storage/storage_test_support.h"

namespace {

using ziv_storage_test::LogCapture;
using ziv_storage_test::TempHome;

std::string Description(const fnd::Error& error) { return error.localizedDescription(); }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class SqliteStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = home_.file("db/store.sql");
    fnd::Error error;
    store_ = ZIVSqliteStore::initWithDatabasePath(path_, &error);
    ASSERT_NE(store_, nullptr) << error.description();
  }

  // Runs SQL that must succeed.
  void Exec(const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(store_->sqliteHandle(), sql.c_str(), nullptr, nullptr, &message),
              SQLITE_OK)
        << (message ? message : "");
  }

  std::vector<ZIVSqliteStore::Record> Rows(const std::string& sql) {
    fnd::Error error;
    auto rows = store_->recordsForQuery(sql, {}, &error);
    EXPECT_TRUE(rows.has_value()) << error.description();
    return rows.value_or(std::vector<ZIVSqliteStore::Record>());
  }

  // The SQL texts that the connection runs while `body` runs.
  std::vector<std::string> Trace(const std::function<void()>& body) {
    traced_.clear();
    sqlite3_trace_v2(
        store_->sqliteHandle(), SQLITE_TRACE_STMT,
        [](unsigned, void* context, void* statement, void*) {
          auto* traced = static_cast<std::vector<std::string>*>(context);
          const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
          traced->push_back(sql ? sql : "");
          return 0;
        },
        &traced_);
    body();
    sqlite3_trace_v2(store_->sqliteHandle(), 0, nullptr, nullptr);
    return traced_;
  }

  TempHome home_;
  LogCapture logs_;
  std::string path_;
  std::unique_ptr<ZIVSqliteStore> store_;
  std::vector<std::string> traced_;
};

// ---- Opening.

TEST(SqliteStoreOpenTest, EmptyPathIsRefused) {
  TempHome home;
  fnd::Error error;
  EXPECT_EQ(ZIVSqliteStore::initWithDatabasePath("", &error), nullptr);
  EXPECT_EQ(error.domain(), kZIVErrorDomain);
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(Description(error), "Received empty database path on init");
}

TEST(SqliteStoreOpenTest, UnusableFilesAreReplacedByAnEmptyDatabase) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> spoil;
  };
  const std::vector<Case> cases = {
      {"garbage bytes", [](const std::string& path) { WriteFile(path, std::string(4096, 'x')); }},
      {"truncated file",
       [](const std::string& path) {
         {
           auto store = ZIVSqliteStore::initWithDatabasePath(path);
           ASSERT_NE(store, nullptr);
           ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a TEXT NOT NULL)"));
           ASSERT_TRUE(store->performTransactionWithError(nullptr, [&] {
             for (int i = 0; i < 200; ++i) {
               if (!store->upsertRecord({{"a", std::string(100, 'a' + i % 26)}}, "t")) {
                 return false;
               }
             }
             return true;
           }));
         }
         std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2 + 100);
       }},
      {"header only",
       [](const std::string& path) {
         WriteFile(path, std::string("SQLite format 3\0", 16) + std::string(84, '\xff'));
       }},
      {"damaged page 2", [](const std::string& path) {
         // The file opens and its header is sound; only the integrity check finds the damage.
         {
           auto store = ZIVSqliteStore::initWithDatabasePath(path);
           ASSERT_NE(store, nullptr);
           ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a TEXT NOT NULL)"));
           ASSERT_TRUE(store->performTransactionWithError(nullptr, [&] {
             for (int i = 0; i < 300; ++i) {
               if (!store->upsertRecord({{"a", std::string(100, 'a' + i % 26)}}, "t")) {
                 return false;
               }
             }
             return true;
           }));
         }
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(4096 + 8);  // Page 2, past its page header's first bytes.
         const std::string noise(2000, '\x5a');
         file.write(noise.data(), static_cast<std::streamsize>(noise.size()));
       }}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome home;
    const std::string path = home.file("bad.sql");
    c.spoil(path);
    WriteFile(path + "-journal", "stale journal");
    fnd::Error error;
    auto store = ZIVSqliteStore::initWithDatabasePath(path, &error);
    ASSERT_NE(store, nullptr) << error.description();
    EXPECT_EQ(store->tableExists("t"), std::optional<bool>(false));
    EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
    ASSERT_TRUE(store->executeSQL("CREATE TABLE u (a INTEGER)"));
  }
}

TEST(SqliteStoreOpenTest, CreatesMissingFoldersAndKeepsAValidFile) {
  TempHome home;
  const std::string path = home.file("a/b/c/kept.sql");
  {
    auto store = ZIVSqliteStore::initWithDatabasePath(path);
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (a INTEGER)"));
    ASSERT_TRUE(store->upsertRecord({{"a", 7}}, "t"));
  }
  auto store = ZIVSqliteStore::initWithDatabasePath(path);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->rowCountForTableWithName("t"), std::optional<int64_t>(1));
}

TEST_F(SqliteStoreTest, CloseAndDeleteRemovesTheFileAndItsSideFiles) {
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE t (a INTEGER)"));
  WriteFile(path_ + "-journal", "j");
  WriteFile(path_ + "-wal", "w");
  WriteFile(path_ + "-shm", "s");
  EXPECT_TRUE(store_->closeAndDeleteDatabase());
  EXPECT_EQ(store_->sqliteHandle(), nullptr);
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    EXPECT_FALSE(std::filesystem::exists(path_ + suffix)) << suffix;
  }
  // Deleting what is already gone is a success.
  EXPECT_TRUE(store_->closeAndDeleteDatabase());
}

// ---- Values.

TEST_F(SqliteStoreTest, ValuesRoundTripByStorageClass) {
  Exec("CREATE TABLE v (i INTEGER, d REAL, s TEXT, b BLOB NOT NULL, n TEXT, f INTEGER)");
  fnd::Data bytes{0, 1, 2, 255};
  ASSERT_TRUE(store_->upsertRecord({{"i", fnd::Value::Int64(-(int64_t{1} << 40))},
                                    {"d", 2.5},
                                    {"s", "h\xC3\xA9llo"},
                                    {"b", fnd::Value(bytes)},
                                    {"n", nullptr},
                                    {"f", true}},
                                   "v"));
  auto rows = Rows("SELECT * FROM v");
  ASSERT_EQ(rows.size(), 1u);
  const auto& row = rows[0];
  EXPECT_EQ(row.get("i"), fnd::Value::Int64(-(int64_t{1} << 40)));
  EXPECT_TRUE(row.get("d").isDouble());
  EXPECT_EQ(row.get("d").asDouble(), 2.5);
  EXPECT_EQ(row.get("s"), fnd::Value("h\xC3\xA9llo"));
  EXPECT_EQ(row.get("b"), fnd::Value(bytes));
  ASSERT_TRUE(row.contains("n"));
  EXPECT_TRUE(row.get("n").isNull());
  EXPECT_EQ(row.get("f").asInt(), 1);
}

TEST_F(SqliteStoreTest, TextKeepsEmbeddedNulBytes) {
  Exec("CREATE TABLE v (s TEXT)");
  const std::string text("a\0b", 3);
  ASSERT_TRUE(store_->upsertRecord({{"s", text}}, "v"));
  auto rows = Rows("SELECT s FROM v");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].get("s").asString(), text);
}

TEST_F(SqliteStoreTest, EmptyBlobIsStoredAsZeroLengthBlobAndReadsAsAbsent) {
  Exec("CREATE TABLE v (k INTEGER, b BLOB NOT NULL)");
  fnd::Error error;
  ASSERT_TRUE(store_->upsertRecord({{"k", 1}, {"b", fnd::Value(fnd::Data())}}, "v", &error))
      << error.description();
  EXPECT_EQ(store_->numberForQuery("SELECT count(1) FROM v WHERE typeof(b) = 'blob'", {}),
            std::optional<fnd::Value>(fnd::Value::Int64(1)));
  logs_.clear();
  auto rows = Rows("SELECT k, b FROM v");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].contains("b"));
  auto nil = logs_.withCode(34004);
  ASSERT_EQ(nil.size(), 1u);
  EXPECT_EQ(nil[0].level, 4);
  EXPECT_EQ(nil[0].message, "Value is nil for column");
  EXPECT_EQ(nil[0].contexts, fnd::Array{fnd::Value("b")});
}

TEST_F(SqliteStoreTest, RecordsWithUnsupportedValuesLeaveTheTableUntouched) {
  Exec("CREATE TABLE v (k TEXT PRIMARY KEY, x)");
  ASSERT_TRUE(store_->upsertRecord({{"k", "a"}, {"x", 1}}, "v"));
  const fnd::Value date(fnd::Date{100});
  fnd::Error error;
  EXPECT_FALSE(store_->upsertRecord({{"k", "b"}, {"x", date}}, "v", &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_TRUE(logs_.has(34020));
  EXPECT_FALSE(store_->updateRecord({{"x", date}}, "v", "k", fnd::Value("a"), &error));
  EXPECT_EQ(Description(error), "Failed to bind parameter of unexpected type to update statement");
  ASSERT_EQ(logs_.withCode(34021).size(), 1u);
  EXPECT_EQ(logs_.withCode(34021)[0].message, "Record has value of unexpected type (update)");
  auto rows = Rows("SELECT k, x FROM v");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].get("x").asInt(), 1);
}

TEST_F(SqliteStoreTest, UpsertAndUpdateWriteByColumnName) {
  Exec("CREATE TABLE v (k TEXT PRIMARY KEY, a INTEGER, b TEXT)");
  ASSERT_TRUE(store_->upsertRecord({{"b", "x"}, {"k", "one"}, {"a", 1}}, "v"));
  ASSERT_TRUE(store_->upsertRecord({{"k", "one"}, {"a", 2}}, "v"));  // Replaces the row.
  ASSERT_TRUE(store_->updateRecord({{"b", "y"}}, "v", "k", fnd::Value("one")));
  auto rows = Rows("SELECT * FROM v");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].get("a").asInt(), 2);
  EXPECT_EQ(rows[0].get("b"), fnd::Value("y"));
  ASSERT_TRUE(store_->updateAllRecordsInTableWithName("v", "a", fnd::Value(9)));
  EXPECT_EQ(store_->numberForQuery("SELECT a FROM v", {}),
            std::optional<fnd::Value>(fnd::Value::Int64(9)));
}

// ---- Argument and state checks.

TEST_F(SqliteStoreTest, ArgumentChecksAnswerCodeOneWithTheirText) {
  Exec("CREATE TABLE v (k TEXT, a INTEGER, r REAL)");
  struct Case {
    const char* text;
    std::function<bool(fnd::Error*)> call;
  };
  ZIVSqliteStore& s = *store_;
  const std::vector<Case> cases = {
      {"Received empty table name for ensure table",
       [&](fnd::Error* e) {
         return s.ensureTableWithName("", {{"a", "TEXT"}}, {}, e);
       }},
      {"Received empty elementary column info for ensure table",
       [&](fnd::Error* e) { return s.ensureTableWithName("t", {}, {}, e); }},
      {"Received empty create statement for ensure table",
       [&](fnd::Error* e) { return s.ensureTableWithName("t", std::string(), {"a"}, {}, e); }},
      {"Received no table columns for ensure table",
       [&](fnd::Error* e) { return s.ensureTableWithName("t", "CREATE TABLE t (a)", {}, {}, e); }},
      {"Received empty table name for ensure table schema",
       [&](fnd::Error* e) {
         return s.ensureSchemaOfTableWithName("", {{"a", "TEXT"}}, {}, e);
       }},
      {"Received empty column info for ensure table schema",
       [&](fnd::Error* e) { return s.ensureSchemaOfTableWithName("t", {}, {}, e); }},
      {"Received empty table name for drop table",
       [&](fnd::Error* e) { return s.dropTableWithName("", e); }},
      {"Received duplicate name for rename table",
       [&](fnd::Error* e) { return s.renameTable("v", "v", e); }},
      {"Received empty new name for rename table",
       [&](fnd::Error* e) { return s.renameTable("v", "", e); }},
      {"Received duplicate name for copy table",
       [&](fnd::Error* e) { return s.copyContentsFromTable("v", "v", e); }},
      {"Received empty source name for create empty copy",
       [&](fnd::Error* e) { return s.createEmptyTable("w", "", e); }},
      {"Received empty record for upsert",
       [&](fnd::Error* e) { return s.upsertRecord({}, "v", e); }},
      {"Received empty table name for upsert",
       [&](fnd::Error* e) {
         return s.upsertRecord({{"a", 1}}, "", e);
       }},
      {"Nil column value for update",
       [&](fnd::Error* e) {
         return s.updateRecord({{"a", 1}}, "v", "k", std::nullopt, e);
       }},
      {"Empty column name for update",
       [&](fnd::Error* e) {
         return s.updateRecord({{"a", 1}}, "v", "", fnd::Value(1), e);
       }},
      {"Invalid column or table name",
       [&](fnd::Error* e) { return s.increaseColumn("zz", 1, "v", "1", {}, e); }},
      {"Column type is not integer.",
       [&](fnd::Error* e) { return s.increaseColumn("r", 1, "v", "1", {}, e); }},
      {"Received nil value for delete record",
       [&](fnd::Error* e) { return s.deleteRecordFromTableWithName("v", "k", std::nullopt, e); }},
      {"Received empty condition for delete record",
       [&](fnd::Error* e) { return s.deleteRecordsFromTableWithName("v", "", {}, e).has_value(); }},
      {"Received empty query for records for query",
       [&](fnd::Error* e) { return s.recordsForQuery("", {}, e).has_value(); }},
      {"Received empty filter for selecting records",
       [&](fnd::Error* e) { return s.recordsForQuery("SELECT 1", {}, e, nullptr).has_value(); }},
      {"Received invalid select query",
       [&](fnd::Error* e) { return s.recordsForQuery("  SELECT 1", {}, e).has_value(); }},
      {"Received invalid select query",
       [&](fnd::Error* e) {
         return s.recordsForQuery("WITH x AS (SELECT 1) SELECT * FROM x", {}, e).has_value();
       }},
      {"Received empty query for records for query",
       [&](fnd::Error* e) { return s.integersForQuery("", {}, e).has_value(); }},
      {"Received invalid select query",
       [&](fnd::Error* e) { return s.integersForQuery("DELETE FROM v", {}, e).has_value(); }},
      {"Received empty query to get numeric result",
       [&](fnd::Error* e) { return s.numberForQuery("", {}, e).has_value(); }},
      {"Found result that was not numeric",
       [&](fnd::Error* e) { return s.numberForQuery("SELECT 'text'", {}, e).has_value(); }},
      {"Received empty parameters",
       [&](fnd::Error* e) { return s.statementForQuery("SELECT ? + 1", nullptr, e) != nullptr; }},
      {"Query contained more than one SQL statement.",
       [&](fnd::Error* e) { return s.prepareSQL("SELECT 1; SELECT 2", e) != nullptr; }},
      {"Query contained more than one SQL statement.",
       [&](fnd::Error* e) { return s.prepareSQL("SELECT 1; ", e) != nullptr; }},
      {"Received empty SQL string to prepare",
       [&](fnd::Error* e) { return s.prepareSQL("", e) != nullptr; }},
      {"Execute SQL statement failed. Statement is NULL.",
       [&](fnd::Error* e) { return s.executeSQLStatement(nullptr, e); }},
      {"Failed to bind to NULL statement",
       [&](fnd::Error* e) { return s.bindValues({fnd::Value(1)}, nullptr, e); }},
      {"Received nil transaction block",
       [&](fnd::Error* e) { return s.performTransactionWithError(e, nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    fnd::Error error;
    EXPECT_FALSE(c.call(&error));
    EXPECT_EQ(error.domain(), kZIVErrorDomain);
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(Description(error), c.text);
  }
  // Exactly one statement, its semicolon included, is accepted.
  sqlite3_stmt* statement = s.prepareSQL("INSERT OR REPLACE INTO v (a) VALUES (?);");
  EXPECT_NE(statement, nullptr);
  sqlite3_finalize(statement);
}

TEST_F(SqliteStoreTest, ClosedStoreAnswersCodeTwoForEveryOperation) {
  store_->closeDatabase();
  ZIVSqliteStore& s = *store_;
  struct Case {
    const char* text;
    std::function<bool(fnd::Error*)> call;
  };
  const std::vector<Case> cases = {
      {"Ensure table failed. Database not open.",
       [&](fnd::Error* e) {
         return s.ensureTableWithName("t", {{"a", "TEXT"}}, {}, e);
       }},
      {"Validate table failed. Database not open.",
       [&](fnd::Error* e) { return s.validateTableWithName("t", {"a"}, {}, e).has_value(); }},
      {"Table exists failed. Database not open.",
       [&](fnd::Error* e) { return s.tableExists("t", e).has_value(); }},
      {"Get table columns failed. Database not open.",
       [&](fnd::Error* e) { return s.columnsForTableWithName("t", e).has_value(); }},
      {"Get table column info failed. Database not open.",
       [&](fnd::Error* e) { return s.columnInfoForTableWithName("t", e).has_value(); }},
      {"Row count failed. Database not open.",
       [&](fnd::Error* e) { return s.rowCountForTableWithName("t", e).has_value(); }},
      {"Upsert record failed. Database not open.",
       [&](fnd::Error* e) {
         return s.upsertRecord({{"a", 1}}, "t", e);
       }},
      {"Update record failed. Database not open.",
       [&](fnd::Error* e) {
         return s.updateRecord({{"a", 1}}, "t", "a", fnd::Value(1), e);
       }},
      {"Increase column failed. Database not open.",
       [&](fnd::Error* e) { return s.increaseColumn("a", 1, "t", "1", {}, e); }},
      {"Delete record failed. Database not open.",
       [&](fnd::Error* e) { return s.deleteRecordFromTableWithName("t", "a", fnd::Value(1), e); }},
      {"Delete records with condition failed. Database not open.",
       [&](fnd::Error* e) {
         return s.deleteRecordsFromTableWithName("t", "1", {}, e).has_value();
       }},
      {"Delete all records failed. Database not open.",
       [&](fnd::Error* e) { return s.deleteAllRecordsFromTableWithName("t", e); }},
      {"Query records failed. Database not open.",
       [&](fnd::Error* e) { return s.recordsForQuery("SELECT 1", {}, e).has_value(); }},
      {"Query records failed. Database not open.",
       [&](fnd::Error* e) { return s.integersForQuery("SELECT 1", {}, e).has_value(); }},
      {"Query numeric result failed. Database not open.",
       [&](fnd::Error* e) { return s.numberForQuery("SELECT 1", {}, e).has_value(); }},
      {"Statement for query failed. Database not open.",
       [&](fnd::Error* e) { return s.statementForQuery("SELECT 1", e) != nullptr; }},
      {"Prepare SQL failed. Database not open.",
       [&](fnd::Error* e) { return s.prepareSQL("SELECT 1", e) != nullptr; }},
      {"Execute SQL failed. Database not open.",
       [&](fnd::Error* e) { return s.executeSQL("SELECT 1", e); }},
      {"Database not open",
       [&](fnd::Error* e) { return s.performTransactionWithError(e, [] { return true; }); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    fnd::Error error;
    EXPECT_FALSE(c.call(&error));
    EXPECT_EQ(error.code(), 2);
    EXPECT_EQ(Description(error), c.text);
  }
  logs_.clear();
  EXPECT_EQ(s.lastErrorMessage(), std::nullopt);
  ASSERT_EQ(logs_.withCode(34022).size(), 1u);
  EXPECT_EQ(logs_.withCode(34022)[0].level, 1);
}

TEST_F(SqliteStoreTest, SqliteFailuresCarryOperationCodeAndContext) {
  fnd::Error error;
  EXPECT_EQ(store_->prepareSQL("SELEC nonsense", &error), nullptr);
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(Description(error),
            "Database operation \"prepare statement\" failed with sqlite code 1 and error message "
            "\"near \"SELEC\": syntax error\"");
  EXPECT_EQ(error.userInfo().get(kZIVMonitorContextKey), fnd::Value("prepare statement,1,A"));
  EXPECT_EQ(store_->monitorContextForDatabaseOperation(""), "Unknown operation,1,A");
}

// ---- Queries.

TEST_F(SqliteStoreTest, FilterEndsTheWalkAtItsFirstNo) {
  Exec("CREATE TABLE v (a INTEGER)");
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(store_->upsertRecord({{"a", i}}, "v"));
  struct Case {
    size_t stopAt;
    size_t expected;
    bool logsAllFiltered;
  };
  for (const Case& c : {Case{0, 0, true}, Case{3, 3, false}, Case{99, 6, false}}) {
    SCOPED_TRACE(c.stopAt);
    logs_.clear();
    std::vector<size_t> seen;
    auto rows =
        store_->recordsForQuery("SELECT a FROM v ORDER BY a", {}, nullptr,
                                [&](size_t index, const ZIVSqliteStore::Record& record) {
                                  seen.push_back(index);
                                  EXPECT_EQ(record.get("a").asInt(), static_cast<int64_t>(index));
                                  return index != c.stopAt;
                                });
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ(rows->size(), c.expected);
    EXPECT_EQ(seen.size(), std::min<size_t>(c.stopAt + 1, 6));
    EXPECT_EQ(logs_.has(34005), c.logsAllFiltered);
  }
}

TEST_F(SqliteStoreTest, AStepErrorAfterTheFirstRowFailsTheQuery) {
  Exec("CREATE TABLE v (a INTEGER)");
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(store_->upsertRecord({{"a", i}}, "v"));
  // A function that fails on the second row.
  sqlite3_create_function(
      store_->sqliteHandle(), "fail_on_two", 1, SQLITE_UTF8, nullptr,
      [](sqlite3_context* context, int, sqlite3_value** values) {
        if (sqlite3_value_int(values[0]) == 2) {
          sqlite3_result_error(context, "second row", -1);
        } else {
          sqlite3_result_int(context, 1);
        }
      },
      nullptr, nullptr);
  fnd::Error error;
  auto rows = store_->recordsForQuery("SELECT fail_on_two(a) FROM v ORDER BY a", {}, &error);
  EXPECT_FALSE(rows.has_value());
  EXPECT_EQ(error.code(), 3);
  // The statement went back to the cache in a usable state.
  EXPECT_TRUE(store_->recordsForQuery("SELECT a FROM v", {}).has_value());
}

// Visiting rows in place reads what the records of the same query hold, ends the walk and fails
// as the filtered walk does, and logs the same lines.
TEST_F(SqliteStoreTest, VisitedRowsReadAsTheirRecordsAndLogAlike) {
  Exec("CREATE TABLE v (i INTEGER, r REAL, t TEXT, b BLOB, n)");
  Exec(
      "INSERT INTO v VALUES (7, 2.5, 'text', x'0102', NULL), (-1, 0.0, '', x'', NULL), "
      "(8, 1e300, 'x', x'ff', 3)");
  const std::string sql = "SELECT rowid, * FROM v WHERE i > ? ORDER BY rowid";
  for (size_t stopAt : {size_t{0}, size_t{1}, size_t{99}}) {
    SCOPED_TRACE(stopAt);
    logs_.clear();
    auto filter = [&](size_t index, const auto&) { return index != stopAt; };
    auto records = store_->recordsForQuery(sql, {fnd::Value(-5)}, nullptr, filter);
    ASSERT_TRUE(records.has_value());
    const auto recordLogs = logs_.entries();
    logs_.clear();
    std::vector<ZIVSqliteStore::Record> visited;
    ASSERT_TRUE(store_->visitRowsForQuery(
        sql, {fnd::Value(-5)}, nullptr, [&](size_t index, const ZIVSqliteRow& row) {
          if (!filter(index, row)) return false;
          ZIVSqliteStore::Record record;
          for (int column = 0; column < row.columnCount(); ++column) {
            if (auto value = row.value(column)) record.set(std::string(row.name(column)), *value);
          }
          // The typed readers agree with the values.
          EXPECT_EQ(row.type(1), SQLITE_INTEGER);
          EXPECT_EQ(row.integer(1), record.get("i").asInt());
          EXPECT_EQ(row.real(2), record.get("r").asDouble());
          EXPECT_EQ(std::string(row.text(3)), record.get("t").asString());
          const fnd::Value blob = record.get("b");
          const auto bytes = row.blob(4);
          EXPECT_EQ(fnd::Data(bytes.begin(), bytes.end()),
                    blob.isData() ? *blob.data() : fnd::Data());
          visited.push_back(std::move(record));
          return true;
        }));
    EXPECT_EQ(visited, *records);
    const auto visitLogs = logs_.entries();
    ASSERT_EQ(visitLogs.size(), recordLogs.size());
    for (size_t i = 0; i < visitLogs.size(); ++i) {
      EXPECT_EQ(visitLogs[i].messageCode, recordLogs[i].messageCode) << i;
    }
  }
  // The empty blob is logged as a missing value; a refused first row as all rows filtered out.
  EXPECT_TRUE(logs_.has(34004));
  fnd::Error error;
  EXPECT_FALSE(
      store_->visitRowsForQuery("", {}, &error, [](size_t, const ZIVSqliteRow&) { return true; }));
  EXPECT_EQ(error.code(), 1);
  error = fnd::Error();
  EXPECT_FALSE(store_->visitRowsForQuery("DELETE FROM v", {}, &error,
                                         [](size_t, const ZIVSqliteRow&) { return true; }));
  EXPECT_EQ(error.code(), 1);
  error = fnd::Error();
  EXPECT_FALSE(store_->visitRowsForQuery("SELECT abs(-9223372036854775807 - 1) FROM v", {}, &error,
                                         [](size_t, const ZIVSqliteRow&) { return true; }));
  EXPECT_EQ(error.code(), 3);
}

TEST_F(SqliteStoreTest, IntegersForQueryReadTheFirstRowColumnByColumn) {
  Exec("CREATE TABLE v (a INTEGER, b)");
  Exec("INSERT INTO v VALUES (7, NULL), (8, 'x')");
  using Row = std::vector<std::optional<int64_t>>;
  struct Case {
    const char* sql;
    fnd::Array parameters;
    Row expected;
  };
  const Case cases[] = {
      {"SELECT (SELECT min(rowid) FROM v), (SELECT max(a) FROM v)", {}, {1, 8}},
      {"SELECT a, b, 2.5, 'text', x'00' FROM v ORDER BY a",
       {},
       {7, std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
      {"SELECT a FROM v WHERE a = ?", {fnd::Value(8)}, {8}},
      {"SELECT a FROM v WHERE a = ?", {fnd::Value(9)}, {}},  // No row.
      {"SELECT min(rowid), max(rowid) FROM v WHERE a > 100", {}, {std::nullopt, std::nullopt}},
      {"SELECT 9223372036854775807, -9223372036854775808", {}, {INT64_MAX, INT64_MIN}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    fnd::Error error;
    EXPECT_EQ(store_->integersForQuery(c.sql, c.parameters, &error),
              std::optional<Row>(c.expected));
    EXPECT_EQ(error.code(), 0);
  }
  // A failed step is a failed query, and the cached statement is ready for the next call.
  Exec("CREATE TABLE w (t TEXT)");
  Exec("INSERT INTO w VALUES ('a')");
  fnd::Error error;
  EXPECT_EQ(
      store_->integersForQuery("SELECT abs(t) + abs(-9223372036854775807 - 1) FROM w", {}, &error),
      std::nullopt);
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(store_->integersForQuery("SELECT a FROM v WHERE a = ?", {fnd::Value(7)}),
            std::optional<Row>(Row{7}));
}

TEST_F(SqliteStoreTest, NumberForQueryDistinguishesNoRowFromNull) {
  Exec("CREATE TABLE v (a INTEGER)");
  fnd::Error error;
  EXPECT_EQ(store_->numberForQuery("SELECT a FROM v WHERE a = ?", {fnd::Value(1)}, &error),
            std::nullopt);
  EXPECT_EQ(error.code(), 3);
  fnd::Error none;
  EXPECT_EQ(store_->numberForQuery("SELECT MAX(a) FROM v", {}, &none), std::nullopt);
  EXPECT_EQ(none.code(), 0);
  EXPECT_EQ(store_->numberForQuery("SELECT 1.5", {}), std::optional<fnd::Value>(fnd::Value(1.5)));
}

TEST_F(SqliteStoreTest, DeleteWithConditionAnswersTheCountAndIncreaseAddsToIntegers) {
  Exec("CREATE TABLE v (k TEXT, n INTEGER)");
  for (const char* k : {"a", "b", "c"})
    ASSERT_TRUE(store_->upsertRecord({{"k", k}, {"n", 1}}, "v"));
  ASSERT_TRUE(store_->increaseColumn("n", 41, "v", "k = ?", {fnd::Value("b")}));
  EXPECT_EQ(store_->numberForQuery("SELECT n FROM v WHERE k = ?", {fnd::Value("b")}),
            std::optional<fnd::Value>(fnd::Value::Int64(42)));
  EXPECT_EQ(store_->deleteRecordsFromTableWithName("v", "k = ?", {fnd::Value("zz")}),
            std::optional<int64_t>(0));
  EXPECT_EQ(store_->deleteRecordsFromTableWithName("v", "k <> ?", {fnd::Value("b")}),
            std::optional<int64_t>(2));
  EXPECT_TRUE(store_->deleteRecordFromTableWithName("v", "k", fnd::Value("b")));
  EXPECT_EQ(store_->rowCountForTableWithName("v"), std::optional<int64_t>(0));
}

TEST_F(SqliteStoreTest, StatementsWithPlaceholdersOrNoConditionAreCached) {
  Exec("CREATE TABLE v (a INTEGER)");
  const size_t before = store_->cachedStatementCount();
  ASSERT_TRUE(store_->recordsForQuery("SELECT a FROM v WHERE a = ?", {fnd::Value(1)}));
  ASSERT_TRUE(store_->recordsForQuery("SELECT a FROM v WHERE a = ?", {fnd::Value(2)}));
  EXPECT_EQ(store_->cachedStatementCount(), before + 1);
  ASSERT_TRUE(store_->recordsForQuery("SELECT a FROM v", {}));
  EXPECT_EQ(store_->cachedStatementCount(), before + 2);
  ASSERT_TRUE(store_->recordsForQuery("SELECT a FROM v WHERE a = 3", {}));
  EXPECT_EQ(store_->cachedStatementCount(), before + 2);
}

// ---- Row counts kept in memory.

TEST_F(SqliteStoreTest, AKeptRowCountFollowsEveryWayTheTableChanges) {
  // Each case starts from five rows in t and a count kept by the store, changes the table one
  // way, and checks the kept count against a fresh count(*).
  struct Case {
    const char* what;
    std::function<void()> change;
  };
  auto upsert = [&](int a) { return store_->upsertRecord({{"a", a}}, "t"); };
  const std::vector<Case> cases = {
      {"store insert", [&] { EXPECT_TRUE(upsert(6)); }},
      {"store delete",
       [&] {
         EXPECT_EQ(store_->deleteRecordsFromTableWithName("t", "a > ?", {fnd::Value(2)}), 3);
       }},
      {"store delete of no row",
       [&] {
         EXPECT_EQ(store_->deleteRecordsFromTableWithName("t", "a > ?", {fnd::Value(9)}), 0);
       }},
      {"insert by other SQL", [&] { Exec("INSERT INTO t (a) VALUES (7), (8)"); }},
      {"delete of every row (no hook)", [&] { Exec("DELETE FROM t"); }},
      {"upsert naming the rowid replaces a row",
       [&] {
         EXPECT_TRUE(store_->upsertRecord({{"rowid", 1}, {"a", 9}}, "t"));
       }},
      {"rolled back transaction",
       [&] {
         EXPECT_FALSE(store_->performTransactionWithError(nullptr, [&] {
           EXPECT_TRUE(upsert(6));
           EXPECT_TRUE(store_->deleteRecordsFromTableWithName("t", "a < ?", {fnd::Value(3)}));
           return false;
         }));
       }},
      {"rolled back savepoint inside a kept transaction",
       [&] {
         EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] {
           EXPECT_TRUE(upsert(6));
           EXPECT_EQ(store_->trackedRowCountForTableWithName("t"), 6);
           EXPECT_FALSE(store_->performSavepointWithError(nullptr, [&] {
             EXPECT_TRUE(upsert(7));
             EXPECT_EQ(store_->trackedRowCountForTableWithName("t"), 7);
             return false;
           }));
           EXPECT_EQ(store_->trackedRowCountForTableWithName("t"), 6);
           return true;
         }));
       }},
      {"ROLLBACK TO behind a comment",
       [&] {
         Exec("SAVEPOINT s");
         EXPECT_TRUE(upsert(6));
         EXPECT_EQ(store_->trackedRowCountForTableWithName("t"), 6);
         Exec(" /* undo */ rollback  to s");
         Exec("RELEASE s");
       }},
      {"failed insert",
       [&] {
         EXPECT_FALSE(store_->upsertRecord({{"a", fnd::Value()}}, "t"));
       }},
      {"commit by another connection",
       [&] {
         sqlite3* other = nullptr;
         ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
         EXPECT_EQ(sqlite3_exec(other, "INSERT INTO t (a) VALUES (10)", nullptr, nullptr, nullptr),
                   SQLITE_OK);
         sqlite3_close(other);
       }},
      {"table dropped and made again",
       [&] {
         Exec("DROP TABLE t");
         Exec("CREATE TABLE t (a INTEGER NOT NULL)");
       }},
      {"update hook replaced while rows went",
       [&] {
         sqlite3_update_hook(store_->sqliteHandle(), nullptr, nullptr);
         EXPECT_TRUE(store_->deleteRecordsFromTableWithName("t", "a = ?", {fnd::Value(1)}));
       }},
      {"closed and opened again",
       [&] {
         store_.reset();
         sqlite3* other = nullptr;
         ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
         sqlite3_exec(other, "DELETE FROM t WHERE a = 2", nullptr, nullptr, nullptr);
         sqlite3_close(other);
         store_ = ZIVSqliteStore::initWithDatabasePath(path_);
         ASSERT_NE(store_, nullptr);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Exec("DROP TABLE IF EXISTS t");
    Exec("CREATE TABLE t (a INTEGER NOT NULL)");
    for (int a = 1; a <= 5; ++a) ASSERT_TRUE(upsert(a));
    ASSERT_EQ(store_->trackedRowCountForTableWithName("t"), 5);
    c.change();
    fnd::Error error;
    EXPECT_EQ(store_->trackedRowCountForTableWithName("t", &error),
              store_->rowCountForTableWithName("t"))
        << error.description();
    // And once more, from what the first call kept.
    ASSERT_TRUE(upsert(11));
    EXPECT_EQ(store_->trackedRowCountForTableWithName("t"), store_->rowCountForTableWithName("t"));
  }
}

TEST_F(SqliteStoreTest, TablesWithKeysAreCountedOnEveryCall) {
  // INSERT OR REPLACE on a key deletes the old row without telling the update hook.
  Exec("CREATE TABLE k (id INTEGER PRIMARY KEY, v TEXT)");
  Exec("CREATE TABLE u (name TEXT UNIQUE, v TEXT)");
  for (const char* table : {"k", "u"}) {
    SCOPED_TRACE(table);
    const char* key = std::string(table) == "k" ? "id" : "name";
    ASSERT_TRUE(store_->upsertRecord({{key, "1"}, {"v", "a"}}, table));
    ASSERT_TRUE(store_->upsertRecord({{key, "2"}, {"v", "b"}}, table));
    EXPECT_EQ(store_->trackedRowCountForTableWithName(table), 2);
    ASSERT_TRUE(store_->upsertRecord({{key, "1"}, {"v", "c"}}, table));
    EXPECT_EQ(store_->trackedRowCountForTableWithName(table), 2);
  }
  fnd::Error error;
  EXPECT_EQ(store_->trackedRowCountForTableWithName("missing", &error), std::nullopt);
  EXPECT_EQ(error.code(), 3);
}

// ---- Transactions.

TEST_F(SqliteStoreTest, TransactionsCommitRollBackAndDoNotNest) {
  Exec("CREATE TABLE v (a INTEGER)");
  fnd::Error error;
  EXPECT_TRUE(store_->performTransactionWithError(&error, [&] {
    return store_->upsertRecord({{"a", 1}}, "v");
  }));
  EXPECT_FALSE(store_->performTransactionWithError(&error, [&] {
    EXPECT_TRUE(store_->upsertRecord({{"a", 2}}, "v"));
    return false;
  }));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(Description(error), "Transaction failed");
  EXPECT_THROW((void)store_->performTransactionWithError(
                   &error,
                   [&]() -> bool {
                     EXPECT_TRUE(store_->upsertRecord({{"a", 3}}, "v"));
                     throw std::runtime_error("boom");
                   }),
               std::runtime_error);
  fnd::Error nested;
  EXPECT_TRUE(store_->performTransactionWithError(&error, [&] {
    EXPECT_FALSE(store_->performTransactionWithError(&nested, [] { return true; }));
    return true;
  }));
  EXPECT_EQ(Description(nested), "Failed to begin transaction");
  EXPECT_EQ(store_->numberForQuery("SELECT count(1) FROM v", {}),
            std::optional<fnd::Value>(fnd::Value::Int64(1)));
}

TEST_F(SqliteStoreTest, AFailedCommitLeavesNoTransactionOpen) {
  Exec("CREATE TABLE p (id INTEGER PRIMARY KEY)");
  Exec("CREATE TABLE c (p INTEGER REFERENCES p(id) DEFERRABLE INITIALLY DEFERRED)");
  Exec("PRAGMA foreign_keys = ON");
  fnd::Error error;
  // The deferred foreign key fails at commit time.
  EXPECT_FALSE(store_->performTransactionWithError(&error, [&] {
    return store_->upsertRecord({{"p", 5}}, "c");
  }));
  EXPECT_EQ(Description(error), "Failed to end transaction");
  EXPECT_NE(sqlite3_get_autocommit(store_->sqliteHandle()), 0);
  EXPECT_TRUE(store_->performTransactionWithError(&error, [] { return true; }));
  EXPECT_EQ(store_->rowCountForTableWithName("c"), std::optional<int64_t>(0));
}

// ---- Schema.

const ZIVSqliteStore::ElementaryColumnInfo kElementary = {
    {"name", "TEXT NOT NULL"}, {"count", "INTEGER NOT NULL"}, {"stamp", "INTEGER NOT NULL"}};
const ZIVSqliteStore::AddOnColumnInfo kAddOn = {{"extra", "INTEGER"}, {"note", "TEXT"}};

TEST_F(SqliteStoreTest, EnsureCreatesAndReensuringChangesNothing) {
  ASSERT_TRUE(store_->ensureTableWithName("t", kElementary, kAddOn, {{"stamp", "REAL NOT NULL"}}));
  auto info = store_->columnInfoForTableWithName("t");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->at("stamp"), "REAL");
  EXPECT_EQ(
      store_->columnsForTableWithName("t"),
      (std::optional<std::vector<std::string>>({{"name", "count", "stamp", "extra", "note"}})));
  auto traced = Trace([&] {
    EXPECT_TRUE(
        store_->ensureTableWithName("t", kElementary, kAddOn, {{"stamp", "REAL NOT NULL"}}));
  });
  for (const std::string& sql : traced) {
    EXPECT_EQ(sql.find("ALTER"), std::string::npos) << sql;
    EXPECT_EQ(sql.find("CREATE"), std::string::npos) << sql;
    EXPECT_EQ(sql.find("INSERT"), std::string::npos) << sql;
  }
}

TEST_F(SqliteStoreTest, OldTablesGainAddOnColumnsWithNull) {
  Exec("CREATE TABLE t (name TEXT NOT NULL, count INTEGER NOT NULL, stamp INTEGER NOT NULL)");
  Exec("INSERT INTO t VALUES ('a', 1, 2)");
  ASSERT_TRUE(store_->ensureTableWithName("t", kElementary, kAddOn));
  auto rows = Rows("SELECT * FROM t");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].get("extra").isNull());
  EXPECT_TRUE(rows[0].contains("note"));
}

TEST_F(SqliteStoreTest, ValidationOfColumnsTheDescriptionDoesNotKnow) {
  struct Case {
    const char* create;
    bool ok;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"CREATE TABLE t (name TEXT NOT NULL, count INTEGER NOT NULL, stamp INTEGER NOT NULL, "
       "spare TEXT)",
       true, ""},
      {"CREATE TABLE t (name TEXT NOT NULL, count INTEGER NOT NULL, stamp INTEGER NOT NULL, "
       "spare TEXT NOT NULL)",
       false, "Table contains unknown non-optional columns"},
      {"CREATE TABLE t (name TEXT NOT NULL, stamp INTEGER NOT NULL)", false,
       "Table is missing required columns"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.create);
    Exec("DROP TABLE IF EXISTS t");
    Exec(c.create);
    fnd::Error error;
    EXPECT_EQ(store_->ensureTableWithName("t", kElementary, kAddOn, &error), c.ok);
    if (!c.ok) {
      EXPECT_EQ(error.code(), 2);
      EXPECT_EQ(Description(error), c.text);
    }
  }
}

TEST_F(SqliteStoreTest, ChangedTypeRebuildsTheTableKeepingRowsByColumnName) {
  // The old file has the columns in another order than the description.
  Exec(
      "CREATE TABLE t (stamp INTEGER NOT NULL, extra INTEGER, name TEXT NOT NULL, "
      "count INTEGER NOT NULL)");
  Exec("INSERT INTO t VALUES (1700000000, 5, 'first', 3)");
  Exec("INSERT INTO t VALUES (1700000001, NULL, 'second', 4)");
  fnd::Error error;
  ASSERT_TRUE(
      store_->ensureTableWithName("t", kElementary, kAddOn, {{"stamp", "REAL NOT NULL"}}, &error))
      << error.description();
  EXPECT_EQ(store_->columnInfoForTableWithName("t")->at("stamp"), "REAL");
  EXPECT_EQ(store_->tableExists("t_old"), std::optional<bool>(false));
  auto rows = Rows("SELECT name, count, stamp, extra FROM t ORDER BY rowid");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].get("name"), fnd::Value("first"));
  EXPECT_EQ(rows[0].get("count").asInt(), 3);
  EXPECT_EQ(rows[0].get("stamp").asDouble(), 1700000000.0);
  EXPECT_TRUE(rows[0].get("stamp").isDouble());
  EXPECT_EQ(rows[0].get("extra").asInt(), 5);
  EXPECT_EQ(rows[1].get("name"), fnd::Value("second"));
}

TEST_F(SqliteStoreTest, ARebuildCopiesOnlyTheColumnsBothTablesHave) {
  // The old table has a column the description no longer knows.
  Exec("CREATE TABLE t (legacy TEXT, name TEXT NOT NULL, count INTEGER NOT NULL, stamp INTEGER)");
  Exec("INSERT INTO t VALUES ('old', 'first', 3, 1700000000)");
  Exec("INSERT INTO t VALUES (NULL, 'second', 4, 1700000001)");
  fnd::Error error;
  ASSERT_TRUE(
      store_->ensureTableWithName("t", kElementary, kAddOn, {{"stamp", "REAL NOT NULL"}}, &error))
      << error.description();
  auto rows = Rows("SELECT name, count, stamp FROM t ORDER BY rowid");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].get("name"), fnd::Value("first"));
  EXPECT_EQ(rows[1].get("count").asInt(), 4);
}

TEST_F(SqliteStoreTest, AFailedSavepointBlockLeavesNothingAndTheNextTransactionWorks) {
  Exec("CREATE TABLE v (a INTEGER)");
  fnd::Error error;
  EXPECT_FALSE(store_->performSavepointWithError(&error, [&] {
    EXPECT_TRUE(store_->upsertRecord({{"a", 1}}, "v"));
    return false;
  }));
  EXPECT_EQ(store_->rowCountForTableWithName("v"), std::optional<int64_t>(0));
  // Inside a transaction, the failed savepoint's writes go and the transaction's stay.
  EXPECT_TRUE(store_->performTransactionWithError(&error, [&] {
    EXPECT_TRUE(store_->upsertRecord({{"a", 2}}, "v"));
    EXPECT_FALSE(store_->performSavepointWithError(nullptr, [&] {
      EXPECT_TRUE(store_->upsertRecord({{"a", 3}}, "v"));
      return false;
    }));
    return true;
  })) << error.description();
  EXPECT_EQ(store_->numberForQuery("SELECT sum(a) FROM v", {}),
            std::optional<fnd::Value>(fnd::Value::Int64(2)));
}

TEST_F(SqliteStoreTest, AFailedRebuildLeavesTheTableAsItWas) {
  Exec("CREATE TABLE t (name TEXT NOT NULL, count INTEGER NOT NULL, stamp INTEGER NOT NULL)");
  Exec("INSERT INTO t VALUES ('a', 1, 2)");
  // The new description asks for a NOT NULL column that the old rows cannot fill.
  ZIVSqliteStore::ElementaryColumnInfo elementary = kElementary;
  elementary.emplace_back("owner", "TEXT NOT NULL");
  fnd::Error error;
  EXPECT_FALSE(store_->ensureSchemaOfTableWithName("t", elementary, {}, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(store_->columnsForTableWithName("t"),
            (std::optional<std::vector<std::string>>({{"name", "count", "stamp"}})));
  EXPECT_EQ(store_->tableExists("t_old"), std::optional<bool>(false));
  EXPECT_EQ(store_->rowCountForTableWithName("t"), std::optional<int64_t>(1));
}

TEST_F(SqliteStoreTest, TableOperations) {
  Exec("CREATE TABLE a (x INTEGER, y TEXT)");
  Exec("INSERT INTO a VALUES (1, 'one')");
  ASSERT_TRUE(store_->createEmptyTable("b", "a"));
  EXPECT_EQ(store_->rowCountForTableWithName("b"), std::optional<int64_t>(0));
  ASSERT_TRUE(store_->copyContentsFromTable("a", "b"));
  ASSERT_TRUE(store_->renameTable("b", "c"));
  EXPECT_EQ(store_->rowCountForTableWithName("c", "y", fnd::Value("one")),
            std::optional<int64_t>(1));
  ASSERT_TRUE(store_->dropTableWithName("c"));
  EXPECT_EQ(store_->tableExists("c"), std::optional<bool>(false));
  EXPECT_EQ(store_->columnsForTableWithName("missing"),
            std::optional<std::vector<std::string>>(std::vector<std::string>()));
}

}  // namespace
