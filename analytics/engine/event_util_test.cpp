#include "analytics/engine/event_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_test_support.h"
#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/event_settings.h"
#include "analytics/engine/name_tables.h"
#include "analytics/foundation/test_support.h"

namespace {

fnd::Value Typed(ZIVValuePtr value) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(value));
}
fnd::Value Int(int64_t value) { return Typed(ZIVValue::initWithInt64(value)); }
fnd::Value Text(const std::string& value) { return Typed(ZIVValue::initWithString(value)); }

// The typed value of a normalised entry, or null.
ZIVValuePtr At(const fnd::Dictionary& parameters, const std::string& key) {
  return parameters.get(fnd::Value(key)).recordAs<ZIVValue>();
}
std::optional<int64_t> IntAt(const fnd::Dictionary& parameters, const std::string& key) {
  auto value = At(parameters, key);
  if (!value || !value->isInt64()) return std::nullopt;
  return value->int64Value();
}
std::optional<std::string> TextAt(const fnd::Dictionary& parameters, const std::string& key) {
  auto value = At(parameters, key);
  return value ? value->stringValue() : std::nullopt;
}

// Settings a test chooses; installed for the test's lifetime.
class FixedSettings : public ZIVEventSettings {
 public:
  int32_t maxPublicEventParams() const override { return publicParams; }
  int32_t maxItemScopedCustomParameters() const override { return itemParams; }
  int32_t maxPublicEventParameterValueLength() const override { return publicValue; }
  int32_t maxInternalEventParameterValueLength() const override {
    return std::max<int32_t>(publicValue, 256);
  }
  int32_t publicParams = 100;
  int32_t itemParams = 27;
  int32_t publicValue = 500;
};

class EventUtilTest : public ::testing::Test {
 protected:
  EventUtilTest() : settings_(std::make_shared<FixedSettings>()), log_(ZIVMeasurement::monitor()) {
    ZIVSetCurrentEventSettings(settings_);
  }
  ~EventUtilTest() override {
    ZIVSetCurrentEventSettings(nullptr);
    ZIVSetInternalEventLogger(nullptr);
  }

  std::shared_ptr<FixedSettings> settings_;
  ZIVLogCapture log_;
};

TEST_F(EventUtilTest, EmptyInputNormalisesToNothingAndAllRefusedToTheErrorsAlone) {
  EXPECT_FALSE(ZIVNormalizedParametersForParametersAndEventName({}, "e", true, false));

  auto refused = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{{fnd::Value("ra_x"), fnd::Value(1)}}, "e", true, false);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->size(), 2u);  // "_err" and "_ev"; the name is not over 40, so no "_el".
  EXPECT_EQ(IntAt(*refused, "_err"), 14);
  EXPECT_EQ(TextAt(*refused, "_ev"), "ra_x");

  auto unsupported = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{{fnd::Value("d"), fnd::Value(fnd::Data{1})}}, "e", true, false);
  ASSERT_TRUE(unsupported);
  EXPECT_TRUE(unsupported->empty());
  ASSERT_EQ(log_.withCode(18015).size(), 1u);
  EXPECT_EQ(log_.withCode(18015)[0].contexts[0], fnd::Value("NSData"));
}

TEST_F(EventUtilTest, KeptValuesBecomeTypedValues) {
  auto result = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{{fnd::Value("n"), fnd::Value(3)},
                      {fnd::Value("d"), fnd::Value(1.5)},
                      {fnd::Value("b"), fnd::Value(true)},
                      {fnd::Value("s"), fnd::Value("x")},
                      {fnd::Value("t"), Int(9)}},
      "level_up", true, false);
  ASSERT_TRUE(result);
  EXPECT_EQ(IntAt(*result, "n"), 3);
  ASSERT_TRUE(At(*result, "d") && At(*result, "d")->isDouble());
  EXPECT_EQ(IntAt(*result, "b"), 1);
  EXPECT_EQ(TextAt(*result, "s"), "x");
  EXPECT_EQ(IntAt(*result, "t"), 9);
  EXPECT_FALSE(result->contains(fnd::Value("_err")));
}

TEST_F(EventUtilTest, RefusedNamesAndValuesRecordTheFirstError) {
  const std::string longName(41, 'a');
  const std::string longValue(501, 'v');
  struct Case {
    const char* name;
    fnd::Dictionary input;
    int64_t error;
    std::string errorValue;
    std::optional<int64_t> errorLength;
  };
  const std::vector<Case> cases = {
      {"reserved prefix", {{fnd::Value("zudiroru_x"), fnd::Value(1)}}, 14, "zudiroru_x", {}},
      {"name of 41 letters",
       {{fnd::Value(longName), fnd::Value(1)}},
       3,
       std::string(40, 'a') + "...",
       41},
      {"hyphen", {{fnd::Value("a-b"), fnd::Value(1)}}, 3, "a-b", {}},
      {"value too long", {{fnd::Value("p"), fnd::Value(longValue)}}, 4, "p", 501},
      {"first error wins",
       {{fnd::Value("p"), fnd::Value(longValue)}, {fnd::Value("q"), fnd::Value(longValue + "w")}},
       4,
       "p",
       501},
      {"non-string key", {{fnd::Value(7), fnd::Value(1)}}, 3, "NSNumber", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = ZIVNormalizedParametersForParametersAndEventName(c.input, "e", true, false);
    ASSERT_TRUE(result);
    EXPECT_EQ(IntAt(*result, "_err"), c.error);
    EXPECT_EQ(TextAt(*result, "_ev"), c.errorValue);
    EXPECT_EQ(IntAt(*result, "_el"), c.errorLength);
    EXPECT_EQ(result->size(), c.errorLength ? 3u : 2u);
  }
}

TEST_F(EventUtilTest, PublicParameterCountIsCapped) {
  fnd::Dictionary input;
  for (int i = 0; i < 101; ++i) {
    char name[8];
    snprintf(name, sizeof(name), "p%03d", i);
    input.set(fnd::Value(name), fnd::Value(i));
  }
  input.set(fnd::Value("_internal"), fnd::Value(1));
  auto result = ZIVNormalizedParametersForParametersAndEventName(input, "e", false, false);
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->contains(fnd::Value("p100")));
  EXPECT_TRUE(result->contains(fnd::Value("p099")));
  EXPECT_TRUE(result->contains(fnd::Value("_internal")));
  EXPECT_EQ(IntAt(*result, "_err"), 5);
  EXPECT_EQ(ZIVEventPublicParameterCountIgnoringAllowlistedParams(*result, false), 100);
  ExpectLogged(log_, 1, 18017, "Event cannot contain more than 100 parameters");

  // A lower server limit applies.
  settings_->publicParams = 25;
  result = ZIVNormalizedParametersForParametersAndEventName(input, "e", false, false);
  EXPECT_EQ(ZIVEventPublicParameterCountIgnoringAllowlistedParams(*result, false), 25);
}

fnd::Value Item(int custom) {
  fnd::Dictionary item{{fnd::Value("item_id"), fnd::Value("sku")},
                       {fnd::Value("price"), fnd::Value(1.5)}};
  for (int i = 0; i < custom; ++i) {
    item.set(fnd::Value("c" + std::to_string(10 + i)), fnd::Value(i));
  }
  return fnd::Value(item);
}

TEST_F(EventUtilTest, ItemsArraysAreCheckedAndNormalised) {
  fnd::Array items;
  for (int i = 0; i < 250; ++i) items.push_back(Item(0));
  auto result = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{{fnd::Value("items"), fnd::Value(items)}}, "purchase", true, false);
  ASSERT_TRUE(result);
  auto array = At(*result, "items");
  ASSERT_TRUE(array && array->isArray());
  ASSERT_EQ(array->arrayValue()->size(), 200u);
  const fnd::Dictionary& first = *(*array->arrayValue())[0].dictionary();
  EXPECT_EQ(TextAt(first, "item_id"), "sku");
  EXPECT_EQ(IntAt(*result, "_err"), 17);
  EXPECT_EQ(TextAt(*result, "_ev"), "items");

  struct Case {
    const char* name;
    std::string event;
    std::string parameter;
    int64_t error;
    std::string errorValue;
  };
  for (const Case& c : std::vector<Case>{{"not ecommerce", "level_up", "items", 21, "level_up"},
                                         {"other name", "purchase", "things", 20, "things"}}) {
    SCOPED_TRACE(c.name);
    result = ZIVNormalizedParametersForParametersAndEventName(
        fnd::Dictionary{{fnd::Value(c.parameter), fnd::Value(fnd::Array{Item(0)})}}, c.event, true,
        false);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->contains(fnd::Value(c.parameter)));
    EXPECT_EQ(IntAt(*result, "_err"), c.error);
    EXPECT_EQ(TextAt(*result, "_ev"), c.errorValue);
  }

  // A non-dictionary item is skipped and named by its index; a nested array is refused inside
  // the item that holds it.
  fnd::Dictionary nestedItem{{fnd::Value("item_id"), fnd::Value("a")},
                             {fnd::Value("items"), fnd::Value(fnd::Array{Item(0)})}};
  result = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{
          {fnd::Value("items"), fnd::Value(fnd::Array{Item(0), Item(0), Item(0), fnd::Value("x"),
                                                      fnd::Value(nestedItem)})}},
      "purchase", true, false);
  ASSERT_TRUE(result);
  array = At(*result, "items");
  ASSERT_EQ(array->arrayValue()->size(), 4u);
  EXPECT_EQ(IntAt(*result, "_err"), 4);
  EXPECT_EQ(TextAt(*result, "_ev"), "items[3]");
  const fnd::Dictionary& last = *(*array->arrayValue())[3].dictionary();
  EXPECT_FALSE(last.contains(fnd::Value("items")));
  EXPECT_EQ(IntAt(last, "_err"), 22);
}

TEST_F(EventUtilTest, ItemCustomParametersAreCapped) {
  auto result = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{{fnd::Value("items"), fnd::Value(fnd::Array{Item(28)})}}, "purchase", true,
      false);
  ASSERT_TRUE(result);
  const fnd::Dictionary& item = *(*At(*result, "items")->arrayValue())[0].dictionary();
  EXPECT_TRUE(item.contains(fnd::Value("item_id")));
  EXPECT_TRUE(item.contains(fnd::Value("price")));
  EXPECT_TRUE(item.contains(fnd::Value("c36")));
  EXPECT_FALSE(item.contains(fnd::Value("c37")));
  EXPECT_EQ(IntAt(item, "_err"), 28);
  EXPECT_EQ(ZIVEventPublicParameterCountIgnoringAllowlistedParams(item, true), 27);
  ExpectLogged(log_, 0, 18016, "Item cannot contain custom parameters");

  settings_->itemParams = 0;
  result = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{{fnd::Value("items"), fnd::Value(fnd::Array{Item(1)})}}, "purchase", true,
      false);
  const fnd::Dictionary& bare = *(*At(*result, "items")->arrayValue())[0].dictionary();
  EXPECT_EQ(IntAt(bare, "_err"), 23);
  EXPECT_EQ(bare.size(), 3u);  // item_id, price, _err
}

TEST_F(EventUtilTest, ErrorValueIsCutOnceAndLeftAloneWhenCut) {
  // The internal value limit is the public one (500) here.
  const std::string cut = std::string(500, 'x') + "...";
  auto result = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{{fnd::Value("_ev"), Text(cut)}}, "_e", false, false);
  EXPECT_EQ(TextAt(*result, "_ev"), cut);
  EXPECT_FALSE(result->contains(fnd::Value("_el")));

  result = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{{fnd::Value("_ev"), Text(std::string(600, 'y'))}}, "_e", false, false);
  EXPECT_EQ(TextAt(*result, "_ev"), std::string(500, 'y') + "...");
  EXPECT_EQ(IntAt(*result, "_el"), 600);

  // A plain string (not yet a typed value) keeps its cut form too.
  result = ZIVNormalizedParametersForParametersAndEventName(
      fnd::Dictionary{{fnd::Value("_ev"), fnd::Value(std::string(600, 'z'))}}, "_e", false, false);
  EXPECT_EQ(TextAt(*result, "_ev"), std::string(500, 'z') + "...");
  EXPECT_EQ(IntAt(*result, "_el"), 600);
}

TEST_F(EventUtilTest, ErrorParametersKeepTheFirstError) {
  fnd::Dictionary parameters;
  ZIVAddErrorParameters(&parameters, 4,
                        fnd::Value("\xF0\x9D\x90\x80"
                                   "bcdef"),
                        3, fnd::Value(fnd::Array{fnd::Value(1), fnd::Value(2)}));
  EXPECT_EQ(IntAt(parameters, "_err"), 4);
  EXPECT_EQ(TextAt(parameters, "_ev"),
            "\xF0\x9D\x90\x80"
            "bc...");  // Code points, not units.
  EXPECT_EQ(IntAt(parameters, "_el"), 2);
  ZIVAddErrorParameters(&parameters, 9, fnd::Value("other"), 40, fnd::Value("other"));
  ZIVAddErrorParameter(&parameters, 9);
  EXPECT_EQ(IntAt(parameters, "_err"), 4);
  EXPECT_EQ(TextAt(parameters, "_ev"),
            "\xF0\x9D\x90\x80"
            "bc...");

  ZIVEvent::Parameters typed;
  ZIVAddErrorValueAndLengthParameters(&typed, fnd::Value(), 40, fnd::Value(5));
  EXPECT_EQ(typed.at("_ev")->stringValue(), "(nil)");
  EXPECT_EQ(typed.at("_el")->int64Value(), 0);
  EXPECT_EQ(typed.count("_err"), 0u);
}

TEST_F(EventUtilTest, ErrorEventsGoToTheInstalledLogger) {
  std::vector<std::pair<std::string, fnd::Dictionary>> logged;
  ZIVSetInternalEventLogger(
      [&](const std::string& origin, const std::string& name, const fnd::Dictionary& parameters) {
        logged.emplace_back(origin + "/" + name, parameters);
      });
  ZIVLogErrorEventWithCode(0);
  ZIVLogErrorEventWithParameters(0, fnd::Value("x"), 40, fnd::Value("x"));
  EXPECT_TRUE(logged.empty());

  ZIVLogErrorEventWithCode(13);
  ZIVLogErrorEventWithParameters(7, fnd::Value("value"), 40, fnd::Value("value"));
  ZIVLogErrorEventWithParameters(6, fnd::Value("short"), 40, fnd::Value("short"));
  ZIVLogErrorEventWithParameters(6, fnd::Value(std::string(41, 'n')), 40,
                                 fnd::Value(std::string(41, 'n')));
  ASSERT_EQ(logged.size(), 4u);
  EXPECT_EQ(logged[0].first, "auto/_err");
  EXPECT_EQ(logged[0].second.get(fnd::Value("_err")), fnd::Value::Int64(13));
  EXPECT_EQ(IntAt(logged[1].second, "_el"), 5);  // Code 7 always carries the length.
  EXPECT_FALSE(logged[2].second.contains(fnd::Value("_el")));
  EXPECT_EQ(IntAt(logged[3].second, "_el"), 41);
}

TEST_F(EventUtilTest, NameTests) {
  struct Case {
    fnd::Value name;
    bool isPublic;
    int64_t logCode;
  };
  for (const Case& c : std::vector<Case>{{fnd::Value("a_b"), true, 0},
                                         {fnd::Value("_a"), false, 0},
                                         {fnd::Value(""), false, 18003},
                                         {fnd::Value(5), false, 18002}}) {
    SCOPED_TRACE(c.name.description());
    log_.clear();
    EXPECT_EQ(ZIVEventUtilIsPublicName(c.name), c.isPublic);
    EXPECT_EQ(log_.withCode(c.logCode).size(), c.logCode ? 1u : 0u);
  }
  EXPECT_TRUE(ZIVEventUtilIsValidEcommerceEventName("view_search_results"));
  EXPECT_FALSE(ZIVEventUtilIsValidEcommerceEventName("_iap"));
  EXPECT_TRUE(ZIVEventUtilIsConversionEventName("_f"));
  EXPECT_FALSE(ZIVEventUtilIsConversionEventName("first_open"));
  EXPECT_TRUE(ZIVIsPurchaseEventName("ecommerce_purchase"));
  EXPECT_FALSE(ZIVIsPurchaseEventName("refund"));
  log_.clear();
  EXPECT_FALSE(ZIVIsPurchaseEventName(""));
  EXPECT_EQ(log_.withCode(18004).size(), 1u);
  EXPECT_TRUE(ZIVEventUtilIsPredefinedEcommerceItemsParam(fnd::Value("item_location_id")));
  EXPECT_FALSE(ZIVEventAllowsDefaultEventParameters("_err"));
  EXPECT_TRUE(ZIVEventAllowsDefaultEventParameters("_e"));

  auto iap = [](ZIVEvent::Parameters parameters) {
    return ZIVEvent::initWithOrigin("auto", false, "_iap", 1, 0, parameters);
  };
  EXPECT_TRUE(
      ZIVEventUtilIsSubscriptionEvent(*iap({{"subscription", ZIVValue::initWithInt64(1)}})));
  EXPECT_FALSE(
      ZIVEventUtilIsSubscriptionEvent(*iap({{"subscription", ZIVValue::initWithDouble(1)}})));
  EXPECT_TRUE(ZIVEventUtilIsSubscriptionEvent(
      *ZIVEvent::initWithOrigin("auto", false, "_assr", 1, 0, ZIVEvent::Parameters())));
  EXPECT_TRUE(ZIVEventUtilIsErrorEvent(
      *ZIVEvent::initWithOrigin("auto", false, "_err", 1, 0, ZIVEvent::Parameters())));
}

TEST_F(EventUtilTest, TrimmingKeepsThePublicKeysThatSortFirst) {
  ZIVEvent::Parameters parameters{{"b", ZIVValue::initWithInt64(1)},
                                  {"a", ZIVValue::initWithInt64(1)},
                                  {"price", ZIVValue::initWithInt64(1)},
                                  {"_x", ZIVValue::initWithInt64(1)},
                                  {"c", ZIVValue::initWithInt64(1)}};
  ZIVEvent::Parameters ignoring = parameters;
  ZIVEventTrimEventParameters(&parameters, 2);
  EXPECT_EQ(parameters.size(), 3u);
  EXPECT_TRUE(parameters.count("a") && parameters.count("b") && parameters.count("_x"));
  ZIVEventTrimEventParametersIgnoringAllowlistedParams(&ignoring, 1, true);
  EXPECT_EQ(ignoring.size(), 3u);
  EXPECT_TRUE(ignoring.count("a") && ignoring.count("price") && ignoring.count("_x"));
}

TEST_F(EventUtilTest, ConversionValueChecks) {
  struct Case {
    const char* name;
    fnd::Dictionary input;
    bool requireValue;
    bool valid;
    std::optional<int64_t> error;
    std::optional<std::string> errorValue;
  };
  const std::vector<Case> cases = {
      {"no value, not required", {}, false, true, {}, {}},
      {"no value, required", {}, true, false, 18, "value"},
      {"text value", {{fnd::Value("value"), Text("1")}}, false, false, 18, "value"},
      {"two-letter currency",
       {{fnd::Value("value"), Int(1)}, {fnd::Value("currency"), Text("US")}},
       false,
       false,
       19,
       "currency"},
      {"valid",
       {{fnd::Value("value"), Int(1)}, {fnd::Value("currency"), Text("usd")}},
       true,
       true,
       {},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    fnd::Dictionary parameters = c.input;
    EXPECT_EQ(ZIVValidateConversionEventParameters(&parameters, c.requireValue), c.valid);
    EXPECT_EQ(IntAt(parameters, "_err"), c.error);
    EXPECT_EQ(TextAt(parameters, "_ev"), c.errorValue);
    EXPECT_EQ(parameters.contains(fnd::Value("value")),
              c.valid && c.input.contains(fnd::Value("value")));
    EXPECT_EQ(log_.withCode(18014).size(), c.error == 19 ? 1u : 0u);
  }
}

TEST_F(EventUtilTest, ScreenAndAdvertisingParameters) {
  fnd::Dictionary parameters{{fnd::Value("_sn"), fnd::Value("home")},
                             {fnd::Value("x"), fnd::Value(1)},
                             {fnd::Value("gad_source"), fnd::Value("1")}};
  EXPECT_TRUE(ZIVHasScreenParameters(parameters));
  EXPECT_EQ(ZIVExtractScreenParameters(parameters),
            (fnd::Dictionary{{fnd::Value("_sn"), fnd::Value("home")}}));
  EXPECT_TRUE(ZIVExtractScreenParameters(fnd::Dictionary()).empty());
  fnd::Dictionary withoutGAD = ZIVParametersWithoutGADParams(parameters);
  EXPECT_EQ(withoutGAD.size(), 2u);
  EXPECT_FALSE(withoutGAD.contains(fnd::Value("gad_source")));
  EXPECT_FALSE(ZIVHasScreenParameters(ZIVEvent::Parameters{{"x", ZIVValue::initWithInt64(1)}}));
}

TEST_F(EventUtilTest, NestedParameterCount) {
  EXPECT_EQ(ZIVEventUtilNestedParamCount(nullptr), 0);
  auto event = ZIVEvent::initWithOrigin(
      "app", true, "purchase", 1, 0,
      fnd::Dictionary{{fnd::Value("items"), fnd::Value(fnd::Array{Item(0), Item(1)})}});
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(ZIVEventUtilNestedParamCount(event.get()), 2);
}

TEST(NameTablesTest, TablesAndTheirInverse) {
  EXPECT_EQ(ZIVInternalEventNames().size(), 32u);
  EXPECT_EQ(ZIVInternalParameterNames().size(), 55u);
  EXPECT_EQ(ZIVInternalUserPropertyNames().size(), 10u);
  EXPECT_EQ(ZIVErrorEventCodeNames().size(), 25u);
  EXPECT_EQ(ZIVExternalEventNames().get(fnd::Value("_vs")), fnd::Value("screen_view"));
  EXPECT_EQ(ZIVExternalEventNames().size(), 31u);  // "_cmp" has two public names.
  EXPECT_EQ(ZIVInternalEventNamesByPublicEventNames(),
            (fnd::Dictionary{{fnd::Value("ad_impression"), fnd::Value("_ai")},
                             {fnd::Value("in_app_purchase"), fnd::Value("_iap")}}));
  EXPECT_EQ(ZIVErrorEventCodeNames().get(fnd::Value::Int64(28)),
            fnd::Value("ItemScopedCustomParameterLimitReached"));
  EXPECT_FALSE(ZIVErrorEventCodeNames().contains(fnd::Value::Int64(26)));
}

}  // namespace

namespace {

TEST(EventSettingsTest, RulesReadTheServerSettings) {
  fnd::ScopedTestHome home;
  ZIVSetCurrentEventSettings(nullptr);
  auto defaults = ZIVCurrentEventSettings();
  EXPECT_EQ(defaults->maxPublicEventParams(), 100);
  EXPECT_EQ(defaults->maxItemScopedCustomParameters(), 27);
  EXPECT_EQ(defaults->maxPublicEventParameterValueLength(), 500);
  EXPECT_EQ(defaults->maxInternalEventParameterValueLength(), 500);

  auto config = ZIVRemoteConfig::initWithAppID(
      "1:app", nullptr,
      rc_test::Config("1:app", {{"measurement.upload.max_public_event_params", "30"},
                                {"measurement.upload.max_event_parameter_value_length", "120"}}),
      nullptr, nullptr);
  ASSERT_NE(config, nullptr);
  ZIVSetCurrentEventSettings(ZIVEventSettingsFromRemoteConfig(config));
  auto settings = ZIVCurrentEventSettings();
  EXPECT_EQ(settings->maxPublicEventParams(), 30);
  EXPECT_EQ(settings->maxPublicEventParameterValueLength(), 120);
  EXPECT_EQ(settings->maxInternalEventParameterValueLength(), 256);
  EXPECT_TRUE(
      ZIVDataTypeValidator::isValidInternalEventParameterValue(Text(std::string(256, 'v'))));
  EXPECT_FALSE(ZIVDataTypeValidator::isValidPublicEventParameterValue(Text(std::string(121, 'v'))));
  ZIVSetCurrentEventSettings(nullptr);
}

}  // namespace
