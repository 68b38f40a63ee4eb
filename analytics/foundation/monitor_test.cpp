#include "analytics/foundation/monitor.h"

#include <gtest/gtest.h>

#include <thread>

#include "analytics/foundation/errors.h"
#include "analytics/foundation/test_support.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"

namespace {

class MonitorTest : public ZIVFoundationTest {};

std::vector<int64_t> Codes(const std::vector<ZIVConsoleLine>& lines) {
  std::vector<int64_t> codes;
  for (const auto& line : lines) codes.push_back(std::stoll(line.code.substr(5)));
  return codes;
}

TEST_F(MonitorTest, LevelsDecideWhatIsPrintedAndWhatIsSampled) {
  // Verbose logging puts the console at debug, so only silence and the level-8 rule filter.
  ZIVTestMonitor monitor(clock_, {"quellmark", "-ZIVAnalyticsVerboseLoggingEnabled"});
  ASSERT_TRUE(monitor->isVerboseLoggingEnabled());
  for (int64_t level = -1; level <= 9; ++level) monitor->logWithLevel(level, 100 + level, "m");
  EXPECT_EQ(Codes(monitor.lines()), (std::vector<int64_t>{100, 101, 103, 104, 106, 107, 108}));

  struct Case {
    int64_t code;
    int consoleLevel;
  };
  const Case expected[] = {{100, 3}, {101, 3}, {103, 4}, {104, 4}, {106, 5}, {107, 7}, {108, 7}};
  for (const Case& c : expected) {
    auto lines = monitor.linesWithCode(c.code);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, c.consoleLevel) << c.code;
  }
  // Levels 1, 2, 4 and 5 are sampled, and so are the levels outside the table (-1 and 9).
  clock_->advance(100);
  auto data = monitor->monitoringDataForDispatchWithSamplePeriod(10, 0);
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(data->substr(0, 2), "6:") << *data;  // -1, 1, 2, 4, 5, 9
}

TEST_F(MonitorTest, DefaultConsoleLevelHidesDebugAndVerboseLevels) {
  ZIVTestMonitor monitor(clock_);
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  for (int64_t level = 0; level <= 8; ++level) monitor->logWithLevel(level, 200 + level, "m");
  EXPECT_EQ(Codes(monitor.lines()), (std::vector<int64_t>{200, 201, 203, 204, 206}));

  monitor->setDebugModeEnabled(true);
  monitor.clearLines();
  for (int64_t level = 6; level <= 8; ++level) monitor->logWithLevel(level, 300 + level, "m");
  EXPECT_EQ(Codes(monitor.lines()), (std::vector<int64_t>{306, 307}))
      << "level 8 needs verbose logging even with the console at debug";
}

TEST_F(MonitorTest, LineCarriesCodeTagAndLiteralText) {
  ZIVTestMonitor monitor(clock_);
  monitor->logWithLevel(0, 2002, "100% sure, 5%d %@ %%");
  auto lines = monitor.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].code, "I-ACS002002");
  EXPECT_EQ(lines[0].category, "<DuvUdiredururo>");
  EXPECT_EQ(lines[0].subsystem, kZIVLogSubsystem);
  EXPECT_EQ(lines[0].message, "100% sure, 5%d %@ %%");

  monitor->setLogTag("<Other>");
  monitor->logWithLevel(0, 1234567, "x");
  lines = monitor.linesWithCode(1234567);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].code, "I-ACS1234567");
  EXPECT_EQ(lines[0].category, "<Other>");
}

TEST_F(MonitorTest, LineDescribesEachKindOfContext) {
  struct Case {
    fnd::Value context;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {fnd::Value("text"), "m: text"},
      {fnd::Value(42), "m: 42"},
      {fnd::Value(2.5), "m: 2.5"},
      {fnd::Value(true), "m: 1"},
      {fnd::Value(), "m: (nil)"},
      {ZIVErrorContext(fnd::Error("dom", 4)), "m: " + fnd::Error("dom", 4).description()},
      {ZIVExceptionContext("std::runtime_error", "boom"), "m: std::runtime_error: boom"},
      {ZIVExceptionContext(
           "E", "boom",
           {"0 a 0x1 main + 1", "1 a 0x2 start + 2", "2 quellmark 0x3 -[ZIVDatabase open] + 12"}),
       "m: -[ZIVDatabase open]: boom"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVMonitor::stringWithLogMessage("m", 0, {c.context}, false), c.expected);
  }
  EXPECT_EQ(ZIVMonitor::stringWithLogMessage("", 0, {}, false), "(Message was empty)");
  EXPECT_EQ(ZIVMonitor::stringWithLogMessage("m", 0, {fnd::Value("a"), fnd::Value(7)}, false),
            "m: a, 7");
  EXPECT_EQ(ZIVMonitor::stringWithLogMessage("m", 0, {fnd::Value("a"), fnd::Value(123)}, true),
            "m: -, 100...999");

  ZIVTestMonitor monitor(clock_);
  monitor->logWithLevel(0, 5, "three", fnd::Value("a"), fnd::Value(), fnd::Value(3));
  ASSERT_EQ(monitor.lines().size(), 1u);
  EXPECT_EQ(monitor.lines()[0].message, "three: a, (nil), 3");
}

TEST(MonitorEncodingTest, ContextObjectsEncodeWithoutRevealingValues) {
  struct Case {
    fnd::Value context;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {fnd::Value(), ""},
      {fnd::Value("secret"), "-"},
      {fnd::Value(-5), "-5"},
      {fnd::Value(99), "99"},
      {fnd::Value(-99), "-99"},
      {fnd::Value(100), "100...999"},
      {fnd::Value(12345), "10000...99999"},
      {fnd::Value(-123), "-999...-100"},
      {fnd::Value::Int64(INT64_MAX), "1000000000000000000...9999999999999999999"},
      {fnd::Value::Int64(INT64_MIN), "-9999999999999999999...-1000000000000000000"},
      {fnd::Value(12.7), "12"},
      {fnd::Value(1500.25), "1000...9999"},
      {ZIVErrorContext(fnd::Error("some.domain", 1)), "some.domain"},
      {ZIVErrorContext(fnd::Error("", 1)), "-"},
      {ZIVExceptionContext("Name", "reason"), "Name"},
      {ZIVExceptionContext("", "reason"), "-"},
      {fnd::Value(fnd::Data{1, 2}), "?"},
      {fnd::Value(fnd::Array{}), "?"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVMonitor::encodedStringWithContextObject(c.context), c.expected)
        << c.context.description();
  }
  fnd::Array contexts = {fnd::Value("s"), fnd::Value(12345), fnd::Value()};
  EXPECT_EQ(ZIVMonitor::encodedStringWithContextArray(contexts, true), "-, 10000...99999, ");
  EXPECT_EQ(ZIVMonitor::encodedStringWithContextArray(contexts, false), "-,10000...99999,");
  EXPECT_EQ(ZIVMonitor::encodedStringWithContextArray({}, true), "");
}

TEST(MonitorEncodingTest, LastEngineSymbolComesFromTheThirdFrameOn) {
  struct Case {
    std::vector<std::string> stack;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, "Name"},
      {{"0 q 0x1 -[ZIVA b] + 1", "1 q 0x2 -[ZIVC d] + 2"}, "Name"},
      // Frames 0 and 1 are skipped even when they name an engine symbol.
      {{"0 q 0x1 -[ZIVA b] + 1", "1 q 0x2 x + 2", "2 q 0x3 -[Other m] + 3",
        "3 q 0x4 -[ZIVScheduler run] + 4"},
       "-[ZIVScheduler run]"},
      {{"0 a", "1 b", "2 q 0x3 ziv_helper + 9"}, "ziv_helper"},
      {{"0 a", "1 b", "2 too short", "3 q 0x3 main + 9"}, "Name"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVMonitor::lastZIVSymbolFromException(ZIVExceptionRecord("Name", "r", c.stack)),
              c.expected);
  }
}

TEST(MonitorEncodingTest, LevelTablesAndHealthKeys) {
  const char* names[] = {"ERROR",   "ERROR",  "ERROR", "WARNING", "WARNING",
                         "WARNING", "NOTICE", "DEBUG", ""};
  for (int64_t level = 0; level <= 8; ++level) {
    EXPECT_EQ(ZIVMonitor::logLevelDescriptionFromLogLevel(level), names[level]);
  }
  EXPECT_EQ(ZIVMonitor::logLevelDescriptionFromLogLevel(9), "");
  EXPECT_EQ(ZIVMonitor::monitoringDataKeyWithMessage("x", 1, 123), "1E_123:x");
  EXPECT_EQ(ZIVMonitor::monitoringDataKeyWithMessage("x", 5, 123), "1W_123:x");
  EXPECT_EQ(ZIVMonitor::monitoringDataKeyWithMessage("x", 9, 123), "1?_123:x");
  EXPECT_EQ(APMASLLogger::RVLLoggerLevelFromLogLevel(9), kZIVConsoleLevelWarning);
}

TEST_F(MonitorTest, HealthRecordCountsAPeriodAndKeepsItsFirstTimestamp) {
  ZIVTestMonitor monitor(clock_);
  const double start = clock_->wallTime();
  monitor->logWithLevel(1, 10, "first", fnd::Value(12345),
                        ZIVErrorContext(ziv_errorWithCode(3, "failed", "db_open")));
  clock_->advance(5);
  monitor.setNextDraw(1);  // Keep the first sample.
  monitor->logWithLevel(4, 11, "second", fnd::Value("s"));
  monitor->flush();

  ZIVUserDefaults suite("test.monitor");
  auto stored = suite.arrayForKey(ZIVUserDefaultsHealthMonitorKey);
  ASSERT_TRUE(stored.has_value());
  ASSERT_EQ(stored->size(), 4u);
  EXPECT_EQ((*stored)[0], fnd::Value("10000...99999,com.rivado.measurement.ErrorDomain,db_open"));
  EXPECT_EQ((*stored)[1].asInt(), 2);
  EXPECT_EQ((*stored)[2], fnd::Value("1E_123:first"));
  EXPECT_EQ((*stored)[3], fnd::Value(fnd::Date{start}));

  // Young: nothing yet. Older than the period: dispatched once and dropped.
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(60, 0), std::nullopt);
  clock_->advance(60);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(60, 0),
            "2:1E_123:first:10000...99999,com.rivado.measurement.ErrorDomain,db_open");
  EXPECT_FALSE(suite.objectForKey(ZIVUserDefaultsHealthMonitorKey).has_value());
  // Without an entry: "0:" only when the last sampling lies more than a period away.
  const double now = clock_->wallTime();
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(60, 0), std::nullopt);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(60, now - 30), std::nullopt);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(60, now - 61), "0:");
}

TEST_F(MonitorTest, ADrawOfZeroReplacesTheSampleAndAnEmptyContextIsLeftOut) {
  ZIVTestMonitor monitor(clock_);
  monitor->logWithLevel(1, 10, "first", fnd::Value("x"));
  monitor.setNextDraw(0);
  monitor->logWithLevel(5, 11, "second");
  clock_->advance(11);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(10, 0), "2:1W_123:second");
  EXPECT_EQ(Codes(monitor.lines()), std::vector<int64_t>{10}) << "level 5 is silent";
}

// The population stored in the monitor suite's file on disk (not the store's cache), or -1.
int64_t PopulationInSuiteFile() {
  auto root = fnd::PropertyList::ReadFile(fnd::PreferencesFilePath("test.monitor"));
  if (!root || !root->isDictionary()) return -1;
  const fnd::Value* entry = root->dictionary()->find(ZIVUserDefaultsHealthMonitorKey);
  if (!entry || !entry->isArray() || entry->array()->size() != 4) return -1;
  return (*entry->array())[1].asInt();
}

TEST_F(MonitorTest, HealthRecordFileIsWrittenAtOnceThenOncePerIntervalAndAtFlush) {
  ZIVTestMonitor monitor(clock_);
  ZIVUserDefaults suite("test.monitor");
  // A dispatch of a young record waits for the monitor queue and writes nothing.
  auto drain = [&] {
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(1e9, 0), std::nullopt);
  };
  monitor->logWithLevel(1, 10, "first");
  drain();
  EXPECT_EQ(PopulationInSuiteFile(), 1) << "the first entry is written at once";

  for (int i = 0; i < 50; ++i) monitor->logWithLevel(4, 11, "burst");
  drain();
  EXPECT_EQ(PopulationInSuiteFile(), 1) << "a burst within the interval is not written per line";
  EXPECT_EQ(suite.arrayForKey(ZIVUserDefaultsHealthMonitorKey)->at(1).asInt(), 51)
      << "readers of the suite see every update";

  clock_->advance(kZIVMonitorHealthWriteInterval);
  drain();
  EXPECT_EQ(PopulationInSuiteFile(), 51) << "the put-off write is done when the interval ends";

  for (int i = 0; i < 9; ++i) monitor->logWithLevel(2, 12, "later");
  drain();
  EXPECT_EQ(PopulationInSuiteFile(), 51);
  monitor->flush();
  EXPECT_EQ(PopulationInSuiteFile(), 60) << "flush, run at exit, writes what was put off";

  // After a quiet interval the next line is written at once again.
  clock_->advance(kZIVMonitorHealthWriteInterval);
  monitor->logWithLevel(1, 13, "quiet");
  drain();
  EXPECT_EQ(PopulationInSuiteFile(), 61);
}

TEST_F(MonitorTest, HealthRecordSurvivesANewMonitorAndBadEntriesLoadAsNone) {
  {
    ZIVTestMonitor monitor(clock_);
    monitor->logWithLevel(2, 10, "kept");
  }
  {
    ZIVTestMonitor monitor(clock_);
    clock_->advance(20);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(10, 0), "1:1E_123:kept");
  }
  const fnd::Value bad[] = {
      fnd::Value("not an array"),
      fnd::Value(fnd::Array{fnd::Value("c"), fnd::Value(1), fnd::Value("k")}),
      fnd::Value(
          fnd::Array{fnd::Value("c"), fnd::Value("1"), fnd::Value("k"), fnd::Value(fnd::Date{1})}),
      fnd::Value(fnd::Array{fnd::Value("c"), fnd::Value(1), fnd::Value("k"), fnd::Value(1.0)}),
  };
  for (const fnd::Value& entry : bad) {
    ZIVUserDefaults suite("test.monitor");
    suite.setObject(entry, ZIVUserDefaultsHealthMonitorKey);
    ZIVTestMonitor monitor(clock_);
    clock_->advance(20);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(10, 0), std::nullopt)
        << entry.description();
  }
}

TEST_F(MonitorTest, HealthRecordMovesFromTheApplicationDomainOnce) {
  fnd::Array old = {fnd::Value("ctx"), fnd::Value(3), fnd::Value("1E_1:old"),
                    fnd::Value(fnd::Date{clock_->wallTime() - 100})};
  ZIVUserDefaults app("test.application");
  app.setObject(fnd::Value(old), ZIVUserDefaultsHealthMonitorKey);

  ZIVTestMonitor monitor(clock_);
  ZIVUserDefaults suite("test.monitor");
  EXPECT_FALSE(app.objectForKey(ZIVUserDefaultsHealthMonitorKey).has_value());
  EXPECT_EQ(suite.integerForKey(ZIVUserDefaultsMonitorMigrationStateKey),
            ZIVMonitorMigrationStateComplete);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(10, 0), "3:1E_1:old:ctx");

  // Once complete, a health array that shows up again in the application domain stays there.
  app.setObject(fnd::Value(old), ZIVUserDefaultsHealthMonitorKey);
  ZIVTestMonitor again(clock_);
  EXPECT_TRUE(app.objectForKey(ZIVUserDefaultsHealthMonitorKey).has_value());
}

TEST_F(MonitorTest, LaunchArgumentsAndStoredFlagsSwitchDebugAndVerbose) {
  struct Case {
    std::vector<std::string> arguments;
    bool storedDebug;
    bool storedVerbose;
    bool storeBuild;
    bool debug;
    bool verbose;
    int64_t level;
  };
  const Case cases[] = {
      {{}, false, false, false, false, false, 6},
      {{"-ZIVAnalyticsDebugEnabled"}, false, false, false, true, false, 7},
      {{"-DEVAzodavevuDebugEnabled"}, false, false, false, true, false, 7},
      {{"-DEVDebugEnabled"}, false, false, false, true, false, 7},
      {{}, true, false, false, true, false, 7},
      {{"-noZIVAnalyticsDebugEnabled"}, true, false, false, false, false, 6},
      {{"-noDEVAzodavevuDebugEnabled", "-ZIVAnalyticsDebugEnabled"},
       false,
       false,
       false,
       false,
       false,
       6},
      {{"-DEVDebugDisabled"}, true, false, false, false, false, 6},
      {{"-ZIVAnalyticsVerboseLoggingEnabled"}, false, false, false, false, true, 8},
      {{"-DEVAzodavevuVerboseLoggingEnabled"}, false, false, false, false, true, 8},
      {{}, false, true, false, false, true, 8},
      {{"-ZIVAnalyticsVerboseLoggingDisabled"}, false, true, false, false, false, 6},
      {{"-DEVAzodavevuVerboseLoggingDisabled", "-ZIVAnalyticsDebugEnabled"},
       false,
       true,
       false,
       true,
       false,
       7},
      // A store build ignores arguments and stored flags alike.
      {{"-ZIVAnalyticsDebugEnabled", "-ZIVAnalyticsVerboseLoggingEnabled"},
       true,
       true,
       true,
       false,
       false,
       6},
  };
  for (const Case& c : cases) {
    fnd::ScopedTestHome home;
    ZIVUserDefaults app("test.application");
    if (c.storedDebug) app.setBool(true, ZIVPersistedConfigDebugModeKey);
    if (c.storedVerbose) app.setBool(true, ZIVPersistedConfigVerboseLoggingKey);
    std::vector<std::string> arguments = {"quellmark"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    ZIVTestMonitor monitor(clock_, arguments, c.storeBuild);
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    EXPECT_EQ(monitor->isDebugModeAllowed(), !c.storeBuild);
    EXPECT_EQ(monitor->isDebugModeEnabled(), c.debug);
    EXPECT_EQ(monitor->isVerboseLoggingEnabled(), c.verbose);
    EXPECT_EQ(monitor->logLevel(), c.level);
    EXPECT_EQ(monitor.console().level(),
              c.level >= 7 ? kZIVConsoleLevelDebug : kZIVConsoleLevelNotice);
    if (!c.storeBuild) {
      EXPECT_EQ(app.boolForKey(ZIVPersistedConfigDebugModeKey), c.debug);
      EXPECT_EQ(app.boolForKey(ZIVPersistedConfigVerboseLoggingKey), c.verbose);
    }
  }
}

TEST_F(MonitorTest, SwitchesSetLevelsAndPersistTheirFlags) {
  ZIVTestMonitor monitor(clock_);
  ZIVUserDefaults& app = monitor.appDefaults();
  monitor->setDebugModeEnabled(true);
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_EQ(monitor->logLevel(), 8);
  EXPECT_TRUE(app.boolForKey(ZIVPersistedConfigVerboseLoggingKey));
  monitor->setVerboseLoggingEnabled(false);
  EXPECT_EQ(monitor->logLevel(), 7) << "debug mode is still on";
  EXPECT_EQ(monitor.console().level(), kZIVConsoleLevelDebug);
  EXPECT_FALSE(app.objectForKey(ZIVPersistedConfigVerboseLoggingKey).has_value());
  monitor->setDebugModeEnabled(false);
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_EQ(monitor.console().level(), kZIVConsoleLevelNotice);
  EXPECT_FALSE(app.objectForKey(ZIVPersistedConfigDebugModeKey).has_value());

  ZIVTestMonitor store(clock_, {}, /*storeBuild=*/true);
  store->setDebugModeEnabled(true);
  store->setVerboseLoggingEnabled(true);
  EXPECT_FALSE(store->isDebugModeEnabled());
  EXPECT_FALSE(store->isVerboseLoggingEnabled());
  EXPECT_EQ(store->logLevel(), 6);
}

TEST_F(MonitorTest, SGTMDebugModeIsNeitherCheckedNorPersisted) {
  ZIVTestMonitor monitor(clock_, {}, /*storeBuild=*/true);
  ZIVLogCapture log(monitor.get());
  monitor->setSGTMDebugModeEnabled(true);
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 7);
  ExpectLogged(log, 7, 24006, "SGTM debug mode is on");
  ASSERT_EQ(monitor.linesWithCode(24006).size(), 1u) << "the console is at debug now";
  EXPECT_FALSE(monitor.appDefaults().objectForKey(ZIVPersistedConfigDebugModeKey).has_value());

  monitor->setSGTMDebugModeEnabled(false);
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  ExpectLogged(log, 7, 24007, "SGTM debug mode is off");
  EXPECT_TRUE(monitor.linesWithCode(24007).empty()) << "the console is back at notice";
}

TEST_F(MonitorTest, ClearMonitoringDataRemovesFlagAndHealthEverywhere) {
  ZIVTestMonitor monitor(clock_);
  monitor->setDebugModeEnabled(true);
  monitor->logWithLevel(1, 10, "x");
  monitor->clearMonitoringData();
  ZIVUserDefaults suite("test.monitor");
  EXPECT_FALSE(monitor.appDefaults().objectForKey(ZIVPersistedConfigDebugModeKey).has_value());
  EXPECT_FALSE(suite.objectForKey(ZIVUserDefaultsHealthMonitorKey).has_value());
  clock_->advance(100);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(10, 0), std::nullopt);
}

TEST_F(MonitorTest, LoggingFromManyThreadsLosesNoLine) {
  ZIVTestMonitor monitor(clock_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&monitor, t] {
      for (int i = 0; i < 50; ++i) monitor->logWithLevel(0, 1000 + t, "line");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(monitor.lines().size(), 200u);
}

}  // namespace
