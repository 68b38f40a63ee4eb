// ZIVAudience: the engine's audience evaluator. Audiences are defined on the server (the
// `audiences` of the measurement configuration); each is a set of filters on events and on user
// properties, each filter identified by a small integer. This class
//   - checks delivered definitions, renames public names to the engine's internal ones and
//     replaces the stored filters (updateAudiences);
//   - evaluates stored events and user properties against the matching filters while bundling,
//     folding each tri-state outcome (true, false, not evaluable) into the audience's stored
//     result bitmasks and timestamps;
//   - produces the audience results that travel with each bundle, and clears the results of
//     session-scoped filters at a new session.
//
// Stored results per audience are two lists of 64-bit words (evaluated bits and true bits; filter
// f is bit f%64 of word f/64) with the times at which dynamic and sequence filters were true; an
// outcome that cannot be evaluated never counts as false.
//
// Every failure is a log line (codes 6000 to 6043) and a false result; a pass that fails part-way
// saves nothing. Nothing throws.
//
// Thread safety: none. Made by the engine at start and used only on its worker queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "analytics/audiences/audience_settings.h"
#include "analytics/audiences/audience_timestamps_cache.h"
#include "analytics/engine/event.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database_records.h"
#include "platform/foundation/error.h"

class ZIVDatabase;

// Filter ID -> word index and bit of the result lists.
inline int32_t ZIVIndexFromFilterID(int32_t filterID) { return filterID / 64; }
inline int32_t ZIVBitShiftFromFilterID(int32_t filterID) { return filterID % 64; }
// True when any status word is non-zero.
bool ZIVIsAudienceEvaluated(const std::vector<uint64_t>& status);

// Checks one delivered audience against the structural rules and the settings, with the IDs of
// the audiences accepted so far in this update. On failure, *error holds code 9 (audience), 10
// (event filter) or 11 (property filter) and the reason.
bool ZIVIsValidAudienceProto(const APMPBAudience* audience, const std::set<int32_t>& acceptedIDs,
                             const ZIVAudienceSettings& settings, fnd::Error* error = nullptr);

struct ZIVAudienceEnvironment {
  // Server settings [the defaults of ZIVAudienceSettings].
  std::shared_ptr<const ZIVAudienceSettings> settings;
};

class ZIVAudience {
 public:
  using Environment = ZIVAudienceEnvironment;
  using LeafResults = std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>;

  // Null without a database.
  static std::shared_ptr<ZIVAudience> initWithDatabase(std::shared_ptr<ZIVDatabase> database,
                                                       Environment environment = {});

  // ---- Definitions. REQUIRES: on the worker queue (the caller's transaction).

  // Replaces the stored filters with those of the valid audiences (invalid ones are logged, 6009,
  // and skipped). More than maxAudienceCount audiences change nothing (6008) and answer true.
  // False when a database step failed. Stored results of audiences that stay defined are kept.
  [[nodiscard]] bool updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences);
  // The same for the items of a configuration's repeated `audiences` field; an item that is not an
  // audience counts as an invalid audience.
  [[nodiscard]] bool updateAudiences(const fnd::Array& audiences);
  // Once more than maxFilterResultCount results are stored, deletes those of audiences that have
  // no stored filters and are not among `audienceIDs`. False when a database step failed.
  [[nodiscard]] bool maybeDeleteStaleFilterResults(const std::set<int32_t>& audienceIDs);

  // ---- Evaluation. REQUIRES: on the worker queue. A null cache means a fresh one for the call.

  [[nodiscard]] bool evaluateFiltersForEvent(const ZIVEvent& event,
                                             const ZIVEventAggregates* eventAggregates,
                                             ZIVAudienceTimestampsCache* audienceTimestampsCache);
  [[nodiscard]] bool evaluateFiltersForEventName(
      const std::string& eventName, const ZIVEvent::Parameters& eventParameters,
      const ZIVEventAggregates* eventAggregates, double eventTimestamp,
      ZIVAudienceTimestampsCache* audienceTimestampsCache);
  [[nodiscard]] bool evaluateFiltersForUserProperty(
      const ZIVUserAttribute& userProperty, ZIVAudienceTimestampsCache* audienceTimestampsCache,
      double evaluationTimestamp);
  // The user property of the message, evaluated at `evaluationTime` or, without one, at its own
  // set time. A message that does not convert logs 6039 and answers false.
  [[nodiscard]] bool evaluateFiltersForNanoUserProperty(
      const APMPBUserAttribute* userProperty, ZIVAudienceTimestampsCache* audienceTimestampsCache,
      std::optional<double> evaluationTime);

  // ---- Results.

  // Whether the filter's status and result bits are both set in the stored current results.
  static bool isFilterResult(const std::optional<ZIVFilterResult>& filterResult, int32_t filterID);
  // A copy of `currentFilterResult` (none: empty lists) with the filter's bits set from the
  // outcome (nullopt clears both) and the cache's timestamps of the audience; previous results
  // unchanged.
  static ZIVFilterResult updatedFilterResultWithFilterID(
      int32_t filterID, int32_t audienceID,
      const std::optional<ZIVFilterResult>& currentFilterResult,
      std::optional<bool> newEvaluationResult,
      const ZIVAudienceTimestampsCache& audienceTimestampsCache);

  // One leaf per evaluated audience for the bundle being built; each stored row then keeps what
  // was sent as its previous results. With no audience results nothing is written. False, with
  // *results emptied, when reading or saving failed.
  [[nodiscard]] bool resultsForBundling(LeafResults* results);
  // At a new session: clears the bits and timestamps of session-scoped filters; an audience left
  // with nothing evaluated loses its stored result.
  [[nodiscard]] bool clearEvaluationResultsForSessionScopedFilters();

  const std::shared_ptr<ZIVDatabase>& database() const { return database_; }

 private:
  ZIVAudience(std::shared_ptr<ZIVDatabase> database, Environment environment);

  // Constant after construction.
  const std::shared_ptr<ZIVDatabase> database_;
  const std::shared_ptr<const ZIVAudienceSettings> settings_;
};
