#include "platform/vendor/crashkeep/crashkeep.h"

#include <gtest/gtest.h>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"

namespace {

TEST(DEVCrashkeepTest, LogLinesTakeArgumentsLiterally) {
  fnd::ScopedTestHome home;
  DEVCrashkeep crashkeep(dispatch::Queue::main());
  struct Case {
    const char* format;
    fnd::Value argument;
    const char* expected;
  } cases[] = {
      {"%@", "count %d of %@", "count %d of %@"},
      {"%@", fnd::Value(), "(null)"},
      {"%@", 42, "42"},
      {"%@", true, "1"},
      {"100%% %@ %d", "x", "100% x %d"},
      {"%@ %@", "one", "one (null)"},
  };
  for (const Case& c : cases) crashkeep.logWithFormat(c.format, {c.argument});
  std::vector<std::string> logs = crashkeep.logs();
  ASSERT_EQ(logs.size(), std::size(cases));
  for (size_t i = 0; i < logs.size(); ++i) EXPECT_EQ(logs[i], cases[i].expected) << i;
}

TEST(DEVCrashkeepTest, ReportsWaitWhileCollectionIsOff) {
  fnd::ScopedTestHome home;
  DEVCrashkeep crashkeep(dispatch::Queue::main());
  crashkeep.setUserID("user-1");
  crashkeep.setCustomValue("v", "k");
  crashkeep.setCustomValue(1, std::nullopt);  // No key: ignored.
  crashkeep.setCrashkeepCollectionEnabled(false);
  crashkeep.recordExceptionModel(DEVExceptionModel::exceptionModelWithName("E", "why"));
  crashkeep.setCustomValue(fnd::Value(), "k");  // Removed for later reports only.
  crashkeep.recordOnDemandExceptionModel(DEVExceptionModel::exceptionModelWithName("F", {}));

  auto unsent = crashkeep.unsentReports();
  ASSERT_EQ(unsent.size(), 2u);
  EXPECT_EQ(unsent[0].userID, "user-1");
  EXPECT_EQ(unsent[0].customValues, (fnd::Dictionary{{"k", "v"}}));
  EXPECT_FALSE(unsent[0].onDemand);
  EXPECT_TRUE(unsent[1].customValues.empty());
  EXPECT_TRUE(unsent[1].onDemand);

  std::optional<bool> waiting;
  crashkeep.checkForUnsentReportsWithCompletion([&](bool w) { waiting = w; });
  EXPECT_FALSE(waiting);  // Never on the calling thread's stack.
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(waiting, true);

  crashkeep.sendUnsentReports();
  EXPECT_EQ(crashkeep.sentReports().size(), 2u);
  crashkeep.recordExceptionModel(DEVExceptionModel::exceptionModelWithName("G", {}));
  crashkeep.deleteUnsentReports();
  EXPECT_TRUE(crashkeep.unsentReports().empty());
  EXPECT_EQ(crashkeep.sentReports().size(), 2u);

  crashkeep.recordExceptionModel(DEVExceptionModel::exceptionModelWithName("H", {}));
  crashkeep.setCrashkeepCollectionEnabled(true);
  EXPECT_EQ(crashkeep.sentReports().size(), 3u);
  crashkeep.checkForUnsentReportsWithCompletion([&](bool w) { waiting = w; });
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(waiting, false);
}

}  // namespace
