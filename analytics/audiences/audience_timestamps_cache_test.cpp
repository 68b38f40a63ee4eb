#include "analytics/audiences/audience_timestamps_cache.h"

#include <gtest/gtest.h>

#include "analytics/audiences/audiences_test_support.h"

namespace {

using audience_test::Decode;

class TimestampsCacheTest : public ZIVFoundationTest {};

TEST_F(TimestampsCacheTest, SequenceTimesOfEventAndPropertyFilters) {
  EXPECT_EQ(ZIVSequenceTimestampsCache::initWithAudienceID(std::nullopt), nullptr);
  auto cache = ZIVSequenceTimestampsCache::initWithAudienceID(4);
  ASSERT_NE(cache, nullptr);
  cache->addEventFilterTimestamp(20, 1);
  cache->addEventFilterTimestamp(10, 1);    // Earlier: logged, still kept.
  cache->addEventFilterTimestamp(10.9, 1);  // Same whole second as the last: dropped.
  cache->addEventFilterTimestamp(5, std::nullopt);
  EXPECT_EQ(cache->sequenceTimestampsForFilterID(1), (std::vector<double>{20, 10}));
  EXPECT_EQ(sharedLog_.withCode(42000).size(), 1u);

  cache->setUserPropertyTimestamp(30, 0);
  cache->setUserPropertyTimestamp(25, 0);  // Earlier: logged; replaces all the same.
  EXPECT_EQ(cache->sequenceTimestampsForFilterID(0), std::vector<double>{25});
  EXPECT_EQ(sharedLog_.withCode(42001).size(), 1u);
  EXPECT_EQ(cache->sequenceTimestampsForFilterID(9), std::nullopt);

  // Messages in filter ID order, each filter's times sorted.
  auto data = APMPBResultData::initWithMessageInfo(nullptr);
  ZIVAudienceSetMessagesOfField(data.get(), APMPBResultData::kSequenceTimestamps,
                                cache->sequenceFilterResultTimestamps());
  using Sequence = std::vector<std::pair<int32_t, std::vector<int64_t>>>;
  EXPECT_EQ(Decode(data.get()).sequence, (Sequence{{0, {25}}, {1, {10, 20}}}));
}

TEST_F(TimestampsCacheTest, DynamicTimesNeedThePopulatedAudience) {
  ZIVAudienceTimestampsCache cache;
  ZIVEventFilter filter;
  filter.audienceID = 2;
  filter.filterID = 3;
  filter.dynamic = true;
  cache.addEvaluationTimestamp(50, filter);  // Not populated yet: nothing kept.
  EXPECT_TRUE(cache.dynamicTimestampsForAudienceID(2).empty());
  cache.populateCachedTimestamps(std::nullopt, 2);
  cache.addEvaluationTimestamp(50, filter);
  ASSERT_EQ(cache.dynamicTimestampsForAudienceID(2).size(), 1u);
  // A static filter keeps no time; a sequence property filter keeps its latest only.
  ZIVPropertyFilter property;
  property.audienceID = 2;
  property.filterID = 4;
  cache.addEvaluationTimestamp(60, property);
  EXPECT_EQ(cache.dynamicTimestampsForAudienceID(2).size(), 1u);
  property.sequence = true;
  cache.addEvaluationTimestamp(60, property);
  cache.addEvaluationTimestamp(70, property);
  auto sequence = cache.sequenceTimestampsForAudienceID(2);
  ASSERT_TRUE(sequence.has_value());
  ASSERT_EQ(sequence->size(), 1u);
  EXPECT_EQ(cache.sequenceTimestampsForAudienceID(3), std::nullopt);
}

}  // namespace
