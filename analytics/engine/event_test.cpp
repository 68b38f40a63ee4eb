#include "analytics/engine/event.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "analytics/engine/event_settings.h"
#include "analytics/foundation/test_support.h"
#include "analytics/proto/messages.h"
#include "analytics/script/event.h"

namespace {

fnd::Value Typed(ZIVValuePtr value) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(value));
}

std::optional<int64_t> IntParam(const ZIVEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  if (it == event.parameters().end() || !it->second->isInt64()) return std::nullopt;
  return it->second->int64Value();
}

class EventTest : public ::testing::Test {
 protected:
  EventTest() : log_(ZIVMeasurement::monitor()) {}
  ZIVLogCapture log_;
};

TEST_F(EventTest, ConstructionChecksOriginAndName) {
  struct Case {
    const char* origin;
    bool isPublic;
    std::string name;
    bool made;
  };
  const std::vector<Case> cases = {
      {"app", true, "level_up", true},
      {"app+gtm", true, "level_up", true},
      {"", false, "e", false},
      {"a-b", false, "e", false},
      {"app", true, "session_start", false},  // Reserved public name.
      {"app", false, "session_start", true},  // The internal rule alone.
      {"app", true, "ad_impression", true},   // Publicly loggable reserved name.
      {"app", true, "_s", false},             // Public names start with a letter.
      {"auto", false, "_s", true},
      {"app", false, std::string(41, 'e'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto event = ZIVEvent::initWithOrigin(c.origin, c.isPublic, c.name, 10, 0, fnd::Dictionary());
    EXPECT_EQ(event != nullptr, c.made);
    if (event) {
      EXPECT_EQ(event->parameters().at("_o")->stringValue(), c.origin);
    }
  }
}

TEST_F(EventTest, PreviousTimestampAfterTimestampIsLoggedOnly) {
  auto event = ZIVEvent::initWithOrigin("app", false, "e", 10, 11, fnd::Dictionary());
  ASSERT_NE(event, nullptr);
  ExpectLogged(log_, 5, 16002, "Event created with previous timestamp after current timestamp");
}

TEST_F(EventTest, CopiesAreNormalisedAsNotPublic) {
  auto event = ZIVEvent::initWithOrigin(
      "app", true, "level_up", 10, 0,
      fnd::Dictionary{{fnd::Value("_o"), fnd::Value("x")}, {fnd::Value("a"), fnd::Value(1)}});
  ASSERT_NE(event, nullptr);
  // "_o" is refused as a public parameter name, and then written from the origin.
  EXPECT_EQ(event->parameters().at("_o")->stringValue(), "app");
  EXPECT_EQ(IntParam(*event, "_err"), 3);

  auto copy = event->copyWithParameters(fnd::Dictionary{{fnd::Value("_internal"), fnd::Value(2)},
                                                        {fnd::Value("_o"), fnd::Value("y")}});
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(IntParam(*copy, "_internal"), 2);  // Kept: the copy is not public.
  EXPECT_EQ(copy->parameters().at("_o")->stringValue(), "app");
  EXPECT_EQ(IntParam(*copy, "_err"), std::nullopt);

  auto later = event->copyWithPreviousTimestamp(5);
  EXPECT_EQ(later->previousTimestamp(), 5);
  EXPECT_EQ(later->parameters().size(), event->parameters().size());
  EXPECT_EQ(event->copy()->timestamp(), 10);
}

// Settings a test chooses, installed while the guard lives.
class ScopedValueLimit : public ZIVEventSettings {
 public:
  ScopedValueLimit() {
    ZIVSetCurrentEventSettings(
        std::shared_ptr<const ZIVEventSettings>(std::shared_ptr<const ZIVEventSettings>(), this));
  }
  ~ScopedValueLimit() override { ZIVSetCurrentEventSettings(nullptr); }
  int32_t maxPublicEventParams() const override { return 100; }
  int32_t maxItemScopedCustomParameters() const override { return 27; }
  int32_t maxPublicEventParameterValueLength() const override { return publicValue; }
  int32_t maxInternalEventParameterValueLength() const override {
    return std::max<int32_t>(publicValue, 256);
  }
  int32_t publicValue = 500;
};

// A copy skips the normalisation check only for parameters that passed it under the limits of
// now and have not changed since: otherwise it comes out as a fresh construction would.
TEST_F(EventTest, CopiesAreNormalisedAgainWhenLimitsOrParametersChange) {
  ScopedValueLimit limits;
  // Typed parameters that pass the check, as stored events and copies hold them.
  const ZIVEvent::Parameters parameters{{"text", ZIVValue::initWithString(std::string(400, 'x'))}};
  auto event = ZIVEvent::initWithOrigin("auto", false, "_e", 10, 0, parameters);
  ASSERT_NE(event, nullptr);
  auto sameParameters = [](const ZIVEvent& a, const ZIVEvent& b) {
    return ZIVParametersAsDictionary(a.parameters()) == ZIVParametersAsDictionary(b.parameters());
  };
  auto fresh = [&](const ZIVEvent& source) {
    return ZIVEvent::initWithOrigin(source.origin(), false, source.name(), source.timestamp(), 5,
                                    ZIVParametersAsDictionary(source.parameters()));
  };
  EXPECT_TRUE(sameParameters(*event->copyWithPreviousTimestamp(5), *event));
  limits.publicValue = 100;  // The internal value limit drops to 256: the text no longer fits.
  auto copy = event->copyWithPreviousTimestamp(5);
  EXPECT_FALSE(sameParameters(*copy, *event));
  EXPECT_TRUE(sameParameters(*copy, *fresh(*event)));
  EXPECT_EQ(copy->previousTimestamp(), 5);
  EXPECT_TRUE(sameParameters(*copy->copy(), *copy));
  // Parameters changed by a flag are checked again too.
  limits.publicValue = 500;
  auto flagged = ZIVEvent::initWithOrigin("auto", false, "_e", 10, 0, parameters);
  flagged->setRealtime(true);
  limits.publicValue = 100;
  auto flaggedCopy = flagged->copyWithPreviousTimestamp(5);
  EXPECT_TRUE(sameParameters(*flaggedCopy, *fresh(*flagged)));
  EXPECT_FALSE(sameParameters(*flaggedCopy, *flagged));
  EXPECT_EQ(IntParam(*flaggedCopy, "_r"), 1);
}

// A copy holds the parameters of its original until either changes them: a change on one side
// is never seen on the other, whichever side changes first.
TEST_F(EventTest, ChangesToACopyAndItsOriginalStayApart) {
  const fnd::Dictionary screen{{fnd::Value("_si"), fnd::Value(int64_t{7})},
                               {fnd::Value("_sn"), fnd::Value("home")}};
  const std::vector<std::pair<const char*, std::function<void(ZIVEvent&)>>> changes = {
      {"_r", [](ZIVEvent& e) { e.setRealtime(true); }},
      {"_dbg", [](ZIVEvent& e) { e.setDebug(true); }},
      {"_c", [](ZIVEvent& e) { e.setConversion(true); }},
      {"_si", [&](ZIVEvent& e) { EXPECT_TRUE(e.addScreenParameters(screen)); }},
      {"extra",
       [](ZIVEvent& e) {
         e.applyParameters({{fnd::Value("extra"), fnd::Value(1)}}, false);
       }},
  };
  for (const auto& [parameter, change] : changes) {
    SCOPED_TRACE(parameter);
    auto original =
        ZIVEvent::initWithOrigin("app", false, "e", 10, 0, {{fnd::Value("p"), fnd::Value(1)}});
    ASSERT_NE(original, nullptr);
    auto copy = original->copyWithPreviousTimestamp(5);
    change(*copy);
    EXPECT_TRUE(copy->parameters().contains(parameter));
    EXPECT_FALSE(original->parameters().contains(parameter));
    auto second = original->copy();
    change(*original);
    EXPECT_TRUE(original->parameters().contains(parameter));
    EXPECT_FALSE(second->parameters().contains(parameter));
    EXPECT_EQ(IntParam(*second, "p"), 1);
  }
  // Removing a flag from a copy leaves the original's.
  auto flagged = ZIVEvent::initWithOrigin("app", false, "e", 10, 0, fnd::Dictionary());
  flagged->setRealtime(true);
  auto unflagged = flagged->copy();
  unflagged->setRealtime(false);
  EXPECT_TRUE(flagged->isRealtime());
  EXPECT_FALSE(unflagged->isRealtime());
}

TEST_F(EventTest, Flags) {
  auto event = ZIVEvent::initWithOrigin("app", false, "e", 10, 0, fnd::Dictionary());
  event->setRealtime(true);
  event->setDebug(true);
  EXPECT_TRUE(event->isRealtime());
  EXPECT_TRUE(event->isDebug());
  event->setRealtime(false);
  EXPECT_FALSE(event->isRealtime());
  EXPECT_EQ(event->parameters().count("_r"), 0u);

  log_.clear();
  auto text = ZIVEvent::initWithOrigin("app", false, "e", 10, 0,
                                       fnd::Dictionary{{fnd::Value("_r"), fnd::Value("1")}});
  EXPECT_FALSE(text->isRealtime());
  EXPECT_EQ(log_.withCode(16006).size(), 1u);
  log_.clear();
  auto two = ZIVEvent::initWithOrigin("app", false, "e", 10, 0,
                                      fnd::Dictionary{{fnd::Value("_r"), fnd::Value(2)}});
  EXPECT_FALSE(two->isRealtime());
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(EventTest, ConversionFlagRecordsItsRemoval) {
  auto event = ZIVEvent::initWithOrigin("app", false, "e", 10, 0, fnd::Dictionary());
  event->setConversion(false);  // No "_c": nothing changes.
  EXPECT_EQ(event->parameters().size(), 1u);
  event->setConversion(true);
  EXPECT_TRUE(event->isConversion());
  event->setConversion(false);
  EXPECT_FALSE(event->isConversion());
  EXPECT_EQ(IntParam(*event, "_err"), 10);
  event->setConversion(true);
  EXPECT_EQ(IntParam(*event, "_err"), std::nullopt);

  auto failed = ZIVEvent::initWithOrigin(
      "app", false, "e", 10, 0,
      fnd::Dictionary{{fnd::Value("_err"), fnd::Value(4)}, {fnd::Value("_c"), fnd::Value(1)}});
  failed->setConversion(false);
  failed->setConversion(true);
  EXPECT_EQ(IntParam(*failed, "_err"), 4);  // Another error stays.

  // A conversion whose value has no currency loses the value and the flag when made.
  auto bad = ZIVEvent::initWithOrigin(
      "app", false, "purchase", 10, 0,
      fnd::Dictionary{{fnd::Value("value"), fnd::Value(3.5)}, {fnd::Value("_c"), fnd::Value(1)}});
  ASSERT_NE(bad, nullptr);
  EXPECT_FALSE(bad->isConversion());
  EXPECT_EQ(bad->parameters().count("value"), 0u);
  EXPECT_EQ(IntParam(*bad, "_err"), 19);
  // The app's own in-app purchase needs a value.
  auto iap = ZIVEvent::initWithOrigin("app", true, "in_app_purchase", 10, 0, fnd::Dictionary());
  EXPECT_TRUE(iap->shouldRequireValueParam());
  iap->setConversion(true);
  EXPECT_FALSE(iap->isConversion());
  EXPECT_EQ(IntParam(*iap, "_err"), 18);
}

TEST_F(EventTest, ApplyParametersKeepsTheEventsOwnValues) {
  auto event = ZIVEvent::initWithOrigin("app", false, "e", 10, 0,
                                        fnd::Dictionary{{fnd::Value("a"), fnd::Value(1)}});
  event->applyParameters(
      fnd::Dictionary{{fnd::Value("a"), fnd::Value(2)}, {fnd::Value("b"), fnd::Value("x")}}, true);
  EXPECT_EQ(IntParam(*event, "a"), 1);
  EXPECT_EQ(event->parameters().at("b")->stringValue(), "x");
}

TEST_F(EventTest, ScreenParameters) {
  const fnd::Dictionary screen{
      {fnd::Value("_sn"), fnd::Value("Home")},
      {fnd::Value("_sc"), Typed(ZIVValue::initWithString(std::string("HomeView")))},
      {fnd::Value("_si"), fnd::Value::Int64(42)}};
  struct Case {
    const char* name;
    fnd::Dictionary eventParameters;
    fnd::Dictionary screen;
    bool added;
    int64_t logCode;
  };
  const std::vector<Case> cases = {
      {"added", {}, screen, true, 0},
      {"event has a screen class", {{fnd::Value("_sc"), fnd::Value("C")}}, screen, false, 0},
      {"no id", {}, {{fnd::Value("_sn"), fnd::Value("Home")}}, false, 0},
      {"empty class",
       {},
       {{fnd::Value("_sc"), fnd::Value("")}, {fnd::Value("_si"), fnd::Value(1)}},
       false,
       16003},
      {"long name",
       {},
       {{fnd::Value("_sn"), fnd::Value(std::string(501, 'n'))}, {fnd::Value("_si"), fnd::Value(1)}},
       false,
       16004},
      {"text id", {}, {{fnd::Value("_si"), fnd::Value("1")}}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto event = ZIVEvent::initWithOrigin("app", false, "e", 10, 0, c.eventParameters);
    log_.clear();
    EXPECT_EQ(event->addScreenParameters(c.screen), c.added);
    EXPECT_EQ(log_.withCode(c.logCode).size(), c.logCode ? 1u : 0u);
    if (c.added) {
      EXPECT_EQ(IntParam(*event, "_si"), 42);
      EXPECT_EQ(event->parameters().at("_sc")->stringValue(), "HomeView");
      EXPECT_EQ(event->parameters().at("_sn")->stringValue(), "Home");
    }
  }
}

fnd::Dictionary Items() {
  fnd::Dictionary item{{fnd::Value("item_id"), fnd::Value("sku")},
                       {fnd::Value("quantity"), fnd::Value(2)}};
  return fnd::Dictionary{{fnd::Value("items"), fnd::Value(fnd::Array{fnd::Value(item)})},
                         {fnd::Value("value"), fnd::Value(1.25)},
                         {fnd::Value("currency"), fnd::Value("EUR")}};
}

TEST_F(EventTest, ProtoRoundTripKeepsItems) {
  auto event = ZIVEvent::initWithOrigin("app", true, "purchase", 1.2345, 0, Items());
  ASSERT_NE(event, nullptr);
  auto proto = event->protoEvent();
  EXPECT_EQ(NANOGetInt64(proto.get(), APMPBEvent::kTimestampMillis), 1234);
  EXPECT_FALSE(NANOHasField(proto.get(), APMPBEvent::kPreviousTimestampMillis));
  auto back = ZIVEvent::initWithEventProto(*APMPBEvent::initWithBuffer(*proto->protoBuffer()));
  ASSERT_NE(back, nullptr);
  auto items = back->parameters().at("items");
  ASSERT_TRUE(items->isArray());
  ASSERT_EQ(items->arrayValue()->size(), 1u);
  const fnd::Dictionary& item = *(*items->arrayValue())[0].dictionary();
  EXPECT_EQ(item.get(fnd::Value("item_id")).recordAs<ZIVValue>()->stringValue(), "sku");
  EXPECT_EQ(back->parameters().at("currency")->stringValue(), "EUR");
  EXPECT_EQ(back->parameters().size(), event->parameters().size());
}

// The short roads (direct bytes, and the message decoded from them) against the message set field
// by field.
TEST_F(EventTest, DirectEncodingIsTheMessagesEncoding) {
  struct Case {
    const char* what;
    std::shared_ptr<ZIVEvent> event;
  };
  const std::string longText(300, 'x');
  const std::vector<Case> cases = {
      {"origin only",
       ZIVEvent::initWithOrigin("app", false, "level_up", 1700000000.5, 0, fnd::Dictionary{})},
      {"every plain kind, a previous time",
       ZIVEvent::initWithOrigin(
           "app", false, "level_up", 1700000000.123, 1690000000.25,
           ZIVEvent::Parameters{{"level", ZIVValue::initWithInt64(-7)},
                                {"big", ZIVValue::initWithInt64(INT64_MAX)},
                                {"character", ZIVValue::initWithString(std::string("h\xC3\xA9ro"))},
                                {"empty", ZIVValue::initWithString(std::string())},
                                {"long", ZIVValue::initWithString(longText)},
                                {"score", ZIVValue::initWithDouble(-0.0)},
                                {"ratio", ZIVValue::initWithDouble(12.5)}})},
      {"before 1970", ZIVEvent::initWithOrigin("auto", false, "_e", -12.5, 0, fnd::Dictionary{})},
      {"item lists take the message's road",
       ZIVEvent::initWithOrigin("app", true, "purchase", 1.2345, 0, Items())},
  };
  for (const Case& c : cases) {
    ASSERT_NE(c.event, nullptr) << c.what;
    auto proto = c.event->builtProtoEvent();
    EXPECT_EQ(c.event->encodedProtoEvent(true), proto->protoBuffer()) << c.what;
    // The counted size is the written one, with the name and without.
    EXPECT_EQ(c.event->encodedProtoEventSize(true), proto->protoBuffer()->size()) << c.what;
    EXPECT_EQ(c.event->encodedProtoEventSize(false), c.event->encodedProtoEvent(false)->size())
        << c.what;
    auto shortRoad = c.event->protoEvent();
    ASSERT_NE(shortRoad, nullptr) << c.what;
    EXPECT_EQ(shortRoad->protoBuffer(), proto->protoBuffer()) << c.what;
    EXPECT_EQ(
        NANOGetArray(shortRoad.get(), APMPBEvent::kParams, &APMPBEventParam::messageClass())
            ->size(),
        NANOGetArray(proto.get(), APMPBEvent::kParams, &APMPBEventParam::messageClass())->size())
        << c.what;
    NANOClearField(proto.get(), APMPBEvent::kName);
    EXPECT_EQ(c.event->encodedProtoEvent(false), proto->protoBuffer()) << c.what;
  }
}

TEST_F(EventTest, NestedArraysAreDroppedOnConversion) {
  fnd::Dictionary inner{
      {fnd::Value("deep"), Typed(ZIVValue::initWithArray(fnd::Value(fnd::Array{})))},
      {fnd::Value("id"), Typed(ZIVValue::initWithString(std::string("a")))}};
  ZIVEvent::Parameters parameters{
      {"items", ZIVValue::initWithArray(fnd::Value(fnd::Array{fnd::Value(inner)}))}};
  auto event = ZIVEvent::initWithOrigin("app", false, "purchase", 1, 0, parameters);
  ASSERT_NE(event, nullptr);
  auto proto = event->protoEvent();
  EXPECT_EQ(log_.withCode(16007).size(), 1u);

  APMPEvent edit = event->editEvent();
  const fnd::Value* items = edit.parameterForName("items");
  ASSERT_TRUE(items && items->isArray());
  const fnd::Dictionary& item = *(*items->array())[0].dictionary();
  EXPECT_FALSE(item.contains(fnd::Value("deep")));
  EXPECT_EQ(item.get(fnd::Value("id")), fnd::Value("a"));
}

TEST_F(EventTest, EventEditingConversionMapsNames) {
  auto event = ZIVEvent::initWithOrigin(
      "auto", false, "_vs", 7.5, 0,
      fnd::Dictionary{{fnd::Value("n"), fnd::Value(2)}, {fnd::Value("d"), fnd::Value(0.5)}});
  APMPEvent edit = event->editEvent();
  EXPECT_EQ(edit.name(), "screen_view");
  EXPECT_EQ(edit.timestamp(), 7.5);
  EXPECT_EQ(*edit.parameterForName("n"), fnd::Value::Int64(2));
  EXPECT_EQ(*edit.parameterForName("d"), fnd::Value(0.5));
  EXPECT_EQ(*edit.parameterForName("_o"), fnd::Value("auto"));

  auto back = ZIVEvent::eventFromEditEvent(edit);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->name(), "_vs");
  EXPECT_EQ(back->origin(), "auto");
  EXPECT_EQ(back->previousTimestamp(), 0);
  EXPECT_EQ(IntParam(*back, "n"), 2);

  auto app = ZIVEvent::eventFromEditEvent(
      APMPEvent("level_up", 3, fnd::Dictionary{{fnd::Value("_o"), fnd::Value(1)}}));
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->origin(), "app");
  EXPECT_EQ(app->parameters().at("_o")->stringValue(), "app");
  EXPECT_EQ(ZIVEvent::eventFromEditEvent(APMPEvent("bad name", 3, {})), nullptr);
}

TEST_F(EventTest, ProtoParametersThatCannotBeRead) {
  auto proto = APMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(proto.get(), APMPBEvent::kName, fnd::Value("e"));
  auto origin = APMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(origin.get(), APMPBEventParam::kName, fnd::Value("_o"));
  NANOSetString(origin.get(), APMPBEventParam::kStringValue, fnd::Value("app"));
  auto unnamed = APMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetInt64(unnamed.get(), APMPBEventParam::kIntValue, 1);
  fnd::Array params{fnd::Value(std::static_pointer_cast<fnd::Record>(origin)),
                    fnd::Value(std::static_pointer_cast<fnd::Record>(unnamed))};
  NANOSetArray(proto.get(), APMPBEvent::kParams, &params);
  auto event = ZIVEvent::initWithEventProto(*proto);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->parameters().size(), 1u);
  EXPECT_EQ(log_.withCode(15000).size(), 1u);

  EXPECT_TRUE(ZIVHasProtoParameter(params, "_o"));
  EXPECT_EQ(log_.withCode(23156).size(), 1u);
  EXPECT_FALSE(ZIVHasProtoParameter(params, "x"));
}

TEST_F(EventTest, ParamValuesThatAreNotTypedAreSkipped) {
  fnd::Array params = ZIVEventParamProtoFromDictionary(
      fnd::Dictionary{{fnd::Value("raw"), fnd::Value(1)},
                      {fnd::Value("ok"), Typed(ZIVValue::initWithInt64(1))}},
      "e", false);
  EXPECT_EQ(params.size(), 1u);
  EXPECT_EQ(log_.withCode(16005).size(), 1u);
}

TEST(ZIVEventTest, ProtoRoundTripKeepsNameTimesOriginAndParameters) {
  auto event = ZIVEvent::initWithOrigin("app", false, "level_up", 1.2345, 0,
                                        {{"level", ZIVValue::initWithInt64(3)},
                                         {"score", ZIVValue::initWithDouble(0.5)},
                                         {"who", ZIVValue::initWithString(std::string("me"))},
                                         {"_o", ZIVValue::initWithString(std::string("ignored"))}});
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->parameters().at("_o")->stringValue(), "app");
  auto proto = event->protoEvent();
  EXPECT_EQ(NANOGetInt64(proto.get(), APMPBEvent::kTimestampMillis), 1234);
  EXPECT_FALSE(NANOHasField(proto.get(), APMPBEvent::kPreviousTimestampMillis));
  auto bytes = proto->protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  auto back = ZIVEvent::initWithEventProto(*APMPBEvent::initWithBuffer(*bytes));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->name(), "level_up");
  EXPECT_DOUBLE_EQ(back->timestamp(), 1.234);
  ASSERT_EQ(back->parameters().size(), 4u);
  EXPECT_TRUE(back->parameters().at("level")->isEqual(*ZIVValue::initWithInt64(3)));
  EXPECT_TRUE(back->parameters().at("score")->isEqual(*ZIVValue::initWithDouble(0.5)));
}

TEST(ZIVEventTest, EventProtoWithoutAStringOriginIsRefused) {
  auto proto = APMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(proto.get(), APMPBEvent::kName, fnd::Value("e"));
  auto origin = APMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(origin.get(), APMPBEventParam::kName, fnd::Value("_o"));
  NANOSetInt64(origin.get(), APMPBEventParam::kIntValue, 1);
  auto floatOnly = APMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(floatOnly.get(), APMPBEventParam::kName, fnd::Value("f"));
  fnd::Array params{fnd::Value(std::static_pointer_cast<fnd::Record>(floatOnly)),
                    fnd::Value(std::static_pointer_cast<fnd::Record>(origin))};
  NANOSetArray(proto.get(), APMPBEvent::kParams, &params);
  ZIVLogCapture logs(ZIVMeasurement::monitor());
  EXPECT_EQ(ZIVEvent::initWithEventProto(*proto), nullptr);
  EXPECT_EQ(logs.withCode(15001).size(), 1u);
  EXPECT_EQ(logs.withCode(15002).size(), 1u);  // The parameter without a value is skipped.

  auto empty = APMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(empty.get(), APMPBEvent::kName, fnd::Value("e"));
  EXPECT_EQ(ZIVEvent::initWithEventProto(*empty), nullptr);  // No origin at all.
}

// Everything an event answers: origin, name, both times and the parameters with their types.
std::string Describe(const std::shared_ptr<ZIVEvent>& event) {
  if (!event) return "(null)";
  std::string text = event->origin() + "|" + event->name() + "|" +
                     std::to_string(event->timestamp()) + "|" +
                     std::to_string(event->previousTimestamp()) + "|";
  for (const auto& [name, value] : event->parameters()) {
    text += name + "=" + (value ? value->description() : "(null)") + ":" +
            (value ? std::to_string(value->valueType()) : "-") + ";";
  }
  return text;
}

TEST(ZIVEventTest, TypedParametersAreNormalisedExactlyAsTheDictionaryRoad) {
  // Copies and stored events skip normalising when it would change nothing: every case must make
  // the same event with the same log lines as the dictionary road, which always normalises.
  auto big = [](size_t count) {
    ZIVEvent::Parameters parameters;
    for (size_t i = 0; i < count; ++i) {
      parameters["p" + std::to_string(i)] = ZIVValue::initWithInt64(static_cast<int64_t>(i));
    }
    return parameters;
  };
  struct Case {
    const char* label;
    std::string name;
    ZIVEvent::Parameters parameters;
  };
  const std::string longText(600, 'x');
  const std::vector<Case> cases = {
      {"plain",
       "level_up",
       {{"a", ZIVValue::initWithInt64(-5)},
        {"b", ZIVValue::initWithString(std::string("text"))},
        {"c", ZIVValue::initWithDouble(0.25)}}},
      {"none", "level_up", {}},
      {"invalid key", "level_up", {{"bad key", ZIVValue::initWithInt64(1)}}},
      {"long key", "level_up", {{std::string(41, 'k'), ZIVValue::initWithInt64(1)}}},
      {"null value", "level_up", {{"a", nullptr}}},
      {"long error value", "level_up", {{"_ev", ZIVValue::initWithString(longText)}}},
      {"cut error value",
       "level_up",
       {{"_ev", ZIVValue::initWithString(std::string(500, 'x') + "...")}}},
      {"long value, internal event", "_e", {{"v", ZIVValue::initWithString(longText)}}},
      {"long value, other event", "level_up", {{"v", ZIVValue::initWithString(longText)}}},
      {"at the parameter limit", "level_up", big(100)},
      {"over the parameter limit", "level_up", big(101)},
      {"conversion without currency",
       "purchase",
       {{"_c", ZIVValue::initWithInt64(1)}, {"value", ZIVValue::initWithDouble(3)}}},
      {"origin given", "level_up", {{"_o", ZIVValue::initWithString(std::string("other"))}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ZIVLogCapture logs(ZIVMeasurement::monitor());
    auto typed = ZIVEvent::initWithOrigin("app", false, c.name, 20, 10, c.parameters);
    const std::vector<int64_t> typedCodes = logs.codes();
    logs.clear();
    auto dictionary = ZIVEvent::initWithOrigin("app", false, c.name, 20, 10,
                                               ZIVParametersAsDictionary(c.parameters));
    EXPECT_EQ(Describe(typed), Describe(dictionary));
    EXPECT_EQ(typedCodes, logs.codes());
    ASSERT_NE(typed, nullptr);
    // A copy goes through the same road.
    EXPECT_EQ(Describe(typed->copyWithPreviousTimestamp(15)),
              Describe(ZIVEvent::initWithOrigin("app", false, c.name, 20, 15,
                                                ZIVParametersAsDictionary(typed->parameters()))));
  }
}

// The event that the message road makes of stored bytes: decode, set the name, rebuild.
std::shared_ptr<ZIVEvent> ThroughTheMessage(const fnd::Data& bytes, const std::string& name,
                                            std::optional<double> timestamp) {
  auto proto = APMPBEvent::initWithBuffer(bytes);
  if (!proto) return nullptr;
  NANOSetString(proto.get(), APMPBEvent::kName, fnd::Value(name));
  return timestamp ? ZIVEvent::initWithEventProto(*proto, *timestamp)
                   : ZIVEvent::initWithEventProto(*proto);
}

TEST(ZIVEventTest, StoredBytesReadDirectlyMakeTheMessageRoadsEvent) {
  struct Case {
    const char* label;
    const char* origin;
    std::string name;
    double timestamp;
    double previous;
    fnd::Dictionary parameters;
  };
  const std::vector<Case> cases = {
      {"plain", "app", "level_up", 1700000000.123, 0,
       fnd::Dictionary{{fnd::Value("s"), fnd::Value("text")},
                       {fnd::Value("i"), fnd::Value::Int64(7)},
                       {fnd::Value("d"), fnd::Value(0.5)}}},
      {"negative and huge numbers", "auto", "_e", 1700000000, 1699999999.5,
       fnd::Dictionary{{fnd::Value("_et"), fnd::Value::Int64(-1)},
                       {fnd::Value("max"), fnd::Value::Int64(INT64_MAX)},
                       {fnd::Value("min"), fnd::Value::Int64(INT64_MIN)},
                       {fnd::Value("big"), fnd::Value(-1.5e300)}}},
      {"no parameters", "app+gtm", "e", 12.5, 0, fnd::Dictionary()},
      {"unicode", "app", "level_up", 1, 0,
       fnd::Dictionary{{fnd::Value("u"), fnd::Value("caf\xc3\xa9 \xf0\x9f\x98\x80")},
                       {fnd::Value("empty"), fnd::Value("")}}},
      {"conversion", "app", "purchase", 100, 50,
       fnd::Dictionary{{fnd::Value("_c"), fnd::Value::Int64(1)},
                       {fnd::Value("value"), fnd::Value(2.5)},
                       {fnd::Value("currency"), fnd::Value("EUR")}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto event =
        ZIVEvent::initWithOrigin(c.origin, false, c.name, c.timestamp, c.previous, c.parameters);
    ASSERT_NE(event, nullptr);
    auto bytes = event->encodedProtoEvent(false);
    ASSERT_TRUE(bytes.has_value());
    for (std::optional<double> timestamp :
         {std::optional<double>(c.timestamp + 0.0004), std::optional<double>()}) {
      auto direct = ZIVEvent::initWithEncodedEvent(*bytes, c.name, timestamp);
      ASSERT_TRUE(direct.has_value());
      EXPECT_EQ(Describe(*direct), Describe(ThroughTheMessage(*bytes, c.name, timestamp)));
    }
    // A name the constructor refuses: both roads answer no event.
    auto refused = ZIVEvent::initWithEncodedEvent(*bytes, "bad name", c.timestamp);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(*refused, nullptr);
  }
}

TEST(ZIVEventTest, StoredBytesOutsideThePlainFormTakeTheMessageRoad) {
  const fnd::Data origin = {0x0a, 0x09, 0x0a, 0x02, '_', 'o', 0x12, 0x03, 'a', 'p', 'p'};
  auto with = [&](std::initializer_list<uint8_t> more) {
    fnd::Data bytes = origin;
    bytes.insert(bytes.end(), more);
    return bytes;
  };
  struct Case {
    const char* label;
    fnd::Data bytes;
    std::string name;
  };
  const std::vector<Case> cases = {
      {"no origin", {0x18, 0x01}, "e"},
      {"integer origin", {0x0a, 0x06, 0x0a, 0x02, '_', 'o', 0x18, 0x01}, "e"},
      {"float value", with({0x0a, 0x08, 0x0a, 0x01, 'f', 0x25, 0, 0, 0x80, 0x3f}), "e"},
      {"nested items", with({0x0a, 0x07, 0x0a, 0x01, 'i', 0x32, 0x02, 0x0a, 0x00}), "e"},
      {"two values", with({0x0a, 0x07, 0x0a, 0x01, 'v', 0x18, 0x01, 0x18, 0x02}), "e"},
      {"no value", with({0x0a, 0x03, 0x0a, 0x01, 'v'}), "e"},
      {"no parameter name", with({0x0a, 0x02, 0x18, 0x01}), "e"},
      {"invalid UTF-8 value", with({0x0a, 0x06, 0x0a, 0x01, 's', 0x12, 0x01, 0xff}), "e"},
      {"name in the bytes", with({0x12, 0x01, 'e'}), "e"},
      {"timestamp twice", with({0x18, 0x01, 0x18, 0x02}), "e"},
      {"unknown field", with({0x28, 0x01}), "e"},
      {"truncated varint", with({0x18, 0x80}), "e"},
      {"varint overflow", with({0x18, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02}),
       "e"},
      {"length past the end", with({0x0a, 0x7f}), "e"},
      {"invalid UTF-8 name", origin, "\xff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(ZIVEvent::initWithEncodedEvent(c.bytes, c.name, 1).has_value());
  }
  // The same bytes with the plain form read directly.
  auto plain = ZIVEvent::initWithEncodedEvent(with({0x18, 0xe8, 0x07}), "e", std::nullopt);
  ASSERT_TRUE(plain.has_value());
  ASSERT_NE(*plain, nullptr);
  EXPECT_EQ((*plain)->timestamp(), 1.0);
  EXPECT_EQ((*plain)->origin(), "app");
}

TEST(ZIVEventTest, AggregatesWrapAtTheTopAndRefuseNegativeCounts) {
  EXPECT_EQ(ZIVEventAggregates::initWithName("e", -1, 0, 0, 0), nullptr);
  EXPECT_EQ(ZIVEventAggregates::initWithName("bad name", 0, 0, 0, 0), nullptr);
  auto aggregates = ZIVEventAggregates::initWithName("e", 2147483647, 0, 0, 0);
  ASSERT_NE(aggregates, nullptr);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  ZIVLogCapture logs(ZIVMeasurement::monitor());
  aggregates->incrementLifetimeCount();
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
  EXPECT_EQ(logs.withCode(17001).size(), 1u);
}

}  // namespace
