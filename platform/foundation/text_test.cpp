#include "platform/foundation/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace fnd {
namespace {

// "a", "é" (2 bytes), "€" (3 bytes), "😀" (4 bytes, a surrogate pair in UTF-16).
constexpr const char* kMixed = "a\u00e9\u20ac\U0001F600b";

TEST(TextTest, LengthsCountUnitsAndCodePoints) {
  struct Case {
    std::string text;
    size_t utf16;
    size_t codePoints;
  };
  const Case cases[] = {
      {"", 0, 0},
      {"abc", 3, 3},
      {kMixed, 6, 5},
      {"\U0001F600\U0001F600", 4, 2},
      {"e\u0301", 2, 2},  // Combining marks are code points of their own.
      // Ill-formed input: each maximal bad subpart is one U+FFFD.
      {"a\xff"
       "b",
       3, 3},
      {"\xe2\x82", 1, 1},      // Truncated 3-byte sequence.
      {"\xed\xa0\x80", 3, 3},  // An encoded surrogate is three bad bytes.
      {"\xc0\xaf", 2, 2},      // Overlong.
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(UTF16Length(c.text), c.utf16);
    EXPECT_EQ(CodePointLength(c.text), c.codePoints);
    EXPECT_EQ(ToUTF16(c.text).size(), c.utf16);
    EXPECT_EQ(ToUTF32(c.text).size(), c.codePoints);
  }
}

TEST(TextTest, ValidatesUTF8) {
  EXPECT_TRUE(IsValidUTF8(""));
  EXPECT_TRUE(IsValidUTF8(kMixed));
  EXPECT_TRUE(IsValidUTF8(std::string("a\0b", 3)));
  for (const char* bad : {"\xff", "\xe2\x82", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80"}) {
    EXPECT_FALSE(IsValidUTF8(bad)) << bad;
  }
}

TEST(TextTest, ConvertsBetweenEncodings) {
  EXPECT_EQ(FromUTF16(ToUTF16(kMixed)), kMixed);
  EXPECT_EQ(FromUTF32(ToUTF32(kMixed)), kMixed);
  EXPECT_EQ(ToUTF16("\U0001F600"), (std::u16string{0xD83D, 0xDE00}));
  // Lone surrogates and out-of-range values become U+FFFD instead of invalid UTF-8.
  EXPECT_EQ(FromUTF16(std::u16string{u'a', 0xD83D}), "a\uFFFD");
  EXPECT_EQ(FromUTF16(std::u16string{0xDE00, u'b'}), "\uFFFDb");
  EXPECT_EQ(FromUTF32(std::u32string{0x110000, 0xD800}), "\uFFFD\uFFFD");
  EXPECT_EQ(ToUTF16("a\xff"), (std::u16string{u'a', 0xFFFD}));
}

TEST(TextTest, SubstringByUTF16NeverSplitsAPair) {
  struct Case {
    size_t start;
    size_t length;
    std::string expected;
  };
  // Units of kMixed: a=0 é=1 €=2 😀=3,4 b=5.
  const Case cases[] = {
      {0, 3, "a\u00e9\u20ac"},
      {2, 3, "\u20ac\U0001F600"},
      {3, 2, "\U0001F600"},
      {4, 2, "b"},       // Start inside the pair moves past it.
      {2, 2, "\u20ac"},  // End inside the pair moves before it.
      {3, 1, ""},
      {5, 100, "b"},
      {6, 1, ""},
      {100, 1, ""},
      {0, std::string::npos, kMixed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << "+" << c.length);
    EXPECT_EQ(SubstringUTF16(kMixed, c.start, c.length), c.expected);
  }
}

TEST(TextTest, SubstringByCodePoints) {
  EXPECT_EQ(SubstringCodePoints(kMixed, 3, 1), "\U0001F600");
  EXPECT_EQ(SubstringCodePoints(kMixed, 1), "\u00e9\u20ac\U0001F600b");
  EXPECT_EQ(SubstringCodePoints(kMixed, 0, 0), "");
  EXPECT_EQ(SubstringCodePoints(kMixed, 9, 2), "");
  // A forty-letter limit on letters that each take two UTF-16 units keeps all forty.
  std::string wide;
  for (int i = 0; i < 41; ++i) wide += "\U0001D400";
  EXPECT_EQ(CodePointLength(SubstringCodePoints(wide, 0, 40)), 40u);
  EXPECT_EQ(UTF16Length(SubstringCodePoints(wide, 0, 40)), 80u);
  // Ill-formed input comes out well-formed.
  EXPECT_EQ(SubstringCodePoints("a\xff"
                                "b",
                                1, 1),
            "\uFFFD");
}

TEST(TextTest, MapsCase) {
  EXPECT_EQ(ToUpper("stra\u00dfe"), "STRASSE");  // One character may become two.
  EXPECT_EQ(ToLower("\u0130"), "i\u0307");       // Without locale rules.
  EXPECT_EQ(ToLower("\u0130", "tr"), "i");       // With the Turkish rules.
  EXPECT_EQ(ToUpper("i", "tr"), "\u0130");
  EXPECT_EQ(ToUpper("usd"), "USD");
  EXPECT_EQ(ToLower("DeNiEd"), "denied");
  EXPECT_EQ(FoldCase("Stra\u00dfe"), "strasse");
}

TEST(TextTest, ClassifiesCharacters) {
  struct Case {
    char32_t c;
    CharacterClass cls;
    bool in;
  };
  const Case cases[] = {
      {U'a', CharacterClass::kLetter, true},
      {U'\u00e9', CharacterClass::kLetter, true},
      {U'\u4e2d', CharacterClass::kLetter, true},
      {U'\u0301', CharacterClass::kLetter, false},       // A combining mark is not a base letter...
      {U'\u0301', CharacterClass::kLetterOrMark, true},  // ...but is in the platform's letter set.
      {U'1', CharacterClass::kLetter, false},
      {U'\u0663', CharacterClass::kDecimalDigit, true},   // Arabic-Indic three.
      {U'\u00b2', CharacterClass::kDecimalDigit, false},  // Superscript two is No, not Nd.
      {U'\u00b2', CharacterClass::kAlphanumeric, true},
      {U'_', CharacterClass::kAlphanumeric, false},
      {U'_', CharacterClass::kNameCharacter, true},
      {U'-', CharacterClass::kNameCharacter, false},
      {U' ', CharacterClass::kWhitespace, true},
      {U'\t', CharacterClass::kWhitespace, true},
      {U'\n', CharacterClass::kWhitespace, false},
      {U'\n', CharacterClass::kWhitespaceAndNewline, true},
      {U'\u0085', CharacterClass::kWhitespaceAndNewline, true},
      {U'\u2028', CharacterClass::kWhitespaceAndNewline, true},
      {U'\u3000', CharacterClass::kWhitespace, true},
      {0x110000, CharacterClass::kLetter, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsInClass(c.c, c.cls), c.in) << std::hex << static_cast<uint32_t>(c.c);
  }
  EXPECT_TRUE(ConsistsOnlyOf("", CharacterClass::kDecimalDigit));
  EXPECT_TRUE(ConsistsOnlyOf("0123\u0663", CharacterClass::kDecimalDigit));
  EXPECT_FALSE(ConsistsOnlyOf("12a", CharacterClass::kDecimalDigit));
  EXPECT_TRUE(ConsistsOnlyOf("event_name1", CharacterClass::kNameCharacter));
  EXPECT_FALSE(ConsistsOnlyOf("event-name", CharacterClass::kNameCharacter));
  // Names agree with the class code point by code point, ASCII or not.
  for (int c = 0; c < 0x80; ++c) {
    const std::string text(1, static_cast<char>(c));
    EXPECT_EQ(ConsistsOnlyOf("a" + text + "\u00e9", CharacterClass::kNameCharacter),
              IsInClass(static_cast<char32_t>(c), CharacterClass::kNameCharacter))
        << c;
  }
  EXPECT_TRUE(ConsistsOnlyOf("n\u00e9_\u0663", CharacterClass::kNameCharacter));
  EXPECT_FALSE(ConsistsOnlyOf("n\u00e9-", CharacterClass::kNameCharacter));
  EXPECT_FALSE(ConsistsOnlyOf("name\xff", CharacterClass::kNameCharacter));
  EXPECT_FALSE(ConsistsOnlyOf("ab\xff", CharacterClass::kLetter));
}

TEST(TextTest, Trims) {
  EXPECT_EQ(Trim(" \t\n\u3000 a b \u2029\r\u0085"), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("\nx\n", CharacterClass::kWhitespace), "\nx\n");
  EXPECT_EQ(Trim("007", CharacterClass::kDecimalDigit), "");
  EXPECT_EQ(Trim("__a__", CharacterClass::kNameCharacter), "");
}

TEST(TextTest, ComparesCanonically) {
  EXPECT_TRUE(CanonicalEquals("\u00e9", "e\u0301"));
  EXPECT_EQ(CanonicalCompare("\u00e9", "e\u0301"), 0);
  EXPECT_FALSE(CanonicalEquals("e", "E"));
  EXPECT_EQ(CanonicalCompare("a", "b"), -1);
  EXPECT_EQ(CanonicalCompare("b", "a"), 1);
  EXPECT_EQ(CanonicalCompare("a", "ab"), -1);
  // UTF-16 order, not code point order: U+FFFD sorts after a surrogate pair's lead unit.
  EXPECT_EQ(CanonicalCompare("\U0001F600", "\uFFFD"), -1);
  EXPECT_EQ(CaseInsensitiveCompare("HELLO", "hello"), 0);
  EXPECT_EQ(CaseInsensitiveCompare("STRASSE", "stra\u00dfe"), 0);
  EXPECT_EQ(CaseInsensitiveCompare("\u00c9", "e\u0301"), 0);
  EXPECT_EQ(CaseInsensitiveCompare("a", "B"), -1);
  EXPECT_EQ(NormalizeNFC("e\u0301"), "\u00e9");
  EXPECT_EQ(NormalizeNFD("\u00e9"), "e\u0301");
}

TEST(TextTest, FindsPlainText) {
  struct Case {
    std::string haystack;
    std::string needle;
    FindOptions options;
    TextRange expected;
  };
  const FindOptions none;
  const FindOptions ci{.caseInsensitive = true};
  const FindOptions back{.backwards = true};
  const FindOptions literal{.literal = true};
  const FindOptions prefix{.anchored = true};
  const FindOptions suffix{.backwards = true, .anchored = true};
  const Case cases[] = {
      {"abcabc", "c", none, {2, 1}},
      {"abcabc", "c", back, {5, 1}},
      {"abcabc", "", none, {}},  // The empty text is never found.
      {"abc", "x", none, {}},
      {"a.b.c", ".", none, {1, 1}},
      {"Hello", "hello", none, {}},
      {"Hello", "hELLO", ci, {0, 5}},
      {"STRASSE", "stra\u00dfe", ci, {0, 7}},
      // Canonically equivalent forms find each other, in UTF-16 units of the haystack.
      {"caf\u00e9!", "e\u0301", none, {3, 1}},
      {"cafe\u0301!", "\u00e9", none, {3, 2}},
      {"cafe\u0301!", "\u00e9", literal, {}},
      {"cafe\u0301", "e", none, {}},  // Not inside a combined character.
      {"cafe\u0301 e", "e", none, {6, 1}},
      {"cafe\u0301 e", "e", back, {6, 1}},
      {"e\u0301 cafe\u0301", "e\u0301", back, {6, 2}},
      {"abc", "\u0301", none, {}},
      {"\U0001F600ab", "ab", none, {2, 2}},
      {"abc", "ab", prefix, {0, 2}},
      {"xabc", "ab", prefix, {}},
      {"abc", "bc", suffix, {1, 2}},
      {"abcx", "bc", suffix, {}},
      // Text that is not in NFD: each start is tried once, at the one end whose decomposition
      // is as long as the needle's.
      {"caf\u00e9", "caf", none, {0, 3}},
      {"e\u0301\u00e9", "\u0301", none, {1, 1}},
      {"\u00e9\u00e9x", "e\u0301x", none, {1, 2}},
      {"\ud55c\uae00", "\u1112\u1161\u11ab", none, {0, 1}},
      {"\u00e9a\u00e9", "\u00e9", suffix, {2, 1}},
      {"\u00e9a\u00e9", "a\u00e9", prefix, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.haystack + " / " + c.needle);
    EXPECT_EQ(FindString(c.haystack, c.needle, c.options), c.expected);
  }
  // A search range limits where matches may lie.
  EXPECT_EQ(FindString("abcabc", "c", none, 3), (TextRange{5, 1}));
  EXPECT_EQ(FindString("abcabc", "c", back, 0, 4), (TextRange{2, 1}));
  EXPECT_EQ(FindString("abcabc", "c", none, 7), TextRange{});
  EXPECT_EQ(FindString(u"abcabc", u"bc", none), (TextRange{1, 2}));
  // A precomposed haystack takes the normalising path; ranges stay in its own units.
  EXPECT_EQ(FindString("\u00e9 cafe\u0301", "e\u0301", back), (TextRange{5, 2}));
  EXPECT_EQ(FindString("\u00e9 cafe\u0301", "e\u0301", none), (TextRange{0, 1}));
  EXPECT_TRUE(HasPrefix("Screen_view", "screen", true));
  EXPECT_FALSE(HasPrefix("Screen_view", "screen"));
  EXPECT_TRUE(HasSuffix("file.PLIST", ".plist", true));
  EXPECT_FALSE(HasSuffix("file.plist", ".plistx"));
}

TEST(TextTest, FormatsNumbersAsEnglishText) {
  struct Case {
    double value;
    std::optional<std::string> decimal;
    std::optional<std::string> scientific;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {1.1, "1.1000000000000001", "1.1E0"},
      {1234.5, "1,234.5", "1.2345E3"},
      {-0.5, "-0.5", "-5E-1"},
      {1e-7, "0.000000099999999999999995", "1E-7"},  // The double just below 1e-7.
      {-1.5e21, "-1,500,000,000,000,000,000,000", "-1.5E21"},
      {0.125, "0.125", "1.25E-1"},
      {inf, std::nullopt, std::nullopt},
      {std::nan(""), std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(FormatDecimal17(c.value), c.decimal);
    EXPECT_EQ(FormatScientificShortest(c.value), c.scientific);
  }
}

}  // namespace
}  // namespace fnd
