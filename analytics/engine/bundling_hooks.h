// The narrow services that bundling and the configuration fetch need of the audience evaluator
// and of purchase measurement, which live in their own folders. The engine installs their real
// implementations; until then (or when they are absent) bundling runs without audiences and with
// the built-in purchase rules below, and a bundle without audience results still uploads.
//
// Thread safety: every call is made on the engine's worker queue, inside the bundling or
// configuration transaction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/foundation/value.h"

class APMPBUserAttribute;
class ZIVEvent;
class ZIVEventAggregates;
class ZIVValue;

// Per-bundle memo of audience timestamps; defined by the audience evaluator.
class ZIVAudienceTimestampsCache;

class ZIVAudienceHooks {
 public:
  virtual ~ZIVAudienceHooks() = default;
  // A fresh cache for one bundle (may be null).
  virtual std::shared_ptr<ZIVAudienceTimestampsCache> makeTimestampsCache() = 0;
  // Forgets the results of session-scoped filters (a session started).
  virtual void clearEvaluationResultsForSessionScopedFilters() = 0;
  // Evaluates the property filters of one user property; false on a failure.
  virtual bool evaluateFiltersForNanoUserProperty(
      const APMPBUserAttribute& property, const std::shared_ptr<ZIVAudienceTimestampsCache>& cache,
      std::optional<double> evaluationTime) = 0;
  // Evaluates the event filters of one event with its aggregates; false on a failure.
  virtual bool evaluateFiltersForEvent(
      const ZIVEvent& event, const ZIVEventAggregates& aggregates,
      const std::shared_ptr<ZIVAudienceTimestampsCache>& cache) = 0;
  // The AudienceLeafFilterResult records to attach to the bundle; nullopt on a failure.
  virtual std::optional<fnd::Array> resultsForBundling() = 0;
  // Replaces the stored audience definitions with the Audience records of a fetched
  // configuration; false on a failure (the fetch is then rolled back).
  virtual bool updateAudiences(const fnd::Array& audiences) = 0;
};

class ZIVPurchaseHooks {
 public:
  virtual ~ZIVPurchaseHooks() = default;
  // An amount in micros (millionths), or nullopt for a value that is not a number.
  virtual std::optional<int64_t> valueInMicros(const ZIVValue& value);
  // Whether the store receipt is a sandbox receipt.
  virtual bool isSandboxReceipt();
  // The store-receipt check that labels an automatic purchase ("validated" 1 or 0): ZIVParseData.
  virtual bool validateStoreReceipt();
};

// A number as a decimal amount times 1000000, truncated toward zero (ZIVValueInMicros of the
// purchase parameters): a double becomes the decimal number of its shortest text first, so 2.01
// gives 2010000 (not 2009999). Saturates at the int64 range; NaN and other kinds give nullopt.
std::optional<int64_t> ZIVDecimalValueInMicros(const fnd::Value& number);
