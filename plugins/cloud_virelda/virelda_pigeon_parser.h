// Conversions between the host interface's messages and the vendor SDK: building a DEVQuery from
// a query description, filter trees, merge field paths, the checks of enumeration values that
// arrive from Dart, and SDK snapshots turned into snapshot messages.
//
// Where the SDK would raise, these functions report a VireldaException (a name and a reason)
// through an out-parameter; nothing throws. Stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/vendor/virelda/virelda.h"
#include "plugins/cloud_virelda/virelda_messages.h"

// What the SDK or the parser would have raised.
struct VireldaException {
  std::string name;
  std::string reason;
};

class VireldaPigeonParser {
 public:
  // The query of a description on an instance, or null when it cannot be built (an unknown
  // composite or filter operator, a value of the wrong kind, or the SDK rejecting the query);
  // then the failure is logged. A "where" entry with an unknown operator is logged and skipped.
  // Cursors apply only when the description has an ordering.
  static std::shared_ptr<DEVQuery> parseQueryWithParameters(
      const PigeonQueryParameters& parameters, const std::shared_ptr<DEVVirelda>& virelda,
      const std::string& path, bool isCollectionGroup);

  // A filter tree: a map with "fieldPath" is one condition ("op", "value"), any other map an AND
  // or OR ("op") of its "queries", converted first. Null with *exception set ("InvalidOperator")
  // for an operator outside the lists, or for a malformed map.
  static std::shared_ptr<DEVFilter> filterFromJson(const fnd::Dictionary& map,
                                                   VireldaException* exception);

  // Merge fields: one field path per inner list of segment strings. Null entries are dropped.
  static std::vector<std::shared_ptr<DEVFieldPath>> parseFieldPath(const fnd::Array& paths);

  // Enumeration checks: the same number, or nullopt with *exception set.
  static std::optional<int64_t> parseSource(int64_t source, VireldaException* exception);
  static std::optional<int64_t> parseServerTimestampBehavior(int64_t behavior,
                                                             VireldaException* exception);
  static std::optional<int64_t> parseListenSource(int64_t source, VireldaException* exception);
  static std::optional<DocumentChangeType> toPigeonDocumentChangeType(int64_t type,
                                                                      VireldaException* exception);

  // An SDK change index as sent to Dart: -1 for "none", else the index as a 32-bit integer.
  static int64_t toPigeonIndex(uint64_t index);

  static std::shared_ptr<PigeonSnapshotMetadata> toPigeonSnapshotMetadata(
      const DEVSnapshotMetadata& metadata);
  static std::shared_ptr<PigeonDocumentSnapshot> toPigeonDocumentSnapshot(
      const DEVDocumentSnapshot& snapshot, int64_t serverTimestampBehavior);
  // Null (with *exception set) for an unknown change type.
  static std::shared_ptr<PigeonDocumentChange> toPigeonDocumentChange(
      const DEVDocumentChange& change, int64_t serverTimestampBehavior,
      VireldaException* exception);
  static std::optional<std::vector<std::shared_ptr<PigeonDocumentChange>>> toPigeonDocumentChanges(
      const std::vector<std::shared_ptr<DEVDocumentChange>>& changes,
      int64_t serverTimestampBehavior, VireldaException* exception);
  static std::shared_ptr<PigeonQuerySnapshot> toPigeonQuerySnapshot(
      const DEVQuerySnapshot& snapshot, int64_t serverTimestampBehavior,
      VireldaException* exception);
};

// The log line of a "where" operator that is not handled; the operator follows.
inline constexpr const char* kFLTVireldaInvalidOperatorLog =
    "FLTZudiroruVirelda: An invalid query operator ";
