#include "platform/foundation/regex.h"

#include <gtest/gtest.h>
#include <unicode/utypes.h>

namespace fnd {
namespace {

TEST(RegexTest, CompileErrorHasThePlatformShape) {
  Error error;
  EXPECT_FALSE(Regex::Compile("(", Regex::kNone, &error));
  EXPECT_EQ(error.domain(), kCocoaErrorDomain);
  EXPECT_EQ(error.code(), 2048);
  EXPECT_EQ(error.userInfo().get("NSInvalidValue"), Value("("));
  EXPECT_EQ(error.localizedDescription(), "The value \u201c(\u201d is invalid.");
  EXPECT_FALSE(Regex::Compile("[a-", Regex::kNone, nullptr));  // No out-parameter: no crash.
}

TEST(RegexTest, FindsMatchesWithUTF16Ranges) {
  auto re = Regex::Compile("[0-9]+");
  ASSERT_TRUE(re);
  auto m = re->firstMatch("a1b22");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->range(), (Range{1, 1}));
  EXPECT_EQ(m->texts[0], "1");
  // Ranges count UTF-16 units: the emoji before the digits takes two.
  m = re->firstMatch("\U0001F600x42");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->range(), (Range{3, 2}));
  EXPECT_EQ(m->texts[0], "42");
  EXPECT_FALSE(re->firstMatch("abc"));
  m = re->firstMatch("1a22", 1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->range(), (Range{2, 2}));
  EXPECT_FALSE(re->firstMatch("12", 3));  // Past the end.
  auto all = re->allMatches("1 22 333");
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 3u);
  EXPECT_EQ((*all)[2].range(), (Range{5, 3}));
  m = re->firstMatch(std::u16string(u"ab7"));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->range(), (Range{2, 1}));
}

TEST(RegexTest, CaptureGroups) {
  auto re = Regex::Compile("(a)|(b)");
  ASSERT_TRUE(re);
  EXPECT_EQ(re->numberOfCaptureGroups(), 2u);
  auto m = re->firstMatch("xb");
  ASSERT_TRUE(m);
  ASSERT_EQ(m->groups.size(), 3u);
  EXPECT_FALSE(m->groups[1].found());  // Group 1 took no part.
  EXPECT_EQ(m->groups[2], (Range{1, 1}));
  EXPECT_EQ(m->texts[2], "b");
}

TEST(RegexTest, SearchVersusWholeMatchAndOptions) {
  auto b = Regex::Compile("b");
  ASSERT_TRUE(b);
  EXPECT_TRUE(b->search("abc"));  // Unanchored search.
  EXPECT_FALSE(b->matches("abc"));
  EXPECT_TRUE(b->matches("b"));
  auto ci = Regex::Compile("^ABC$", Regex::kCaseInsensitive);
  ASSERT_TRUE(ci);
  EXPECT_TRUE(ci->search("abc"));
  auto cs = Regex::Compile("^ABC$");
  ASSERT_TRUE(cs);
  EXPECT_FALSE(cs->search("abc"));
  // Without options "." stops at line ends and "^"/"$" anchor at the ends of the whole text.
  auto dot = Regex::Compile("a.b");
  EXPECT_FALSE(dot->search("a\nb"));
  EXPECT_TRUE(Regex::Compile("a.b", Regex::kDotMatchesLineSeparators)->search("a\nb"));
  EXPECT_FALSE(Regex::Compile("^b")->search("a\nb"));
  EXPECT_TRUE(Regex::Compile("^b", Regex::kAnchorsMatchLines)->search("a\nb"));
  EXPECT_TRUE(Regex::Compile("a.b", Regex::kIgnoreMetacharacters)->search("xa.by"));
  EXPECT_FALSE(Regex::Compile("a.b", Regex::kIgnoreMetacharacters)->search("axb"));
}

TEST(RegexTest, Replaces) {
  auto re = Regex::Compile("(\\w+)@(\\w+)");
  ASSERT_TRUE(re);
  EXPECT_EQ(re->replaceAll("a@b c@d", "$2 at $1"), "b at a d at c");
  EXPECT_EQ(re->replaceFirst("a@b c@d", "x"), "x c@d");
  EXPECT_EQ(re->replaceAll("none", "x"), "none");
  EXPECT_EQ(re->replaceAll("a@b", Regex::EscapedTemplate("$1\\")), "$1\\");
  Error error;
  EXPECT_FALSE(re->replaceAll("a@b", "$9", &error));  // No such group.
  EXPECT_EQ(error.domain(), kICUErrorDomain);
  auto literal = Regex::Compile(Regex::EscapedPattern("a.b*c(d)[e]{1}$^|\\+?"));
  ASSERT_TRUE(literal);
  EXPECT_TRUE(literal->matches("a.b*c(d)[e]{1}$^|\\+?"));
  EXPECT_FALSE(literal->matches("axbbc"));
}

TEST(RegexTest, HostilePatternTimesOutWithAnError) {
  auto re = Regex::Compile("(a+)+$");
  ASSERT_TRUE(re);
  re->setTimeLimit(1);
  const std::string subject = std::string(64, 'a') + "!";
  Error error;
  EXPECT_FALSE(re->firstMatch(subject, 0, &error));
  EXPECT_EQ(error.domain(), kICUErrorDomain);
  EXPECT_EQ(error.code(), U_REGEX_TIME_OUT);
  error = Error();
  EXPECT_FALSE(re->allMatches(subject, &error));
  EXPECT_EQ(error.code(), U_REGEX_TIME_OUT);
  error = Error();
  EXPECT_FALSE(re->replaceAll(subject, "x", &error));
  EXPECT_EQ(error.code(), U_REGEX_TIME_OUT);
  error = Error();
  EXPECT_FALSE(re->matches(subject, &error));
  EXPECT_EQ(error.code(), U_REGEX_TIME_OUT);
}

TEST(RegexTest, SharedAcrossCopies) {
  auto re = Regex::Compile("x");
  ASSERT_TRUE(re);
  Regex copy = *re;
  copy.setTimeLimit(5);
  EXPECT_EQ(re->timeLimit(), Regex::kDefaultTimeLimit);  // The limit belongs to each copy.
  EXPECT_EQ(copy.pattern(), "x");
  EXPECT_TRUE(copy.search("axb"));
}

}  // namespace
}  // namespace fnd
