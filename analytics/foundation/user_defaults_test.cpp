#include "analytics/foundation/user_defaults.h"

#include <gtest/gtest.h>

#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/test_support.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"

namespace {

class UserDefaultsTest : public ZIVFoundationTest {
 protected:
  std::vector<ZIVConsoleLine> Lines(int64_t code) const {
    return sharedConsole_.linesWithCode(code);
  }
};

class OpaqueRecord : public fnd::Record {
 public:
  std::string typeName() const override { return "Opaque"; }
};

TEST_F(UserDefaultsTest, TypedAccessorsReadWhatWasSetAndDefaultsOtherwise) {
  ZIVUserDefaults defaults("test.suite");
  EXPECT_EQ(defaults.applicationID(), "test.suite");
  defaults.setInteger(42, "int");
  defaults.setDouble(2.5, "double");
  defaults.setFloat(1.5f, "float");
  defaults.setBool(true, "bool");
  defaults.setObject(fnd::Value("text"), "string");
  defaults.setObject(fnd::Value(fnd::Array{fnd::Value(1)}), "array");
  defaults.setObject(fnd::Value(fnd::Dictionary{{"k", "v"}}), "dictionary");

  EXPECT_EQ(defaults.integerForKey("int"), 42);
  EXPECT_EQ(defaults.doubleForKey("double"), 2.5);
  EXPECT_EQ(defaults.floatForKey("float"), 1.5f);
  EXPECT_TRUE(defaults.boolForKey("bool"));
  EXPECT_EQ(defaults.stringForKey("string"), "text");
  EXPECT_EQ(defaults.numberForKey("int"), fnd::Value::Int64(42));
  EXPECT_EQ(defaults.arrayForKey("array"), (fnd::Array{fnd::Value(1)}));
  EXPECT_EQ(defaults.dictionaryForKey("dictionary"), (fnd::Dictionary{{"k", "v"}}));

  // Absent keys and keys of another kind read as never set.
  EXPECT_EQ(defaults.integerForKey("absent"), 0);
  EXPECT_EQ(defaults.integerForKey("string"), 0);
  EXPECT_FALSE(defaults.boolForKey("array"));
  EXPECT_EQ(defaults.doubleForKey("dictionary"), 0.0);
  EXPECT_EQ(defaults.stringForKey("int"), std::nullopt);
  EXPECT_EQ(defaults.numberForKey("string"), std::nullopt);
  EXPECT_EQ(defaults.arrayForKey("dictionary"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("array"), std::nullopt);

  defaults.removeObjectForKey("int");
  EXPECT_FALSE(defaults.objectForKey("int").has_value());
  defaults.setObject(fnd::Value(), "double");
  EXPECT_FALSE(defaults.objectForKey("double").has_value());
}

TEST_F(UserDefaultsTest, BadKeysAndValuesAreLoggedAndChangeNothing) {
  ZIVUserDefaults defaults("test.suite");
  defaults.setObject(fnd::Value("kept"), "key");
  EXPECT_EQ(defaults.objectForKey(""), std::nullopt);
  defaults.setObject(fnd::Value("x"), "");
  defaults.setObject(fnd::Value(std::shared_ptr<fnd::Record>(std::make_shared<OpaqueRecord>())),
                     "key");
  defaults.setObject(fnd::Value(fnd::Array{fnd::Value()}), "key");  // Null inside.

  struct Case {
    int64_t code;
    size_t count;
    std::string prefix;
  };
  const Case cases[] = {
      {41001, 1, "Cannot get object for invalid user default key."},
      {41002, 1, "Cannot set object for invalid user default key."},
      {41003, 2,
       "Cannot set invalid object to user defaults. Must be a string or number or an array. "
       "Value "},
  };
  for (const Case& c : cases) {
    auto lines = Lines(c.code);
    ASSERT_EQ(lines.size(), c.count) << c.code;
    for (const auto& line : lines) {
      EXPECT_EQ(line.level, kZIVConsoleLevelWarning);
      EXPECT_EQ(line.category, "DuvUdiredururo");
      EXPECT_EQ(line.message.rfind(c.prefix, 0), 0u) << line.message;
    }
  }
  EXPECT_EQ(defaults.stringForKey("key"), "kept");
}

TEST_F(UserDefaultsTest, ValuesReachTheFileAtSynchronizeAndClearAllDataEmptiesTheDomain) {
  {
    ZIVUserDefaults defaults("test.suite");
    defaults.setInteger(7, "a");
    defaults.setObject(fnd::Value(fnd::Date{1700000000}), "b");
    defaults.synchronize();
  }
  fnd::PreferencesResetCacheForTesting();
  ZIVUserDefaults reopened("test.suite");
  EXPECT_EQ(reopened.integerForKey("a"), 7);
  EXPECT_EQ(reopened.objectForKey("b"), fnd::Value(fnd::Date{1700000000}));

  reopened.clearAllData();
  reopened.synchronize();
  fnd::PreferencesResetCacheForTesting();
  EXPECT_TRUE(fnd::PreferencesCopyKeyList("test.suite").empty());
}

TEST_F(UserDefaultsTest, ACorruptPreferenceFileReadsEmptyAndTheNextWriteRepairsIt) {
  const std::string path = ZIVFilePathForPreferencesName("test.suite");
  for (const std::string& bytes : {std::string("not a plist \x01\x02"),
                                   std::string("<?xml version=\"1.0\"?><plist version=\"1.0\">"
                                               "<array><string>x</string></array></plist>")}) {
    ASSERT_TRUE(fnd::WriteFileAtomically(path, bytes));
    fnd::PreferencesResetCacheForTesting();
    ZIVUserDefaults defaults("test.suite");
    EXPECT_EQ(defaults.objectForKey("key"), std::nullopt);
    EXPECT_EQ(defaults.integerForKey("key"), 0);
    defaults.setInteger(5, "key");
    defaults.synchronize();
    std::optional<fnd::Value> file = fnd::PropertyList::ReadFile(path);
    ASSERT_TRUE(file && file->isDictionary());
    EXPECT_EQ(file->dictionary()->get("key").asInt(), 5);
  }
}

TEST_F(UserDefaultsTest, SynchronizeExcludesTheSuiteFileFromBackupOnce) {
  ZIVUserDefaults defaults("test.suite");
  defaults.synchronize();
  EXPECT_FALSE(defaults.isPreferenceFileExcluded()) << "no file yet, nothing to mark";

  defaults.setBool(true, "flag");
  defaults.synchronize();
  const std::string path = ZIVFilePathForPreferencesName("test.suite");
  ASSERT_TRUE(fnd::FileExists(path));
  if (!fnd::SetExcludedFromBackup(path, false)) {
    GTEST_SKIP() << "the file system of the test home holds no user attributes";
  }
  // The mark was cleared above; a store that has not marked yet marks now.
  ZIVUserDefaults other("test.suite");
  other.synchronize();
  EXPECT_TRUE(other.isPreferenceFileExcluded());
  EXPECT_EQ(fnd::IsExcludedFromBackup(path), true);
  EXPECT_TRUE(Lines(41000).empty());

  // Marked once: a later clearing of the attribute is not undone.
  ASSERT_TRUE(fnd::SetExcludedFromBackup(path, false));
  other.synchronize();
  EXPECT_EQ(fnd::IsExcludedFromBackup(path), false);
}

TEST_F(UserDefaultsTest, SharedStoreUsesTheApplicationDomainAndNeverMarksAFile) {
  ZIVUserDefaults& shared = ZIVUserDefaults::sharedUserDefaults();
  EXPECT_EQ(&shared, &ZIVUserDefaults::sharedUserDefaults());
  EXPECT_TRUE(shared.suiteName().empty());
  EXPECT_TRUE(shared.isPreferenceFileExcluded());
  shared.setObject(fnd::Value("v"), "/rivado/measurement/deep_link");
  EXPECT_EQ(fnd::PreferencesCopyAppValue("/rivado/measurement/deep_link",
                                         fnd::kPreferencesCurrentApplication),
            fnd::Value("v"));
  shared.removeObjectForKey("/rivado/measurement/deep_link");
}

}  // namespace
