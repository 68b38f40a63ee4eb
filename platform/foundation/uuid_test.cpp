#include "platform/foundation/uuid.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/foundation/regex.h"

namespace fnd {
namespace {

TEST(UUIDTest, RandomIsVersion4InUpperCaseText) {
  auto shape =
      Regex::Compile("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  ASSERT_TRUE(shape);
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string text = UUID::Random().uuidString();
    EXPECT_TRUE(shape->matches(text)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(UUIDTest, ParsesEitherCaseAndRejectsTheRest) {
  auto u = UUID::Parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(u->bytes()[0], 0xE6);
  EXPECT_EQ(UUID::Parse(u->uuidString()), u);
  for (const char* bad :
       {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
        "E621E1F8_C36C-495A-93FC-0C247A3E6E5F"}) {
    EXPECT_FALSE(UUID::Parse(bad)) << bad;
  }
  EXPECT_FALSE(UUID::Parse(std::string("E621E1F8-C36C-495A-93FC-0C247A3E6E5\0", 36)));
  EXPECT_EQ(UUID().uuidString(), "00000000-0000-0000-0000-000000000000");
}

}  // namespace
}  // namespace fnd
