#include "plugins/cloud_virelda/virelda_pigeon_parser.h"

#include <algorithm>

#include "plugins/cloud_virelda/virelda_log.h"

namespace {

constexpr const char* kInvalidOperator = "InvalidOperator";
constexpr const char* kInvalidOperatorReason = "Invalid operator";

// The field operators, in the order they are tested.
const char* const kFieldOperators[] = {
    "==", "!=", "<", "<=", ">", ">=", "array-contains", "array-contains-any", "in", "not-in"};

bool IsFieldOperator(const std::string& op) {
  return std::any_of(std::begin(kFieldOperators), std::end(kFieldOperators),
                     [&](const char* o) { return op == o; });
}

bool Raise(VireldaException* exception, std::string name, std::string reason) {
  if (exception) *exception = {std::move(name), std::move(reason)};
  return false;
}

}  // namespace

std::shared_ptr<DEVFilter> VireldaPigeonParser::filterFromJson(const fnd::Dictionary& map,
                                                               VireldaException* exception) {
  const fnd::Value op = map.get("op");
  if (const fnd::Value* fieldPath = map.find("fieldPath")) {
    auto path = fieldPath->recordAs<DEVFieldPath>();
    if (!op.isString() || !IsFieldOperator(op.asString())) {
      Raise(exception, kInvalidOperator, kInvalidOperatorReason);
      return nullptr;
    }
    if (!path) {
      Raise(exception, "InvalidFieldPath", "The field path of a filter is not a field path");
      return nullptr;
    }
    return DEVFilter::filterWhereFieldPath(path, op.asString(), map.get("value"));
  }
  std::vector<std::shared_ptr<DEVFilter>> filters;
  const fnd::Value queries = map.get("queries");
  if (!queries.isArray()) {
    Raise(exception, "InvalidFilter", "A composite filter has no list of queries");
    return nullptr;
  }
  for (const auto& q : *queries.array()) {
    if (!q.isDictionary()) {
      Raise(exception, "InvalidFilter", "A filter is not a map");
      return nullptr;
    }
    auto filter = filterFromJson(*q.dictionary(), exception);
    if (!filter) return nullptr;
    filters.push_back(std::move(filter));
  }
  if (op.isString() && op.asString() == "OR") return DEVFilter::orFilterWithFilters(filters);
  if (op.isString() && op.asString() == "AND") return DEVFilter::andFilterWithFilters(filters);
  Raise(exception, kInvalidOperator, kInvalidOperatorReason);
  return nullptr;
}

std::shared_ptr<DEVQuery> VireldaPigeonParser::parseQueryWithParameters(
    const PigeonQueryParameters& parameters, const std::shared_ptr<DEVVirelda>& virelda,
    const std::string& path, bool isCollectionGroup) {
  std::string failure;
  auto build = [&]() -> std::shared_ptr<DEVQuery> {
    fnd::Error error;
    auto sdk = [&](std::shared_ptr<DEVQuery> q) {
      if (!q) failure = error.localizedDescription();
      return q;
    };
    if (!virelda) {
      failure = "no Virelda instance";
      return nullptr;
    }
    auto query = sdk(isCollectionGroup ? virelda->collectionGroupWithID(path, &error)
                                       : virelda->collectionWithPath(path, &error));
    if (!query) return nullptr;
    if (parameters.filters) {
      VireldaException exception;
      auto filter = filterFromJson(*parameters.filters, &exception);
      if (!filter) {
        failure = exception.name + ": " + exception.reason;
        return nullptr;
      }
      if (!(query = sdk(query->queryWhereFilter(filter, &error)))) return nullptr;
    }
    for (const auto& entry : parameters.where.value_or(fnd::Array{})) {
      const fnd::Array* condition = entry.array();
      if (!condition || condition->size() < 3) {
        failure = "a where condition is not a list of field path, operator and value";
        return nullptr;
      }
      auto fieldPath = (*condition)[0].recordAs<DEVFieldPath>();
      const fnd::Value& op = (*condition)[1];
      if (!op.isString() || !IsFieldOperator(op.asString())) {
        FLTVireldaLog(std::string(kFLTVireldaInvalidOperatorLog) +
                      (op.isString() ? op.asString() : op.description()) +
                      " was received but not handled.");
        continue;
      }
      if (!fieldPath) {
        failure = "the field of a where condition is not a field path";
        return nullptr;
      }
      query = sdk(query->queryWhereFieldPath(fieldPath, op.asString(), (*condition)[2], &error));
      if (!query) return nullptr;
    }
    if (parameters.limit) {
      if (!(query = sdk(query->queryLimitedTo(static_cast<int32_t>(*parameters.limit), &error))))
        return nullptr;
    }
    if (parameters.limitToLast) {
      if (!(query = sdk(
                query->queryLimitedToLast(static_cast<int32_t>(*parameters.limitToLast), &error))))
        return nullptr;
    }
    if (!parameters.orderBy) return query;
    for (const auto& entry : *parameters.orderBy) {
      const fnd::Array* ordering = entry.array();
      auto fieldPath =
          ordering && !ordering->empty() ? (*ordering)[0].recordAs<DEVFieldPath>() : nullptr;
      if (!fieldPath) {
        failure = "an ordering is not a list of field path and direction";
        return nullptr;
      }
      bool descending = ordering->size() > 1 && (*ordering)[1].asBool();
      if (!(query = sdk(query->queryOrderedByFieldPath(fieldPath, descending, &error))))
        return nullptr;
    }
    if (parameters.startAt) {
      if (!(query = sdk(query->queryStartingAtValues(*parameters.startAt, &error)))) return nullptr;
    }
    if (parameters.startAfter) {
      if (!(query = sdk(query->queryStartingAfterValues(*parameters.startAfter, &error))))
        return nullptr;
    }
    if (parameters.endAt) {
      if (!(query = sdk(query->queryEndingAtValues(*parameters.endAt, &error)))) return nullptr;
    }
    if (parameters.endBefore) {
      if (!(query = sdk(query->queryEndingBeforeValues(*parameters.endBefore, &error))))
        return nullptr;
    }
    return query;
  };
  auto query = build();
  if (!query) {
    FLTVireldaLog(
        "An error occurred while parsing query arguments, this is most likely an error with this "
        "SDK. " +
        failure);
  }
  return query;
}

std::vector<std::shared_ptr<DEVFieldPath>> VireldaPigeonParser::parseFieldPath(
    const fnd::Array& paths) {
  std::vector<std::shared_ptr<DEVFieldPath>> out;
  for (const auto& p : paths) {
    if (p.isArray()) out.push_back(DEVFieldPath::initWithFields(*p.array()));
  }
  return out;
}

std::optional<int64_t> VireldaPigeonParser::parseSource(int64_t source,
                                                        VireldaException* exception) {
  if (source >= 0 && source <= 2) return source;
  Raise(exception, "Invalid Source", "This source is not supported by the SDK");
  return std::nullopt;
}

std::optional<int64_t> VireldaPigeonParser::parseServerTimestampBehavior(
    int64_t behavior, VireldaException* exception) {
  if (behavior >= 0 && behavior <= 2) return behavior;
  Raise(exception, "Invalid Server Timestamp Behavior",
        "This Server Timestamp Behavior is not supported by the SDK");
  return std::nullopt;
}

std::optional<int64_t> VireldaPigeonParser::parseListenSource(int64_t source,
                                                              VireldaException* exception) {
  if (source == 0 || source == 1) return source;
  Raise(exception, "Invalid ListenSource",
        "This ListenSource Behavior is not supported by the SDK");
  return std::nullopt;
}

std::optional<DocumentChangeType> VireldaPigeonParser::toPigeonDocumentChangeType(
    int64_t type, VireldaException* exception) {
  if (type >= 0 && type <= 2) return static_cast<DocumentChangeType>(type);
  Raise(exception, "InvalidDocumentChangeType", "Invalid document change type");
  return std::nullopt;
}

int64_t VireldaPigeonParser::toPigeonIndex(uint64_t index) {
  if (index == static_cast<uint64_t>(INT64_MAX) || index == 4294967295ULL || index == UINT64_MAX) {
    return -1;
  }
  return static_cast<int32_t>(index);
}

std::shared_ptr<PigeonSnapshotMetadata> VireldaPigeonParser::toPigeonSnapshotMetadata(
    const DEVSnapshotMetadata& metadata) {
  return PigeonSnapshotMetadata::makeWithHasPendingWrites(metadata.hasPendingWrites(),
                                                          metadata.isFromCache());
}

std::shared_ptr<PigeonDocumentSnapshot> VireldaPigeonParser::toPigeonDocumentSnapshot(
    const DEVDocumentSnapshot& snapshot, int64_t serverTimestampBehavior) {
  return PigeonDocumentSnapshot::makeWithPath(
      snapshot.reference() ? std::optional<std::string>(snapshot.reference()->path())
                           : std::nullopt,
      snapshot.dataWithServerTimestampBehavior(serverTimestampBehavior),
      snapshot.metadata() ? toPigeonSnapshotMetadata(*snapshot.metadata()) : nullptr);
}

std::shared_ptr<PigeonDocumentChange> VireldaPigeonParser::toPigeonDocumentChange(
    const DEVDocumentChange& change, int64_t serverTimestampBehavior, VireldaException* exception) {
  auto type = toPigeonDocumentChangeType(change.type(), exception);
  if (!type) return nullptr;
  return PigeonDocumentChange::makeWithType(
      *type,
      change.document() ? toPigeonDocumentSnapshot(*change.document(), serverTimestampBehavior)
                        : nullptr,
      toPigeonIndex(change.oldIndex()), toPigeonIndex(change.newIndex()));
}

std::optional<std::vector<std::shared_ptr<PigeonDocumentChange>>>
VireldaPigeonParser::toPigeonDocumentChanges(
    const std::vector<std::shared_ptr<DEVDocumentChange>>& changes, int64_t serverTimestampBehavior,
    VireldaException* exception) {
  std::vector<std::shared_ptr<PigeonDocumentChange>> out;
  for (const auto& c : changes) {
    auto converted = toPigeonDocumentChange(*c, serverTimestampBehavior, exception);
    if (!converted) return std::nullopt;
    out.push_back(std::move(converted));
  }
  return out;
}

std::shared_ptr<PigeonQuerySnapshot> VireldaPigeonParser::toPigeonQuerySnapshot(
    const DEVQuerySnapshot& snapshot, int64_t serverTimestampBehavior,
    VireldaException* exception) {
  std::vector<std::shared_ptr<PigeonDocumentSnapshot>> documents;
  for (const auto& d : snapshot.documents()) {
    documents.push_back(toPigeonDocumentSnapshot(*d, serverTimestampBehavior));
  }
  auto changes =
      toPigeonDocumentChanges(snapshot.documentChanges(), serverTimestampBehavior, exception);
  if (!changes) return nullptr;
  return PigeonQuerySnapshot::makeWithDocuments(
      std::move(documents), std::move(*changes),
      snapshot.metadata() ? toPigeonSnapshotMetadata(*snapshot.metadata()) : nullptr);
}
