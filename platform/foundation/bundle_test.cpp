#include "platform/foundation/bundle.h"

#include <gtest/gtest.h>

#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"

namespace fnd {
namespace {

class BundleTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = JoinPath(home_.path(), "App");
    ASSERT_TRUE(CreateDirectories(JoinPath(path_, "sub")));
    ASSERT_TRUE(PropertyList::WriteFile(
        Value(Dictionary{{kBundleIdentifierKey, "com.example.app"},
                         {kBundleShortVersionStringKey, "1.2.3"},
                         {kBundleVersionKey, "45"},
                         {"ZudiroruAppStoreReceiptURLCheckEnabled", false}}),
        JoinPath(path_, "Info.plist")));
    ASSERT_TRUE(WriteFileAtomically(JoinPath(path_, "RivadoService-Info.plist"), "x"));
    ASSERT_TRUE(WriteFileAtomically(JoinPath(path_, "sub/data.json"), "{}"));
    ASSERT_TRUE(WriteFileAtomically(JoinPath(path_, "README"), "x"));
  }
  void TearDown() override { Bundle::setMainBundlePath(""); }

  ScopedTestHome home_;
  std::string path_;
};

TEST_F(BundleTest, ReadsInfoPlist) {
  Bundle bundle(path_);
  EXPECT_EQ(bundle.bundlePath(), path_);
  EXPECT_EQ(bundle.bundleIdentifier(), "com.example.app");
  EXPECT_EQ(bundle.shortVersionString(), "1.2.3");
  EXPECT_EQ(bundle.bundleVersion(), "45");
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("ZudiroruAppStoreReceiptURLCheckEnabled"),
            Value(false));
  EXPECT_FALSE(bundle.objectForInfoDictionaryKey("missing"));
  EXPECT_EQ(bundle.infoDictionary().size(), 4u);
  EXPECT_FALSE(bundle.executablePath().empty());
}

TEST_F(BundleTest, FindsResources) {
  Bundle bundle(path_);
  EXPECT_EQ(bundle.pathForResource("RivadoService-Info", "plist"),
            JoinPath(path_, "RivadoService-Info.plist"));
  EXPECT_EQ(bundle.pathForResource("data", "json", "sub"), JoinPath(path_, "sub/data.json"));
  EXPECT_EQ(bundle.pathForResource("README", ""), JoinPath(path_, "README"));
  EXPECT_EQ(bundle.pathForResource("RivadoService-Info", ".plist"),
            JoinPath(path_, "RivadoService-Info.plist"));
  EXPECT_FALSE(bundle.pathForResource("missing", "plist"));
  EXPECT_FALSE(bundle.pathForResource("sub", ""));  // A folder is not a resource.
  EXPECT_FALSE(bundle.pathForResource("../App/README", ""));
  EXPECT_FALSE(bundle.pathForResource("README", "", "../App"));
  EXPECT_FALSE(bundle.pathForResource("/etc/passwd", ""));
  EXPECT_FALSE(bundle.pathForResource("", "plist"));
}

TEST_F(BundleTest, MissingOrCorruptInfoPlistReadsEmpty) {
  Bundle missing(JoinPath(home_.path(), "nothing"));
  EXPECT_EQ(missing.bundleIdentifier(), "");
  EXPECT_TRUE(missing.infoDictionary().empty());
  ASSERT_TRUE(WriteFileAtomically(JoinPath(path_, "Info.plist"), "garbage"));
  Bundle corrupt(path_);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(corrupt.infoDictionary().empty());
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
}

TEST_F(BundleTest, MainBundleFollowsItsPath) {
  const std::string defaultPath = Bundle::defaultMainBundlePath();
  EXPECT_TRUE(defaultPath.ends_with("/macos/Runner/Resources")) << defaultPath;
  Bundle::setMainBundlePath(path_);
  EXPECT_EQ(Bundle::mainBundle().bundlePath(), path_);
  EXPECT_EQ(Bundle::mainBundle().bundleIdentifier(), "com.example.app");
  Bundle::setMainBundlePath("");
  EXPECT_EQ(Bundle::mainBundle().bundlePath(), Bundle::defaultMainBundlePath());
}

}  // namespace
}  // namespace fnd
