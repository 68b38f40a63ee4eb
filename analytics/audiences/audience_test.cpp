#include "analytics/audiences/audience.h"

#include <gtest/gtest.h>

#include "analytics/audiences/audiences_test_support.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace audience_test;

ZIVValuePtr Str(const char* text) { return ZIVValue::initWithString(std::string(text)); }

std::shared_ptr<APMPBFilter> Param(const std::string& name, Number number) {
  return ValueFilter(NumberFilter(number), nullptr, name);
}
std::shared_ptr<APMPBFilter> Has(Text text) { return ValueFilter(nullptr, StringFilter(text)); }

class AudienceTest : public AudienceTestBase {
 protected:
  void Update(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
    ASSERT_TRUE(audience_->updateAudiences(audiences));
  }
  std::vector<ZIVEventFilter> EventFilters(const std::string& name) {
    return database_->eventFiltersForEventName(name).value_or(std::vector<ZIVEventFilter>());
  }
  bool Log(const std::string& name, double timestamp, ZIVEvent::Parameters parameters = {},
           int32_t lifetime = 1, int32_t session = 1, ZIVAudienceTimestampsCache* cache = nullptr) {
    auto aggregates = Aggregates(name, lifetime, session);
    return audience_->evaluateFiltersForEventName(name, parameters, aggregates.get(), timestamp,
                                                  cache);
  }
  bool SetProperty(const std::string& name, ZIVValuePtr value, double time) {
    auto attribute = ZIVUserAttribute::initWithOrigin("app", name, std::move(value), time);
    return audience_->evaluateFiltersForUserProperty(*attribute, nullptr, time);
  }
  ZIVAudience::LeafResults Bundle() {
    ZIVAudience::LeafResults leaves;
    EXPECT_TRUE(audience_->resultsForBundling(&leaves));
    return leaves;
  }
};

// ---- Definitions.

TEST_F(AudienceTest, ValidationRulesInOrder) {
  settings_->filters = 3;
  settings_->parameters = 1;
  const auto equalsOne = NumberFilter({.type = 3, .value = "1"});
  const auto gtZero = Number{.type = 2, .value = "0"};
  struct Case {
    std::shared_ptr<APMPBAudience> audience;
    int64_t code;
    const char* message;
  };
  const Case cases[] = {
      {Audience(std::nullopt, {EventFilter(0, "a")}), 9, "Missing audience ID"},
      {Audience(-1, {EventFilter(0, "a")}), 9, "Audience ID is negative"},
      {Audience(5, {EventFilter(0, "a")}), 9, "Duplicate audience ID"},
      {Audience(1, {}), 9, "Audience filter count out of range"},
      {Audience(
           1, {EventFilter(0, "a"), EventFilter(1, "a"), EventFilter(2, "a"), EventFilter(3, "a")}),
       9, "Audience filter count out of range"},
      {Audience(1, {EventFilter(0, "")}), 10, "Event filter missing event name"},
      {Audience(1, {EventFilter(std::nullopt, "a")}), 10, "Missing event filter ID"},
      {Audience(1, {EventFilter(3, "a")}), 10, "Event filter ID is out of range"},
      {Audience(1, {EventFilter(-1, "a")}), 10, "Event filter ID is out of range"},
      {Audience(1, {EventFilter(2, "a"), EventFilter(2, "b")}), 10, "Duplicate event filter ID"},
      {Audience(
           1, {EventFilter(0, "a", {}, NumberFilter({.type = 2, .value = "1", .isFloat = true}))}),
       10, "Event filter has float event count filter"},
      {Audience(1, {EventFilter(0, "a", {}, NumberFilter({.type = 2}))}), 10,
       "Event filter has invalid event count filter"},
      {Audience(1, {EventFilter(0, "a", {Param("p", gtZero), Param("q", gtZero)})}), 10,
       "Event filter parameters filters count out of range"},
      {Audience(1, {EventFilter(0, "a", {Param("", gtZero)})}), 10,
       "Event filter missing parameter name"},
      {Audience(1, {EventFilter(0, "a",
                                {ValueFilter(equalsOne,
                                             StringFilter({.type = 5, .expression = "x"}), "p")})}),
       10, "Event filter must have exactly one of number or string filter"},
      {Audience(1, {EventFilter(0, "a", {Param("p", {.type = 3})})}), 10,
       "Event filter has invalid number filter"},
      {Audience(1, {EventFilter(0, "a", {ValueFilter(nullptr, StringFilter({.type = 6}), "p")})}),
       10, "Event filter has invalid string filter"},
      {Audience(1, {}, {PropertyFilter(0, "", Has({.type = 5, .expression = "x"}))}), 11,
       "Property filter missing property name"},
      {Audience(1, {}, {PropertyFilter(std::nullopt, "p", Has({.type = 5, .expression = "x"}))}),
       11, "Missing property filter ID"},
      {Audience(1, {}, {PropertyFilter(3, "p", Has({.type = 5, .expression = "x"}))}), 11,
       "Property filter ID is out of range"},
      {Audience(1, {EventFilter(1, "a")},
                {PropertyFilter(1, "p", Has({.type = 5, .expression = "x"}))}),
       11, "Duplicate property filter ID"},
      {Audience(1, {}, {PropertyFilter(0, "p", nullptr)}), 11, "Property filter has no filter"},
      {Audience(1, {}, {PropertyFilter(0, "p", ValueFilter(nullptr, nullptr))}), 11,
       "Property filter must have exactly one of number or string filter"},
      {Audience(
           1, {},
           {PropertyFilter(0, "p", ValueFilter(NumberFilter({.type = 4, .min = "1"}), nullptr))}),
       11, "Property filter has invalid number filter"},
      {Audience(1, {}, {PropertyFilter(0, "p", Has({.type = 1, .expression = "("}))}), 11,
       "Property filter has invalid string filter"},
  };
  const std::set<int32_t> accepted = {5};
  for (const Case& c : cases) {
    fnd::Error error;
    EXPECT_FALSE(ZIVIsValidAudienceProto(c.audience.get(), accepted, *settings_, &error))
        << c.message;
    EXPECT_EQ(error.code(), c.code) << c.message;
    EXPECT_EQ(error.localizedDescription(), c.message);
  }
  EXPECT_TRUE(
      ZIVIsValidAudienceProto(Audience(1, {EventFilter(0, "a", {Param("p", gtZero)})},
                                       {PropertyFilter(2, "p", Has({.type = 6, .list = {"x"}}))})
                                  .get(),
                              accepted, *settings_));
}

TEST_F(AudienceTest, OneAudienceTooManyChangesNothing) {
  Update({Audience(1, {EventFilter(0, "kept")})});
  std::vector<std::shared_ptr<APMPBAudience>> audiences;
  for (int i = 0; i < 101; ++i) audiences.push_back(Audience(100 + i, {EventFilter(0, "new")}));
  sharedLog_.clear();
  EXPECT_TRUE(audience_->updateAudiences(audiences));
  ExpectLogged(sharedLog_, 2, 6008,
               "Configuration contains too many audiences. Audiences will not be saved. Audience "
               "count");
  EXPECT_EQ(sharedLog_.withCode(6008)[0].contexts[0].asInt(), 101);
  EXPECT_EQ(EventFilters("kept").size(), 1u);
  EXPECT_TRUE(EventFilters("new").empty());
  // Exactly the limit is accepted.
  audiences.pop_back();
  Update(audiences);
  EXPECT_EQ(EventFilters("new").size(), 100u);
  EXPECT_TRUE(EventFilters("kept").empty());
}

TEST_F(AudienceTest, StoresValidAudiencesWithInternalNames) {
  Update({
      Audience(
          1,
          {EventFilter(0, "ad_impression", {Param("ad_unit_id", {.type = 2, .value = "0"})},
                       nullptr, {.dynamic = true, .sessionScoped = true})},
          {PropertyFilter(1, "user_id", Has({.type = 5, .expression = "x"}), {.sequence = true})}),
      Audience(1, {EventFilter(0, "dropped_duplicate")}),
      Audience(2, {EventFilter(0, "shop")},
               {PropertyFilter(0, "level", Has({.type = 5, .expression = "x"}))}),
  });
  EXPECT_EQ(sharedLog_.withCode(6009).size(), 2u);  // The duplicate and the filter ID clash.
  EXPECT_TRUE(EventFilters("dropped_duplicate").empty());
  EXPECT_TRUE(EventFilters("shop").empty());
  EXPECT_TRUE(EventFilters("ad_impression").empty());
  auto stored = EventFilters("_ai");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].audienceID, 1);
  EXPECT_TRUE(stored[0].isDynamic());
  EXPECT_TRUE(stored[0].isSessionScoped());
  EXPECT_FALSE(stored[0].isSequence());
  auto message = APMPBEventFilter::initWithBuffer(stored[0].data);
  EXPECT_EQ(NANOGetString(message.get(), APMPBEventFilter::kEventName), "_ai");
  auto parameters =
      ZIVAudienceMessagesOfField<APMPBFilter>(message.get(), APMPBEventFilter::kParameterFilters);
  ASSERT_EQ(parameters.size(), 1u);
  EXPECT_EQ(NANOGetString(parameters[0].get(), APMPBFilter::kParameterName), "_ai");
  auto properties = database_->propertyFiltersForPropertyName("_id").value();
  ASSERT_EQ(properties.size(), 1u);
  EXPECT_TRUE(properties[0].isSequence());

  // An empty list deletes every stored filter.
  Update({});
  EXPECT_TRUE(EventFilters("_ai").empty());
  EXPECT_TRUE(database_->allAudienceIDs().value().empty());
}

TEST_F(AudienceTest, StaleResultsArePrunedOnlyAboveTheLimit) {
  Update({Audience(1, {EventFilter(0, "a")}), Audience(2, {EventFilter(0, "a")})});
  ASSERT_TRUE(Log("a", kNow));
  ASSERT_EQ(database_->allFilterResults()->size(), 2u);
  // Audience 2 is removed; two results are within a limit of 2.
  settings_->results = 2;
  Update({Audience(1, {EventFilter(0, "a")})});
  EXPECT_EQ(database_->allFilterResults()->size(), 2u);
  // Above the limit, the results of audiences defined neither before nor now go. Audience 2 was
  // still stored when this update began, so it goes only at the next one.
  settings_->results = 1;
  Update({Audience(1, {EventFilter(0, "a")})});
  EXPECT_EQ(sharedLog_.withCode(6016).size(), 1u);
  Update({Audience(1, {EventFilter(0, "a")})});
  EXPECT_EQ(database_->allFilterResults()->size(), 1u);
  EXPECT_TRUE(Stored(1).has_value());
}

TEST_F(AudienceTest, PruningWithNothingStaleSucceeds) {
  // Two results, both of defined audiences, above a limit of 1: nothing to delete, and the update
  // must not fail on an empty delete.
  Update({Audience(1, {EventFilter(0, "a")}), Audience(2, {EventFilter(0, "a")})});
  ASSERT_TRUE(Log("a", kNow));
  settings_->results = 1;
  EXPECT_TRUE(audience_->updateAudiences(
      {Audience(1, {EventFilter(0, "a")}), Audience(2, {EventFilter(0, "b")})}));
  EXPECT_EQ(database_->allFilterResults()->size(), 2u);
  EXPECT_EQ(EventFilters("b").size(), 1u);
  EXPECT_TRUE(sharedLog_.withCode(6018).empty());
}

TEST_F(AudienceTest, FailedPruningKeepsTheOldFilters) {
  Update({Audience(1, {EventFilter(0, "a")})});
  Exec("DROP TABLE audience_filter_values");
  EXPECT_FALSE(audience_->updateAudiences({Audience(1, {EventFilter(0, "b")})}));
  EXPECT_EQ(sharedLog_.withCode(6015).size(), 1u);
  EXPECT_EQ(EventFilters("a").size(), 1u);
}

// ---- Evaluation and results.

TEST_F(AudienceTest, BundleResultsAfterThreePurchasesAndOnTheNextUnchangedBundle) {
  // Filter 0: more than two purchases. Filter 1 (dynamic): a purchase worth more than 10.
  Update({Audience(7, {EventFilter(0, "purchase", {}, NumberFilter({.type = 2, .value = "2"})),
                       EventFilter(1, "purchase", {Param("value", {.type = 2, .value = "10"})},
                                   nullptr, {.dynamic = true})})});
  ZIVAudienceTimestampsCache cache;
  const double times[] = {kNow + 0.5, kNow + 60.25, kNow + 120.75};
  const double values[] = {20, 5, 30};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Log("purchase", times[i], {{"value", ZIVValue::initWithDouble(values[i])}}, i + 1,
                    i + 1, &cache));
  }
  auto leaves = Bundle();
  ASSERT_EQ(leaves.size(), 1u);
  const auto& leaf = leaves[0];
  EXPECT_EQ(NANOGetInt32(leaf.get(), APMPBAudienceLeafFilterResult::kAudienceId), 7);
  EXPECT_TRUE(NANOGetBool(leaf.get(), APMPBAudienceLeafFilterResult::kTag4Flag));
  EXPECT_FALSE(NANOHasField(leaf.get(), APMPBAudienceLeafFilterResult::kTag3Data));
  Decoded current = Decode(
      NANOGetMessage<APMPBResultData>(leaf.get(), APMPBAudienceLeafFilterResult::kTag2Data).get());
  EXPECT_EQ(current.status, std::vector<uint64_t>{0b11});
  EXPECT_EQ(current.results, std::vector<uint64_t>{0b11});
  // The dynamic filter's latest true time, in whole seconds; the false purchase kept it true.
  EXPECT_EQ(current.dynamic, (std::vector<std::pair<int32_t, int64_t>>{{1, 1700000120}}));

  // Nothing changed: sent again without previous results, and flagged as having them.
  auto next = Bundle();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_TRUE(NANOHasField(next[0].get(), APMPBAudienceLeafFilterResult::kTag4Flag));
  EXPECT_FALSE(NANOGetBool(next[0].get(), APMPBAudienceLeafFilterResult::kTag4Flag));
  EXPECT_FALSE(NANOHasField(next[0].get(), APMPBAudienceLeafFilterResult::kTag3Data));
  Decoded again = Decode(
      NANOGetMessage<APMPBResultData>(next[0].get(), APMPBAudienceLeafFilterResult::kTag2Data)
          .get());
  EXPECT_EQ(again.results, current.results);
  EXPECT_EQ(again.dynamic, current.dynamic);
}

TEST_F(AudienceTest, ChangedResultsCarryThePreviouslySentOnes) {
  Update({Audience(3, {EventFilter(0, "a"), EventFilter(1, "b")})});
  ASSERT_TRUE(Log("a", kNow));
  ASSERT_EQ(Bundle().size(), 1u);
  ASSERT_TRUE(Log("b", kNow + 1));
  auto leaves = Bundle();
  ASSERT_EQ(leaves.size(), 1u);
  EXPECT_FALSE(NANOGetBool(leaves[0].get(), APMPBAudienceLeafFilterResult::kTag4Flag));
  Decoded previous = Decode(
      NANOGetMessage<APMPBResultData>(leaves[0].get(), APMPBAudienceLeafFilterResult::kTag3Data)
          .get());
  EXPECT_EQ(previous.results, std::vector<uint64_t>{0b01});
  EXPECT_EQ(StoredCurrent(3).results, std::vector<uint64_t>{0b11});
}

TEST_F(AudienceTest, NoAudienceResultsWriteNothing) {
  // No results at all, and a stored row with nothing evaluated.
  EXPECT_TRUE(Bundle().empty());
  auto empty = APMPBResultData::initWithMessageInfo(nullptr);
  ZIVAudienceSetWordsOfField(empty.get(), APMPBResultData::kTag1Bits, {0});
  ZIVAudienceSetWordsOfField(empty.get(), APMPBResultData::kTag2Bits, {0});
  ASSERT_TRUE(database_->updateFilterResults({{4, empty->protoBuffer().value(), {}}}));
  sharedLog_.clear();
  EXPECT_TRUE(Bundle().empty());
  EXPECT_EQ(sharedLog_.codes(), std::vector<int64_t>{6021});
  // Reading failures still fail the bundle.
  Exec("DROP TABLE audience_filter_values");
  ZIVAudience::LeafResults leaves;
  EXPECT_FALSE(audience_->resultsForBundling(&leaves));
  EXPECT_EQ(sharedLog_.withCode(6019).size(), 1u);
}

TEST_F(AudienceTest, DynamicTimestampKeepsTheFirstWhenLaterOnesAreNotLater) {
  Update({Audience(1, {EventFilter(0, "a", {}, nullptr, {.dynamic = true})})});
  ZIVAudienceTimestampsCache cache;
  ASSERT_TRUE(Log("a", 100, {}, 1, 1, &cache));
  ASSERT_TRUE(Log("a", 90, {}, 2, 2, &cache));
  ASSERT_TRUE(Log("a", 100, {}, 3, 3, &cache));
  EXPECT_EQ(StoredCurrent(1).dynamic, (std::vector<std::pair<int32_t, int64_t>>{{0, 100}}));
  EXPECT_EQ(sharedLog_.withCode(6037).size(), 2u);
  // A later pass reads the stored time back and refreshes it with a later one.
  ASSERT_TRUE(Log("a", 150));
  EXPECT_EQ(StoredCurrent(1).dynamic, (std::vector<std::pair<int32_t, int64_t>>{{0, 150}}));
}

TEST_F(AudienceTest, SequenceFiltersKeepOneTimePerWholeSecond) {
  Update({Audience(1, {EventFilter(0, "a", {}, nullptr, {.sequence = true})})});
  ZIVAudienceTimestampsCache cache;
  ASSERT_TRUE(Log("a", 10.2, {}, 1, 1, &cache));
  ASSERT_TRUE(Log("a", 10.7, {}, 2, 2, &cache));
  ASSERT_TRUE(Log("a", 12.1, {}, 3, 3, &cache));
  using Sequence = std::vector<std::pair<int32_t, std::vector<int64_t>>>;
  EXPECT_EQ(StoredCurrent(1).sequence, (Sequence{{0, {10, 12}}}));
  // Sent twice unchanged: the second time only the latest time of the first sequence filter.
  ASSERT_EQ(Bundle().size(), 1u);
  auto next = Bundle();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(Decode(NANOGetMessage<APMPBResultData>(next[0].get(),
                                                   APMPBAudienceLeafFilterResult::kTag2Data)
                       .get())
                .sequence,
            (Sequence{{0, {12}}}));
}

TEST_F(AudienceTest, PropertyFiltersStaticStayTrueDynamicFollowTheValue) {
  const auto atLeastFive = ValueFilter(NumberFilter({.type = 2, .value = "4"}), nullptr);
  Update({Audience(1, {},
                   {PropertyFilter(0, "level", atLeastFive),
                    PropertyFilter(1, "level", atLeastFive, {.dynamic = true})})});
  ASSERT_TRUE(SetProperty("level", ZIVValue::initWithInt64(2), 10));
  EXPECT_EQ(StoredCurrent(1).status, std::vector<uint64_t>{0b11});
  EXPECT_EQ(StoredCurrent(1).results, std::vector<uint64_t>{0b00});
  ASSERT_TRUE(SetProperty("level", ZIVValue::initWithInt64(9), 20));
  EXPECT_EQ(StoredCurrent(1).results, std::vector<uint64_t>{0b11});
  ASSERT_TRUE(SetProperty("level", ZIVValue::initWithInt64(1), 30));
  EXPECT_EQ(StoredCurrent(1).results, std::vector<uint64_t>{0b01});
  // A value that cannot be evaluated leaves the bits as they were.
  ASSERT_TRUE(SetProperty("level", Str("high"), 40));
  EXPECT_EQ(StoredCurrent(1).status, std::vector<uint64_t>{0b11});
  EXPECT_EQ(StoredCurrent(1).results, std::vector<uint64_t>{0b01});
}

TEST_F(AudienceTest, NanoUserPropertiesEvaluateAtTheirOwnTimeUnlessGiven) {
  Update({Audience(
      1, {},
      {PropertyFilter(0, "level", Has({.type = 5, .expression = "gold"}), {.dynamic = true})})});
  auto message = APMPBUserAttribute::initWithMessageInfo(nullptr);
  NANOSetString(message.get(), APMPBUserAttribute::kName, fnd::Value("level"));
  NANOSetString(message.get(), APMPBUserAttribute::kStringValue, fnd::Value("Gold"));
  NANOSetInt64(message.get(), APMPBUserAttribute::kSetTimestampMillis, 5000);
  ASSERT_TRUE(audience_->evaluateFiltersForNanoUserProperty(message.get(), nullptr, std::nullopt));
  EXPECT_EQ(StoredCurrent(1).dynamic, (std::vector<std::pair<int32_t, int64_t>>{{0, 5}}));
  ASSERT_TRUE(audience_->evaluateFiltersForNanoUserProperty(message.get(), nullptr, 9.0));
  EXPECT_EQ(StoredCurrent(1).dynamic, (std::vector<std::pair<int32_t, int64_t>>{{0, 9}}));
  auto empty = APMPBUserAttribute::initWithMessageInfo(nullptr);
  EXPECT_FALSE(audience_->evaluateFiltersForNanoUserProperty(empty.get(), nullptr, std::nullopt));
  EXPECT_EQ(sharedLog_.withCode(6039).size(), 1u);
}

TEST_F(AudienceTest, SessionStartDropsSessionScopedResults) {
  Update({Audience(1, {EventFilter(0, "a", {}, nullptr, {.sessionScoped = true})}),
          Audience(2, {EventFilter(0, "a", {}, nullptr, {.sessionScoped = true}),
                       EventFilter(1, "b", {}, nullptr, {.dynamic = true})})});
  ASSERT_TRUE(Log("a", 100));
  ASSERT_TRUE(Log("b", 200));
  const fnd::Data before = Stored(2)->currentResults;
  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_FALSE(Stored(1).has_value());
  auto kept = Stored(2);
  ASSERT_TRUE(kept.has_value());
  Decoded current = Decode(kept->currentResults);
  EXPECT_EQ(current.status, std::vector<uint64_t>{0b10});
  EXPECT_EQ(current.results, std::vector<uint64_t>{0b10});
  EXPECT_EQ(current.dynamic, (std::vector<std::pair<int32_t, int64_t>>{{1, 200}}));
  EXPECT_EQ(kept->previousResults, before);
}

TEST_F(AudienceTest, FilterBitsBeyondTheFirstWord) {
  ZIVAudienceTimestampsCache cache;
  ZIVFilterResult result =
      ZIVAudience::updatedFilterResultWithFilterID(64, 1, std::nullopt, true, cache);
  Decoded decoded = Decode(result.currentResults);
  EXPECT_EQ(decoded.status, (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(decoded.results, (std::vector<uint64_t>{0, 1}));
  EXPECT_TRUE(ZIVAudience::isFilterResult(result, 64));
  EXPECT_FALSE(ZIVAudience::isFilterResult(result, 0));
  EXPECT_FALSE(ZIVAudience::isFilterResult(result, 128));
  // Filter 63 is the top bit of the first word.
  result = ZIVAudience::updatedFilterResultWithFilterID(63, 1, result, false, cache);
  decoded = Decode(result.currentResults);
  EXPECT_EQ(decoded.status, (std::vector<uint64_t>{uint64_t{1} << 63, 1}));
  EXPECT_EQ(decoded.results, (std::vector<uint64_t>{0, 1}));
  // No outcome clears both bits.
  result = ZIVAudience::updatedFilterResultWithFilterID(64, 1, result, std::nullopt, cache);
  decoded = Decode(result.currentResults);
  EXPECT_EQ(decoded.status, (std::vector<uint64_t>{uint64_t{1} << 63, 0}));
  EXPECT_EQ(decoded.results, (std::vector<uint64_t>{0, 0}));
}

TEST_F(AudienceTest, DatabaseFailuresFailThePassAndSaveNothing) {
  Update({Audience(1, {EventFilter(0, "a")},
                   {PropertyFilter(1, "p", Has({.type = 5, .expression = "x"}))})});
  Exec("DROP TABLE audience_filter_values");
  EXPECT_FALSE(Log("a", 1));
  EXPECT_EQ(sharedLog_.withCode(6001).size(), 1u);
  EXPECT_FALSE(SetProperty("p", Str("x"), 1));
  EXPECT_EQ(sharedLog_.withCode(6005).size(), 1u);
  EXPECT_FALSE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_EQ(sharedLog_.withCode(6041).size(), 1u);
  Exec("DROP TABLE event_filters");
  EXPECT_FALSE(Log("a", 1));
  EXPECT_EQ(sharedLog_.withCode(6000).size(), 1u);
}

}  // namespace
