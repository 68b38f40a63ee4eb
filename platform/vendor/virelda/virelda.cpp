#include "platform/vendor/virelda/virelda.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/vendor/virelda/bundle.h"

namespace {

// Process-wide state of the SDK stand-in.
struct Registry {
  std::mutex mu;
  std::function<DEVVireldaTesting::BundleScript(const fnd::Data&)> bundleScript;
  bool holdBundles = false;
  std::vector<std::function<void()>> pendingBundles;
  // Guarded by mu.
  std::map<std::string, std::shared_ptr<DEVVirelda::Store>> stores;
  std::map<std::string, std::shared_ptr<DEVVirelda>> live;
  size_t made = 0;
  DEVVireldaTesting::Fault fault;
  std::optional<double> serverTime;
  bool logging = false;
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

std::string StoreKey(const std::string& app, const std::string& database) {
  return app + "|" + database;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    out.push_back(path.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return out;
}

// Number of segments when every segment is non-empty, else 0.
size_t SegmentCount(const std::string& path) {
  if (path.empty()) return 0;
  auto parts = SplitPath(path);
  for (const auto& p : parts) {
    if (p.empty()) return 0;
  }
  return parts.size();
}

std::string ParentPath(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string LastSegment(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

double ServerNow() {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (r.serverTime) return *r.serverTime;
  return dispatch::Clock::current()->wallTime();
}

// Canonical order of values of different kinds, as the database sorts them.
int TypeOrder(const fnd::Value& v) {
  switch (v.kind()) {
    case fnd::Value::Kind::kNull:
      return 0;
    case fnd::Value::Kind::kBool:
      return 1;
    case fnd::Value::Kind::kInt:
    case fnd::Value::Kind::kDouble:
      return 2;
    case fnd::Value::Kind::kDate:
      return 3;
    case fnd::Value::Kind::kString:
      return 4;
    case fnd::Value::Kind::kData:
      return 5;
    case fnd::Value::Kind::kArray:
      return 8;
    case fnd::Value::Kind::kDictionary:
      return 10;
    case fnd::Value::Kind::kRecord:
      if (v.recordAs<DEVTimestamp>()) return 3;
      if (v.recordAs<DEVDocumentReference>()) return 6;
      if (v.recordAs<DEVGeoPoint>()) return 7;
      if (v.recordAs<DEVVectorValue>()) return 9;
      return 11;
    default:
      return 12;
  }
}

template <typename T>
int Cmp(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int CompareValues(const fnd::Value& a, const fnd::Value& b);

int CompareArrays(const fnd::Array& a, const fnd::Array& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    int c = CompareValues(a[i], b[i]);
    if (c) return c;
  }
  return Cmp(a.size(), b.size());
}

double TimeOf(const fnd::Value& v) {
  if (auto d = v.date()) return d->secondsSince1970;
  if (auto t = v.recordAs<DEVTimestamp>()) return t->dateValue();
  return 0;
}

// Total order of field values: by kind, then by content. NaN sorts before every other number.
int CompareValues(const fnd::Value& a, const fnd::Value& b) {
  int ta = TypeOrder(a), tb = TypeOrder(b);
  if (ta != tb) return Cmp(ta, tb);
  switch (ta) {
    case 1:
      return Cmp(a.asBool(), b.asBool());
    case 2: {
      if (a.isInt() && b.isInt()) return Cmp(a.asInt(), b.asInt());
      double x = a.asDouble(), y = b.asDouble();
      if (std::isnan(x) || std::isnan(y)) return Cmp(!std::isnan(x), !std::isnan(y));
      return Cmp(x, y);
    }
    case 3:
      return Cmp(TimeOf(a), TimeOf(b));
    case 4:
      return Cmp(a.asString(), b.asString());
    case 5:
      return Cmp(*a.data(), *b.data());
    case 6:
      return Cmp(a.recordAs<DEVDocumentReference>()->path(),
                 b.recordAs<DEVDocumentReference>()->path());
    case 7: {
      auto x = a.recordAs<DEVGeoPoint>(), y = b.recordAs<DEVGeoPoint>();
      int c = Cmp(x->latitude(), y->latitude());
      return c ? c : Cmp(x->longitude(), y->longitude());
    }
    case 8:
      return CompareArrays(*a.array(), *b.array());
    case 9: {
      auto& x = a.recordAs<DEVVectorValue>()->array();
      auto& y = b.recordAs<DEVVectorValue>()->array();
      return x.size() != y.size() ? Cmp(x.size(), y.size()) : CompareArrays(x, y);
    }
    case 10: {
      auto& x = a.dictionary()->entries();
      auto& y = b.dictionary()->entries();
      for (size_t i = 0; i < x.size() && i < y.size(); ++i) {
        int c = CompareValues(x[i].first, y[i].first);
        if (!c) c = CompareValues(x[i].second, y[i].second);
        if (c) return c;
      }
      return Cmp(x.size(), y.size());
    }
    default:
      return a == b ? 0 : Cmp(a.description(), b.description());
  }
}

bool ValuesEqual(const fnd::Value& a, const fnd::Value& b) {
  if (a.isNumber() && b.isNumber()) return CompareValues(a, b) == 0 && !std::isnan(a.asDouble());
  return TypeOrder(a) == TypeOrder(b) && CompareValues(a, b) == 0;
}

bool ArrayContains(const fnd::Array& array, const fnd::Value& v) {
  return std::any_of(array.begin(), array.end(),
                     [&](const fnd::Value& e) { return ValuesEqual(e, v); });
}

// The value at a field path in a document, or nullopt when the field is missing.
std::optional<fnd::Value> FieldValue(const DEVDocumentSnapshot& doc, const DEVFieldPath& path) {
  if (path.isDocumentID()) return fnd::Value(std::shared_ptr<fnd::Record>(doc.reference()));
  auto segments = path.segments();
  auto data = doc.data();
  if (!segments || !data) return std::nullopt;
  fnd::Value current(*data);
  for (const auto& s : *segments) {
    auto dict = current.dictionary();
    if (!dict) return std::nullopt;
    auto next = dict->find(fnd::Value(s));
    if (!next) return std::nullopt;
    fnd::Value value = *next;  // next points into current: copy before replacing it.
    current = std::move(value);
  }
  return current;
}

bool MatchesField(const DEVFilter& f, const DEVDocumentSnapshot& doc) {
  auto value = FieldValue(doc, *f.fieldPath());
  if (!value) return false;
  fnd::Value v = *value;
  const fnd::Value& operand = f.value();
  if (f.fieldPath()->isDocumentID()) {
    auto ref = v.recordAs<DEVDocumentReference>();
    // A plain string compares with the document's id.
    auto asOperand = [&](const fnd::Value& o) {
      return o.isString() ? fnd::Value(ref->documentID()) : v;
    };
    if (f.op() == "in" || f.op() == "not-in") {
      const auto* list = operand.array();
      if (!list) return false;
      bool found = std::any_of(list->begin(), list->end(),
                               [&](const fnd::Value& o) { return ValuesEqual(asOperand(o), o); });
      return f.op() == "in" ? found : !found;
    }
    v = asOperand(operand);
  }
  const std::string& op = f.op();
  if (op == "==") return ValuesEqual(v, operand);
  if (op == "!=") return !v.isNull() && !ValuesEqual(v, operand);
  if (op == "<" || op == "<=" || op == ">" || op == ">=") {
    if (TypeOrder(v) != TypeOrder(operand)) return false;
    if ((v.isNumber() && std::isnan(v.asDouble())) ||
        (operand.isNumber() && std::isnan(operand.asDouble())))
      return false;
    int c = CompareValues(v, operand);
    if (op == "<") return c < 0;
    if (op == "<=") return c <= 0;
    if (op == ">") return c > 0;
    return c >= 0;
  }
  if (op == "array-contains") return v.array() && ArrayContains(*v.array(), operand);
  if (op == "array-contains-any") {
    if (!v.array() || !operand.array()) return false;
    for (const auto& o : *operand.array()) {
      if (ArrayContains(*v.array(), o)) return true;
    }
    return false;
  }
  if (op == "in") return operand.array() && ArrayContains(*operand.array(), v);
  if (op == "not-in") return !v.isNull() && operand.array() && !ArrayContains(*operand.array(), v);
  return false;
}

bool Matches(const DEVFilter& f, const DEVDocumentSnapshot& doc) {
  if (!f.isComposite()) return MatchesField(f, doc);
  if (f.isOr()) {
    return std::any_of(f.filters().begin(), f.filters().end(),
                       [&](const auto& c) { return Matches(*c, doc); });
  }
  return std::all_of(f.filters().begin(), f.filters().end(),
                     [&](const auto& c) { return Matches(*c, doc); });
}

bool IsKnownOperator(const std::string& op) {
  static const char* const kOps[] = {
      "==", "!=", "<", "<=", ">", ">=", "array-contains", "array-contains-any", "in", "not-in"};
  return std::any_of(std::begin(kOps), std::end(kOps), [&](const char* o) { return op == o; });
}

// Checks one field condition the way the SDK does when the query is built.
bool ValidateFieldFilter(const DEVFieldPath* path, const std::string& op, const fnd::Value& value,
                         fnd::Error* error) {
  if (!path || (!path->isDocumentID() && !path->segments())) {
    return fnd::SetError(
        error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument, "Invalid field path."));
  }
  if (!IsKnownOperator(op)) {
    return fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                                "Invalid query operator '" + op + "'."));
  }
  if (op == "in" || op == "not-in" || op == "array-contains-any") {
    if (!value.array() || value.array()->empty()) {
      return fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                                  "Invalid Query. A non-empty array is required "
                                                  "for '" +
                                                      op + "' filters."));
    }
  }
  return true;
}

bool ValidateFilter(const DEVFilter& f, fnd::Error* error) {
  if (!f.isComposite()) return ValidateFieldFilter(f.fieldPath().get(), f.op(), f.value(), error);
  for (const auto& c : f.filters()) {
    if (!c || !ValidateFilter(*c, error)) {
      if (!c) {
        fnd::SetError(error,
                      DEVVireldaError(DEVVireldaErrorCodeInvalidArgument, "Invalid filter."));
      }
      return false;
    }
  }
  return true;
}

fnd::Value ToNumber(double d, bool integral, int64_t i) {
  return integral ? fnd::Value::Int64(i) : fnd::Value(d);
}

// Resolves one value being written: sentinels against the previous value, dates to timestamps,
// nested maps and arrays recursively. Returns nullopt for a delete sentinel (the field goes).
std::optional<fnd::Value> ResolveValue(const fnd::Value& value,
                                       const std::optional<fnd::Value>& old, bool allowDelete,
                                       fnd::Error* error, bool* failed) {
  if (auto fv = value.recordAs<DEVFieldValue>()) {
    switch (fv->kind()) {
      case DEVFieldValue::Kind::kDelete:
        if (!allowDelete) {
          *failed = true;
          fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                               "FieldValue.delete() can only be used with update() "
                                               "and set() with merge."));
        }
        return std::nullopt;
      case DEVFieldValue::Kind::kServerTimestamp:
        return fnd::Value(
            std::shared_ptr<fnd::Record>(DEVTimestamp::timestampWithDate(ServerNow())));
      case DEVFieldValue::Kind::kArrayUnion: {
        fnd::Array result = old && old->array() ? *old->array() : fnd::Array{};
        for (const auto& e : *fv->operand().array()) {
          if (!ArrayContains(result, e)) result.push_back(e);
        }
        return fnd::Value(std::move(result));
      }
      case DEVFieldValue::Kind::kArrayRemove: {
        fnd::Array result;
        if (old && old->array()) {
          for (const auto& e : *old->array()) {
            if (!ArrayContains(*fv->operand().array(), e)) result.push_back(e);
          }
        }
        return fnd::Value(std::move(result));
      }
      case DEVFieldValue::Kind::kDoubleIncrement:
      case DEVFieldValue::Kind::kIntegerIncrement: {
        const fnd::Value& by = fv->operand();
        fnd::Value base = old && old->isNumber() ? *old : fnd::Value::Int64(0);
        bool integral = base.isInt() && by.isInt();
        return ToNumber(base.asDouble() + by.asDouble(), integral, base.asInt() + by.asInt());
      }
    }
  }
  if (auto d = value.date()) {
    return fnd::Value(
        std::shared_ptr<fnd::Record>(DEVTimestamp::timestampWithDate(d->secondsSince1970)));
  }
  if (auto dict = value.dictionary()) {
    fnd::Dictionary out;
    const fnd::Dictionary* oldDict = old && old->dictionary() ? old->dictionary() : nullptr;
    for (const auto& [k, v] : *dict) {
      std::optional<fnd::Value> prev;
      if (oldDict) {
        if (auto p = oldDict->find(k)) prev = *p;
      }
      auto r = ResolveValue(v, prev, allowDelete, error, failed);
      if (*failed) return std::nullopt;
      if (r) out.set(k, *r);
    }
    return fnd::Value(std::move(out));
  }
  if (auto array = value.array()) {
    fnd::Array out;
    for (const auto& e : *array) {
      if (e.recordAs<DEVFieldValue>()) {
        *failed = true;
        fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                             "FieldValue sentinels are not supported in arrays."));
        return std::nullopt;
      }
      auto r = ResolveValue(e, std::nullopt, false, error, failed);
      if (*failed) return std::nullopt;
      out.push_back(r ? *r : fnd::Value());
    }
    return fnd::Value(std::move(out));
  }
  return value;
}

// Writes value (already unresolved) at segments inside doc, creating maps on the way.
bool SetAtPath(fnd::Dictionary& doc, const std::vector<std::string>& segments, size_t index,
               const fnd::Value& value, fnd::Error* error) {
  fnd::Value key(segments[index]);
  std::optional<fnd::Value> old;
  if (auto p = doc.find(key)) old = *p;
  if (index + 1 == segments.size()) {
    bool failed = false;
    auto resolved = ResolveValue(value, old, true, error, &failed);
    if (failed) return false;
    if (resolved) {
      doc.set(key, *resolved);
    } else {
      doc.erase(key);
    }
    return true;
  }
  fnd::Dictionary child = old && old->dictionary() ? *old->dictionary() : fnd::Dictionary{};
  if (!SetAtPath(child, segments, index + 1, value, error)) return false;
  doc.set(key, fnd::Value(std::move(child)));
  return true;
}

// The value at segments inside data, or nullopt.
std::optional<fnd::Value> GetAtPath(const fnd::Dictionary& data,
                                    const std::vector<std::string>& segments) {
  fnd::Value current(data);
  for (const auto& s : segments) {
    auto dict = current.dictionary();
    if (!dict) return std::nullopt;
    auto next = dict->find(fnd::Value(s));
    if (!next) return std::nullopt;
    fnd::Value value = *next;  // next points into current: copy before replacing it.
    current = std::move(value);
  }
  return current;
}

// Deep-merges data into doc: maps merge key by key, everything else replaces.
bool MergeInto(fnd::Dictionary& doc, const fnd::Dictionary& data, fnd::Error* error) {
  for (const auto& [k, v] : data) {
    if (!k.isString()) {
      return fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                                  "Document field names must be strings."));
    }
    if (auto dict = v.dictionary()) {
      auto existing = doc.find(k);
      fnd::Dictionary child =
          existing && existing->dictionary() ? *existing->dictionary() : fnd::Dictionary{};
      if (!MergeInto(child, *dict, error)) return false;
      doc.set(k, fnd::Value(std::move(child)));
      continue;
    }
    if (!SetAtPath(doc, {k.asString()}, 0, v, error)) return false;
  }
  return true;
}

// Checks that every document reference inside value names a document of `app` and `database`:
// a document holds references into its own database only.
bool ValidateReferences(const fnd::Value& value, const std::string& app,
                        const std::string& database, fnd::Error* error) {
  if (auto ref = value.recordAs<DEVDocumentReference>()) {
    const auto& owner = ref->virelda();
    std::string refApp = owner && owner->app() ? owner->app()->name() : std::string();
    std::string refDatabase = owner ? owner->databaseID() : std::string();
    if (refApp == app && refDatabase == database) return true;
    return fnd::SetError(
        error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                               "Document reference is for database " + refApp + "/" + refDatabase +
                                   " but should be for "
                                   "database " +
                                   app + "/" + database));
  }
  if (auto dict = value.dictionary()) {
    for (const auto& [k, v] : *dict) {
      if (!ValidateReferences(v, app, database, error)) return false;
    }
  }
  if (auto array = value.array()) {
    for (const auto& e : *array) {
      if (!ValidateReferences(e, app, database, error)) return false;
    }
  }
  if (auto fv = value.recordAs<DEVFieldValue>()) {
    return ValidateReferences(fv->operand(), app, database, error);
  }
  return true;
}

}  // namespace

// One attached snapshot listener of a store.
struct DEVSnapshotListener {
  // Constant after attachment.
  DEVVireldaTesting::Listener info;
  std::shared_ptr<DEVVirelda> virelda;
  std::shared_ptr<const DEVQuery> query;
  DEVDocumentReference::SnapshotCompletion onDocument;
  DEVQuery::Completion onQuery;
  std::function<void()> onSync;

  std::atomic<bool> removed{false};
  // Guarded by mu: what the listener was last sent, to tell whether a write changed it: a
  // query's documents (also for the next snapshot's changes), a document's data.
  std::mutex mu;
  bool delivered = false;
  std::vector<std::shared_ptr<DEVDocumentSnapshot>> previous;
  std::optional<fnd::Dictionary> previousData;
};

struct DEVVirelda::Store {
  std::mutex mu;
  // Guarded by mu: document path -> data, in path order.
  std::map<std::string, fnd::Dictionary> documents;
  // Guarded by mu: the queries that loaded bundles named, by name (the last load wins).
  std::map<std::string, DEVBundle::NamedQuery> namedQueries;

  // Guarded by listenerMu, which is never held while taking mu: listeners by attachment number.
  std::mutex listenerMu;
  uint64_t nextListener = 0;
  std::map<uint64_t, std::shared_ptr<DEVSnapshotListener>> listeners;
};

namespace {

std::shared_ptr<DEVListenerRegistration> AttachListener(
    const std::shared_ptr<DEVVirelda::Store>& store,
    std::shared_ptr<DEVSnapshotListener> listener) {
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(store->listenerMu);
    id = ++store->nextListener;
    store->listeners[id] = listener;
  }
  std::weak_ptr<DEVVirelda::Store> weak = store;
  return std::make_shared<DEVListenerRegistration>([weak, id, listener] {
    listener->removed = true;
    if (auto s = weak.lock()) {
      std::lock_guard<std::mutex> lock(s->listenerMu);
      s->listeners.erase(id);
    }
  });
}

bool ListenerFromCache(const DEVSnapshotListener& listener) {
  return listener.info.source == 1 || !listener.virelda->isNetworkEnabled();
}

void SendListenerError(const std::shared_ptr<DEVSnapshotListener>& listener,
                       const fnd::Error& error) {
  listener->virelda->deliver([listener, error] {
    if (listener->removed) return;
    if (listener->onDocument) listener->onDocument(nullptr, error);
    if (listener->onQuery) listener->onQuery(nullptr, error);
  });
}

// Reads the listener's document now and delivers its snapshot; with `onlyIfChanged`, only when
// the document differs from the last snapshot the listener was sent. True when something (a
// snapshot or an error) was delivered.
bool SendDocumentSnapshot(const std::shared_ptr<DEVSnapshotListener>& listener,
                          bool onlyIfChanged) {
  const auto& virelda = listener->virelda;
  if (auto e = virelda->checkOperation("listen", listener->info.path)) {
    SendListenerError(listener, *e);
    return true;
  }
  std::optional<fnd::Dictionary> data;
  {
    std::lock_guard<std::mutex> lock(virelda->store()->mu);
    data = virelda->readLocked(listener->info.path);
  }
  {
    std::lock_guard<std::mutex> lock(listener->mu);
    if (onlyIfChanged && listener->delivered && listener->previousData == data) return false;
    listener->delivered = true;
    listener->previousData = data;
  }
  auto snapshot = std::make_shared<DEVDocumentSnapshot>(
      virelda->documentWithPath(listener->info.path), std::move(data),
      std::make_shared<DEVSnapshotMetadata>(false, ListenerFromCache(*listener)));
  virelda->deliver([listener, snapshot] {
    if (!listener->removed) listener->onDocument(snapshot, std::nullopt);
  });
  return true;
}

// Runs the listener's query now and delivers its snapshot. Changes against the previous
// snapshot: removals in their old order, then additions and modifications in the new order;
// each index is the document's position in the old or the new result.
// With `onlyIfChanged`, nothing is sent when there are no changes. True when something was
// delivered.
bool SendQuerySnapshot(const std::shared_ptr<DEVSnapshotListener>& listener, bool onlyIfChanged) {
  const auto& virelda = listener->virelda;
  if (auto e = virelda->checkOperation("listen", listener->info.path)) {
    SendListenerError(listener, *e);
    return true;
  }
  fnd::Error error;
  auto documents = listener->query->evaluate(ListenerFromCache(*listener), &error);
  if (!documents) {
    SendListenerError(listener, error);
    return true;
  }
  std::vector<std::shared_ptr<DEVDocumentChange>> changes;
  {
    std::lock_guard<std::mutex> lock(listener->mu);
    const auto& before = listener->previous;
    auto indexIn = [](const std::vector<std::shared_ptr<DEVDocumentSnapshot>>& list,
                      const std::string& path) -> uint64_t {
      for (size_t i = 0; i < list.size(); ++i) {
        if (list[i]->reference()->path() == path) return i;
      }
      return DEVNotFound;
    };
    for (size_t i = 0; i < before.size(); ++i) {
      if (indexIn(*documents, before[i]->reference()->path()) == DEVNotFound) {
        changes.push_back(std::make_shared<DEVDocumentChange>(DEVDocumentChangeTypeRemoved,
                                                              before[i], i, DEVNotFound));
      }
    }
    for (size_t i = 0; i < documents->size(); ++i) {
      const auto& doc = (*documents)[i];
      uint64_t old = indexIn(before, doc->reference()->path());
      if (old == DEVNotFound) {
        changes.push_back(
            std::make_shared<DEVDocumentChange>(DEVDocumentChangeTypeAdded, doc, DEVNotFound, i));
      } else if (!(before[old]->data() == doc->data())) {
        changes.push_back(
            std::make_shared<DEVDocumentChange>(DEVDocumentChangeTypeModified, doc, old, i));
      }
    }
    if (onlyIfChanged && listener->delivered && changes.empty()) return false;
    listener->delivered = true;
    listener->previous = *documents;
  }
  auto snapshot = std::make_shared<DEVQuerySnapshot>(
      std::move(*documents), std::move(changes),
      std::make_shared<DEVSnapshotMetadata>(false, ListenerFromCache(*listener)));
  virelda->deliver([listener, snapshot] {
    if (!listener->removed) listener->onQuery(snapshot, std::nullopt);
  });
  return true;
}

}  // namespace

void DEVListenerRegistration::remove() {
  std::function<void()> onRemove;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (removed_) return;
    removed_ = true;
    onRemove.swap(onRemove_);
  }
  if (onRemove) onRemove();
}

bool DEVListenerRegistration::isRemoved() const {
  std::lock_guard<std::mutex> lock(mu_);
  return removed_;
}

std::shared_ptr<DEVSnapshotListenOptions>
DEVSnapshotListenOptions::optionsWithIncludeMetadataChanges(bool include) const {
  auto options = std::make_shared<DEVSnapshotListenOptions>(*this);
  options->includeMetadataChanges_ = include;
  return options;
}

std::shared_ptr<DEVSnapshotListenOptions> DEVSnapshotListenOptions::optionsWithSource(
    int64_t source) const {
  auto options = std::make_shared<DEVSnapshotListenOptions>(*this);
  options->source_ = source;
  return options;
}

fnd::Error DEVVireldaError(int64_t code, std::string description) {
  return fnd::Error::withDescription(DEVVireldaErrorDomain, code, std::move(description));
}

// ---- Snapshots and aggregates ----

std::optional<fnd::Dictionary> DEVDocumentSnapshot::dataWithServerTimestampBehavior(
    int64_t behavior) const {
  (void)behavior;  // Server timestamps are resolved when written.
  return data_;
}

fnd::Value DEVAggregateQuerySnapshot::valueForAggregateField(const DEVAggregateField& field) const {
  for (const auto& [f, v] : values_) {
    if (f == field) return v;
  }
  return fnd::Value();
}

std::shared_ptr<DEVAggregateField> DEVAggregateField::aggregateFieldForCount() {
  return std::shared_ptr<DEVAggregateField>(new DEVAggregateField(Kind::kCount, ""));
}
std::shared_ptr<DEVAggregateField> DEVAggregateField::aggregateFieldForSumOfField(
    std::string field) {
  return std::shared_ptr<DEVAggregateField>(new DEVAggregateField(Kind::kSum, std::move(field)));
}
std::shared_ptr<DEVAggregateField> DEVAggregateField::aggregateFieldForAverageOfField(
    std::string field) {
  return std::shared_ptr<DEVAggregateField>(
      new DEVAggregateField(Kind::kAverage, std::move(field)));
}

void DEVAggregateQuery::aggregationWithSource(int64_t source, Completion completion) const {
  auto virelda = query_->virelda();
  auto fail = [&](fnd::Error e) {
    virelda->deliver([completion, e] {
      if (completion) completion(nullptr, e);
    });
  };
  if (auto e = virelda->checkOperation("aggregate", query_->path())) return fail(*e);
  if (source != DEVVireldaSourceDefault) {
    return fail(DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                "Aggregate queries are answered by the server only."));
  }
  if (!virelda->isNetworkEnabled()) {
    return fail(DEVVireldaError(DEVVireldaErrorCodeUnavailable,
                                "Failed to get aggregate result: the client is offline."));
  }
  fnd::Error error;
  auto docs = query_->evaluate(false, &error);
  if (!docs) return fail(error);
  std::vector<std::pair<DEVAggregateField, fnd::Value>> values;
  for (const auto& field : fields_) {
    if (field->kind() == DEVAggregateField::Kind::kCount) {
      values.emplace_back(*field, fnd::Value::Int64(static_cast<int64_t>(docs->size())));
      continue;
    }
    auto path = DEVFieldPath::pathWithDotSeparatedString(field->field());
    double sum = 0;
    int64_t intSum = 0;
    bool allInt = true;
    size_t n = 0;
    for (const auto& d : *docs) {
      auto v = FieldValue(*d, *path);
      if (!v || !v->isNumber()) continue;
      sum += v->asDouble();
      intSum += v->asInt();
      allInt = allInt && v->isInt();
      ++n;
    }
    if (field->kind() == DEVAggregateField::Kind::kSum) {
      values.emplace_back(*field, allInt ? fnd::Value::Int64(intSum) : fnd::Value(sum));
    } else {
      values.emplace_back(*field, n ? fnd::Value(sum / n) : fnd::Value());
    }
  }
  auto snapshot =
      std::make_shared<DEVAggregateQuerySnapshot>(static_cast<int64_t>(docs->size()), values);
  virelda->deliver([completion, snapshot] {
    if (completion) completion(snapshot, std::nullopt);
  });
}

// ---- Filters ----

std::shared_ptr<DEVFilter> DEVFilter::filterWhereFieldPath(std::shared_ptr<DEVFieldPath> path,
                                                           std::string op, fnd::Value value) {
  auto f = std::make_shared<DEVFilter>();
  f->path_ = std::move(path);
  f->op_ = std::move(op);
  f->value_ = std::move(value);
  if (!f->path_) f->path_ = DEVFieldPath::initWithFields({});
  return f;
}

std::shared_ptr<DEVFilter> DEVFilter::orFilterWithFilters(
    std::vector<std::shared_ptr<DEVFilter>> filters) {
  auto f = std::make_shared<DEVFilter>();
  f->isOr_ = true;
  f->filters_ = std::move(filters);
  return f;
}

std::shared_ptr<DEVFilter> DEVFilter::andFilterWithFilters(
    std::vector<std::shared_ptr<DEVFilter>> filters) {
  auto f = std::make_shared<DEVFilter>();
  f->filters_ = std::move(filters);
  return f;
}

// ---- Queries ----

std::shared_ptr<DEVQuery> DEVQuery::copy() const {
  return std::shared_ptr<DEVQuery>(new DEVQuery(*this));
}

std::shared_ptr<DEVQuery> DEVQuery::queryWhereFilter(std::shared_ptr<DEVFilter> filter,
                                                     fnd::Error* error) const {
  if (!filter) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument, "Invalid filter."));
    return nullptr;
  }
  if (!ValidateFilter(*filter, error)) return nullptr;
  auto q = copy();
  q->filters_.push_back(std::move(filter));
  return q;
}

std::shared_ptr<DEVQuery> DEVQuery::queryWhereFieldPath(std::shared_ptr<DEVFieldPath> path,
                                                        const std::string& op, fnd::Value value,
                                                        fnd::Error* error) const {
  if (!ValidateFieldFilter(path.get(), op, value, error)) return nullptr;
  auto q = copy();
  q->filters_.push_back(DEVFilter::filterWhereFieldPath(std::move(path), op, std::move(value)));
  return q;
}

std::shared_ptr<DEVQuery> DEVQuery::queryLimitedTo(int64_t limit, fnd::Error* error) const {
  if (limit <= 0) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "Invalid Query. Query limit must be positive."));
    return nullptr;
  }
  auto q = copy();
  q->limit_ = limit;
  q->limitToLast_ = false;
  return q;
}

std::shared_ptr<DEVQuery> DEVQuery::queryLimitedToLast(int64_t limit, fnd::Error* error) const {
  auto q = queryLimitedTo(limit, error);
  if (q) q->limitToLast_ = true;
  return q;
}

std::shared_ptr<DEVQuery> DEVQuery::queryOrderedByFieldPath(std::shared_ptr<DEVFieldPath> path,
                                                            bool descending,
                                                            fnd::Error* error) const {
  if (!path || (!path->isDocumentID() && !path->segments())) {
    fnd::SetError(error,
                  DEVVireldaError(DEVVireldaErrorCodeInvalidArgument, "Invalid field path."));
    return nullptr;
  }
  if (start_ || end_) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "Invalid query. You must not specify an ordering after "
                                         "a starting or ending point."));
    return nullptr;
  }
  auto q = copy();
  q->orderings_.push_back({std::move(path), descending});
  return q;
}

std::shared_ptr<DEVQuery> DEVQuery::withBound(fnd::Array values, bool start, bool inclusive,
                                              fnd::Error* error) const {
  if (values.size() > orderings_.size()) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "Invalid query. You are trying to start or end a query "
                                         "using more values than were specified in the order "
                                         "by."));
    return nullptr;
  }
  auto q = copy();
  (start ? q->start_ : q->end_) = Bound{std::move(values), inclusive};
  return q;
}

std::shared_ptr<DEVQuery> DEVQuery::queryStartingAtValues(fnd::Array values,
                                                          fnd::Error* error) const {
  return withBound(std::move(values), true, true, error);
}
std::shared_ptr<DEVQuery> DEVQuery::queryStartingAfterValues(fnd::Array values,
                                                             fnd::Error* error) const {
  return withBound(std::move(values), true, false, error);
}
std::shared_ptr<DEVQuery> DEVQuery::queryEndingAtValues(fnd::Array values,
                                                        fnd::Error* error) const {
  return withBound(std::move(values), false, true, error);
}
std::shared_ptr<DEVQuery> DEVQuery::queryEndingBeforeValues(fnd::Array values,
                                                            fnd::Error* error) const {
  return withBound(std::move(values), false, false, error);
}

std::optional<std::vector<std::shared_ptr<DEVDocumentSnapshot>>> DEVQuery::evaluate(
    bool fromCache, fnd::Error* error) const {
  if (limitToLast_ && orderings_.empty()) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "Invalid query. You must specify at least one orderBy "
                                         "clause for limitToLast queries."));
    return std::nullopt;
  }
  std::vector<std::pair<std::string, fnd::Dictionary>> rows;
  {
    std::lock_guard<std::mutex> lock(virelda_->store()->mu);
    for (const auto& [path, data] : virelda_->store()->documents) {
      std::string parent = ParentPath(path);
      bool inside = collectionGroup_ ? LastSegment(parent) == path_ : parent == path_;
      if (inside) rows.emplace_back(path, virelda_->referencesRebound(data));
    }
  }
  auto metadata = std::make_shared<DEVSnapshotMetadata>(false, fromCache);
  std::vector<std::shared_ptr<DEVDocumentSnapshot>> docs;
  for (auto& [path, data] : rows) {
    auto ref = virelda_->documentWithPath(path);
    auto doc = std::make_shared<DEVDocumentSnapshot>(ref, std::move(data), metadata);
    bool ok = std::all_of(filters_.begin(), filters_.end(),
                          [&](const auto& f) { return Matches(*f, *doc); });
    // A document lacking an ordered field is left out.
    for (const auto& o : orderings_) ok = ok && FieldValue(*doc, *o.path).has_value();
    if (ok) docs.push_back(std::move(doc));
  }
  bool lastDescending = !orderings_.empty() && orderings_.back().descending;
  auto key = [&](const DEVDocumentSnapshot& d) {
    fnd::Array k;
    for (const auto& o : orderings_) k.push_back(*FieldValue(d, *o.path));
    return k;
  };
  auto compareKeys = [&](const fnd::Array& a, const fnd::Array& b, size_t n) {
    for (size_t i = 0; i < n && i < a.size() && i < b.size(); ++i) {
      int c = CompareValues(a[i], b[i]);
      if (orderings_[i].descending) c = -c;
      if (c) return c;
    }
    return 0;
  };
  std::stable_sort(docs.begin(), docs.end(), [&](const auto& a, const auto& b) {
    int c = compareKeys(key(*a), key(*b), orderings_.size());
    if (c) return c < 0;
    c = Cmp(a->reference()->path(), b->reference()->path());
    return lastDescending ? c > 0 : c < 0;
  });
  auto within = [&](const DEVDocumentSnapshot& d) {
    fnd::Array k = key(d);
    if (start_) {
      int c = compareKeys(k, start_->values, start_->values.size());
      if (c < 0 || (c == 0 && !start_->inclusive)) return false;
    }
    if (end_) {
      int c = compareKeys(k, end_->values, end_->values.size());
      if (c > 0 || (c == 0 && !end_->inclusive)) return false;
    }
    return true;
  };
  docs.erase(std::remove_if(docs.begin(), docs.end(), [&](const auto& d) { return !within(*d); }),
             docs.end());
  if (limit_ && docs.size() > static_cast<size_t>(*limit_)) {
    if (limitToLast_) {
      docs.erase(docs.begin(), docs.end() - *limit_);
    } else {
      docs.resize(static_cast<size_t>(*limit_));
    }
  }
  return docs;
}

void DEVQuery::getDocumentsWithSource(int64_t source, Completion completion) const {
  auto virelda = virelda_;
  auto fail = [&](fnd::Error e) {
    virelda->deliver([completion, e] {
      if (completion) completion(nullptr, e);
    });
  };
  if (auto e = virelda->checkOperation("query", path_)) return fail(*e);
  bool offline = !virelda->isNetworkEnabled();
  if (source == DEVVireldaSourceServer && offline) {
    return fail(DEVVireldaError(DEVVireldaErrorCodeUnavailable,
                                "Failed to get documents from server. (The client is offline.)"));
  }
  fnd::Error error;
  auto docs = evaluate(source == DEVVireldaSourceCache || offline, &error);
  if (!docs) return fail(error);
  std::vector<std::shared_ptr<DEVDocumentChange>> changes;
  for (size_t i = 0; i < docs->size(); ++i) {
    changes.push_back(std::make_shared<DEVDocumentChange>(DEVDocumentChangeTypeAdded, (*docs)[i],
                                                          DEVNotFound, i));
  }
  auto metadata =
      std::make_shared<DEVSnapshotMetadata>(false, source == DEVVireldaSourceCache || offline);
  auto snapshot = std::make_shared<DEVQuerySnapshot>(*docs, std::move(changes), metadata);
  virelda->deliver([completion, snapshot] {
    if (completion) completion(snapshot, std::nullopt);
  });
}

std::shared_ptr<DEVAggregateQuery> DEVQuery::aggregate(
    std::vector<std::shared_ptr<DEVAggregateField>> fields) const {
  return std::make_shared<DEVAggregateQuery>(shared_from_this(), std::move(fields));
}

std::string DEVQuery::description() const {
  return std::string("DEVQuery(") + (collectionGroup_ ? "group " : "") + path_ + ")";
}

// ---- Document references ----

std::string DEVDocumentReference::documentID() const { return LastSegment(path_); }

bool DEVDocumentReference::isEqual(const fnd::Record& other) const {
  auto o = dynamic_cast<const DEVDocumentReference*>(&other);
  return o && o->virelda_ == virelda_ && o->path_ == path_;
}

size_t DEVDocumentReference::hash() const { return std::hash<std::string>()(path_); }

void DEVDocumentReference::getDocumentWithSource(int64_t source,
                                                 SnapshotCompletion completion) const {
  auto virelda = virelda_;
  if (auto e = virelda->checkOperation("get", path_)) {
    return virelda->deliver([completion, e] {
      if (completion) completion(nullptr, e);
    });
  }
  bool offline = !virelda->isNetworkEnabled();
  if (source == DEVVireldaSourceServer && offline) {
    auto e = DEVVireldaError(DEVVireldaErrorCodeUnavailable,
                             "Failed to get document from server. (The client is offline.)");
    return virelda->deliver([completion, e] {
      if (completion) completion(nullptr, e);
    });
  }
  std::optional<fnd::Dictionary> data;
  {
    std::lock_guard<std::mutex> lock(virelda->store()->mu);
    data = virelda->readLocked(path_);
  }
  auto self = virelda->documentWithPath(path_);
  auto snapshot = std::make_shared<DEVDocumentSnapshot>(
      self, std::move(data),
      std::make_shared<DEVSnapshotMetadata>(false, source == DEVVireldaSourceCache || offline));
  virelda->deliver([completion, snapshot] {
    if (completion) completion(snapshot, std::nullopt);
  });
}

namespace {

// Applies one write through the instance's store and delivers the outcome.
void RunWrite(const std::shared_ptr<DEVVirelda>& virelda, const char* operation,
              DEVWriteBatch::Write write, DEVVoidCompletion completion) {
  std::optional<fnd::Error> outcome = virelda->checkOperation(operation, write.path);
  if (!outcome) {
    std::lock_guard<std::mutex> lock(virelda->store()->mu);
    fnd::Error error;
    if (!virelda->applyWriteLocked(write, &error)) outcome = error;
  }
  // Listeners hear of the write before its completion runs.
  if (!outcome) virelda->notifyListenersOfWrite();
  virelda->deliver([completion, outcome] {
    if (completion) completion(outcome);
  });
}

}  // namespace

void DEVDocumentReference::setData(const fnd::Dictionary& data,
                                   DEVVoidCompletion completion) const {
  RunWrite(virelda_, "set", {DEVWriteBatch::Write::Kind::kSet, path_, data, {}},
           std::move(completion));
}

void DEVDocumentReference::setData(const fnd::Dictionary& data, bool merge,
                                   DEVVoidCompletion completion) const {
  RunWrite(virelda_, "set",
           {merge ? DEVWriteBatch::Write::Kind::kMerge : DEVWriteBatch::Write::Kind::kSet,
            path_,
            data,
            {}},
           std::move(completion));
}

void DEVDocumentReference::setData(const fnd::Dictionary& data,
                                   const std::vector<std::shared_ptr<DEVFieldPath>>& mergeFields,
                                   DEVVoidCompletion completion) const {
  RunWrite(virelda_, "set", {DEVWriteBatch::Write::Kind::kMergeFields, path_, data, mergeFields},
           std::move(completion));
}

void DEVDocumentReference::updateData(const fnd::Dictionary& fields,
                                      DEVVoidCompletion completion) const {
  RunWrite(virelda_, "update", {DEVWriteBatch::Write::Kind::kUpdate, path_, fields, {}},
           std::move(completion));
}

void DEVDocumentReference::deleteDocumentWithCompletion(DEVVoidCompletion completion) const {
  RunWrite(virelda_, "delete", {DEVWriteBatch::Write::Kind::kDelete, path_, {}, {}},
           std::move(completion));
}

// ---- Write batches ----

void DEVWriteBatch::setData(const fnd::Dictionary& data,
                            std::shared_ptr<DEVDocumentReference> document) {
  std::lock_guard<std::mutex> lock(mu_);
  writes_.push_back({Write::Kind::kSet, document->path(), data, {}});
}

void DEVWriteBatch::setData(const fnd::Dictionary& data,
                            std::shared_ptr<DEVDocumentReference> document, bool merge) {
  std::lock_guard<std::mutex> lock(mu_);
  writes_.push_back({merge ? Write::Kind::kMerge : Write::Kind::kSet, document->path(), data, {}});
}

void DEVWriteBatch::setData(const fnd::Dictionary& data,
                            std::shared_ptr<DEVDocumentReference> document,
                            const std::vector<std::shared_ptr<DEVFieldPath>>& mergeFields) {
  std::lock_guard<std::mutex> lock(mu_);
  writes_.push_back({Write::Kind::kMergeFields, document->path(), data, mergeFields});
}

void DEVWriteBatch::updateData(const fnd::Dictionary& fields,
                               std::shared_ptr<DEVDocumentReference> document) {
  std::lock_guard<std::mutex> lock(mu_);
  writes_.push_back({Write::Kind::kUpdate, document->path(), fields, {}});
}

void DEVWriteBatch::deleteDocument(std::shared_ptr<DEVDocumentReference> document) {
  std::lock_guard<std::mutex> lock(mu_);
  writes_.push_back({Write::Kind::kDelete, document->path(), {}, {}});
}

void DEVWriteBatch::commitWithCompletion(DEVVoidCompletion completion) {
  std::vector<Write> writes;
  std::optional<fnd::Error> outcome;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (committed_) {
      outcome = DEVVireldaError(DEVVireldaErrorCodeFailedPrecondition,
                                "This batch has already been committed.");
    }
    committed_ = true;
    writes = writes_;
  }
  if (!outcome) outcome = virelda_->checkOperation("commit", "");
  if (!outcome) {
    auto& store = *virelda_->store();
    std::lock_guard<std::mutex> lock(store.mu);
    auto before = store.documents;
    for (const auto& w : writes) {
      fnd::Error error;
      if (!virelda_->applyWriteLocked(w, &error)) {
        outcome = error;
        store.documents = std::move(before);
        break;
      }
    }
  }
  if (!outcome) virelda_->notifyListenersOfWrite();
  virelda_->deliver([completion, outcome] {
    if (completion) completion(outcome);
  });
}

// ---- Index manager ----

void DEVPersistentCacheIndexManager::enableIndexAutoCreation() {
  std::lock_guard<std::mutex> lock(mu_);
  autoCreation_ = true;
}
void DEVPersistentCacheIndexManager::disableIndexAutoCreation() {
  std::lock_guard<std::mutex> lock(mu_);
  autoCreation_ = false;
}
void DEVPersistentCacheIndexManager::deleteAllIndexes() {
  std::lock_guard<std::mutex> lock(mu_);
  ++deletes_;
}
bool DEVPersistentCacheIndexManager::isAutoCreationEnabled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return autoCreation_;
}
int DEVPersistentCacheIndexManager::deleteCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return deletes_;
}

// ---- Instances ----

DEVVirelda::DEVVirelda(std::shared_ptr<DAVOdu> app, std::string database,
                       std::shared_ptr<Store> store)
    : app_(std::move(app)),
      database_(std::move(database)),
      store_(std::move(store)),
      settings_(std::make_shared<DEVVireldaSettings>()),
      indexManager_(std::make_shared<DEVPersistentCacheIndexManager>()) {}

std::shared_ptr<DEVVirelda> DEVVirelda::vireldaForApp(std::shared_ptr<DAVOdu> app,
                                                      const std::string& database,
                                                      fnd::Error* error) {
  if (!app) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "A configured app is required."));
    return nullptr;
  }
  if (database.empty()) {
    fnd::SetError(
        error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument, "A database name is required."));
    return nullptr;
  }
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  std::string key = StoreKey(app->name(), database);
  auto live = r.live.find(key);
  if (live != r.live.end() && !live->second->isTerminated()) return live->second;
  auto& store = r.stores[key];
  if (!store) store = std::make_shared<Store>();
  auto instance = std::shared_ptr<DEVVirelda>(new DEVVirelda(app, database, store));
  r.live[key] = instance;
  ++r.made;
  return instance;
}

void DEVVirelda::enableLogging(bool enabled) {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.logging = enabled;
}

bool DEVVirelda::isLoggingEnabled() {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.logging;
}

std::shared_ptr<DEVVireldaSettings> DEVVirelda::settings() const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::make_shared<DEVVireldaSettings>(*settings_);
}

void DEVVirelda::setSettings(const DEVVireldaSettings& settings) {
  std::lock_guard<std::mutex> lock(mu_);
  settings_ = std::make_shared<DEVVireldaSettings>(settings);
}

std::shared_ptr<DEVDocumentReference> DEVVirelda::documentWithPath(const std::string& path,
                                                                   fnd::Error* error) {
  size_t n = SegmentCount(path);
  if (n == 0 || n % 2 != 0) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "Invalid document path \"" + path +
                                             "\": a document path has an even number of "
                                             "non-empty segments."));
    return nullptr;
  }
  return std::shared_ptr<DEVDocumentReference>(new DEVDocumentReference(shared_from_this(), path));
}

std::shared_ptr<DEVQuery> DEVVirelda::collectionWithPath(const std::string& path,
                                                         fnd::Error* error) {
  size_t n = SegmentCount(path);
  if (n == 0 || n % 2 != 1) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "Invalid collection path \"" + path +
                                             "\": a collection path has an odd number of "
                                             "non-empty segments."));
    return nullptr;
  }
  return std::shared_ptr<DEVQuery>(new DEVQuery(shared_from_this(), path, false));
}

std::shared_ptr<DEVQuery> DEVVirelda::collectionGroupWithID(const std::string& collectionID,
                                                            fnd::Error* error) {
  if (SegmentCount(collectionID) != 1) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "Invalid collection ID \"" + collectionID +
                                             "\": it must not be empty or contain \"/\"."));
    return nullptr;
  }
  return std::shared_ptr<DEVQuery>(new DEVQuery(shared_from_this(), collectionID, true));
}

std::shared_ptr<DEVWriteBatch> DEVVirelda::batch() {
  return std::make_shared<DEVWriteBatch>(shared_from_this());
}

namespace {

void Finish(const DEVVirelda& virelda, std::optional<fnd::Error> outcome,
            DEVVoidCompletion completion) {
  virelda.deliver([completion, outcome] {
    if (completion) completion(outcome);
  });
}

}  // namespace

void DEVVirelda::clearPersistenceWithCompletion(DEVVoidCompletion completion) {
  Finish(*this, checkOperation("clearPersistence", ""), std::move(completion));
}

void DEVVirelda::disableNetworkWithCompletion(DEVVoidCompletion completion) {
  auto outcome = checkOperation("disableNetwork", "");
  if (!outcome) {
    std::lock_guard<std::mutex> lock(mu_);
    networkEnabled_ = false;
  }
  Finish(*this, outcome, std::move(completion));
}

void DEVVirelda::enableNetworkWithCompletion(DEVVoidCompletion completion) {
  auto outcome = checkOperation("enableNetwork", "");
  if (!outcome) {
    std::lock_guard<std::mutex> lock(mu_);
    networkEnabled_ = true;
  }
  Finish(*this, outcome, std::move(completion));
}

void DEVVirelda::waitForPendingWritesWithCompletion(DEVVoidCompletion completion) {
  Finish(*this, checkOperation("waitForPendingWrites", ""), std::move(completion));
}

void DEVVirelda::setIndexConfigurationFromJSON(const std::string& json,
                                               DEVVoidCompletion completion) {
  auto outcome = checkOperation("setIndexConfiguration", "");
  size_t first = json.find_first_not_of(" \t\r\n");
  size_t last = json.find_last_not_of(" \t\r\n");
  if (!outcome && (first == std::string::npos || json[first] != '{' || json[last] != '}')) {
    outcome = DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                              "The index configuration is not a JSON object.");
  }
  Finish(*this, outcome, std::move(completion));
}

void DEVVirelda::terminateWithCompletion(DEVVoidCompletion completion) {
  auto& r = registry();
  std::optional<fnd::Error> outcome;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.fault) outcome = r.fault("terminate", "");
  }
  if (!outcome) {
    std::lock_guard<std::mutex> lock(mu_);
    terminated_ = true;
  }
  Finish(*this, outcome, std::move(completion));
}

bool DEVVirelda::isTerminated() const {
  std::lock_guard<std::mutex> lock(mu_);
  return terminated_;
}

bool DEVVirelda::isNetworkEnabled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return networkEnabled_;
}

std::shared_ptr<DEVPersistentCacheIndexManager> DEVVirelda::persistentCacheIndexManager() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!dynamic_cast<const DEVPersistentCacheSettings*>(settings_->cacheSettings().get())) {
    return nullptr;
  }
  return indexManager_;
}

std::shared_ptr<DEVQuery> DEVVirelda::queryFromBundle(const DEVBundle::NamedQuery& named,
                                                      fnd::Error* error) {
  std::shared_ptr<DEVQuery> query = named.collectionGroup
                                        ? collectionGroupWithID(named.parent, error)
                                        : collectionWithPath(named.parent, error);
  for (const auto& [field, op, value] : named.where) {
    if (!query) return nullptr;
    query = query->queryWhereFieldPath(DEVFieldPath::pathWithDotSeparatedString(field), op, value,
                                       error);
  }
  for (const auto& [field, descending] : named.orderBy) {
    if (!query) return nullptr;
    query = query->queryOrderedByFieldPath(DEVFieldPath::pathWithDotSeparatedString(field),
                                           descending, error);
  }
  if (query && named.limit) {
    query = named.limitToLast ? query->queryLimitedToLast(*named.limit, error)
                              : query->queryLimitedTo(*named.limit, error);
  }
  return query;
}

void DEVVirelda::getQueryNamed(const std::string& name,
                               std::function<void(std::shared_ptr<DEVQuery>)> completion) {
  std::shared_ptr<DEVQuery> found;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [n, q] : namedQueries_) {
      if (n == name) found = q;
    }
  }
  if (!found) {
    std::optional<DEVBundle::NamedQuery> named;
    {
      std::lock_guard<std::mutex> lock(store_->mu);
      auto it = store_->namedQueries.find(name);
      if (it != store_->namedQueries.end()) named = it->second;
    }
    // Built on this instance: the query belongs to whoever asks for it.
    if (named) found = queryFromBundle(*named, nullptr);
  }
  deliver([completion, found] {
    if (completion) completion(found);
  });
}

void DEVVirelda::addNamedQueryForTesting(const std::string& name, std::shared_ptr<DEVQuery> query) {
  std::lock_guard<std::mutex> lock(mu_);
  namedQueries_.emplace_back(name, std::move(query));
}

std::string DEVVirelda::description() const {
  return "DEVVirelda(" + (app_ ? app_->name() : std::string()) + ", " + database_ + ")";
}

std::optional<fnd::Error> DEVVirelda::checkOperation(std::string_view operation,
                                                     std::string_view path) const {
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.fault) {
      if (auto e = r.fault(operation, path)) return e;
    }
  }
  if (isTerminated()) {
    return DEVVireldaError(DEVVireldaErrorCodeFailedPrecondition,
                           "The client has already been terminated.");
  }
  return std::nullopt;
}

void DEVVirelda::deliver(std::function<void()> block) const {
  std::shared_ptr<dispatch::Queue> queue;
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue = settings_->dispatchQueue();
  }
  (queue ? queue : dispatch::Queue::main())->async(std::move(block));
}

std::optional<fnd::Dictionary> DEVVirelda::readLocked(const std::string& path) const {
  auto it = store_->documents.find(path);
  if (it == store_->documents.end()) return std::nullopt;
  return referencesRebound(it->second);
}

void DEVVirelda::readForTransaction(const std::string& path, std::optional<fnd::Dictionary>* stored,
                                    std::optional<fnd::Dictionary>* data) const {
  std::lock_guard<std::mutex> lock(store_->mu);
  auto it = store_->documents.find(path);
  if (it == store_->documents.end()) {
    stored->reset();
    data->reset();
    return;
  }
  *stored = it->second;
  *data = referencesRebound(it->second);
}

DEVVirelda::TransactionCommit DEVVirelda::commitTransaction(
    const std::map<std::string, std::optional<fnd::Dictionary>>& reads,
    const std::vector<DEVWriteBatch::Write>& writes, fnd::Error* error) {
  {
    std::lock_guard<std::mutex> lock(store_->mu);
    for (const auto& [path, read] : reads) {
      auto it = store_->documents.find(path);
      std::optional<fnd::Dictionary> now;
      if (it != store_->documents.end()) now = it->second;
      if (now != read) return TransactionCommit::kConflict;
    }
    auto before = store_->documents;
    for (const auto& w : writes) {
      if (!applyWriteLocked(w, error)) {
        store_->documents = std::move(before);
        return TransactionCommit::kFailed;
      }
    }
  }
  if (!writes.empty()) notifyListenersOfWrite();
  return TransactionCommit::kCommitted;
}

fnd::Value DEVVirelda::referencesRebound(const fnd::Value& value) const {
  if (auto ref = value.recordAs<DEVDocumentReference>()) {
    if (ref->virelda().get() == this) return value;
    auto self = std::const_pointer_cast<DEVVirelda>(shared_from_this());
    return fnd::Value(std::shared_ptr<fnd::Record>(
        std::shared_ptr<DEVDocumentReference>(new DEVDocumentReference(self, ref->path()))));
  }
  if (auto dict = value.dictionary()) return fnd::Value(referencesRebound(*dict));
  if (auto array = value.array()) {
    fnd::Array out;
    out.reserve(array->size());
    for (const auto& e : *array) out.push_back(referencesRebound(e));
    return fnd::Value(std::move(out));
  }
  return value;
}

fnd::Dictionary DEVVirelda::referencesRebound(const fnd::Dictionary& data) const {
  fnd::Dictionary out;
  for (const auto& [k, v] : data) out.set(k, referencesRebound(v));
  return out;
}

bool DEVVirelda::applyWriteLocked(const DEVWriteBatch::Write& write, fnd::Error* error) {
  using Kind = DEVWriteBatch::Write::Kind;
  if (!ValidateReferences(fnd::Value(write.data), app_ ? app_->name() : std::string(), database_,
                          error)) {
    return false;
  }
  auto& docs = store_->documents;
  auto existing = docs.find(write.path);
  switch (write.kind) {
    case Kind::kDelete:
      if (existing != docs.end()) docs.erase(existing);
      return true;
    case Kind::kSet: {
      bool failed = false;
      auto resolved = ResolveValue(fnd::Value(write.data), std::nullopt, false, error, &failed);
      if (failed) return false;
      docs[write.path] = *resolved->dictionary();
      return true;
    }
    case Kind::kMerge: {
      fnd::Dictionary doc = existing != docs.end() ? existing->second : fnd::Dictionary{};
      if (!MergeInto(doc, write.data, error)) return false;
      docs[write.path] = std::move(doc);
      return true;
    }
    case Kind::kMergeFields: {
      fnd::Dictionary doc = existing != docs.end() ? existing->second : fnd::Dictionary{};
      for (const auto& field : write.mergeFields) {
        auto segments = field ? field->segments() : std::nullopt;
        if (!segments) {
          return fnd::SetError(
              error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument, "Invalid field path."));
        }
        auto value = GetAtPath(write.data, *segments);
        if (!value) {
          return fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                                      "Field '" + field->canonicalString() +
                                                          "' is specified in your field mask but "
                                                          "missing from your input data."));
        }
        if (!SetAtPath(doc, *segments, 0, *value, error)) return false;
      }
      docs[write.path] = std::move(doc);
      return true;
    }
    case Kind::kUpdate: {
      if (existing == docs.end()) {
        return fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeNotFound,
                                                    "No document to update: " + write.path));
      }
      fnd::Dictionary doc = existing->second;
      for (const auto& [k, v] : write.data) {
        std::shared_ptr<DEVFieldPath> path;
        if (k.isString()) {
          path = DEVFieldPath::pathWithDotSeparatedString(k.asString());
        } else {
          path = k.recordAs<DEVFieldPath>();
        }
        auto segments = path ? path->segments() : std::nullopt;
        if (!segments) {
          return fnd::SetError(error,
                               DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                               "Invalid field path in update: " + k.description()));
        }
        if (!SetAtPath(doc, *segments, 0, v, error)) return false;
      }
      existing->second = std::move(doc);
      return true;
    }
  }
  return true;
}

// ---- Test hooks ----

void DEVVireldaTesting::setFault(Fault fault) {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.fault = std::move(fault);
}

void DEVVireldaTesting::setServerTime(std::optional<double> secondsSince1970) {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.serverTime = secondsSince1970;
}

void DEVVireldaTesting::resetForTesting() {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  // Listeners hold their instance, which holds the store: drop them to break the cycle.
  for (auto& [key, store] : r.stores) {
    std::lock_guard<std::mutex> listenerLock(store->listenerMu);
    for (auto& [id, l] : store->listeners) l->removed = true;
    store->listeners.clear();
  }
  r.stores.clear();
  r.live.clear();
  r.made = 0;
  r.fault = nullptr;
  r.bundleScript = nullptr;
  r.holdBundles = false;
  r.pendingBundles.clear();
  r.serverTime.reset();
  r.logging = false;
}

std::optional<fnd::Dictionary> DEVVireldaTesting::documentData(const std::string& appName,
                                                               const std::string& database,
                                                               const std::string& path) {
  std::shared_ptr<DEVVirelda::Store> store;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.stores.find(StoreKey(appName, database));
    if (it == r.stores.end()) return std::nullopt;
    store = it->second;
  }
  std::lock_guard<std::mutex> lock(store->mu);
  auto it = store->documents.find(path);
  if (it == store->documents.end()) return std::nullopt;
  return it->second;
}

void DEVVireldaTesting::putDocument(const std::string& appName, const std::string& database,
                                    const std::string& path, fnd::Dictionary data) {
  std::shared_ptr<DEVVirelda::Store> store;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto& s = r.stores[StoreKey(appName, database)];
    if (!s) s = std::make_shared<DEVVirelda::Store>();
    store = s;
  }
  std::lock_guard<std::mutex> lock(store->mu);
  store->documents[path] = std::move(data);
}

// ---- Snapshot listeners ----

std::shared_ptr<DEVListenerRegistration> DEVDocumentReference::addSnapshotListenerWithOptions(
    std::shared_ptr<DEVSnapshotListenOptions> options, SnapshotCompletion listener) const {
  if (!options) options = std::make_shared<DEVSnapshotListenOptions>();
  auto l = std::make_shared<DEVSnapshotListener>();
  l->info = {DEVVireldaTesting::Listener::Kind::kDocument, path_, options->includeMetadataChanges(),
             options->source()};
  l->virelda = virelda_;
  l->onDocument = listener ? std::move(listener) : [](auto, const auto&) {};
  auto registration = AttachListener(virelda_->store(), l);
  SendDocumentSnapshot(l, /*onlyIfChanged=*/false);
  return registration;
}

std::shared_ptr<DEVListenerRegistration> DEVQuery::addSnapshotListenerWithOptions(
    std::shared_ptr<DEVSnapshotListenOptions> options, Completion listener) const {
  if (!options) options = std::make_shared<DEVSnapshotListenOptions>();
  auto l = std::make_shared<DEVSnapshotListener>();
  l->info = {DEVVireldaTesting::Listener::Kind::kQuery, path_, options->includeMetadataChanges(),
             options->source()};
  l->virelda = virelda_;
  l->query = shared_from_this();
  l->onQuery = listener ? std::move(listener) : [](auto, const auto&) {};
  auto registration = AttachListener(virelda_->store(), l);
  SendQuerySnapshot(l, /*onlyIfChanged=*/false);
  return registration;
}

std::shared_ptr<DEVListenerRegistration> DEVVirelda::addSnapshotsInSyncListener(
    std::function<void()> listener) {
  auto l = std::make_shared<DEVSnapshotListener>();
  l->info = {DEVVireldaTesting::Listener::Kind::kSnapshotsInSync, "", false, 0};
  l->virelda = shared_from_this();
  l->onSync = listener ? std::move(listener) : [] {};
  return AttachListener(store_, l);
}

namespace {

std::shared_ptr<DEVVirelda::Store> FindStore(const std::string& appName,
                                             const std::string& database) {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.stores.find(StoreKey(appName, database));
  return it == r.stores.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<DEVSnapshotListener>> ListenersOf(
    const std::shared_ptr<DEVVirelda::Store>& store) {
  std::vector<std::shared_ptr<DEVSnapshotListener>> listeners;
  if (!store) return listeners;
  std::lock_guard<std::mutex> lock(store->listenerMu);
  for (const auto& [id, l] : store->listeners) listeners.push_back(l);
  return listeners;
}

// One round of snapshots: every document and query listener of the store whose result changed
// since its last snapshot gets a new one (after a write, listeners of terminated instances are
// passed over); then the snapshots-in-sync listeners are called, after a write only when some
// listener was sent something. Takes neither lock of the store while delivering.
void RunListenerRound(const std::shared_ptr<DEVVirelda::Store>& store, bool afterWrite) {
  using Kind = DEVVireldaTesting::Listener::Kind;
  auto listeners = ListenersOf(store);
  bool delivered = false;
  for (const auto& l : listeners) {
    if (l->removed || (afterWrite && l->virelda->isTerminated())) continue;
    if (l->info.kind == Kind::kDocument) delivered |= SendDocumentSnapshot(l, true);
    if (l->info.kind == Kind::kQuery) delivered |= SendQuerySnapshot(l, true);
  }
  if (afterWrite && !delivered) return;
  for (const auto& l : listeners) {
    if (l->info.kind != Kind::kSnapshotsInSync) continue;
    if (afterWrite && l->virelda->isTerminated()) continue;
    l->virelda->deliver([l] {
      if (!l->removed) l->onSync();
    });
  }
}

}  // namespace

std::vector<DEVVireldaTesting::Listener> DEVVireldaTesting::snapshotListeners(
    const std::string& appName, const std::string& database) {
  std::vector<Listener> result;
  for (const auto& l : ListenersOf(FindStore(appName, database))) result.push_back(l->info);
  return result;
}

void DEVVireldaTesting::notifySnapshotListeners(const std::string& appName,
                                                const std::string& database) {
  RunListenerRound(FindStore(appName, database), /*afterWrite=*/false);
}

void DEVVirelda::notifyListenersOfWrite() const { RunListenerRound(store_, /*afterWrite=*/true); }

void DEVVireldaTesting::failSnapshotListeners(const std::string& appName,
                                              const std::string& database, const std::string& path,
                                              const fnd::Error& error) {
  for (const auto& l : ListenersOf(FindStore(appName, database))) {
    if (l->info.kind != Listener::Kind::kSnapshotsInSync && l->info.path == path) {
      SendListenerError(l, error);
    }
  }
}

// ---- Bundles ----

int64_t DEVLoadBundleTask::addObserver(Observer observer) {
  std::lock_guard<std::mutex> lock(mu_);
  observers_.emplace_back(++nextHandle_, std::move(observer));
  return nextHandle_;
}

void DEVLoadBundleTask::removeAllObservers() {
  std::lock_guard<std::mutex> lock(mu_);
  observers_.clear();
}

std::vector<DEVLoadBundleTask::Observer> DEVLoadBundleTask::observers() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Observer> result;
  for (const auto& [handle, o] : observers_) result.push_back(o);
  return result;
}

std::shared_ptr<DEVLoadBundleTask> DEVVirelda::loadBundle(
    const fnd::Data& bundle, std::function<void(std::shared_ptr<DEVLoadBundleTaskProgress>,
                                                const std::optional<fnd::Error>&)>
                                 completion) {
  auto task = std::make_shared<DEVLoadBundleTask>();
  std::function<DEVVireldaTesting::BundleScript(const fnd::Data&)> script;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    script = r.bundleScript;
  }
  auto self = shared_from_this();
  const auto size = static_cast<int64_t>(bundle.size());
  DEVVireldaTesting::BundleScript plan;
  // What a successful load changes, applied when the load runs.
  std::optional<DEVBundle> parsed;
  if (auto e = checkOperation("loadBundle", "")) {
    plan.progress = {DEVLoadBundleTaskProgress(0, 0, 0, size, 0)};
    plan.error = e;
  } else if (script) {
    plan = script(bundle);
  } else {
    fnd::Error error;
    std::weak_ptr<DEVVirelda> weak = self;
    parsed = DEVBundle::parse(
        bundle,
        [weak](const std::string& path) {
          auto instance = weak.lock();
          return instance
                     ? fnd::Value(std::shared_ptr<fnd::Record>(instance->documentWithPath(path)))
                     : fnd::Value();
        },
        &error);
    // Every named query must make a query of this SDK.
    for (size_t i = 0; parsed && i < parsed->namedQueries.size(); ++i) {
      fnd::Error queryError;
      if (!queryFromBundle(parsed->namedQueries[i], &queryError)) {
        error = DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                "The bundle is malformed: query \"" + parsed->namedQueries[i].name +
                                    "\": " + queryError.localizedDescription());
        parsed.reset();
      }
    }
    if (!parsed) {
      plan.progress = {DEVLoadBundleTaskProgress(0, 0, 0, size, 0)};
      plan.error = error;
    } else {
      int64_t total = parsed->totalDocuments;
      plan.progress.emplace_back(0, total, parsed->metadataEndOffset, size, 1);
      for (size_t i = 0; i < parsed->documents.size(); ++i) {
        plan.progress.emplace_back(static_cast<int64_t>(i + 1), total,
                                   parsed->documents[i].endOffset, size, 1);
      }
      plan.progress.emplace_back(total, total, size, size, 2);
    }
  }
  auto run = [self, task, plan, parsed, completion] {
    if (parsed) self->applyBundle(*parsed);
    // Each report is its own job, so that observers and completion see them in order.
    std::shared_ptr<DEVLoadBundleTaskProgress> last;
    for (const auto& p : plan.progress) {
      last = std::make_shared<DEVLoadBundleTaskProgress>(p);
      self->deliver([task, last] {
        for (const auto& o : task->observers()) o(last);
      });
    }
    self->deliver([last, plan, completion] {
      if (completion) completion(plan.error ? nullptr : last, plan.error);
    });
  };
  bool hold;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    hold = r.holdBundles;
    if (hold) r.pendingBundles.push_back(run);
  }
  // The load starts from a main-queue job, so that observers added in the caller's turn hear
  // every report.
  if (!hold) dispatch::Queue::main()->async(run);
  return task;
}

void DEVVirelda::applyBundle(const DEVBundle& bundle) {
  {
    std::lock_guard<std::mutex> lock(store_->mu);
    for (const auto& document : bundle.documents) {
      if (document.data) {
        store_->documents[document.path] = *document.data;
      } else {
        store_->documents.erase(document.path);
      }
    }
    for (const auto& query : bundle.namedQueries) store_->namedQueries[query.name] = query;
  }
  notifyListenersOfWrite();
}

void DEVVireldaTesting::setBundleScript(
    std::function<BundleScript(const fnd::Data& bundle)> script) {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.bundleScript = std::move(script);
}

void DEVVireldaTesting::holdBundleLoads(bool hold) {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.holdBundles = hold;
}

void DEVVireldaTesting::runPendingBundleLoads() {
  std::vector<std::function<void()>> pending;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    pending.swap(r.pendingBundles);
  }
  for (const auto& run : pending) run();
}
