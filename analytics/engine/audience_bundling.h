// The audience evaluator (ZIVAudience) behind the hooks that bundling and the configuration fetch
// call: results for each bundle, evaluation of its events and user properties, and the
// definitions of a fetched configuration.
//
// Thread safety: the engine's worker queue, like the evaluator.
#pragma once

#include <memory>

#include "analytics/engine/bundling_hooks.h"

class ZIVAudience;

class ZIVAudienceBundlingHooks : public ZIVAudienceHooks {
 public:
  explicit ZIVAudienceBundlingHooks(std::shared_ptr<ZIVAudience> audience);

  std::shared_ptr<ZIVAudienceTimestampsCache> makeTimestampsCache() override;
  void clearEvaluationResultsForSessionScopedFilters() override;
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                          const std::shared_ptr<ZIVAudienceTimestampsCache>& cache,
                                          std::optional<double> evaluationTime) override;
  bool evaluateFiltersForEvent(const ZIVEvent& event, const ZIVEventAggregates& aggregates,
                               const std::shared_ptr<ZIVAudienceTimestampsCache>& cache) override;
  std::optional<fnd::Array> resultsForBundling() override;
  bool updateAudiences(const fnd::Array& audiences) override;

 private:
  const std::shared_ptr<ZIVAudience> audience_;
};
