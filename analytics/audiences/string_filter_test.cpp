#include "analytics/audiences/string_filter.h"

#include <gtest/gtest.h>

#include "analytics/audiences/audiences_test_support.h"

// The case tables name only the fields that matter to each case.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using audience_test::StringFilter;
using audience_test::Text;

class StringFilterTest : public ZIVFoundationTest {};

TEST_F(StringFilterTest, MatchTypes) {
  struct Case {
    Text filter;
    const char* string;
    std::optional<bool> outcome;
  };
  const Case cases[] = {
      {{.type = 5, .expression = "ABC"}, "abc", true},
      {{.type = 5, .expression = "ABC", .caseSensitive = true}, "abc", false},
      {{.type = 5, .expression = "ABC", .caseSensitive = false}, "abc", true},
      {{.type = 5, .expression = "ABC"}, "abcd", false},
      {{.type = 5, .expression = "straße"}, "STRASSE", false},
      {{.type = 1, .expression = "b"}, "abc", true},
      {{.type = 1, .expression = "^b"}, "abc", false},
      {{.type = 1, .expression = "B"}, "abc", true},
      {{.type = 1, .expression = "B", .caseSensitive = true}, "abc", false},
      {{.type = 2, .expression = "Ab"}, "abc", true},
      {{.type = 2, .expression = "Ab", .caseSensitive = true}, "abc", false},
      {{.type = 2, .expression = "abcd"}, "abc", false},
      {{.type = 3, .expression = "BC"}, "abc", true},
      {{.type = 3, .expression = "ab"}, "abc", false},
      {{.type = 3, .expression = "xabc"}, "abc", false},
      {{.type = 4, .expression = "B"}, "abc", true},
      {{.type = 4, .expression = "B", .caseSensitive = true}, "abc", false},
      {{.type = 6, .list = {"x", "ABC"}}, "abc", true},
      {{.type = 6, .caseSensitive = true, .list = {"x", "ABC"}}, "abc", false},
      {{.type = 6, .list = {"x", "y"}}, "abc", false},
      {{.type = 7, .expression = "abc"}, "abc", false},
  };
  for (const Case& c : cases) {
    auto filter = StringFilter(c.filter);
    EXPECT_EQ(ZIVAudienceEvaluateStringFilterWithString(filter.get(), std::string(c.string)),
              c.outcome)
        << "type " << c.filter.type << " expression " << c.filter.expression.value_or("-");
  }
}

TEST_F(StringFilterTest, ValidityAndItsReasons) {
  struct Case {
    Text filter;
    bool valid;
    int64_t code;
  };
  const Case cases[] = {
      {{.expression = "a", .hasType = false}, false, 9000},
      {{.type = 0, .expression = "a"}, false, 9001},
      {{.type = 2}, false, 9002},
      {{.type = 2, .expression = ""}, false, 9002},
      {{.type = 6}, false, 9003},
      {{.type = 1, .expression = "(unclosed"}, false, 9004},
      {{.type = 6, .list = {"a"}}, true, 0},
      {{.type = 12, .expression = "a"}, true, 0},
  };
  for (const Case& c : cases) {
    sharedLog_.clear();
    auto filter = StringFilter(c.filter);
    EXPECT_EQ(ZIVAudienceIsValidStringFilter(filter.get()), c.valid) << c.code;
    if (c.code) {
      EXPECT_EQ(sharedLog_.codes(), std::vector<int64_t>{c.code});
    } else {
      EXPECT_TRUE(sharedLog_.codes().empty());
    }
  }
}

TEST_F(StringFilterTest, EmptyInListIsNotEvaluable) {
  auto filter = StringFilter({.type = 6});
  EXPECT_EQ(ZIVAudienceEvaluateStringFilterWithString(filter.get(), std::string("a")),
            std::nullopt);
  EXPECT_EQ(sharedLog_.codes(), (std::vector<int64_t>{9003, 9006}));
}

TEST_F(StringFilterTest, NoStringIsNotEvaluable) {
  auto filter = StringFilter({.type = 5, .expression = "a"});
  EXPECT_EQ(ZIVAudienceEvaluateStringFilterWithString(filter.get(), std::nullopt), std::nullopt);
  ExpectLogged(sharedLog_, 1, 9005,
               "Evaluation string is nil. Audience filter will not be evaluated");
}

TEST_F(StringFilterTest, CatastrophicPatternRunsOutOfWorkInsteadOfHanging) {
  auto filter = StringFilter({.type = 1, .expression = "^(a+)+$", .caseSensitive = true});
  const std::string subject = std::string(64, 'a') + "!";
  EXPECT_EQ(ZIVAudienceEvaluateStringFilterWithString(filter.get(), subject), std::nullopt);
  ASSERT_EQ(sharedLog_.withCode(9009).size(), 1u);
}

}  // namespace
