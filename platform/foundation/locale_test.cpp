#include "platform/foundation/locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "platform/foundation/text.h"

namespace fnd {
namespace {

// Sets locale variables for one test and puts the old values back.
class LocaleTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANG"}) {
      if (const char* v = std::getenv(name)) saved_[name] = v;
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANG"}) {
      auto it = saved_.find(name);
      if (it != saved_.end()) {
        setenv(name, it->second.c_str(), 1);
      } else {
        unsetenv(name);
      }
    }
    SetPreferredLanguagesForTesting(std::nullopt);
    SetCurrentLocaleForTesting(std::nullopt);
  }
  std::map<std::string, std::string> saved_;
};

TEST_F(LocaleTest, TagsFromPOSIXNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"en_GB.UTF-8", "en-GB"},
      {"de_DE@euro", "de-DE"},
      {"fr", "fr"},
      {"C", ""},
      {"POSIX", ""},
      {"C.UTF-8", ""},
      {"", ""},
      {"../x", ""},
      {"_x", ""},
  };
  for (const auto& [posix, tag] : cases) EXPECT_EQ(LanguageTagFromPOSIXLocale(posix), tag) << posix;
}

TEST_F(LocaleTest, PreferredLanguagesFromTheEnvironment) {
  EXPECT_TRUE(PreferredLanguages().empty());
  setenv("LANG", "C.UTF-8", 1);
  EXPECT_TRUE(PreferredLanguages().empty());
  EXPECT_EQ(CurrentLocaleIdentifier(), "en_US_POSIX");
  setenv("LANG", "en_GB.UTF-8", 1);
  EXPECT_EQ(PreferredLanguages(), (std::vector<std::string>{"en-GB"}));
  EXPECT_EQ(CurrentLocaleIdentifier(), "en_GB");
  setenv("LANGUAGE", "de_DE:fr::en_GB", 1);
  EXPECT_EQ(PreferredLanguages(), (std::vector<std::string>{"de-DE", "fr", "en-GB"}));
  setenv("LC_ALL", "tr_TR.UTF-8", 1);
  EXPECT_EQ(CurrentLocaleIdentifier(), "tr_TR");
  EXPECT_EQ(ToUpper("i", CurrentLocaleIdentifier()), "\u0130");
}

TEST_F(LocaleTest, TestOverrides) {
  SetPreferredLanguagesForTesting(std::vector<std::string>{});
  EXPECT_TRUE(PreferredLanguages().empty());
  SetPreferredLanguagesForTesting(std::vector<std::string>{"en-GB", "de"});
  EXPECT_EQ(PreferredLanguages().front(), "en-GB");
  SetCurrentLocaleForTesting("tr");
  EXPECT_EQ(CurrentLocaleIdentifier(), "tr");
}

}  // namespace
}  // namespace fnd
