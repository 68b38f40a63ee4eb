// Test support for the audience tests: builders of audience definitions and a fixture with a fresh
// home, a manual clock, an analytics database in that home and a capture of the engine's monitor.
// Not for production code.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/audiences/audience.h"
#include "analytics/audiences/audience_messages.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/test_support.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"

namespace audience_test {

inline fnd::Value Rec(const std::shared_ptr<fnd::Record>& record) { return fnd::Value(record); }

struct Number {
  int32_t type = 0;
  std::optional<std::string> value;
  std::optional<std::string> min;
  std::optional<std::string> max;
  bool isFloat = false;
  bool hasType = true;
};

inline std::shared_ptr<APMPBNumberFilter> NumberFilter(const Number& n) {
  auto m = APMPBNumberFilter::initWithMessageInfo(nullptr);
  if (n.hasType) NANOSetInt32(m.get(), APMPBNumberFilter::kComparisonType, n.type);
  if (n.isFloat) NANOSetBool(m.get(), APMPBNumberFilter::kTag2Flag, 1);
  if (n.value) NANOSetString(m.get(), APMPBNumberFilter::kTag3Text, fnd::Value(*n.value));
  if (n.min) NANOSetString(m.get(), APMPBNumberFilter::kTag4Text, fnd::Value(*n.min));
  if (n.max) NANOSetString(m.get(), APMPBNumberFilter::kTag5Text, fnd::Value(*n.max));
  return m;
}

struct Text {
  int32_t type = 0;
  std::optional<std::string> expression;
  std::optional<bool> caseSensitive;
  std::vector<std::string> list;
  bool hasType = true;
};

inline std::shared_ptr<APMPBStringFilter> StringFilter(const Text& t) {
  auto m = APMPBStringFilter::initWithMessageInfo(nullptr);
  if (t.hasType) NANOSetInt32(m.get(), APMPBStringFilter::kMatchType, t.type);
  if (t.expression)
    NANOSetString(m.get(), APMPBStringFilter::kExpression, fnd::Value(*t.expression));
  if (t.caseSensitive) NANOSetBool(m.get(), APMPBStringFilter::kTag3Flag, *t.caseSensitive);
  fnd::Array items;
  for (const auto& s : t.list) items.push_back(fnd::Value(s));
  NANOSetArray(m.get(), APMPBStringFilter::kExpressionList, &items);
  return m;
}

// A value filter; `parameter` names the event parameter it reads (event filters only).
inline std::shared_ptr<APMPBFilter> ValueFilter(std::shared_ptr<APMPBNumberFilter> number,
                                                std::shared_ptr<APMPBStringFilter> string,
                                                const std::string& parameter = "",
                                                bool complement = false) {
  auto m = APMPBFilter::initWithMessageInfo(nullptr);
  if (number) NANOSetMessage(m.get(), APMPBFilter::kNumberFilter, number.get());
  if (string) NANOSetMessage(m.get(), APMPBFilter::kStringFilter, string.get());
  if (complement) NANOSetBool(m.get(), APMPBFilter::kTag3Flag, 1);
  if (!parameter.empty())
    NANOSetString(m.get(), APMPBFilter::kParameterName, fnd::Value(parameter));
  return m;
}

struct Flags {
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;
};

inline std::shared_ptr<APMPBEventFilter> EventFilter(
    std::optional<int32_t> filterID, const std::string& eventName,
    std::vector<std::shared_ptr<APMPBFilter>> parameters = {},
    std::shared_ptr<APMPBNumberFilter> count = nullptr, Flags flags = {}) {
  auto m = APMPBEventFilter::initWithMessageInfo(nullptr);
  if (filterID) NANOSetInt32(m.get(), APMPBEventFilter::kFilterId, *filterID);
  if (!eventName.empty())
    NANOSetString(m.get(), APMPBEventFilter::kEventName, fnd::Value(eventName));
  ZIVAudienceSetMessagesOfField(m.get(), APMPBEventFilter::kParameterFilters, parameters);
  if (count) NANOSetMessage(m.get(), APMPBEventFilter::kTag5NumberFilter, count.get());
  if (flags.dynamic) NANOSetBool(m.get(), APMPBEventFilter::kTag6Flag, 1);
  if (flags.sequence) NANOSetBool(m.get(), APMPBEventFilter::kTag7Flag, 1);
  if (flags.sessionScoped) NANOSetBool(m.get(), APMPBEventFilter::kTag8Flag, 1);
  return m;
}

inline std::shared_ptr<APMPBPropertyFilter> PropertyFilter(std::optional<int32_t> filterID,
                                                           const std::string& propertyName,
                                                           std::shared_ptr<APMPBFilter> filter,
                                                           Flags flags = {}) {
  auto m = APMPBPropertyFilter::initWithMessageInfo(nullptr);
  if (filterID) NANOSetInt32(m.get(), APMPBPropertyFilter::kFilterId, *filterID);
  if (!propertyName.empty()) {
    NANOSetString(m.get(), APMPBPropertyFilter::kPropertyName, fnd::Value(propertyName));
  }
  if (filter) NANOSetMessage(m.get(), APMPBPropertyFilter::kFilter, filter.get());
  if (flags.dynamic) NANOSetBool(m.get(), APMPBPropertyFilter::kTag4Flag, 1);
  if (flags.sequence) NANOSetBool(m.get(), APMPBPropertyFilter::kTag5Flag, 1);
  if (flags.sessionScoped) NANOSetBool(m.get(), APMPBPropertyFilter::kTag6Flag, 1);
  return m;
}

inline std::shared_ptr<APMPBAudience> Audience(
    std::optional<int32_t> audienceID, std::vector<std::shared_ptr<APMPBEventFilter>> events,
    std::vector<std::shared_ptr<APMPBPropertyFilter>> properties = {}) {
  auto m = APMPBAudience::initWithMessageInfo(nullptr);
  if (audienceID) NANOSetInt32(m.get(), APMPBAudience::kAudienceId, *audienceID);
  ZIVAudienceSetMessagesOfField(m.get(), APMPBAudience::kEventFilters, events);
  ZIVAudienceSetMessagesOfField(m.get(), APMPBAudience::kPropertyFilters, properties);
  return m;
}

// Settings a test sets.
class TestSettings : public ZIVAudienceSettings {
 public:
  int32_t maxAudienceCount() const override { return audiences; }
  int32_t maxFiltersPerAudience() const override { return filters; }
  int32_t maxParametersPerFilter() const override { return parameters; }
  int32_t maxFilterResultCount() const override { return results; }

  int32_t audiences = 100;
  int32_t filters = 10;
  int32_t parameters = 25;
  int32_t results = 200;
};

// The decoded words and timestamps of one stored or bundled result.
struct Decoded {
  std::vector<uint64_t> status;
  std::vector<uint64_t> results;
  std::vector<std::pair<int32_t, int64_t>> dynamic;
  std::vector<std::pair<int32_t, std::vector<int64_t>>> sequence;
};

inline Decoded Decode(const APMPBResultData* data) {
  Decoded d;
  if (!data) return d;
  d.status = ZIVAudienceWordsOfField(data, APMPBResultData::kTag1Bits);
  d.results = ZIVAudienceWordsOfField(data, APMPBResultData::kTag2Bits);
  for (const auto& item : ZIVAudienceMessagesOfField<APMPBDynamicFilterResultTimestamp>(
           data, APMPBResultData::kDynamicTimestamps)) {
    d.dynamic.emplace_back(NANOGetInt32(item.get(), APMPBDynamicFilterResultTimestamp::kFilterId),
                           NANOGetInt64(item.get(), APMPBDynamicFilterResultTimestamp::kTimestamp));
  }
  for (const auto& item : ZIVAudienceMessagesOfField<APMPBSequenceFilterResultTimestamp>(
           data, APMPBResultData::kSequenceTimestamps)) {
    std::vector<int64_t> times;
    for (uint64_t t :
         ZIVAudienceWordsOfField(item.get(), APMPBSequenceFilterResultTimestamp::kTimestamps)) {
      times.push_back(static_cast<int64_t>(t));
    }
    d.sequence.emplace_back(NANOGetInt32(item.get(), APMPBSequenceFilterResultTimestamp::kFilterId),
                            times);
  }
  return d;
}

inline Decoded Decode(const fnd::Data& bytes) {
  if (bytes.empty()) return {};
  auto data = APMPBResultData::initWithBuffer(bytes);
  return Decode(data.get());
}

// A fresh home, a manual clock, a database in that home, an audience evaluator over it with test
// settings, and the engine monitor's log lines.
class AudienceTestBase : public ZIVFoundationTest {
 protected:
  static constexpr double kNow = 1700000000.0;

  void SetUp() override {
    clock_->setWallTime(kNow);
    config_ = ZIVPersistedConfig::create("com.rivado.measurement.audiencetest", clock_);
    ASSERT_NE(config_, nullptr);
    database_ = ZIVDatabase::initWithDatabaseName("audiences-test.sql", config_, nullptr,
                                                  {nullptr, clock_});
    ASSERT_NE(database_, nullptr);
    settings_ = std::make_shared<TestSettings>();
    audience_ = ZIVAudience::initWithDatabase(database_, {settings_});
    ASSERT_NE(audience_, nullptr);
  }
  void TearDown() override { sharedLog_.clear(); }

  void Exec(const std::string& sql) {
    ASSERT_TRUE(database_->sqliteStore()->executeSQL(sql)) << sql;
  }
  std::optional<ZIVFilterResult> Stored(int32_t audienceID) {
    return database_->filterResultForAudienceID(audienceID);
  }
  Decoded StoredCurrent(int32_t audienceID) {
    auto r = Stored(audienceID);
    return r ? Decode(r->currentResults) : Decoded{};
  }
  std::shared_ptr<ZIVEventAggregates> Aggregates(const std::string& name, int32_t lifetime,
                                                 int32_t session) {
    return ZIVEventAggregates::initWithName(name, lifetime, 0, session, kNow);
  }

  std::shared_ptr<ZIVPersistedConfig> config_;
  std::shared_ptr<ZIVDatabase> database_;
  std::shared_ptr<TestSettings> settings_;
  std::shared_ptr<ZIVAudience> audience_;
};

}  // namespace audience_test
