#include "analytics/script/runtime.h"

#include <gtest/gtest.h>

#include <thread>

#include "analytics/foundation/test_support.h"
#include "analytics/script/host_modules.h"
#include "analytics/script/map_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/pixie_logger.h"
#include "analytics/script/scope.h"
#include "analytics/script/script_test_support.h"

namespace {

// Records every line a script logs.
class RecordingLogger : public APMPLoggerDelegate {
 public:
  struct Line {
    int64_t level;
    std::string message;
    std::vector<std::string> context;
    bool silent, monitored;
  };
  void logWithLevel(int64_t level, const std::string& message,
                    const std::vector<std::string>& context, bool silent, bool monitored) override {
    lines.push_back({level, message, context, silent, monitored});
  }
  std::vector<Line> lines;
};

TEST(RuntimeTest, TopLevelProgramsKeepTheirDeclarations) {
  APMPRuntime runtime;
  EXPECT_EQ(script_test::Run(runtime, "(Var \"x\") (Assign \"x\" 4)"), "4");
  EXPECT_EQ(script_test::Run(runtime, "(Get \"x\")"), "4");
  EXPECT_EQ(script_test::Run(runtime, "(Return 1) (Get \"x\")"), "4");
  EXPECT_EQ(script_test::Run(runtime, "1 (Get 2) (Assign \"x\" 9)"), "error 10");
  EXPECT_EQ(script_test::Run(runtime, "(Get \"x\")"), "4");
  EXPECT_EQ(script_test::Run(runtime, ""), "undefined");

  // A conversion failure stops the run before the failing statement.
  APMPError error;
  auto entities = script_test::Program("(Assign \"x\" 5)");
  entities.push_back(script_test::NewEntity(0));
  entities.push_back(script_test::Program("(Assign \"x\" 6)")[0]);
  EXPECT_TRUE(runtime.executeStatements(entities, &error)->isUndefined());
  EXPECT_TRUE(APMPErrorHasCode(error, 12));
  EXPECT_EQ(script_test::Run(runtime, "(Get \"x\")"), "5");
  runtime.executeStatements(entities, nullptr);  // A null error is accepted.
}

TEST(RuntimeTest, RunScopesAreFreshChildrenOfTheGlobalScope) {
  APMPRuntime runtime;
  APMPScopeRef a = runtime.getRunScope();
  APMPScopeRef b = runtime.getRunScope();
  EXPECT_NE(a, b);
  EXPECT_EQ(a->parentScope(), runtime.globalScope());
  EXPECT_EQ(runtime.globalScope()->parentScope(), runtime.initialScope());
  EXPECT_EQ(runtime.initialScope()->parentScope(), nullptr);
  a->addValue(APMPNumberValue::numberWithDouble(1), u"local");
  EXPECT_FALSE(b->hasName(u"local"));
  EXPECT_TRUE(b->hasName(u"require"));
  EXPECT_EQ(a->objectManager().get(), &runtime.objectManager());
  EXPECT_EQ(APMPRuntime::runtimeVersion(), 0);
}

TEST(RuntimeTest, InstructionCount) {
  APMPRuntime runtime;
  EXPECT_EQ(runtime.getInstructionCount(), 0);
  script_test::Run(runtime, "(Var \"x\")");
  EXPECT_EQ(runtime.getInstructionCount(), 2);  // The statement and its argument.
  runtime.resetInstructionCount();
  EXPECT_EQ(runtime.getInstructionCount(), 0);
}

TEST(RequireTest, ModulesAreCreatedOnceAndCached) {
  APMPRuntime runtime;
  int created = 0;
  runtime.setModuleCreator(
      [&]() -> APMPValueRef {
        ++created;
        return APMPStringValue::stringWithUTF8("module");
      },
      "m");
  int failed = 0;
  runtime.setModuleCreator(
      [&]() -> APMPValueRef {
        ++failed;
        return nullptr;
      },
      "broken");
  EXPECT_EQ(script_test::Run(runtime, "(@require \"m\")"), "'module'");
  EXPECT_EQ(script_test::Run(runtime, "(@require \"m\")"), "'module'");
  EXPECT_EQ(created, 1);
  EXPECT_EQ(script_test::Run(runtime, "(@require \"broken\")"), "error 15");
  EXPECT_EQ(script_test::Run(runtime, "(@require \"broken\")"), "error 15");
  EXPECT_EQ(failed, 2);  // Nothing was cached.
  EXPECT_EQ(script_test::Run(runtime, "(@require \"unknown\")"), "undefined");
  runtime.setModuleCreator([] { return APMPStringValue::stringWithUTF8("late"); }, "unknown");
  EXPECT_EQ(script_test::Run(runtime, "(@require \"unknown\")"),
            "undefined");  // The cached undefined.
  EXPECT_EQ(script_test::Run(runtime, "(@require)"), "error 9");
  EXPECT_EQ(script_test::Run(runtime, "(@require \"m\" \"m\")"), "error 9");
  EXPECT_EQ(script_test::Run(runtime, "(@require (Break))"), "error 5");
  EXPECT_EQ(script_test::Run(runtime, "(@require (Get 1))"), "error 10");
}

TEST(RequireTest, PlatformModule) {
  APMPRuntime runtime;
  EXPECT_EQ(script_test::Run(runtime, "(@require \"internal.platform\")"),
            "function internal.platform");
  EXPECT_EQ(
      script_test::Run(runtime,
                       "(Apply (@require \"internal.platform\") \"getVersion\" (CreateArray 1 2))"),
      "0");
  EXPECT_EQ(
      script_test::Run(runtime, "(Var \"p\") (Assign \"p\" (@require \"internal.platform\")) (@p)"),
      "undefined");
}

TEST(HostModulesTest, KeyValueStore) {
  APMPRuntime runtime;
  std::vector<std::string> keys;
  runtime.setModuleCreator(
      [&] {
        return std::make_shared<APMPKeyValueStore>(
            u"internal.remoteConfig", [&](const std::string& key) -> std::optional<std::string> {
              keys.push_back(key);
              if (key == "known") return "value";
              return std::nullopt;
            });
      },
      APMPEModuleRemoteConfig);
  auto call = [&](const std::string& arguments) {
    return script_test::Run(
        runtime, "(Apply (@require \"internal.remoteConfig\") \"getValue\" (CreateArray " +
                     arguments + "))");
  };
  EXPECT_EQ(call("\"known\" 5"), "'value'");
  EXPECT_EQ(call("\"missing\" 5"), "5");
  EXPECT_EQ(call("12 (Null)"), "null");
  EXPECT_EQ(call("\"known\""), "error 9");
  EXPECT_EQ(call("(Break) 1"), "error 5");
  EXPECT_EQ(keys, (std::vector<std::string>{"known", "missing", "12"}));
  EXPECT_EQ(
      script_test::Run(
          runtime, "(Var \"s\") (Assign \"s\" (@require \"internal.remoteConfig\")) (@s (Get 1))"),
      "error 10");  // Calling the module evaluates its arguments.
  EXPECT_EQ(script_test::Run(runtime, "(@s 1)"), "undefined");
}

TEST(HostModulesTest, ObjectProviderBuildsANewMapEachCall) {
  APMPRuntime runtime;
  int calls = 0;
  runtime.setModuleCreator(
      [&] {
        return std::make_shared<APMPObjectProvider>(u"internal.appMetadata", [&] {
          ++calls;
          fnd::Dictionary metadata;
          metadata.set(fnd::Value("platform"), fnd::Value("macos"));
          metadata.set(fnd::Value("zuz_version"), fnd::Value::Int64(120500));
          return fnd::Value(metadata);
        });
      },
      APMPEModuleAppMetadata);
  EXPECT_EQ(script_test::Run(
                runtime, "(Var \"m\") (Assign \"m\" (@require \"internal.appMetadata\")) (@m 1 2)"),
            "{platform:'macos',zuz_version:120500}");
  APMPError error;
  auto provider = APMPCast<APMPFunctionValue>(runtime.globalScope()->valueForName(u"m"));
  ASSERT_TRUE(provider);
  APMPValueRef first = provider->invokeWithArguments({}, runtime.getRunScope(), &error);
  APMPValueRef second = provider->invokeWithArguments({}, runtime.getRunScope(), &error);
  EXPECT_NE(first, second);
  EXPECT_EQ(calls, 3);
  runtime.setModuleCreator(
      [] { return std::make_shared<APMPObjectProvider>(u"nothing", [] { return fnd::Value(); }); },
      "nothing");
  EXPECT_EQ(script_test::Run(runtime, "(Var \"n\") (Assign \"n\" (@require \"nothing\")) (@n)"),
            "null");
}

TEST(HostModulesTest, LoggerFunctions) {
  APMPRuntime runtime;
  auto logger = std::make_shared<RecordingLogger>();
  runtime.setModuleCreator([&] { return std::make_shared<APMPMessageLogger>(logger); },
                           APMPEModuleLogger);
  script_test::Run(runtime, "(Var \"l\") (Assign \"l\" (@require \"internal.logger\"))");
  struct Case {
    const char* call;
    const char* outcome;
    int64_t level;
    const char* message;
    std::vector<std::string> context;
    bool silent, monitored;
  } cases[] = {
      {"(Apply (Get \"l\") \"log\" (CreateArray \"hello\"))",
       "undefined",
       4,
       "hello",
       {},
       false,
       true},
      {"(Apply (Get \"l\") \"log\" (CreateArray 6.9 \"m\" \"a\" 2 true \"d\"))",
       "undefined",
       6,
       "m",
       {"a", "2", "true"},
       false,
       true},
      {"(Apply (GetProperty (Get \"l\") \"silent\") \"log\" (CreateArray 6 \"s\"))",
       "undefined",
       6,
       "s",
       {},
       true,
       true},
      {"(Apply (GetProperty (Get \"l\") \"unmonitored\") \"log\" (CreateArray 5 \"u\"))",
       "undefined",
       5,
       "u",
       {},
       false,
       false},
      {"(Apply (Get \"l\") \"log\" (CreateArray \"x\" \"m\"))",
       "undefined",
       0,  // A level without a number is level 0.
       "m",
       {},
       false,
       true},
  };
  for (const auto& c : cases) {
    logger->lines.clear();
    EXPECT_EQ(script_test::Run(runtime, c.call), c.outcome) << c.call;
    ASSERT_EQ(logger->lines.size(), 1u) << c.call;
    const auto& line = logger->lines[0];
    EXPECT_EQ(line.level, c.level) << c.call;
    EXPECT_EQ(line.message, c.message) << c.call;
    EXPECT_EQ(line.context, c.context) << c.call;
    EXPECT_EQ(line.silent, c.silent) << c.call;
    EXPECT_EQ(line.monitored, c.monitored) << c.call;
  }
  logger->lines.clear();
  EXPECT_EQ(script_test::Run(runtime, "(Apply (Get \"l\") \"log\" (CreateArray))"), "error 9");
  EXPECT_EQ(script_test::Run(runtime, "(Apply (Get \"l\") \"log\" (CreateArray 1 (Break)))"),
            "error 5");
  EXPECT_EQ(script_test::Run(runtime, "(@l)"), "undefined");
  EXPECT_TRUE(logger->lines.empty());
  EXPECT_EQ(script_test::Run(
                runtime, "(Var \"s\") (Assign \"s\" (GetProperty (Get \"l\") \"silent\")) (@s)"),
            "function silent");
}

TEST(PixieLoggerTest, MapsScriptLevelsToMonitorLevels) {
  struct Case {
    int64_t level;
    bool silent, monitored;
    int64_t monitorLevel;
  } cases[] = {
      {2, false, true, 8}, {3, false, true, 7}, {4, false, true, 6},  {0, false, true, 6},
      {7, true, false, 6}, {5, true, true, 5},  {5, false, true, 4},  {5, false, false, 3},
      {6, true, true, 2},  {6, false, true, 1}, {6, false, false, 0}, {6, true, false, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZIVPixieLogger::monitorLevelForScriptLevel(c.level, c.silent, c.monitored),
              c.monitorLevel)
        << c.level << c.silent << c.monitored;
  }
}

TEST(PixieLoggerTest, ScriptLinesReachTheEngineMonitor) {
  fnd::ScopedTestHome home;
  {
    ZIVLogCapture capture(ZIVMeasurement::monitor());
    APMPRuntime runtime;
    runtime.setModuleCreator(
        [] { return std::make_shared<APMPMessageLogger>(std::make_shared<ZIVPixieLogger>()); },
        APMPEModuleLogger);
    script_test::Run(
        runtime,
        "(Var \"l\") (Assign \"l\" (@require \"internal.logger\")) "
        "(Apply (Get \"l\") \"log\" (CreateArray \"only a message\")) "
        "(Apply (Get \"l\") \"log\" (CreateArray 6 \"failed\" \"a\" \"b\" \"c\" \"d\")) "
        "(Apply (GetProperty (Get \"l\") \"silent\") \"log\" (CreateArray 6 \"quiet\"))");
    auto entries = capture.withCode(24005);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].level, 6);
    EXPECT_EQ(entries[0].message, "only a message");
    EXPECT_TRUE(entries[0].contexts.empty());
    EXPECT_EQ(entries[1].level, 1);
    EXPECT_EQ(entries[1].message, "failed");
    EXPECT_EQ(entries[1].contexts, (fnd::Array{fnd::Value("a"), fnd::Value("b"), fnd::Value("c")}));
    EXPECT_EQ(entries[2].level, 2);
  }
  ZIVMeasurement::monitor()->flush();
}

TEST(ScopeTest, DeclarationAssignmentAndImmutability) {
  APMPScopeRef root = APMPScope::create();
  APMPScopeRef child = root->createChildScope();
  APMPScopeRef grandchild = child->createChildScope();
  auto number = [](double v) { return APMPNumberValue::numberWithDouble(v); };

  grandchild->setValue(number(1), u"fresh");  // Declared where it was assigned.
  EXPECT_TRUE(grandchild->contents().hasName(u"fresh"));
  EXPECT_FALSE(child->hasName(u"fresh"));

  root->addValue(number(1), u"x");
  grandchild->setValue(number(2), u"x");  // The ancestor that holds it takes the write.
  EXPECT_EQ(script_test::Show(root->valueForName(u"x")), "2");
  EXPECT_FALSE(grandchild->contents().hasName(u"x"));

  child->addValue(number(3), u"x");  // Shadows.
  grandchild->setValue(number(4), u"x");
  EXPECT_EQ(script_test::Show(child->valueForName(u"x")), "4");
  EXPECT_EQ(script_test::Show(root->valueForName(u"x")), "2");

  root->addImmutableValue(number(5), u"c");
  child->setValue(number(6), u"c");
  EXPECT_EQ(script_test::Show(child->valueForName(u"c")), "5");
  root->addValue(number(7), u"c");
  EXPECT_EQ(script_test::Show(root->valueForName(u"c")), "5");

  child->makeImmutable();
  child->addValue(number(8), u"y");
  grandchild->setValue(number(9), u"x");  // Held by the immutable child: ignored.
  EXPECT_FALSE(child->hasName(u"y"));
  EXPECT_EQ(script_test::Show(child->valueForName(u"x")), "4");
  EXPECT_TRUE(child->isImmutable());
  EXPECT_EQ(script_test::Show(grandchild->valueForName(u"nothing")), "undefined");
}

TEST(PropertyMapTest, GuardsAndOrder) {
  APMPPropertyMap map;
  map.setValue(APMPNull(), u"b");
  map.setImmutableValue(APMPNull(), u"a");
  map.setValue(APMPUndefined(), u"a");
  map.removeValueForName(u"a");
  EXPECT_TRUE(map.hasName(u"a"));
  map.setValue(APMPNumberValue::numberWithDouble(1), u"c");
  map.removeValueForName(u"b");
  EXPECT_EQ(map.allNames(), (std::vector<std::u16string>{u"a", u"c"}));
  EXPECT_EQ(script_test::Show(map.valueForName(u"c")), "1");
  map.makeImmutable();
  map.setValue(APMPNull(), u"d");
  map.removeValueForName(u"c");
  EXPECT_EQ(map.count(), 2u);
  EXPECT_TRUE(map.isImmutable());
}

TEST(PropertyMapTest, OnlyAnUnchangedParameterMapIsKeptForAnotherCall) {
  // A call's parameters (setValues()) may be emptied for the next call only while the map holds
  // exactly those names, writable; the next call's values then replace them.
  const std::vector<std::u16string> names{u"a", u"b"};
  const APMPValueRef one = APMPNumberValue::numberWithDouble(1);
  const APMPValueRef* values[] = {&one, &one};
  const std::pair<const char*, void (*)(APMPPropertyMap&)> changes[] = {
      {"a local added", [](APMPPropertyMap& map) { map.setValue(APMPNull(), u"c"); }},
      {"a name removed and added again",
       [](APMPPropertyMap& map) {
         map.removeValueForName(u"a");
         map.setValue(APMPNull(), u"a");
       }},
      {"a name made immutable",
       [](APMPPropertyMap& map) { map.setImmutableValue(APMPNull(), u"b"); }},
      {"the map made immutable", [](APMPPropertyMap& map) { map.makeImmutable(); }},
  };
  for (const auto& [what, change] : changes) {
    APMPPropertyMap map;
    map.setValues(names, values, 2);
    change(map);
    EXPECT_FALSE(map.dropValuesIfHolding(names)) << what;
  }
  APMPPropertyMap map;
  map.setValues(names, values, 2);
  map.setValue(APMPNull(), u"a");  // A parameter assigned in the body.
  ASSERT_TRUE(map.dropValuesIfHolding(names));
  EXPECT_EQ(map.entries()[0].second, nullptr);
  map.refillValues(values, 1);
  EXPECT_EQ(script_test::Show(map.valueForName(u"a")), "1");
  EXPECT_EQ(script_test::Show(map.valueForName(u"b")), "undefined");
  EXPECT_EQ(map.allNames(), names);
  // More parameters than a map holds uncharged are never kept.
  const std::vector<std::u16string> many{u"a", u"b", u"c", u"d", u"e"};
  APMPPropertyMap large;
  large.setValues(many, values, 0);
  EXPECT_FALSE(large.dropValuesIfHolding(many));
}

TEST(CollectorTest, UnreachableContainersAreEmptied) {
  APMPRuntime runtime;
  APMPScopeRef scope = runtime.getRunScope();
  auto lost = APMPObjectManager::mapValueWithScope(scope);
  lost->setValue(lost, u"self");
  auto kept = APMPObjectManager::mapValueWithScope(scope);
  kept->setValue(kept, u"self");
  runtime.globalScope()->addValue(kept, u"kept");
  auto untracked = std::make_shared<APMPMapValue>();
  untracked->setValue(APMPNumberValue::numberWithDouble(1), u"a");

  runtime.collectGarbage();
  EXPECT_EQ(lost->propertyMap().count(), 0u);
  EXPECT_EQ(kept->propertyMap().count(), 1u);
  EXPECT_FALSE(kept->isMarked());
  EXPECT_EQ(untracked->propertyMap().count(), 1u);
  // The tracked list forgets values once they are freed.
  std::weak_ptr<APMPMapValue> weakLost = lost;
  lost.reset();
  EXPECT_TRUE(weakLost.expired());
  runtime.collectGarbage();
  EXPECT_EQ(runtime.objectManager().trackedObjects().size(), 1u);
}

TEST(CollectorTest, ReachabilityThroughFunctionsScopesAndNatives) {
  APMPRuntime runtime;
  // A closure keeps its defining scope's values; a value hung on a native module stays too.
  EXPECT_EQ(
      script_test::Run(runtime,
                       "(DefineFunction \"mk\" (CreateArray) (Var \"inner\") (Assign \"inner\" "
                       "(CreateObject \"v\" 1)) (Return (Fn \"g\" (CreateArray) (Return (Get "
                       "\"inner\"))))) (Var \"g\") (Assign \"g\" (@mk)) "
                       "(SetProperty (@require \"internal.platform\") \"keep\" (CreateArray 5))"),
      "[5]");
  for (int pass = 0; pass < 3; ++pass) {
    runtime.collectGarbage();
    EXPECT_EQ(script_test::Run(runtime, "(@g)"), "{v:1}");
    EXPECT_EQ(script_test::Run(runtime, "(GetProperty (@require \"internal.platform\") \"keep\")"),
              "[5]");
  }
  // An extra root keeps what it reaches.
  auto rooted = APMPObjectManager::arrayValueWithScope(runtime.getRunScope());
  rooted->appendElements({APMPObjectManager::mapValueWithScope(runtime.getRunScope())}, nullptr);
  runtime.addGarbageCollectionRoot(rooted);
  runtime.collectGarbage();
  EXPECT_EQ(rooted->count(), 1u);
  EXPECT_EQ(runtime.objectManager().roots().size(), 3u);
}

TEST(CollectorTest, CyclesAreFreedWithTheRuntime) {
  std::weak_ptr<APMPRuntimeValue> function;
  std::weak_ptr<APMPScope> scope;
  {
    APMPRuntime runtime;
    script_test::Run(runtime,
                     "(DefineFunction \"f\" (CreateArray) (Return 1)) (Var \"m\") (Assign \"m\" "
                     "(CreateObject)) (SetProperty (Get \"m\") \"me\" (Get \"m\"))");
    function = runtime.globalScope()->valueForName(u"f");
    scope = runtime.globalScope();
  }
  EXPECT_TRUE(function.expired());
  EXPECT_TRUE(scope.expired());
}

TEST(CollectorTest, LongChainsAreReleasedWithoutRecursion) {
  std::weak_ptr<APMPArrayValue> head;
  {
    auto chain = std::make_shared<APMPArrayValue>();
    head = chain;
    for (int i = 0; i < 300000; ++i) {
      chain = std::make_shared<APMPArrayValue>(APMPValueList{chain});
    }
    APMPScopeRef scope = APMPScope::create();
    for (int i = 0; i < 100000; ++i) scope = scope->createChildScope();
  }
  EXPECT_TRUE(head.expired());
}

}  // namespace

namespace {

TEST(RuntimeTest, RuntimesOnSeparateThreadsShareOnlyImmutableValues) {
  // Each thread owns its runtime; the shared values (undefined, booleans, break, continue, the
  // hole) are read by both at once, including by their collectors.
  auto work = [] {
    APMPRuntime runtime;
    script_test::Run(runtime,
                     "(Var \"b\") (Assign \"b\" (CreateArray (Break) (Continue) true (Undefined))) "
                     "(SetProperty (Get \"b\") 9 1)");
    for (int i = 0; i < 50; ++i) {
      runtime.collectGarbage();
      EXPECT_EQ(script_test::Run(runtime, "(GetProperty (Get \"b\") 0)"), "<break>");
    }
  };
  std::thread first(work);
  std::thread second(work);
  first.join();
  second.join();
}

}  // namespace
