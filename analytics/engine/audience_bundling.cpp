#include "analytics/engine/audience_bundling.h"

#include "analytics/audiences/audience.h"
#include "analytics/audiences/audience_timestamps_cache.h"

ZIVAudienceBundlingHooks::ZIVAudienceBundlingHooks(std::shared_ptr<ZIVAudience> audience)
    : audience_(std::move(audience)) {}

std::shared_ptr<ZIVAudienceTimestampsCache> ZIVAudienceBundlingHooks::makeTimestampsCache() {
  return std::make_shared<ZIVAudienceTimestampsCache>();
}

void ZIVAudienceBundlingHooks::clearEvaluationResultsForSessionScopedFilters() {
  // A failure is logged by the evaluator; the bundle is built regardless.
  (void)audience_->clearEvaluationResultsForSessionScopedFilters();
}

bool ZIVAudienceBundlingHooks::evaluateFiltersForNanoUserProperty(
    const APMPBUserAttribute& property, const std::shared_ptr<ZIVAudienceTimestampsCache>& cache,
    std::optional<double> evaluationTime) {
  return audience_->evaluateFiltersForNanoUserProperty(&property, cache.get(), evaluationTime);
}

bool ZIVAudienceBundlingHooks::evaluateFiltersForEvent(
    const ZIVEvent& event, const ZIVEventAggregates& aggregates,
    const std::shared_ptr<ZIVAudienceTimestampsCache>& cache) {
  return audience_->evaluateFiltersForEvent(event, &aggregates, cache.get());
}

std::optional<fnd::Array> ZIVAudienceBundlingHooks::resultsForBundling() {
  ZIVAudience::LeafResults leaves;
  if (!audience_->resultsForBundling(&leaves)) return std::nullopt;
  fnd::Array results;
  for (const auto& leaf : leaves) {
    if (leaf) results.emplace_back(std::static_pointer_cast<fnd::Record>(leaf));
  }
  return results;
}

bool ZIVAudienceBundlingHooks::updateAudiences(const fnd::Array& audiences) {
  return audience_->updateAudiences(audiences);
}
