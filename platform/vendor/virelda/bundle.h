// The bundle format that DEVVirelda::loadBundle reads: documents and named queries packed by a
// server so that an app can load them into its database without a round of reads.
//
// A bundle is a sequence of elements. Each element is its length, written as decimal ASCII digits
// (at most 10, no sign, no blanks), immediately followed by that many bytes of UTF-8 JSON text
// holding one object with exactly one of these keys:
//
//   {"metadata": {"id": TEXT, "version": 1, "totalDocuments": N, "totalBytes": N}}
//       The first element, and only the first. totalBytes is the size of the whole bundle,
//       totalDocuments the number of "document" elements.
//   {"document": {"name": DOCUMENT-PATH, "fields": {NAME: VALUE, ...}}}
//   {"document": {"name": DOCUMENT-PATH, "missing": true}}
//       A document as the server had it; "missing" says the document does not exist (a load
//       deletes it). A path names a document twice at most once.
//   {"namedQuery": {"name": TEXT, "parent": COLLECTION-PATH-OR-ID, "collectionGroup": BOOL,
//                   "where": [[FIELD, OP, VALUE], ...], "orderBy": [[FIELD, "asc"|"desc"], ...],
//                   "limit": N, "limitType": "first"|"last"}}
//       A query the app can run later by its name. Only "name" and "parent" are required; FIELD
//       is a dot-separated field path, OP one of the operators of DEVFilter.
//
// A VALUE is an object with exactly one key that says its kind:
//   {"null": null}   {"boolean": true}   {"integer": "-12"} (text or a JSON integer)
//   {"double": 1.5} (or "NaN", "Infinity", "-Infinity")   {"string": "text"}
//   {"timestamp": {"seconds": N, "nanos": N}}   {"bytes": BASE64}
//   {"reference": DOCUMENT-PATH}   {"geoPoint": {"latitude": X, "longitude": Y}}
//   {"array": [VALUE, ...]}   {"map": {NAME: VALUE, ...}}
//
// Parsing reads the whole bundle before anything is loaded: a bundle with any fault (a bad
// length, bad JSON, an element out of place, a count or size that does not match, a bad path or
// value) is refused whole. Input-driven limits: JSON nests at most 64 levels deep.
//
// Thread safety: parsing is a pure function.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// One parsed bundle.
struct DEVBundle {
  struct Document {
    std::string path;
    std::optional<fnd::Dictionary> data;  // nullopt: the document does not exist.
    int64_t endOffset = 0;                // Bytes of the bundle up to the end of this element.
  };
  struct NamedQuery {
    std::string name;
    std::string parent;
    bool collectionGroup = false;
    // Each [field path, operator, value].
    std::vector<std::tuple<std::string, std::string, fnd::Value>> where;
    // Each [field path, descending].
    std::vector<std::pair<std::string, bool>> orderBy;
    std::optional<int64_t> limit;
    bool limitToLast = false;
  };

  std::string id;
  int64_t totalDocuments = 0;
  int64_t totalBytes = 0;
  int64_t metadataEndOffset = 0;  // Bytes up to the end of the metadata element.
  std::vector<Document> documents;
  std::vector<NamedQuery> namedQueries;

  // The bundle in `bytes`, or nullopt with *error set (domain DEVVireldaErrorDomain, invalid
  // argument, "The bundle is malformed: ..."). `makeReference` turns the path of a reference
  // value (already checked to be a document path) into the value that stands for it.
  static std::optional<DEVBundle> parse(
      const fnd::Data& bytes, const std::function<fnd::Value(const std::string&)>& makeReference,
      fnd::Error* error);
};
