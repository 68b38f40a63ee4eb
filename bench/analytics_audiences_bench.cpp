// Audience evaluation cost per event, as bundling pays it: 100 audiences whose filters look like
// real definitions (purchase counts and values, level thresholds, screen-name matches, a regular
// expression on a campaign, user-property tiers), events evaluated one after another inside one
// transaction with one timestamps cache, the way a bundle is built. The raw baseline is the read
// of the stored filters of the event's name alone; each benchmark reports its ratio to it.
// Each run uses a fresh QUELLMARK_HOME.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "analytics/audiences/audience.h"
#include "analytics/audiences/audience_messages.h"
#include "analytics/storage/database.h"
#include "platform/foundation/test_home.h"

namespace {

constexpr int kAudiences = 100;

std::shared_ptr<APMPBNumberFilter> Number(int32_t type, const char* value) {
  auto m = APMPBNumberFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(m.get(), APMPBNumberFilter::kComparisonType, type);
  NANOSetString(m.get(), APMPBNumberFilter::kTag3Text, fnd::Value(value));
  return m;
}

std::shared_ptr<APMPBStringFilter> Text(int32_t type, const char* expression) {
  auto m = APMPBStringFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(m.get(), APMPBStringFilter::kMatchType, type);
  NANOSetString(m.get(), APMPBStringFilter::kExpression, fnd::Value(expression));
  return m;
}

std::shared_ptr<APMPBFilter> Value(std::shared_ptr<APMPBNumberFilter> number,
                                   std::shared_ptr<APMPBStringFilter> text, const char* parameter) {
  auto m = APMPBFilter::initWithMessageInfo(nullptr);
  if (number) NANOSetMessage(m.get(), APMPBFilter::kNumberFilter, number.get());
  if (text) NANOSetMessage(m.get(), APMPBFilter::kStringFilter, text.get());
  if (parameter) NANOSetString(m.get(), APMPBFilter::kParameterName, fnd::Value(parameter));
  return m;
}

std::shared_ptr<APMPBEventFilter> EventFilter(int32_t id, const char* name,
                                              std::vector<std::shared_ptr<APMPBFilter>> parameters,
                                              std::shared_ptr<APMPBNumberFilter> count,
                                              bool dynamic) {
  auto m = APMPBEventFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(m.get(), APMPBEventFilter::kFilterId, id);
  NANOSetString(m.get(), APMPBEventFilter::kEventName, fnd::Value(name));
  ZIVAudienceSetMessagesOfField(m.get(), APMPBEventFilter::kParameterFilters, parameters);
  if (count) NANOSetMessage(m.get(), APMPBEventFilter::kTag5NumberFilter, count.get());
  if (dynamic) NANOSetBool(m.get(), APMPBEventFilter::kTag6Flag, 1);
  return m;
}

// Audience i: a purchase count, a purchase value, a level threshold, a screen match and, for
// every fifth, a campaign regular expression and a user-property tier.
std::shared_ptr<APMPBAudience> MakeAudience(int i) {
  const std::string threshold = std::to_string(1 + i % 7);
  const std::string value = std::to_string(5 * (1 + i % 11));
  std::vector<std::shared_ptr<APMPBEventFilter>> events = {
      EventFilter(0, "purchase", {}, Number(2, threshold.c_str()), false),
      EventFilter(1, "purchase",
                  {Value(Number(2, value.c_str()), nullptr, "value"),
                   Value(nullptr, Text(6 /* in list */, "EUR"), "currency")},
                  nullptr, true),
      EventFilter(2, "level_up", {Value(Number(2, threshold.c_str()), nullptr, "level")}, nullptr,
                  true),
      EventFilter(3, "screen_view", {Value(nullptr, Text(4, "checkout"), "screen_name")}, nullptr,
                  false),
  };
  // The in-list filter needs its list.
  auto currency =
      ZIVAudienceMessagesOfField<APMPBFilter>(events[1].get(), APMPBEventFilter::kParameterFilters);
  auto list = NANOGetMessage<APMPBStringFilter>(currency[1].get(), APMPBFilter::kStringFilter);
  fnd::Array items = {fnd::Value("EUR"), fnd::Value("USD"), fnd::Value("GBP")};
  NANOSetArray(list.get(), APMPBStringFilter::kExpressionList, &items);
  NANOSetMessage(currency[1].get(), APMPBFilter::kStringFilter, list.get());
  ZIVAudienceSetMessagesOfField(events[1].get(), APMPBEventFilter::kParameterFilters, currency);

  std::vector<std::shared_ptr<APMPBPropertyFilter>> properties;
  if (i % 5 == 0) {
    events.push_back(EventFilter(
        4, "campaign_details",
        {Value(nullptr, Text(1, "^(spring|summer)_sale_[0-9]+$"), "campaign")}, nullptr, false));
    auto tier = APMPBPropertyFilter::initWithMessageInfo(nullptr);
    NANOSetInt32(tier.get(), APMPBPropertyFilter::kFilterId, 5);
    NANOSetString(tier.get(), APMPBPropertyFilter::kPropertyName, fnd::Value("tier"));
    auto filter = Value(nullptr, Text(5, "gold"), nullptr);
    NANOSetMessage(tier.get(), APMPBPropertyFilter::kFilter, filter.get());
    NANOSetBool(tier.get(), APMPBPropertyFilter::kTag4Flag, 1);
    properties.push_back(tier);
  }
  auto audience = APMPBAudience::initWithMessageInfo(nullptr);
  NANOSetInt32(audience.get(), APMPBAudience::kAudienceId, 1000 + i);
  ZIVAudienceSetMessagesOfField(audience.get(), APMPBAudience::kEventFilters, events);
  ZIVAudienceSetMessagesOfField(audience.get(), APMPBAudience::kPropertyFilters, properties);
  return audience;
}

struct BenchEvent {
  std::string name;
  ZIVEvent::Parameters parameters;
};

std::vector<BenchEvent> Events() {
  return {
      {"purchase",
       {{"value", ZIVValue::initWithDouble(42.5)},
        {"currency", ZIVValue::initWithString(std::string("EUR"))}}},
      {"level_up", {{"level", ZIVValue::initWithInt64(4)}}},
      {"screen_view", {{"screen_name", ZIVValue::initWithString(std::string("Checkout Page"))}}},
      {"campaign_details", {{"campaign", ZIVValue::initWithString(std::string("summer_sale_12"))}}},
  };
}

// Nanoseconds per read of the stored filters of each bench event's name: the raw baseline.
double BaselineNanosPerRead(ZIVDatabase& database, const std::vector<BenchEvent>& events) {
  constexpr int kReads = 400;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kReads; ++i) {
    benchmark::DoNotOptimize(database.eventFiltersForEventName(events[i % events.size()].name));
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration<double, std::nano>(elapsed).count() / kReads;
}

struct Fixture {
  fnd::ScopedTestHome home;
  std::shared_ptr<ZIVDatabase> database;
  std::shared_ptr<ZIVAudience> audience;

  bool open() {
    database = ZIVDatabase::initWithDatabaseName("bench-audiences.sql", nullptr);
    audience = ZIVAudience::initWithDatabase(database);
    if (!audience) return false;
    std::vector<std::shared_ptr<APMPBAudience>> audiences;
    for (int i = 0; i < kAudiences; ++i) audiences.push_back(MakeAudience(i));
    return database->performTransaction([&] { return audience->updateAudiences(audiences); });
  }

  // Stores the audiences, measures the baseline and opens the transaction the run works in.
  bool prepare(benchmark::State& state, const std::vector<BenchEvent>& events, double* baseline) {
    if (!open()) {
      state.SkipWithError("could not store the audiences");
      return false;
    }
    *baseline = BaselineNanosPerRead(*database, events);
    if (!database->sqliteStore()->beginTransaction()) {
      state.SkipWithError("no transaction");
      return false;
    }
    return true;
  }
  void rollBack() { (void)database->sqliteStore()->rollbackTransaction(); }
};

void BM_EvaluateEventWith100Audiences(benchmark::State& state) {
  Fixture fixture;
  const std::vector<BenchEvent> events = Events();
  double baseline = 0;
  if (!fixture.prepare(state, events, &baseline)) return;
  ZIVAudienceTimestampsCache cache;
  int64_t i = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const BenchEvent& event = events[i % events.size()];
    auto aggregates = ZIVEventAggregates::initWithName(event.name, static_cast<int32_t>(i / 4 + 1),
                                                       0, 1, 1700000000.0);
    if (!fixture.audience->evaluateFiltersForEventName(
            event.name, event.parameters, aggregates.get(), 1700000000.0 + i, &cache)) {
      state.SkipWithError("evaluation failed");
      break;
    }
    ++i;
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  fixture.rollBack();
  if (i > 0) {
    const double perEvent = std::chrono::duration<double, std::nano>(elapsed).count() / i;
    state.counters["ns_per_event"] = perEvent;
    state.counters["ratio_to_filter_read"] = perEvent / baseline;
  }
}
BENCHMARK(BM_EvaluateEventWith100Audiences)->Unit(benchmark::kMicrosecond);

void BM_ResultsForBundlingWith100Audiences(benchmark::State& state) {
  Fixture fixture;
  const std::vector<BenchEvent> events = Events();
  double baseline = 0;
  if (!fixture.prepare(state, events, &baseline)) return;
  for (const BenchEvent& event : events) {
    auto aggregates = ZIVEventAggregates::initWithName(event.name, 9, 0, 1, 1700000000.0);
    (void)fixture.audience->evaluateFiltersForEventName(event.name, event.parameters,
                                                        aggregates.get(), 1700000000.0, nullptr);
  }
  int64_t n = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    ZIVAudience::LeafResults leaves;
    if (!fixture.audience->resultsForBundling(&leaves) || leaves.size() != kAudiences) {
      state.SkipWithError("no results");
      break;
    }
    ++n;
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  fixture.rollBack();
  if (n > 0) {
    state.counters["ratio_to_filter_read"] =
        std::chrono::duration<double, std::nano>(elapsed).count() / n / baseline;
  }
}
BENCHMARK(BM_ResultsForBundlingWith100Audiences)->Unit(benchmark::kMicrosecond);

}  // namespace
