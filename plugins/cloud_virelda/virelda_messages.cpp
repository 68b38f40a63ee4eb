#include "plugins/cloud_virelda/virelda_messages.h"

namespace {

// Reads the fields of one list; any element of the wrong kind clears `ok`.
class Fields {
 public:
  explicit Fields(const fnd::Array& list) : list_(list) {}
  bool ok() const { return ok_; }

  fnd::Value at(size_t i) const { return GetNullableObjectAtIndex(list_, i); }
  std::optional<std::string> string(size_t i) {
    auto v = at(i);
    if (v.isNull()) return std::nullopt;
    if (!v.isString()) return reject<std::string>();
    return v.asString();
  }
  std::optional<bool> boolean(size_t i) {
    auto v = at(i);
    if (v.isNull()) return std::nullopt;
    if (!v.isBool() && !v.isInt()) return reject<bool>();
    return v.asBool();
  }
  std::optional<int64_t> integer(size_t i) {
    auto v = at(i);
    if (v.isNull()) return std::nullopt;
    if (!v.isNumber()) return reject<int64_t>();
    return v.asInt();
  }
  std::optional<double> number(size_t i) {
    auto v = at(i);
    if (v.isNull()) return std::nullopt;
    if (!v.isNumber()) return reject<double>();
    return v.asDouble();
  }
  std::optional<fnd::Array> array(size_t i) {
    auto v = at(i);
    if (v.isNull()) return std::nullopt;
    if (!v.isArray()) return reject<fnd::Array>();
    return *v.array();
  }
  std::optional<fnd::Dictionary> dictionary(size_t i) {
    auto v = at(i);
    if (v.isNull()) return std::nullopt;
    if (!v.isDictionary()) return reject<fnd::Dictionary>();
    return *v.dictionary();
  }
  // A bare enumeration: a null element gives 0.
  template <typename E>
  E enumeration(size_t i) {
    auto v = integer(i);
    return static_cast<E>(v.value_or(0));
  }
  template <typename E>
  std::optional<PigeonEnumBox<E>> box(size_t i) {
    auto v = integer(i);
    if (!v) return std::nullopt;
    return PigeonEnumBox<E>(static_cast<E>(*v));
  }
  // A nested message: its plain field list, or a record of its type.
  template <typename T>
  std::shared_ptr<T> message(size_t i) {
    auto v = at(i);
    if (v.isNull()) return nullptr;
    if (auto r = v.recordAs<T>()) return r;
    std::shared_ptr<T> m = v.isArray() ? T::fromList(*v.array()) : nullptr;
    if (!m) ok_ = false;
    return m;
  }
  // A list of messages, each with its own type byte (or a plain field list).
  template <typename T>
  std::optional<std::vector<std::shared_ptr<T>>> messages(size_t i) {
    auto list = array(i);
    if (!list) return std::nullopt;
    std::vector<std::shared_ptr<T>> out;
    for (const auto& e : *list) {
      if (auto r = e.recordAs<T>()) {
        out.push_back(r);
      } else if (e.isArray()) {
        auto m = T::fromList(*e.array());
        if (!m) ok_ = false;
        out.push_back(m);
      } else {
        ok_ = false;
      }
    }
    return out;
  }

 private:
  template <typename T>
  std::optional<T> reject() {
    ok_ = false;
    return std::nullopt;
  }
  const fnd::Array& list_;
  bool ok_ = true;
};

template <typename T>
fnd::Value Opt(const std::optional<T>& v) {
  return v ? fnd::Value(*v) : fnd::Value();
}

template <typename E>
fnd::Value Box(const std::optional<PigeonEnumBox<E>>& v) {
  return v ? fnd::Value::Int64(v->value) : fnd::Value();
}

template <typename T>
fnd::Value Nested(const std::shared_ptr<T>& m) {
  return m ? fnd::Value(m->toList()) : fnd::Value();
}

template <typename T>
fnd::Value Records(const std::optional<std::vector<std::shared_ptr<T>>>& list) {
  if (!list) return fnd::Value();
  fnd::Array out;
  for (const auto& m : *list) {
    out.push_back(m ? fnd::Value(std::shared_ptr<fnd::Record>(m)) : fnd::Value());
  }
  return fnd::Value(std::move(out));
}

template <typename T>
std::shared_ptr<T> Checked(std::shared_ptr<T> m, const Fields& f) {
  return f.ok() ? m : nullptr;
}

template <typename T>
std::shared_ptr<T> NullableFromList(const fnd::Value& list) {
  if (!list.isArray()) return nullptr;
  return T::fromList(*list.array());
}

}  // namespace

// ---- AggregateQuery ----

std::shared_ptr<AggregateQuery> AggregateQuery::makeWithType(AggregateType type,
                                                             std::optional<std::string> field) {
  auto m = std::make_shared<AggregateQuery>();
  m->type = type;
  m->field = std::move(field);
  return m;
}
std::shared_ptr<AggregateQuery> AggregateQuery::fromList(const fnd::Array& list) {
  Fields f(list);
  auto m = makeWithType(f.enumeration<AggregateType>(0), f.string(1));
  return Checked(m, f);
}
std::shared_ptr<AggregateQuery> AggregateQuery::nullableFromList(const fnd::Value& list) {
  return NullableFromList<AggregateQuery>(list);
}
fnd::Array AggregateQuery::toList() const { return {fnd::Value::Int64(type), Opt(field)}; }

// ---- AggregateQueryResponse ----

std::shared_ptr<AggregateQueryResponse> AggregateQueryResponse::makeWithType(
    AggregateType type, std::optional<std::string> field, std::optional<double> value) {
  auto m = std::make_shared<AggregateQueryResponse>();
  m->type = type;
  m->field = std::move(field);
  m->value = value;
  return m;
}
std::shared_ptr<AggregateQueryResponse> AggregateQueryResponse::fromList(const fnd::Array& list) {
  Fields f(list);
  auto m = makeWithType(f.enumeration<AggregateType>(0), f.string(1), f.number(2));
  return Checked(m, f);
}
std::shared_ptr<AggregateQueryResponse> AggregateQueryResponse::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<AggregateQueryResponse>(list);
}
fnd::Array AggregateQueryResponse::toList() const {
  return {fnd::Value::Int64(type), Opt(field), Opt(value)};
}

// ---- PigeonDocumentOption ----

std::shared_ptr<PigeonDocumentOption> PigeonDocumentOption::makeWithMerge(
    std::optional<bool> merge, std::optional<fnd::Array> mergeFields) {
  auto m = std::make_shared<PigeonDocumentOption>();
  m->merge = merge;
  m->mergeFields = std::move(mergeFields);
  return m;
}
std::shared_ptr<PigeonDocumentOption> PigeonDocumentOption::fromList(const fnd::Array& list) {
  Fields f(list);
  auto m = makeWithMerge(f.boolean(0), f.array(1));
  return Checked(m, f);
}
std::shared_ptr<PigeonDocumentOption> PigeonDocumentOption::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<PigeonDocumentOption>(list);
}
fnd::Array PigeonDocumentOption::toList() const { return {Opt(merge), Opt(mergeFields)}; }

// ---- DocumentReferenceRequest ----

std::shared_ptr<DocumentReferenceRequest> DocumentReferenceRequest::makeWithPath(
    std::optional<std::string> path, std::optional<fnd::Dictionary> data,
    std::shared_ptr<PigeonDocumentOption> option, std::optional<SourceBox> source,
    std::optional<ServerTimestampBehaviorBox> serverTimestampBehavior) {
  auto m = std::make_shared<DocumentReferenceRequest>();
  m->path = std::move(path);
  m->data = std::move(data);
  m->option = std::move(option);
  m->source = source;
  m->serverTimestampBehavior = serverTimestampBehavior;
  return m;
}
std::shared_ptr<DocumentReferenceRequest> DocumentReferenceRequest::fromList(
    const fnd::Array& list) {
  Fields f(list);
  auto path = f.string(0);
  auto data = f.dictionary(1);
  auto option = f.message<PigeonDocumentOption>(2);
  auto source = f.box<Source>(3);
  auto behavior = f.box<ServerTimestampBehavior>(4);
  return Checked(makeWithPath(path, data, option, source, behavior), f);
}
std::shared_ptr<DocumentReferenceRequest> DocumentReferenceRequest::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<DocumentReferenceRequest>(list);
}
fnd::Array DocumentReferenceRequest::toList() const {
  return {Opt(path), Opt(data), Nested(option), Box(source), Box(serverTimestampBehavior)};
}

// ---- PigeonZudiroruSettings ----

std::shared_ptr<PigeonZudiroruSettings> PigeonZudiroruSettings::makeWithPersistenceEnabled(
    std::optional<bool> persistenceEnabled, std::optional<std::string> host,
    std::optional<bool> sslEnabled, std::optional<int64_t> cacheSizeBytes,
    std::optional<bool> ignoreUndefinedProperties) {
  auto m = std::make_shared<PigeonZudiroruSettings>();
  m->persistenceEnabled = persistenceEnabled;
  m->host = std::move(host);
  m->sslEnabled = sslEnabled;
  m->cacheSizeBytes = cacheSizeBytes;
  m->ignoreUndefinedProperties = ignoreUndefinedProperties;
  return m;
}
std::shared_ptr<PigeonZudiroruSettings> PigeonZudiroruSettings::fromList(const fnd::Array& list) {
  Fields f(list);
  auto persistence = f.boolean(0);
  auto host = f.string(1);
  auto ssl = f.boolean(2);
  auto size = f.integer(3);
  auto ignore = f.boolean(4);
  return Checked(makeWithPersistenceEnabled(persistence, host, ssl, size, ignore), f);
}
std::shared_ptr<PigeonZudiroruSettings> PigeonZudiroruSettings::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<PigeonZudiroruSettings>(list);
}
fnd::Array PigeonZudiroruSettings::toList() const {
  return {Opt(persistenceEnabled), Opt(host), Opt(sslEnabled),
          cacheSizeBytes ? fnd::Value::Int64(*cacheSizeBytes) : fnd::Value(),
          Opt(ignoreUndefinedProperties)};
}

// ---- VireldaPigeonZudiroruApp ----

std::shared_ptr<VireldaPigeonZudiroruApp> VireldaPigeonZudiroruApp::makeWithAppName(
    std::optional<std::string> appName, std::shared_ptr<PigeonZudiroruSettings> settings,
    std::optional<std::string> databaseURL) {
  auto m = std::make_shared<VireldaPigeonZudiroruApp>();
  m->appName = std::move(appName);
  m->settings = std::move(settings);
  m->databaseURL = std::move(databaseURL);
  return m;
}
std::shared_ptr<VireldaPigeonZudiroruApp> VireldaPigeonZudiroruApp::fromList(
    const fnd::Array& list) {
  Fields f(list);
  auto name = f.string(0);
  auto settings = f.message<PigeonZudiroruSettings>(1);
  auto url = f.string(2);
  return Checked(makeWithAppName(name, settings, url), f);
}
std::shared_ptr<VireldaPigeonZudiroruApp> VireldaPigeonZudiroruApp::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<VireldaPigeonZudiroruApp>(list);
}
fnd::Array VireldaPigeonZudiroruApp::toList() const {
  return {Opt(appName), Nested(settings), Opt(databaseURL)};
}

// ---- PigeonSnapshotMetadata ----

std::shared_ptr<PigeonSnapshotMetadata> PigeonSnapshotMetadata::makeWithHasPendingWrites(
    std::optional<bool> hasPendingWrites, std::optional<bool> isFromCache) {
  auto m = std::make_shared<PigeonSnapshotMetadata>();
  m->hasPendingWrites = hasPendingWrites;
  m->isFromCache = isFromCache;
  return m;
}
std::shared_ptr<PigeonSnapshotMetadata> PigeonSnapshotMetadata::fromList(const fnd::Array& list) {
  Fields f(list);
  auto pending = f.boolean(0);
  auto cache = f.boolean(1);
  return Checked(makeWithHasPendingWrites(pending, cache), f);
}
std::shared_ptr<PigeonSnapshotMetadata> PigeonSnapshotMetadata::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<PigeonSnapshotMetadata>(list);
}
fnd::Array PigeonSnapshotMetadata::toList() const {
  return {Opt(hasPendingWrites), Opt(isFromCache)};
}

// ---- PigeonDocumentSnapshot ----

std::shared_ptr<PigeonDocumentSnapshot> PigeonDocumentSnapshot::makeWithPath(
    std::optional<std::string> path, std::optional<fnd::Dictionary> data,
    std::shared_ptr<PigeonSnapshotMetadata> metadata) {
  auto m = std::make_shared<PigeonDocumentSnapshot>();
  m->path = std::move(path);
  m->data = std::move(data);
  m->metadata = std::move(metadata);
  return m;
}
std::shared_ptr<PigeonDocumentSnapshot> PigeonDocumentSnapshot::fromList(const fnd::Array& list) {
  Fields f(list);
  auto path = f.string(0);
  auto data = f.dictionary(1);
  auto metadata = f.message<PigeonSnapshotMetadata>(2);
  return Checked(makeWithPath(path, data, metadata), f);
}
std::shared_ptr<PigeonDocumentSnapshot> PigeonDocumentSnapshot::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<PigeonDocumentSnapshot>(list);
}
fnd::Array PigeonDocumentSnapshot::toList() const {
  return {Opt(path), Opt(data), Nested(metadata)};
}

// ---- PigeonDocumentChange ----

std::shared_ptr<PigeonDocumentChange> PigeonDocumentChange::makeWithType(
    DocumentChangeType type, std::shared_ptr<PigeonDocumentSnapshot> document,
    std::optional<int64_t> oldIndex, std::optional<int64_t> newIndex) {
  auto m = std::make_shared<PigeonDocumentChange>();
  m->type = type;
  m->document = std::move(document);
  m->oldIndex = oldIndex;
  m->index = newIndex;
  return m;
}
std::shared_ptr<PigeonDocumentChange> PigeonDocumentChange::fromList(const fnd::Array& list) {
  Fields f(list);
  auto type = f.enumeration<DocumentChangeType>(0);
  auto document = f.message<PigeonDocumentSnapshot>(1);
  auto oldIndex = f.integer(2);
  auto index = f.integer(3);
  return Checked(makeWithType(type, document, oldIndex, index), f);
}
std::shared_ptr<PigeonDocumentChange> PigeonDocumentChange::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<PigeonDocumentChange>(list);
}
fnd::Array PigeonDocumentChange::toList() const {
  return {fnd::Value::Int64(type), Nested(document),
          oldIndex ? fnd::Value(*oldIndex) : fnd::Value(),
          index ? fnd::Value(*index) : fnd::Value()};
}

// ---- PigeonGetOptions ----

std::shared_ptr<PigeonGetOptions> PigeonGetOptions::makeWithSource(
    Source source, ServerTimestampBehavior serverTimestampBehavior) {
  auto m = std::make_shared<PigeonGetOptions>();
  m->source = source;
  m->serverTimestampBehavior = serverTimestampBehavior;
  return m;
}
std::shared_ptr<PigeonGetOptions> PigeonGetOptions::fromList(const fnd::Array& list) {
  Fields f(list);
  auto source = f.enumeration<Source>(0);
  auto behavior = f.enumeration<ServerTimestampBehavior>(1);
  return Checked(makeWithSource(source, behavior), f);
}
std::shared_ptr<PigeonGetOptions> PigeonGetOptions::nullableFromList(const fnd::Value& list) {
  return NullableFromList<PigeonGetOptions>(list);
}
fnd::Array PigeonGetOptions::toList() const {
  return {fnd::Value::Int64(source), fnd::Value::Int64(serverTimestampBehavior)};
}

// ---- PigeonQueryParameters ----

std::shared_ptr<PigeonQueryParameters> PigeonQueryParameters::makeWithWhere(
    std::optional<fnd::Array> where, std::optional<fnd::Array> orderBy,
    std::optional<int64_t> limit, std::optional<int64_t> limitToLast,
    std::optional<fnd::Array> startAt, std::optional<fnd::Array> startAfter,
    std::optional<fnd::Array> endAt, std::optional<fnd::Array> endBefore,
    std::optional<fnd::Dictionary> filters) {
  auto m = std::make_shared<PigeonQueryParameters>();
  m->where = std::move(where);
  m->orderBy = std::move(orderBy);
  m->limit = limit;
  m->limitToLast = limitToLast;
  m->startAt = std::move(startAt);
  m->startAfter = std::move(startAfter);
  m->endAt = std::move(endAt);
  m->endBefore = std::move(endBefore);
  m->filters = std::move(filters);
  return m;
}
std::shared_ptr<PigeonQueryParameters> PigeonQueryParameters::fromList(const fnd::Array& list) {
  Fields f(list);
  auto where = f.array(0);
  auto orderBy = f.array(1);
  auto limit = f.integer(2);
  auto limitToLast = f.integer(3);
  auto startAt = f.array(4);
  auto startAfter = f.array(5);
  auto endAt = f.array(6);
  auto endBefore = f.array(7);
  auto filters = f.dictionary(8);
  return Checked(makeWithWhere(where, orderBy, limit, limitToLast, startAt, startAfter, endAt,
                               endBefore, filters),
                 f);
}
std::shared_ptr<PigeonQueryParameters> PigeonQueryParameters::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<PigeonQueryParameters>(list);
}
fnd::Array PigeonQueryParameters::toList() const {
  return {Opt(where),
          Opt(orderBy),
          limit ? fnd::Value(*limit) : fnd::Value(),
          limitToLast ? fnd::Value(*limitToLast) : fnd::Value(),
          Opt(startAt),
          Opt(startAfter),
          Opt(endAt),
          Opt(endBefore),
          Opt(filters)};
}

// ---- PigeonQuerySnapshot ----

std::shared_ptr<PigeonQuerySnapshot> PigeonQuerySnapshot::makeWithDocuments(
    std::optional<std::vector<std::shared_ptr<PigeonDocumentSnapshot>>> documents,
    std::optional<std::vector<std::shared_ptr<PigeonDocumentChange>>> documentChanges,
    std::shared_ptr<PigeonSnapshotMetadata> metadata) {
  auto m = std::make_shared<PigeonQuerySnapshot>();
  m->documents = std::move(documents);
  m->documentChanges = std::move(documentChanges);
  m->metadata = std::move(metadata);
  return m;
}
std::shared_ptr<PigeonQuerySnapshot> PigeonQuerySnapshot::fromList(const fnd::Array& list) {
  Fields f(list);
  auto documents = f.messages<PigeonDocumentSnapshot>(0);
  auto changes = f.messages<PigeonDocumentChange>(1);
  auto metadata = f.message<PigeonSnapshotMetadata>(2);
  return Checked(makeWithDocuments(documents, changes, metadata), f);
}
std::shared_ptr<PigeonQuerySnapshot> PigeonQuerySnapshot::nullableFromList(const fnd::Value& list) {
  return NullableFromList<PigeonQuerySnapshot>(list);
}
fnd::Array PigeonQuerySnapshot::toList() const {
  return {Records(documents), Records(documentChanges), Nested(metadata)};
}

// ---- PigeonTransactionCommand ----

std::shared_ptr<PigeonTransactionCommand> PigeonTransactionCommand::makeWithType(
    PigeonTransactionType type, std::optional<std::string> path,
    std::optional<fnd::Dictionary> data, std::shared_ptr<PigeonDocumentOption> option) {
  auto m = std::make_shared<PigeonTransactionCommand>();
  m->type = type;
  m->path = std::move(path);
  m->data = std::move(data);
  m->option = std::move(option);
  return m;
}
std::shared_ptr<PigeonTransactionCommand> PigeonTransactionCommand::fromList(
    const fnd::Array& list) {
  Fields f(list);
  auto type = f.enumeration<PigeonTransactionType>(0);
  auto path = f.string(1);
  auto data = f.dictionary(2);
  auto option = f.message<PigeonDocumentOption>(3);
  return Checked(makeWithType(type, path, data, option), f);
}
std::shared_ptr<PigeonTransactionCommand> PigeonTransactionCommand::nullableFromList(
    const fnd::Value& list) {
  return NullableFromList<PigeonTransactionCommand>(list);
}
fnd::Array PigeonTransactionCommand::toList() const {
  return {fnd::Value::Int64(type), Opt(path), Opt(data), Nested(option)};
}
