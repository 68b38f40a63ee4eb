#include "analytics/foundation/additions.h"

#include <gtest/gtest.h>

#include <array>

namespace {

TEST(AdditionsTest, MD5FingerprintsFollowRFC1321) {
  struct Case {
    std::string text;
    std::string hex;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"\xC3\xA9", "66ddcd97cfdeabb2f6fb8a999b4bc76f"},  // "é" in UTF-8.
  };
  for (const Case& c : cases) EXPECT_EQ(ziv_MD5String(c.text), c.hex) << c.text;
  EXPECT_EQ(ziv_MD5String("\xFF\xFE"), std::nullopt) << "not UTF-8";

  fnd::Data abc = {'a', 'b', 'c'};
  fnd::Data digest = ziv_MD5Data(abc);
  ASSERT_EQ(digest.size(), 16u);
  EXPECT_EQ(digest[0], 0x90);
  // Bytes 8..15 of 900150983cd24fb0 d6963f7d28e17f72, byte 8 most significant.
  EXPECT_EQ(ziv_64LSBMD5(abc), 0xd6963f7d28e17f72ull);
}

TEST(AdditionsTest, LeastSignificantBitsReadTheLastBytesBigEndian) {
  EXPECT_EQ(ziv_64LeastSignificantBits({}), 0u);
  EXPECT_EQ(ziv_64LeastSignificantBits({0x01, 0x02, 0x03}), 0x010203u);
  EXPECT_EQ(ziv_64LeastSignificantBits({0xff, 1, 2, 3, 4, 5, 6, 7, 8}), 0x0102030405060708ull);
}

TEST(AdditionsTest, QueryStringsEncodeAndDecode) {
  fnd::Dictionary query{{"b", "x y"}, {"a&b", "1=2"}, {"n", 5}, {"u", "\xC3\xA9"}};
  EXPECT_EQ(ziv_queryString(query), "b=x%20y&a&b=1=2&n=5&u=%C3%A9");
  EXPECT_EQ(ziv_queryString({}), "");
  EXPECT_EQ(ZIVNetworkURLEncode(fnd::Value("a+b/c?d#e")), "a+b/c?d%23e");

  struct Case {
    std::string text;
    fnd::Dictionary expected;
  };
  const Case cases[] = {
      {"a=1&a=2", {{"a", "1"}}},
      {"a+b=c%20d", {{"a b", "c d"}}},
      {"x", {{"x", ""}}},
      {"&&k=v&", {{"k", "v"}}},
      {"k=v=w", {{"k", "v=w"}}},
      {"bad=%zz&ok=1", {{"bad", ""}, {"ok", "1"}}},
      {"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fnd::Value(ziv_dictionaryWithHttpArgumentsString(c.text)), fnd::Value(c.expected))
        << c.text;
  }
}

TEST(AdditionsTest, UnescapingTurnsPlusIntoSpaceAndRefusesBadEscapes) {
  EXPECT_EQ(ziv_stringByUnescapingFromURLArgument("a+b%2Bc"), "a b+c");
  EXPECT_EQ(ziv_stringByUnescapingFromURLArgument("%C3%A9"), "\xC3\xA9");
  EXPECT_EQ(ziv_stringByUnescapingFromURLArgument("%"), std::nullopt);
  EXPECT_EQ(ziv_stringByUnescapingFromURLArgument("%4"), std::nullopt);
  EXPECT_EQ(ziv_stringByUnescapingFromURLArgument("%G1"), std::nullopt);
  EXPECT_EQ(ziv_stringByUnescapingFromURLArgument("%FF"), std::nullopt) << "not UTF-8";
}

TEST(AdditionsTest, BitStringsAreCheckedByPosition) {
  const std::string bits = "0101";
  struct Case {
    int64_t index;
    bool enabled;
  };
  for (const Case& c : {Case{-1, false}, Case{0, false}, Case{1, true}, Case{3, true},
                        Case{4, false}, Case{INT64_MAX, false}}) {
    EXPECT_EQ(isBitEnabledAtIndex(bits, c.index), c.enabled) << c.index;
  }
  // Positions count UTF-16 units: the emoji takes two.
  EXPECT_TRUE(
      isBitEnabledAtIndex("\xF0\x9F\x98\x80"
                          "1",
                          2));
}

TEST(AdditionsTest, UTF32LengthAndBytes) {
  const std::string text = "a\xC3\xA9\xF0\x9F\x98\x80";  // a, é, 😀
  EXPECT_EQ(ziv_UTF32Length(text), 3u);
  EXPECT_EQ(ziv_UTF32Length(""), 0u);
  std::array<uint8_t, 12> buffer{};
  EXPECT_EQ(ziv_getUTF32Bytes(text, buffer.data(), buffer.size()), 12u);
  EXPECT_EQ(buffer, (std::array<uint8_t, 12>{'a', 0, 0, 0, 0xE9, 0, 0, 0, 0x00, 0xF6, 0x01, 0}));
  std::array<uint8_t, 7> small{};
  EXPECT_EQ(ziv_getUTF32Bytes(text, small.data(), small.size()), 4u) << "whole units only";
  EXPECT_EQ(small[4], 0);
}

}  // namespace
