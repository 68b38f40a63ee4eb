#include "analytics/foundation/file_locations.h"

#include <gtest/gtest.h>

#include "analytics/foundation/errors.h"
#include "analytics/foundation/test_support.h"
#include "platform/foundation/file_system.h"

namespace {

class FileLocationsTest : public ZIVFoundationTest {};

TEST_F(FileLocationsTest, PathsLieUnderTheHomeFolders) {
  const std::string support = fnd::ApplicationSupportDirectory();
  struct Case {
    std::string actual;
    std::string expected;
  };
  const Case cases[] = {
      {ZIVFilePathForPreferencesName("suite"),
       fnd::JoinPath(fnd::PreferencesDirectory(), "suite.plist")},
      {ZIVFilePathForPreferencesName(""), ""},
      {ZIVFilePathForDatabaseName("rivado-duv-udiredururo.sql"),
       support + "/Rivado/Measurement/rivado-duv-udiredururo.sql"},
      {ZIVFilePathForDatabaseName(""), ""},
      {ZIVFilePathForPersistentDictionaryName("n"), support + "/Rivado/Measurement/n.plist"},
      {ZIVFilePathForPersistentDictionaryName("n.plist"), support + "/Rivado/Measurement/n.plist"},
      {ZIVFilePathForPersistentDictionaryName("n.plist.bak"),
       support + "/Rivado/Measurement/n.plist.bak.plist"},
      {ZIVFilePathForPersistentDictionaryName("com.rivado.measurement"),
       support + "/Rivado/Measurement/com.rivado.measurement.plist"},
      {ZIVFilePathForPersistentDictionaryName(""), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected);
  EXPECT_EQ(support.rfind(home_.path(), 0), 0u);
}

TEST_F(FileLocationsTest, DeleteAndExcludeReportThePlatformResult) {
  fnd::Error error;
  EXPECT_FALSE(ZIVDeleteFile("", &error));
  EXPECT_EQ(error, ziv_errorWithCode(1, "Received empty path for deleting file"));

  const std::string path = fnd::JoinPath(home_.path(), "file");
  ASSERT_TRUE(fnd::WriteFileAtomically(path, "x"));
  if (ZIVExcludeFilePathFromBackup(path, &error)) {
    EXPECT_EQ(fnd::IsExcludedFromBackup(path), true);
  }
  EXPECT_TRUE(ZIVDeleteFile(path, &error));
  EXPECT_FALSE(fnd::FileExists(path));
  EXPECT_FALSE(ZIVDeleteFile(path, &error));
  EXPECT_EQ(error.domain(), fnd::kPOSIXErrorDomain);
  EXPECT_FALSE(ZIVExcludeFilePathFromBackup(path, &error));
}

TEST_F(FileLocationsTest, MigrationMovesAnOldPreferencesFileUnlessOneIsAlreadyInPlace) {
  const std::string preferences = ZIVFilePathForPreferencesName("suite");
  const std::string target = ZIVFilePathForPersistentDictionaryName("suite");

  EXPECT_FALSE(ZIVMigrateUserDefaultsToPersistentDictionary(""));
  // Nothing to move is success.
  EXPECT_TRUE(ZIVMigrateUserDefaultsToPersistentDictionary("suite"));
  EXPECT_FALSE(fnd::FileExists(target));

  ASSERT_TRUE(fnd::WriteFileAtomically(preferences, "old"));
  EXPECT_TRUE(ZIVMigrateUserDefaultsToPersistentDictionary("suite"));
  EXPECT_FALSE(fnd::FileExists(preferences));
  EXPECT_EQ(fnd::ReadFileData(target), fnd::Data({'o', 'l', 'd'}));

  // A file already in place wins; the old one is deleted.
  ASSERT_TRUE(fnd::WriteFileAtomically(preferences, "older"));
  EXPECT_TRUE(ZIVMigrateUserDefaultsToPersistentDictionary("suite"));
  EXPECT_FALSE(fnd::FileExists(preferences));
  EXPECT_EQ(fnd::ReadFileData(target), fnd::Data({'o', 'l', 'd'}));

  // Folders at either path stop the move and are left alone.
  ASSERT_TRUE(fnd::CreateDirectories(preferences));
  EXPECT_FALSE(ZIVMigrateUserDefaultsToPersistentDictionary("suite"));
  EXPECT_TRUE(fnd::IsDirectory(preferences));
  ASSERT_TRUE(fnd::RemoveItem(preferences));
  ASSERT_TRUE(fnd::RemoveItem(target));
  ASSERT_TRUE(fnd::CreateDirectories(target));
  ASSERT_TRUE(fnd::WriteFileAtomically(preferences, "old"));
  EXPECT_FALSE(ZIVMigrateUserDefaultsToPersistentDictionary("suite"));
  EXPECT_TRUE(fnd::FileExists(preferences));
}

}  // namespace
