#include "platform/foundation/user_defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"

namespace fnd {
namespace {

constexpr const char* kSuite = "com.example.fnd.suite";

class UserDefaultsTest : public testing::Test {
 protected:
  std::string SuiteFile() {
    return JoinPath(PreferencesDirectory(), std::string(kSuite) + ".plist");
  }
  ScopedTestHome home_;
};

TEST_F(UserDefaultsTest, TypedValuesAreVisibleAtOnceAndSurviveAReload) {
  {
    UserDefaults defaults(kSuite);
    defaults.setString("s", "text");
    defaults.setInteger("i", -42);
    defaults.setDouble("d", 2.5);
    defaults.setBool("b", true);
    defaults.setData("data", Data{1, 2, 3});
    ASSERT_TRUE(defaults.setObject("a", Value(Array{"x", 1})));
    ASSERT_TRUE(defaults.setObject("dict", Value(Dictionary{{"k", "v"}})));
    ASSERT_TRUE(defaults.setObject("date", Value(Date{1700000000})));
    // Another store of the same suite sees the values before any synchronise.
    UserDefaults other(kSuite);
    EXPECT_EQ(other.stringForKey("s"), "text");
    EXPECT_EQ(PreferencesCopyAppValue("i", kSuite), Value(int64_t{-42}));
    EXPECT_FALSE(FileExists(SuiteFile()));
    ASSERT_TRUE(defaults.synchronize());
  }
  PreferencesResetCacheForTesting();  // Forget the memory: everything comes from the file.
  UserDefaults defaults(kSuite);
  EXPECT_EQ(defaults.stringForKey("s"), "text");
  EXPECT_EQ(defaults.integerForKey("i"), -42);
  EXPECT_EQ(defaults.doubleForKey("d"), 2.5);
  EXPECT_TRUE(defaults.boolForKey("b"));
  EXPECT_EQ(defaults.dataForKey("data"), (Data{1, 2, 3}));
  EXPECT_EQ(defaults.arrayForKey("a"), (Array{"x", 1}));
  EXPECT_EQ(defaults.dictionaryForKey("dict"), (Dictionary{{"k", "v"}}));
  EXPECT_EQ(defaults.objectForKey("date"), Value(Date{1700000000}));
  struct stat st;
  ASSERT_EQ(stat(SuiteFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(UserDefaultsTest, FileIsReadableByPlistutil) {
  UserDefaults defaults(kSuite);
  defaults.setString("name", "quellmark");
  defaults.setInteger("count", 7);
  ASSERT_TRUE(defaults.synchronize());
  const std::string out = JoinPath(home_.path(), "converted.plist");
  const std::string command = "plistutil -i '" + SuiteFile() + "' -o '" + out + "' -f bin";
  ASSERT_EQ(std::system(command.c_str()), 0);
  PropertyListFormat format;
  auto value = PropertyList::ReadFile(out, nullptr, &format);
  ASSERT_TRUE(value);
  EXPECT_EQ(format, PropertyListFormat::kBinary);
  EXPECT_EQ(*value, Value(Dictionary{{"name", "quellmark"}, {"count", 7}}));
}

TEST_F(UserDefaultsTest, CorruptFileReadsEmptyWithOneLogLineAndIsRepairedByTheNextWrite) {
  ASSERT_TRUE(CreateDirectories(DirectoryName(SuiteFile())));
  ASSERT_TRUE(WriteFileAtomically(SuiteFile(), "<?xml version=\"1.0\"?><plist><dict><key>"));
  UserDefaults defaults(kSuite);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(defaults.objectForKey("anything"));
  EXPECT_EQ(defaults.dictionaryRepresentation().size(), 0u);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find(SuiteFile()), std::string::npos) << log;

  defaults.setInteger("fixed", 1);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // The same bad file is logged once.
  EXPECT_EQ(*PropertyList::ReadFile(SuiteFile()), Value(Dictionary{{"fixed", 1}}));

  // A root that is not a dictionary is treated the same way.
  ASSERT_TRUE(PropertyList::WriteFile(Value(Array{1}), SuiteFile()));
  PreferencesResetCacheForTesting();
  testing::internal::CaptureStderr();
  EXPECT_EQ(UserDefaults(kSuite).integerForKey("fixed"), 0);
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
}

TEST_F(UserDefaultsTest, RefusedValuesChangeNothing) {
  UserDefaults defaults(kSuite);
  defaults.setString("keep", "me");
  for (const Value& bad : {Value(), Value(std::vector<int64_t>{1}),
                           Value(Dictionary{{Value(1), "x"}}), Value(Array{Value()})}) {
    Error error;
    EXPECT_FALSE(defaults.setObject("keep", bad, &error)) << bad.description();
    EXPECT_EQ(error.code(), PropertyList::kWriteInvalidError);
  }
  testing::internal::CaptureStderr();
  defaults.setString("keep", std::string("a\0b", 3));
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
  EXPECT_EQ(defaults.stringForKey("keep"), "me");
}

TEST_F(UserDefaultsTest, TypedGettersConvertLikeThePlatform) {
  UserDefaults defaults(kSuite);
  ASSERT_TRUE(defaults.setObject("n", Value("12.7")));
  ASSERT_TRUE(defaults.setObject("yes", Value("YES")));
  ASSERT_TRUE(defaults.setObject("word", Value("hello")));
  ASSERT_TRUE(defaults.setObject("real", Value(3.9)));
  ASSERT_TRUE(defaults.setObject("arr", Value(Array{})));
  EXPECT_EQ(defaults.integerForKey("n"), 12);
  EXPECT_EQ(defaults.doubleForKey("n"), 12.7);
  EXPECT_TRUE(defaults.boolForKey("n"));
  EXPECT_TRUE(defaults.boolForKey("yes"));
  EXPECT_FALSE(defaults.boolForKey("word"));
  EXPECT_EQ(defaults.integerForKey("word"), 0);
  EXPECT_EQ(defaults.integerForKey("real"), 3);
  EXPECT_EQ(defaults.integerForKey("arr"), 0);
  EXPECT_FALSE(defaults.stringForKey("real"));
  EXPECT_FALSE(defaults.arrayForKey("word"));
  EXPECT_FALSE(defaults.dictionaryForKey("arr"));
  EXPECT_FALSE(defaults.dataForKey("missing"));
  EXPECT_EQ(defaults.integerForKey("missing"), 0);
}

TEST_F(UserDefaultsTest, RegisteredDefaultsAreAFallbackAndNeverStored) {
  UserDefaults defaults(kSuite);
  defaults.registerDefaults(Dictionary{{"a", 1}, {"b", 2}, {Value(3), "ignored"}});
  EXPECT_EQ(defaults.integerForKey("a"), 1);
  defaults.setInteger("a", 10);
  EXPECT_EQ(defaults.integerForKey("a"), 10);
  defaults.removeObjectForKey("a");
  EXPECT_EQ(defaults.integerForKey("a"), 1);
  defaults.setInteger("c", 3);
  EXPECT_EQ(defaults.dictionaryRepresentation(), (Dictionary{{"a", 1}, {"b", 2}, {"c", 3}}));
  ASSERT_TRUE(defaults.synchronize());
  EXPECT_EQ(*PropertyList::ReadFile(SuiteFile()), Value(Dictionary{{"c", 3}}));
  EXPECT_EQ(UserDefaults(kSuite).integerForKey("b"), 0);  // Registration is per object.
}

TEST_F(UserDefaultsTest, SearchListOfSuites) {
  UserDefaults own("com.example.own");
  UserDefaults first("com.example.first");
  UserDefaults second("com.example.second");
  first.setString("shared", "first");
  second.setString("shared", "second");
  second.setString("only", "second");
  own.registerDefaults(Dictionary{{"only", "registered"}});
  own.addSuiteNamed("com.example.first");
  own.addSuiteNamed("com.example.second");
  own.addSuiteNamed("com.example.first");  // Already there.
  EXPECT_EQ(own.stringForKey("shared"), "first");
  EXPECT_EQ(own.stringForKey("only"), "second");  // Suites come before registered defaults.
  EXPECT_EQ(own.dictionaryRepresentation(), (Dictionary{{"only", "second"}, {"shared", "first"}}));
  own.setString("shared", "own");  // Writes go to the object's own domain.
  EXPECT_EQ(own.stringForKey("shared"), "own");
  EXPECT_EQ(first.stringForKey("shared"), "first");
  own.removeSuiteNamed("com.example.second");
  EXPECT_EQ(own.stringForKey("only"), "registered");
}

TEST_F(UserDefaultsTest, StandardStoreUsesTheBundleIdentifier) {
  const std::string bundle = JoinPath(home_.path(), "Bundle");
  ASSERT_TRUE(CreateDirectories(bundle));
  ASSERT_TRUE(PropertyList::WriteFile(Value(Dictionary{{kBundleIdentifierKey, "com.example.app"}}),
                                      JoinPath(bundle, "Info.plist")));
  Bundle::setMainBundlePath(bundle);
  ScopedRestore restoreBundle([] { Bundle::setMainBundlePath(""); });
  UserDefaults::standardUserDefaults().setBool("flag", true);
  ASSERT_TRUE(UserDefaults::standardUserDefaults().synchronize());
  EXPECT_TRUE(FileExists(JoinPath(PreferencesDirectory(), "com.example.app.plist")));
  EXPECT_EQ(PreferencesCopyAppValue("flag", kPreferencesCurrentApplication), Value(true));
  EXPECT_EQ(UserDefaults().suiteName(), "");
  EXPECT_EQ(UserDefaults().applicationID(), "com.example.app");
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
  UserDefaults defaults(kSuite);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        defaults.setInteger("k" + std::to_string(t) + "_" + std::to_string(i), i);
        if (i % 10 == 0) {
          EXPECT_TRUE(defaults.synchronize());
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(defaults.synchronize());
  PreferencesResetCacheForTesting();
  EXPECT_EQ(PreferencesCopyKeyList(kSuite).size(), 200u);
}

TEST_F(UserDefaultsTest, LowLevelPreferences) {
  EXPECT_EQ(PreferencesFilePath(""), "");
  EXPECT_EQ(PreferencesFilePath("../escape"), "");
  EXPECT_EQ(PreferencesFilePath(".."), "");
  EXPECT_EQ(PreferencesFilePath("a.b"), JoinPath(PreferencesDirectory(), "a.b.plist"));
  Error error;
  EXPECT_FALSE(PreferencesSetAppValue("k", Value(1), "bad/id", &error));
  EXPECT_FALSE(PreferencesCopyAppValue("k", "bad/id"));

  ASSERT_TRUE(PreferencesSetAppValue("b", Value(2), kSuite));
  ASSERT_TRUE(PreferencesSetAppValue("a", Value(1), kSuite));
  EXPECT_EQ(PreferencesCopyKeyList(kSuite), (std::vector<std::string>{"b", "a"}));
  ASSERT_TRUE(PreferencesSetMultiple(Dictionary{{"c", 3}}, {"a", "b"}, kSuite));
  EXPECT_EQ(PreferencesCopyDomain(kSuite), (Dictionary{{"c", 3}}));
  ASSERT_TRUE(PreferencesAppSynchronize(kSuite));

  // Another writer changes the file; our pending change is merged key by key.
  ASSERT_TRUE(
      PropertyList::WriteFile(Value(Dictionary{{"c", 3}, {"external", "yes"}}), SuiteFile()));
  ASSERT_TRUE(PreferencesSetAppValue("mine", Value(true), kSuite));
  ASSERT_TRUE(PreferencesAppSynchronize(kSuite));
  EXPECT_EQ(*PropertyList::ReadFile(SuiteFile()),
            Value(Dictionary{{"c", 3}, {"external", "yes"}, {"mine", true}}));
  // With nothing pending, a synchronise picks up the file as it is.
  ASSERT_TRUE(PropertyList::WriteFile(Value(Dictionary{{"only", 1}}), SuiteFile()));
  ASSERT_TRUE(PreferencesAppSynchronize(kSuite));
  EXPECT_EQ(PreferencesCopyDomain(kSuite), (Dictionary{{"only", 1}}));
}

TEST_F(UserDefaultsTest, UnreadableFileIsNeverOverwritten) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
  ASSERT_TRUE(PreferencesSetAppValue("theirs", Value(1), kSuite));
  ASSERT_TRUE(PreferencesAppSynchronize(kSuite));
  PreferencesResetCacheForTesting();
  ASSERT_EQ(chmod(SuiteFile().c_str(), 0), 0);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(PreferencesSetAppValue("mine", Value(2), kSuite));
  Error error;
  EXPECT_FALSE(PreferencesAppSynchronize(kSuite, &error));
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
  ASSERT_EQ(chmod(SuiteFile().c_str(), 0644), 0);
  EXPECT_EQ(*PropertyList::ReadFile(SuiteFile()), Value(Dictionary{{"theirs", 1}}));
  ASSERT_TRUE(PreferencesAppSynchronize(kSuite));  // Readable again: merged, nothing lost.
  EXPECT_EQ(*PropertyList::ReadFile(SuiteFile()), Value(Dictionary{{"theirs", 1}, {"mine", 2}}));
}

TEST_F(UserDefaultsTest, FailedWriteKeepsTheChangesPending) {
  ASSERT_TRUE(PreferencesSetAppValue("k", Value(1), kSuite));
  // A folder where the file should be makes the write fail.
  ASSERT_TRUE(CreateDirectories(SuiteFile()));
  Error error;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(PreferencesAppSynchronize(kSuite, &error));
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(error.domain().empty());
  EXPECT_EQ(PreferencesCopyAppValue("k", kSuite), Value(1));
  ASSERT_TRUE(RemoveItem(SuiteFile()));
  EXPECT_TRUE(PreferencesAppSynchronize(kSuite));
  EXPECT_EQ(*PropertyList::ReadFile(SuiteFile()), Value(Dictionary{{"k", 1}}));
}

}  // namespace
}  // namespace fnd
