#include "platform/foundation/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "platform/foundation/test_home.h"

namespace fnd {
namespace {

class FileSystemTest : public testing::Test {
 protected:
  std::string Path(const std::string& name) { return JoinPath(home_.path(), name); }
  ScopedTestHome home_;
};

TEST_F(FileSystemTest, HomeAndItsFolders) {
  EXPECT_EQ(HomeDirectory(), home_.path());
  for (auto [path, name] :
       {std::pair{ApplicationSupportDirectory(), "Application Support"},
        std::pair{PreferencesDirectory(), "Preferences"}, std::pair{CachesDirectory(), "Caches"}}) {
    EXPECT_EQ(path, JoinPath(home_.path(), name));
    EXPECT_TRUE(IsDirectory(path));
  }
}

TEST(FileSystemHomeTest, TheEnvironmentNamesTheHome) {
  struct Case {
    std::map<std::string, std::string> variables;
    std::string home;
  };
  const Case cases[] = {
      {{{"QUELLMARK_HOME", "/q"}, {"XDG_DATA_HOME", "/data/xdg"}, {"HOME", "/u"}}, "/q"},
      {{{"QUELLMARK_HOME", ""}, {"XDG_DATA_HOME", "/data/xdg"}, {"HOME", "/u"}},
       "/data/xdg/quellmark"},
      {{{"HOME", "/u"}}, "/u/.local/share/quellmark"},
  };
  for (const Case& c : cases) {
    auto variable = [&c](const char* name) {
      auto it = c.variables.find(name);
      return it == c.variables.end() ? std::string() : it->second;
    };
    EXPECT_EQ(HomeDirectoryInEnvironment(variable), c.home);
  }
}

TEST(FileSystemHomeTest, TheOverrideComesFirstAndNests) {
  const std::optional<std::string> outer = HomeDirectoryOverride();
  {
    ScopedTestHome home;
    EXPECT_EQ(HomeDirectory(), home.path());
    {
      ScopedTestHome inner;
      EXPECT_EQ(HomeDirectory(), inner.path());
    }
    EXPECT_EQ(HomeDirectory(), home.path());
  }
  EXPECT_EQ(HomeDirectoryOverride(), outer);
}

TEST(FileSystemPathTest, JoinsAndSplits) {
  EXPECT_EQ(JoinPath("a", "b"), "a/b");
  EXPECT_EQ(JoinPath("a/", "/b"), "a/b");
  EXPECT_EQ(JoinPath("/", "b"), "/b");
  EXPECT_EQ(JoinPath("", "b"), "b");
  EXPECT_EQ(JoinPath("a", ""), "a");
  EXPECT_EQ(DirectoryName("/x/y/z.plist"), "/x/y");
  EXPECT_EQ(DirectoryName("/x"), "/");
  EXPECT_EQ(DirectoryName("x"), "");
  EXPECT_EQ(BaseName("/x/y/z.plist"), "z.plist");
  EXPECT_EQ(BaseName("/x/y/"), "y");
}

TEST_F(FileSystemTest, CreatesMovesAndRemoves) {
  const std::string deep = Path("a/b/c");
  ASSERT_TRUE(CreateDirectories(deep));
  EXPECT_TRUE(CreateDirectories(deep));  // Existing is fine.
  ASSERT_TRUE(WriteFileAtomically(JoinPath(deep, "f"), "hello", 0600));
  struct stat st;
  ASSERT_EQ(stat(JoinPath(deep, "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(*ReadFileData(JoinPath(deep, "f")), (Data{'h', 'e', 'l', 'l', 'o'}));
  Error error;
  EXPECT_FALSE(CreateDirectories(JoinPath(deep, "f/g"), &error));  // A file is in the way.
  EXPECT_EQ(error.domain(), kPOSIXErrorDomain);

  ASSERT_TRUE(WriteFileAtomically(Path("other"), "x"));
  EXPECT_FALSE(MoveItem(Path("other"), JoinPath(deep, "f"), &error));
  EXPECT_EQ(error.code(), EEXIST);
  ASSERT_TRUE(MoveItem(Path("other"), JoinPath(deep, "moved")));
  EXPECT_EQ(*ListDirectory(deep), (std::vector<std::string>{"f", "moved"}));

  ASSERT_TRUE(RemoveItem(Path("a")));
  EXPECT_FALSE(FileExists(Path("a")));
  EXPECT_FALSE(RemoveItem(Path("a"), &error));
  EXPECT_EQ(error.code(), ENOENT);
  EXPECT_EQ(error.userInfo().get(kFilePathErrorKey), Value(Path("a")));
  EXPECT_FALSE(ReadFileData(Path("a"), &error));
  EXPECT_FALSE(RemoveItem("", &error));
}

TEST_F(FileSystemTest, AtomicWriteLeavesTheOldFileOnFailure) {
  ASSERT_TRUE(WriteFileAtomically(Path("f"), "old"));
  Error error;
  EXPECT_FALSE(WriteFileAtomically(Path("missing/f"), "new", 0644, &error));
  EXPECT_EQ(error.code(), ENOENT);
  ASSERT_TRUE(CreateDirectories(Path("dir")));
  EXPECT_FALSE(WriteFileAtomically(Path("dir"), "new", 0644, &error));  // Cannot replace a folder.
  EXPECT_EQ(*ListDirectory(home_.path()), (std::vector<std::string>{"dir", "f"}));
  EXPECT_EQ(ReadFileData(Path("f"))->size(), 3u);
}

TEST_F(FileSystemTest, ExcludesFromBackup) {
  const std::string file = Path("db.sql");
  ASSERT_TRUE(WriteFileAtomically(file, "x"));
  Error error;
  if (!SetExcludedFromBackup(file, true, &error)) {
    // Some filesystems have no user attributes; the failure must then be a clear error.
    EXPECT_EQ(error.domain(), kPOSIXErrorDomain);
    GTEST_SKIP() << error.localizedDescription();
  }
  EXPECT_EQ(IsExcludedFromBackup(file), true);
  ASSERT_TRUE(SetExcludedFromBackup(file, false));
  EXPECT_EQ(IsExcludedFromBackup(file), false);
  EXPECT_TRUE(SetExcludedFromBackup(file, false));         // Clearing twice is fine.
  ASSERT_TRUE(SetExcludedFromBackup(home_.path(), true));  // Folders too.
  // An atomic rewrite keeps the mark.
  ASSERT_TRUE(SetExcludedFromBackup(file, true));
  ASSERT_TRUE(WriteFileAtomically(file, "new contents"));
  EXPECT_EQ(IsExcludedFromBackup(file), true);
  EXPECT_FALSE(SetExcludedFromBackup(Path("missing"), true, &error));
  EXPECT_EQ(error.code(), ENOENT);
  EXPECT_FALSE(IsExcludedFromBackup(Path("missing"), &error));
}

}  // namespace
}  // namespace fnd
