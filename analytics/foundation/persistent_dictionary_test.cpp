#include "analytics/foundation/persistent_dictionary.h"

#include <gtest/gtest.h>

#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/test_support.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"

namespace {

class PersistentDictionaryTest : public ZIVFoundationTest {
 protected:
  std::shared_ptr<ZIVPersistentDictionary> Open(const std::string& name = "test_config") {
    return ZIVPersistentDictionary::create(name, clock_);
  }
  // Moves time on and runs the writes that came due.
  void Advance(const ZIVPersistentDictionary& dictionary, double seconds) {
    clock_->advance(seconds);
    dictionary.queue()->sync([] {});
  }
  static std::optional<fnd::Value> ReadFile(const ZIVPersistentDictionary& dictionary) {
    return fnd::PropertyList::ReadFile(dictionary.path());
  }
};

TEST_F(PersistentDictionaryTest, LivesInTheEngineFolder) {
  EXPECT_EQ(ZIVPersistentDictionary::create("", clock_), nullptr);
  auto dictionary = Open("com.rivado.config");
  ASSERT_NE(dictionary, nullptr);
  EXPECT_EQ(dictionary->path(), fnd::JoinPath(fnd::ApplicationSupportDirectory(),
                                              "Rivado/Measurement/com.rivado.config.plist"));
  EXPECT_TRUE(fnd::IsDirectory(fnd::DirectoryName(dictionary->path())));
  EXPECT_EQ(Open("n.plist")->path(),
            fnd::JoinPath(fnd::ApplicationSupportDirectory(), "Rivado/Measurement/n.plist"));
}

TEST_F(PersistentDictionaryTest, ChangesWithinASecondAreWrittenOnceASecondAfterTheFirst) {
  auto dictionary = Open();
  for (int i = 0; i < 10; ++i) {
    dictionary->setInteger(i, "key" + std::to_string(i));
    Advance(*dictionary, 0.09);
  }
  EXPECT_TRUE(dictionary->hasPendingWrite());
  EXPECT_EQ(dictionary->writeCount(), 0u);
  EXPECT_FALSE(fnd::FileExists(dictionary->path()));
  Advance(*dictionary, 0.1);  // 1 s after the first change.
  EXPECT_EQ(dictionary->writeCount(), 1u);
  EXPECT_FALSE(dictionary->hasPendingWrite());
  auto file = ReadFile(*dictionary);
  ASSERT_TRUE(file && file->isDictionary());
  EXPECT_EQ(file->dictionary()->size(), 10u);
  EXPECT_EQ(file->dictionary()->get("key9").asInt(), 9);
  Advance(*dictionary, 10);
  EXPECT_EQ(dictionary->writeCount(), 1u);
}

TEST_F(PersistentDictionaryTest, NoChangeMeansNoWrite) {
  auto dictionary = Open();
  dictionary->setObject(fnd::Value("v"), "k");
  Advance(*dictionary, 1);
  ASSERT_EQ(dictionary->writeCount(), 1u);

  dictionary->setObject(fnd::Value("v"), "k");  // Equal value.
  dictionary->removeObjectForKey("absent");
  dictionary->setObject(fnd::Value(), "absent");
  EXPECT_FALSE(dictionary->hasPendingWrite());
  Advance(*dictionary, 5);
  EXPECT_EQ(dictionary->writeCount(), 1u);

  // A value of another kind is a change even when it compares alike as a number.
  dictionary->setInteger(1, "n");
  Advance(*dictionary, 1);
  dictionary->setBool(true, "n");
  EXPECT_TRUE(dictionary->hasPendingWrite());
  Advance(*dictionary, 1);
  EXPECT_EQ(dictionary->writeCount(), 3u);

  dictionary->clearAllData();
  Advance(*dictionary, 1);
  dictionary->clearAllData();  // Already empty.
  Advance(*dictionary, 1);
  EXPECT_EQ(dictionary->writeCount(), 4u);
  EXPECT_EQ(ReadFile(*dictionary), fnd::Value(fnd::Dictionary()));
}

TEST_F(PersistentDictionaryTest, ValuesSurviveReopeningAndPendingChangesAreWrittenOnDestruction) {
  {
    auto dictionary = Open();
    dictionary->setObject(fnd::Value(fnd::Data{1, 2, 3}), "data");
    dictionary->setObject(fnd::Value(fnd::Date{1700000000}), "date");
    dictionary->setObject(fnd::Value(fnd::Dictionary{{"a", fnd::Array{fnd::Value(1.5)}}}), "dict");
    EXPECT_TRUE(dictionary->hasPendingWrite());
  }
  auto reopened = Open();
  EXPECT_EQ(reopened->objectForKey("data"), fnd::Value(fnd::Data{1, 2, 3}));
  EXPECT_EQ(reopened->objectForKey("date"), fnd::Value(fnd::Date{1700000000}));
  EXPECT_EQ(reopened->dictionaryForKey("dict"),
            (fnd::Dictionary{{"a", fnd::Array{fnd::Value(1.5)}}}));
  EXPECT_EQ(reopened->stringForKey("data"), std::nullopt);
  EXPECT_EQ(reopened->integerForKey("dict"), 0);
}

TEST_F(PersistentDictionaryTest, SynchronizeWritesAPendingChangeAtOnce) {
  auto dictionary = Open();
  dictionary->synchronize();
  EXPECT_EQ(dictionary->writeCount(), 0u) << "nothing to write";
  dictionary->setDouble(2.5, "d");
  dictionary->synchronize();
  EXPECT_EQ(dictionary->writeCount(), 1u);
  EXPECT_EQ(ReadFile(*dictionary)->dictionary()->get("d"), fnd::Value(2.5));
  Advance(*dictionary, 2);
  EXPECT_EQ(dictionary->writeCount(), 1u) << "the armed write finds nothing left";
}

TEST_F(PersistentDictionaryTest, BadKeysAndValuesAreLoggedAndChangeNothing) {
  auto dictionary = Open();
  EXPECT_EQ(dictionary->objectForKey(""), std::nullopt);
  EXPECT_FALSE(dictionary->setObject(fnd::Value(1), ""));
  EXPECT_FALSE(dictionary->setObject(fnd::Value(std::vector<int32_t>{1}), "typed"));
  EXPECT_FALSE(dictionary->setObject(fnd::Value(fnd::Dictionary{{1, 2}}), "intKey"));
  EXPECT_FALSE(dictionary->hasPendingWrite());

  auto get = sharedConsole_.linesWithCode(43001);
  auto set = sharedConsole_.linesWithCode(43002);
  auto value = sharedConsole_.linesWithCode(43003);
  ASSERT_EQ(get.size(), 1u);
  ASSERT_EQ(set.size(), 1u);
  ASSERT_EQ(value.size(), 2u);
  EXPECT_EQ(get[0].message, "Cannot get object for invalid config key.");
  EXPECT_EQ(set[0].message, "Cannot set object for invalid config key.");
  EXPECT_EQ(value[0].message.rfind("Cannot set invalid object to config. Must be a string, "
                                   "number, array, dictionary, date, or data. Value ",
                                   0),
            0u);
  EXPECT_EQ(get[0].level, kZIVConsoleLevelWarning);
  EXPECT_EQ(get[0].category, "DuvUdiredururo");
}

TEST_F(PersistentDictionaryTest, ACorruptOrWronglyTypedFileReadsEmptyAndTheNextWriteRepairsIt) {
  const std::string path = ZIVFilePathForPersistentDictionaryName("test_config");
  ASSERT_TRUE(fnd::CreateDirectories(fnd::DirectoryName(path)));
  const std::string contents[] = {
      "garbage \x01\x02\x03",
      "",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>x</string></plist>",
      "bplist00",
  };
  for (const std::string& bytes : contents) {
    ASSERT_TRUE(fnd::WriteFileAtomically(path, bytes));
    sharedConsole_.clear();
    auto dictionary = Open();
    ASSERT_NE(dictionary, nullptr);
    EXPECT_EQ(dictionary->objectForKey("k"), std::nullopt);
    auto lines = sharedConsole_.linesWithCode(43005);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message.rfind("Cannot read config plist file; starting with empty "
                                     "configs. Error ",
                                     0),
              0u);
    dictionary->setObject(fnd::Value("repaired"), "k");
    Advance(*dictionary, 1);
    auto file = fnd::PropertyList::ReadFile(path);
    ASSERT_TRUE(file && file->isDictionary());
    EXPECT_EQ(file->dictionary()->get("k"), fnd::Value("repaired"));
  }
}

TEST_F(PersistentDictionaryTest, WriteAndFolderFailuresAreLogged) {
  auto dictionary = Open();
  ASSERT_TRUE(fnd::CreateDirectories(dictionary->path()));  // A folder where the file belongs.
  dictionary->setObject(fnd::Value(1), "k");
  Advance(*dictionary, 1);
  auto lines = sharedConsole_.linesWithCode(43000);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "Cannot persist configs to disk");
  EXPECT_EQ(lines[0].level, kZIVConsoleLevelError);
  EXPECT_EQ(dictionary->objectForKey("k"), fnd::Value(1)) << "the value stays in memory";
  EXPECT_TRUE(dictionary->hasPendingWrite()) << "and waits for the next try";
  EXPECT_EQ(dictionary->writeCount(), 0u);
  ASSERT_TRUE(fnd::RemoveItem(dictionary->path()));
  dictionary->synchronize();
  EXPECT_FALSE(dictionary->hasPendingWrite());
  auto file = ReadFile(*dictionary);
  ASSERT_TRUE(file && file->isDictionary());
  EXPECT_EQ(file->dictionary()->get("k"), fnd::Value(1));

  // The engine folder cannot be made when a file stands in its way.
  const std::string rivado = fnd::JoinPath(fnd::ApplicationSupportDirectory(), "Rivado");
  ASSERT_TRUE(fnd::RemoveItem(rivado));
  ASSERT_TRUE(fnd::WriteFileAtomically(rivado, "file"));
  EXPECT_EQ(ZIVPersistentDictionary::create("other", clock_), nullptr);
  lines = sharedConsole_.linesWithCode(43004);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "Cannot create subdirectories for config plist files.");
  EXPECT_EQ(lines[0].level, kZIVConsoleLevelError);
}

}  // namespace
