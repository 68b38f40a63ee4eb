// Failing disks: every read, write and sync that a database operation makes is failed once in
// turn (a full disk for writes, an I/O error otherwise). Each time the operation answers failure
// with the store's error and leaves nothing of itself behind (after a failed sync the commit may
// have landed whole), the file stays sound, and the same operation then works.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "analytics/engine/event.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/value.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "analytics/storage/sqlite_fault_injection.h"
#include "analytics/storage/storage_test_support.h"
#include "platform/dispatch/clock.h"

namespace {

using Call = ZIVSqliteFaultInjection::Call;
using ziv_storage_test::LogCapture;
using ziv_storage_test::TempHome;

// Recent times, so that no stale-data sweep joins the operations under test.
const double kNow = dispatch::Clock::current()->wallTime();

std::shared_ptr<ZIVEvent> MakeEvent(const std::string& name) {
  return ZIVEvent::initWithOrigin("app", false, name, kNow, 0, {{"n", ZIVValue::initWithInt64(1)}});
}

std::shared_ptr<APMPBMeasurementBundle> MakeBundle() {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetString(bundle.get(), APMPBMeasurementBundle::kAppId, std::string("1:app"));
  NANOSetInt64(bundle.get(), APMPBMeasurementBundle::kEndTimestampMillis,
               static_cast<int64_t>(kNow * 1000));
  return bundle;
}

struct Operation {
  const char* name;
  // Puts what the operation needs in place (runs before every attempt).
  std::function<void(ZIVDatabase&)> prepare;
  std::function<bool(ZIVDatabase&, fnd::Error*)> run;
  // A log code the failure must give, or 0 when the error value is the report.
  int64_t failureLogCode;
};

// Everything a caller could see of the tables the operations touch.
std::string Contents(ZIVDatabase& db) {
  std::string text;
  for (const char* sql :
       {"SELECT group_concat(name) AS v FROM raw_events", "SELECT count(1) AS v FROM queue",
        "SELECT group_concat(name) AS v FROM user_attributes",
        "SELECT group_concat(name || ':' || lifetime_count) AS v FROM events"}) {
    auto rows = db.sqliteStore()->recordsForQuery(sql, {});
    text += rows && !rows->empty() ? rows->front().get("v").description() : "<unreadable>";
    text += "|";
  }
  return text;
}

std::string IntegrityCheck(ZIVDatabase& db) {
  sqlite3_stmt* statement = nullptr;
  std::string result = "<failed>";
  if (sqlite3_prepare_v2(db.sqliteStore()->sqliteHandle(), "PRAGMA integrity_check", -1, &statement,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  return result;
}

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"insert a raw event", [](ZIVDatabase&) {},
       [](ZIVDatabase& db, fnd::Error* error) {
         return db.insertRawEvent(MakeEvent("single"), 7, false, error);
       },
       0},
      {"a transaction of events and aggregates", [](ZIVDatabase&) {},
       [](ZIVDatabase& db, fnd::Error*) {
         return db.performTransaction([&db] {
           for (const char* name : {"a", "b", "c"}) {
             if (!db.insertRawEvent(MakeEvent(name), 7, false)) return false;
           }
           auto aggregates = ZIVEventAggregates::initWithName("a", 1, 1, 1, kNow);
           return db.updateEventAggregates(*aggregates);
         });
       },
       12056},
      {"queue a bundle", [](ZIVDatabase&) {},
       [](ZIVDatabase& db, fnd::Error* error) {
         return db.insertBundle(*MakeBundle(), false, error);
       },
       0},
      {"set a user attribute", [](ZIVDatabase&) {},
       [](ZIVDatabase& db, fnd::Error* error) {
         static int serial = 0;
         return db.updateUserAttribute(
             ZIVUserAttribute::initWithOrigin("app", "p" + std::to_string(++serial),
                                              ZIVValue::initWithInt64(1), kNow),
             error);
       },
       0},
      {"delete queued bundles",
       [](ZIVDatabase& db) { ASSERT_TRUE(db.insertBundle(*MakeBundle(), false)); },
       [](ZIVDatabase& db, fnd::Error* error) {
         auto rows = db.queryBundlesWithCountLimit(100, 1 << 20, error);
         if (!rows) return false;
         std::vector<int64_t> ids;
         for (const auto& [bundle, rowID] : *rows) ids.push_back(rowID);
         return db.deleteBundlesWithRowIDs(ids, error);
       },
       0},
  };
  return operations;
}

TEST(DatabaseFaultTest, EveryFailedReadWriteAndSyncLeavesNothingAndTheNextTryWorks) {
  struct Kind {
    Call call;
    int code;
    const char* name;
  };
  const Kind kinds[] = {{Call::kWrite, SQLITE_FULL, "write"},
                        {Call::kSync, SQLITE_IOERR, "sync"},
                        {Call::kRead, SQLITE_IOERR, "read"}};
  for (const Operation& operation : Operations()) {
    for (const Kind& kind : kinds) {
      SCOPED_TRACE(std::string(operation.name) + ", failing " + kind.name);
      TempHome home;
      LogCapture logs;
      ZIVSqliteFaultInjection faults;
      auto db = ZIVDatabase::initWithDatabaseName("faults.sql", nullptr);
      ASSERT_NE(db, nullptr);
      // A dry run counts the calls the operation makes.
      operation.prepare(*db);
      faults.clear();
      ASSERT_TRUE(operation.run(*db, nullptr));
      const int64_t calls = faults.count(kind.call);
      for (int64_t n = 1; n <= calls; ++n) {
        SCOPED_TRACE("call " + std::to_string(n) + " of " + std::to_string(calls));
        operation.prepare(*db);
        faults.clear();
        const std::string before = Contents(*db);
        logs.clear();
        faults.failNth(kind.call, n, kind.code);
        fnd::Error error;
        const bool done = operation.run(*db, &error);
        if (!faults.fired()) continue;  // The operation took another road this time.
        faults.clear();
        if (done) {
          // A failure SQLite absorbed (a read it could repeat): the operation is whole.
          EXPECT_NE(Contents(*db), before);
        } else {
          // A failed sync leaves it open whether the last commit reached the disk (the journal
          // may already be gone); every other failure leaves the tables as they were.
          if (kind.call != Call::kSync) {
            EXPECT_EQ(Contents(*db), before) << "a failed operation left part of itself";
          }
          if (operation.failureLogCode != 0) {
            EXPECT_TRUE(logs.has(operation.failureLogCode));
          } else {
            EXPECT_EQ(error.code(), 3) << error.description();
            EXPECT_NE(error.localizedDescription().find("sqlite code " + std::to_string(kind.code)),
                      std::string::npos)
                << error.localizedDescription();
          }
        }
        // The next operation works and the file is sound.
        operation.prepare(*db);
        EXPECT_TRUE(operation.run(*db, nullptr));
        EXPECT_EQ(IntegrityCheck(*db), "ok");
      }
    }
  }
}

}  // namespace
