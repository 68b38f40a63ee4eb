#include "platform/security/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/security/errors.h"

namespace security {
namespace {

TEST(HexTest, HexStringIsLowerCaseTwoDigitsPerByte) {
  EXPECT_EQ(HexString(fnd::Data{}), "");
  EXPECT_EQ(HexString(fnd::Data{0x00, 0x01, 0x0a, 0x7f, 0x80, 0xab, 0xff}), "00010a7f80abff");
}

TEST(HexTest, Parse) {
  struct Case {
    std::string text;
    bool ok;
    fnd::Data bytes;
  };
  const std::vector<Case> cases = {
      {"", true, {}},
      {"00", true, {0x00}},
      {"0aFf7e", true, {0x0a, 0xff, 0x7e}},
      {"DEADbeef", true, {0xde, 0xad, 0xbe, 0xef}},
      {"0", false, {}},
      {"abc", false, {}},
      {"0g", false, {}},
      {"g0", false, {}},
      {"0x12", false, {}},
      {"12 34", false, {}},
      {"-1", false, {}},
      {std::string("1\0", 2), false, {}},
      {"\xc3\xa9"
       "00",
       false,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.text + "\"");
    fnd::Data out = {0x99};  // Replaced in every case.
    fnd::Error error;
    EXPECT_EQ(ParseHex(c.text, &out, &error), c.ok);
    EXPECT_EQ(out, c.bytes);
    if (!c.ok) {
      EXPECT_EQ(error.domain(), kErrorDomain);
      EXPECT_EQ(error.code(), kErrorInvalidHex);
    }
  }
}

TEST(HexTest, ParseReversesHexString) {
  fnd::Data all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  fnd::Data parsed;
  ASSERT_TRUE(ParseHex(HexString(all), &parsed));
  EXPECT_EQ(parsed, all);
}

}  // namespace
}  // namespace security
