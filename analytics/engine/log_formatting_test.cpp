#include "analytics/engine/log_formatting.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analytics/foundation/value.h"

namespace {

fnd::Value Typed(ZIVValuePtr value) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(value));
}

const ZIVLogFormattingMode kDebug{true, true};
const ZIVLogFormattingMode kPlain{false, true};

TEST(LogFormattingTest, Names) {
  const ZIVLogFormattingMode noInterface{true, false};
  EXPECT_EQ(ZIVFormattedEventName(fnd::Value("_vs"), kDebug), "screen_view (_vs)");
  EXPECT_EQ(ZIVFormattedEventName(fnd::Value("_cmp"), kDebug), "ra_campaign (_cmp)");
  EXPECT_EQ(ZIVFormattedParameterName(fnd::Value("_c"), kDebug), "ra_conversion (_c)");
  EXPECT_EQ(ZIVFormattedParameterName(fnd::Value("_ffr"), kDebug),
            "zudiroru_feature_rollouts (_ffr)");  // Only a "zudiroru_" name maps there.
  EXPECT_EQ(ZIVFormattedEventName(fnd::Value("purchase"), kDebug), "purchase");
  EXPECT_EQ(ZIVFormattedEventName(fnd::Value("_unknown"), kDebug), "_unknown");
  EXPECT_EQ(ZIVFormattedEventName(fnd::Value("_vs"), kPlain), "_vs");
  EXPECT_EQ(ZIVFormattedEventName(fnd::Value("_vs"), noInterface), "_vs");
  EXPECT_EQ(ZIVFormattedEventName(fnd::Value(5), kDebug), "5");
  EXPECT_EQ(ZIVFormattedUserPropertyName(fnd::Value("_id"), kDebug), "user_id (_id)");
  EXPECT_EQ(ZIVFormattedUserPropertyName(fnd::Value("_exp_12"), kPlain), "experiment_id (_exp_12)");
  EXPECT_EQ(ZIVFormattedName(fnd::Value("_vs"), fnd::Dictionary(), kDebug), "_vs");
}

TEST(LogFormattingTest, ParameterDictionaries) {
  fnd::Dictionary item{{fnd::Value("b"), Typed(ZIVValue::initWithInt64(1))}};
  fnd::Value parameters(fnd::Dictionary{
      {fnd::Value("_err"), Typed(ZIVValue::initWithInt64(4))},
      {fnd::Value("Zed"), Typed(ZIVValue::initWithString(std::string("z")))},
      {fnd::Value("_c"), Typed(ZIVValue::initWithInt64(1))},
      {fnd::Value("items"),
       Typed(ZIVValue::initWithArray(fnd::Value(fnd::Array{fnd::Value(item)})))},
      {fnd::Value("alpha"), fnd::Value("a")},
  });
  EXPECT_EQ(ZIVFormattedParametersDescription(parameters, kDebug),
            "{\n"
            "    alpha = a;\n"
            "    items = [\n"
            "    {\n"
            "        b = 1;\n"
            "    }\n"
            "    ];\n"
            "    ra_conversion (_c) = 1;\n"
            "    ra_error (_err) = InvalidParameterValue (4);\n"
            "    Zed = z;\n"
            "}");
  EXPECT_EQ(ZIVFormattedParametersDescription(parameters, kPlain), parameters.description());
  EXPECT_EQ(ZIVFormattedParametersDescription(fnd::Value("x"), kDebug), "x");
  // A code without a name shows as its number.
  EXPECT_EQ(
      ZIVFormattedParametersDescriptionWithIndentation(
          fnd::Value(fnd::Dictionary{{fnd::Value("_err"), Typed(ZIVValue::initWithInt64(26))}}),
          "  ", kDebug),
      "  {\n      ra_error (_err) = 26;\n  }");
}

}  // namespace
