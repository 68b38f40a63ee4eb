#include "analytics/engine/rivado_service_file_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"

namespace {

TEST(RivadoServiceFileUtilTest, ReadsOnlyADictionaryOptionsFile) {
  fnd::ScopedTestHome home;
  const std::string bundlePath = fnd::JoinPath(home.path(), "Bundle");
  ASSERT_TRUE(fnd::CreateDirectories(bundlePath));
  const std::string file = fnd::JoinPath(bundlePath, "RivadoService-Info.plist");
  {
    fnd::Bundle bundle(bundlePath);
    EXPECT_EQ(ZIVRivadoServiceFileUtil::rivadoServiceInfoPlistPath(bundle), std::nullopt);
    EXPECT_EQ(ZIVRivadoServiceFileUtil::dictionaryFromRivadoServiceInfoPlist(bundle), std::nullopt);
  }

  auto bytes = [](const fnd::Value& value) {
    auto data = fnd::PropertyList::ToData(value);
    return std::string(data->begin(), data->end());
  };
  struct Case {
    const char* name;
    std::string content;
    std::optional<fnd::Dictionary> expected;
  };
  const fnd::Dictionary options = {{"RIVADO_APP_ID", "1:2:ios:3"}, {"API_KEY", "k"}};
  const std::vector<Case> cases = {
      {"dictionary", bytes(options), options},
      {"array", bytes(fnd::Array{"RIVADO_APP_ID"}), std::nullopt},
      {"not a property list", "<plist><dict><key>", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(fnd::WriteFileAtomically(file, c.content)) << c.name;
    fnd::Bundle bundle(bundlePath);
    EXPECT_EQ(ZIVRivadoServiceFileUtil::rivadoServiceInfoPlistPath(bundle), file) << c.name;
    EXPECT_EQ(ZIVRivadoServiceFileUtil::dictionaryFromRivadoServiceInfoPlist(bundle), c.expected)
        << c.name;
  }
}

}  // namespace
