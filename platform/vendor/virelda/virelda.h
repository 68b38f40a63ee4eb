// The vendor Virelda document database SDK, as an in-memory simulation: instances per (app,
// database), document references, queries with filters, orderings, cursors and limits, snapshots,
// write batches, aggregates, transactions (transaction.h) and the instance controls (network,
// persistence, termination).
//
// Documents live in a store shared by every instance of the same app name and database, for the
// life of the process (the "backend"); terminating an instance keeps its documents. Writes are
// applied at once: server timestamps resolve to the current wall time of dispatch::Clock, so no
// write is ever pending. Paths are "collection/doc/collection/doc..." without leading or trailing
// slashes. A document may hold references to documents of its own database only; they are kept
// as paths and read back as references of the reading instance.
//
// Every operation with a completion does its work on the calling thread and then runs the
// completion on the dispatch queue of the instance's settings. Nothing raises: a rejected
// argument is an error of the domain DEVVireldaErrorDomain, returned or passed to the completion.
//
// Tests script faults through DEVVireldaTesting. Thread safety: every method may be called from
// any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/core/davodu.h"
#include "platform/vendor/virelda/bundle.h"
#include "platform/vendor/virelda/field_value.h"
#include "platform/vendor/virelda/settings.h"

inline constexpr const char* DEVVireldaErrorDomain = "DEVVireldaErrorDomain";

enum DEVVireldaErrorCode : int64_t {
  DEVVireldaErrorCodeOK = 0,
  DEVVireldaErrorCodeCancelled = 1,
  DEVVireldaErrorCodeUnknown = 2,
  DEVVireldaErrorCodeInvalidArgument = 3,
  DEVVireldaErrorCodeDeadlineExceeded = 4,
  DEVVireldaErrorCodeNotFound = 5,
  DEVVireldaErrorCodeAlreadyExists = 6,
  DEVVireldaErrorCodePermissionDenied = 7,
  DEVVireldaErrorCodeResourceExhausted = 8,
  DEVVireldaErrorCodeFailedPrecondition = 9,
  DEVVireldaErrorCodeAborted = 10,
  DEVVireldaErrorCodeOutOfRange = 11,
  DEVVireldaErrorCodeUnimplemented = 12,
  DEVVireldaErrorCodeInternal = 13,
  DEVVireldaErrorCodeUnavailable = 14,
  DEVVireldaErrorCodeDataLoss = 15,
  DEVVireldaErrorCodeUnauthenticated = 16,
};

// An error of the SDK's domain with a localized description.
fnd::Error DEVVireldaError(int64_t code, std::string description);

// Where a read takes its documents from.
enum DEVVireldaSource : int64_t {
  DEVVireldaSourceDefault = 0,  // The server, or the cache while the network is disabled.
  DEVVireldaSourceServer = 1,   // The server only; fails while the network is disabled.
  DEVVireldaSourceCache = 2,    // The cache only.
};

// What unresolved server timestamps read as. The simulation resolves them at write time, so the
// behaviour never changes a result.
enum DEVServerTimestampBehavior : int64_t {
  DEVServerTimestampBehaviorNone = 0,
  DEVServerTimestampBehaviorEstimate = 1,
  DEVServerTimestampBehaviorPrevious = 2,
};

enum DEVDocumentChangeType : int64_t {
  DEVDocumentChangeTypeAdded = 0,
  DEVDocumentChangeTypeModified = 1,
  DEVDocumentChangeTypeRemoved = 2,
};

// The index a change reports where it has none (an added document's old index).
inline constexpr uint64_t DEVNotFound = static_cast<uint64_t>(INT64_MAX);

class DEVVirelda;
class DEVDocumentReference;
class DEVQuery;
class DEVTransaction;
class DEVTransactionOptions;

// A snapshot listener as attached; remove() detaches it, after which no callback of it starts.
// Removing twice does nothing. May be called from any thread.
class DEVListenerRegistration {
 public:
  explicit DEVListenerRegistration(std::function<void()> onRemove)
      : onRemove_(std::move(onRemove)) {}
  void remove();
  bool isRemoved() const;

 private:
  mutable std::mutex mu_;
  // Guarded by mu_.
  std::function<void()> onRemove_;
  bool removed_ = false;
};

// What a snapshot listener asks for. Immutable: each builder returns a new value.
class DEVSnapshotListenOptions {
 public:
  DEVSnapshotListenOptions() = default;
  std::shared_ptr<DEVSnapshotListenOptions> optionsWithIncludeMetadataChanges(bool include) const;
  // The listen source: 0 the default (server and cache), 1 the cache only.
  std::shared_ptr<DEVSnapshotListenOptions> optionsWithSource(int64_t source) const;
  bool includeMetadataChanges() const { return includeMetadataChanges_; }
  int64_t source() const { return source_; }

 private:
  bool includeMetadataChanges_ = false;
  int64_t source_ = 0;
};

using DEVVoidCompletion = std::function<void(const std::optional<fnd::Error>& error)>;

class DEVSnapshotMetadata : public fnd::Record {
 public:
  DEVSnapshotMetadata(bool hasPendingWrites, bool isFromCache)
      : hasPendingWrites_(hasPendingWrites), isFromCache_(isFromCache) {}
  bool hasPendingWrites() const { return hasPendingWrites_; }
  bool isFromCache() const { return isFromCache_; }
  std::string typeName() const override { return "DEVSnapshotMetadata"; }

 private:
  const bool hasPendingWrites_;
  const bool isFromCache_;
};

// One document as read: its reference, its data (none when it does not exist) and metadata.
class DEVDocumentSnapshot : public fnd::Record {
 public:
  DEVDocumentSnapshot(std::shared_ptr<DEVDocumentReference> reference,
                      std::optional<fnd::Dictionary> data,
                      std::shared_ptr<DEVSnapshotMetadata> metadata)
      : reference_(std::move(reference)), data_(std::move(data)), metadata_(std::move(metadata)) {}
  const std::shared_ptr<DEVDocumentReference>& reference() const { return reference_; }
  bool exists() const { return data_.has_value(); }
  std::optional<fnd::Dictionary> data() const { return data_; }
  std::optional<fnd::Dictionary> dataWithServerTimestampBehavior(int64_t behavior) const;
  const std::shared_ptr<DEVSnapshotMetadata>& metadata() const { return metadata_; }
  std::string typeName() const override { return "DEVDocumentSnapshot"; }

 private:
  const std::shared_ptr<DEVDocumentReference> reference_;
  const std::optional<fnd::Dictionary> data_;
  const std::shared_ptr<DEVSnapshotMetadata> metadata_;
};

class DEVDocumentChange : public fnd::Record {
 public:
  DEVDocumentChange(int64_t type, std::shared_ptr<DEVDocumentSnapshot> document, uint64_t oldIndex,
                    uint64_t newIndex)
      : type_(type), document_(std::move(document)), oldIndex_(oldIndex), newIndex_(newIndex) {}
  int64_t type() const { return type_; }
  const std::shared_ptr<DEVDocumentSnapshot>& document() const { return document_; }
  // Positions before and after the change; DEVNotFound where there is none.
  uint64_t oldIndex() const { return oldIndex_; }
  uint64_t newIndex() const { return newIndex_; }
  std::string typeName() const override { return "DEVDocumentChange"; }

 private:
  const int64_t type_;
  const std::shared_ptr<DEVDocumentSnapshot> document_;
  const uint64_t oldIndex_;
  const uint64_t newIndex_;
};

class DEVQuerySnapshot : public fnd::Record {
 public:
  DEVQuerySnapshot(std::vector<std::shared_ptr<DEVDocumentSnapshot>> documents,
                   std::vector<std::shared_ptr<DEVDocumentChange>> documentChanges,
                   std::shared_ptr<DEVSnapshotMetadata> metadata)
      : documents_(std::move(documents)),
        documentChanges_(std::move(documentChanges)),
        metadata_(std::move(metadata)) {}
  const std::vector<std::shared_ptr<DEVDocumentSnapshot>>& documents() const { return documents_; }
  const std::vector<std::shared_ptr<DEVDocumentChange>>& documentChanges() const {
    return documentChanges_;
  }
  const std::shared_ptr<DEVSnapshotMetadata>& metadata() const { return metadata_; }
  size_t count() const { return documents_.size(); }
  std::string typeName() const override { return "DEVQuerySnapshot"; }

 private:
  const std::vector<std::shared_ptr<DEVDocumentSnapshot>> documents_;
  const std::vector<std::shared_ptr<DEVDocumentChange>> documentChanges_;
  const std::shared_ptr<DEVSnapshotMetadata> metadata_;
};

// How far a bundle load has come. States: 0 error, 1 running, 2 success.
class DEVLoadBundleTaskProgress : public fnd::Record {
 public:
  DEVLoadBundleTaskProgress(int64_t documentsLoaded, int64_t totalDocuments, int64_t bytesLoaded,
                            int64_t totalBytes, int64_t state)
      : documentsLoaded_(documentsLoaded),
        totalDocuments_(totalDocuments),
        bytesLoaded_(bytesLoaded),
        totalBytes_(totalBytes),
        state_(state) {}
  int64_t documentsLoaded() const { return documentsLoaded_; }
  int64_t totalDocuments() const { return totalDocuments_; }
  int64_t bytesLoaded() const { return bytesLoaded_; }
  int64_t totalBytes() const { return totalBytes_; }
  int64_t state() const { return state_; }
  std::string typeName() const override { return "DEVLoadBundleTaskProgress"; }

 private:
  int64_t documentsLoaded_;
  int64_t totalDocuments_;
  int64_t bytesLoaded_;
  int64_t totalBytes_;
  int64_t state_;
};

// A running bundle load. Observers get every progress report from the moment they are added,
// on the settings' dispatch queue. Thread safety: any thread.
class DEVLoadBundleTask {
 public:
  using Observer = std::function<void(std::shared_ptr<DEVLoadBundleTaskProgress>)>;
  int64_t addObserver(Observer observer);
  void removeAllObservers();
  // The observers present now (used by the load to report).
  std::vector<Observer> observers() const;

 private:
  mutable std::mutex mu_;
  // Guarded by mu_.
  int64_t nextHandle_ = 0;
  std::vector<std::pair<int64_t, Observer>> observers_;
};

// A condition on documents: one field compared with a value, or an AND / OR of conditions.
// Operators: "==", "!=", "<", "<=", ">", ">=", "array-contains", "array-contains-any", "in",
// "not-in".
class DEVFilter {
 public:
  static std::shared_ptr<DEVFilter> filterWhereFieldPath(std::shared_ptr<DEVFieldPath> path,
                                                         std::string op, fnd::Value value);
  static std::shared_ptr<DEVFilter> orFilterWithFilters(
      std::vector<std::shared_ptr<DEVFilter>> filters);
  static std::shared_ptr<DEVFilter> andFilterWithFilters(
      std::vector<std::shared_ptr<DEVFilter>> filters);

  bool isComposite() const { return !path_; }
  bool isOr() const { return isOr_; }
  const std::shared_ptr<DEVFieldPath>& fieldPath() const { return path_; }
  const std::string& op() const { return op_; }
  const fnd::Value& value() const { return value_; }
  const std::vector<std::shared_ptr<DEVFilter>>& filters() const { return filters_; }

 private:
  std::shared_ptr<DEVFieldPath> path_;
  std::string op_;
  fnd::Value value_;
  bool isOr_ = false;
  std::vector<std::shared_ptr<DEVFilter>> filters_;
};

// An aggregation over a query's documents.
class DEVAggregateField {
 public:
  enum class Kind { kCount, kSum, kAverage };
  static std::shared_ptr<DEVAggregateField> aggregateFieldForCount();
  static std::shared_ptr<DEVAggregateField> aggregateFieldForSumOfField(std::string field);
  static std::shared_ptr<DEVAggregateField> aggregateFieldForAverageOfField(std::string field);
  Kind kind() const { return kind_; }
  const std::string& field() const { return field_; }
  bool operator==(const DEVAggregateField& other) const {
    return kind_ == other.kind_ && field_ == other.field_;
  }

 private:
  DEVAggregateField(Kind kind, std::string field) : kind_(kind), field_(std::move(field)) {}
  Kind kind_;
  std::string field_;
};

class DEVAggregateQuerySnapshot {
 public:
  DEVAggregateQuerySnapshot(int64_t count,
                            std::vector<std::pair<DEVAggregateField, fnd::Value>> values)
      : count_(count), values_(std::move(values)) {}
  int64_t count() const { return count_; }
  // The result of an aggregate field equal to one that was asked for: a number, or null when
  // there was nothing to aggregate (an average of no values). Null for a field never asked for.
  fnd::Value valueForAggregateField(const DEVAggregateField& field) const;

 private:
  const int64_t count_;
  const std::vector<std::pair<DEVAggregateField, fnd::Value>> values_;
};

class DEVAggregateQuery {
 public:
  using Completion = std::function<void(std::shared_ptr<DEVAggregateQuerySnapshot>,
                                        const std::optional<fnd::Error>&)>;
  DEVAggregateQuery(std::shared_ptr<const DEVQuery> query,
                    std::vector<std::shared_ptr<DEVAggregateField>> fields)
      : query_(std::move(query)), fields_(std::move(fields)) {}
  const std::vector<std::shared_ptr<DEVAggregateField>>& fields() const { return fields_; }
  // Only DEVVireldaSourceDefault (0, the server) is supported; other sources fail.
  void aggregationWithSource(int64_t source, Completion completion) const;

 private:
  const std::shared_ptr<const DEVQuery> query_;
  const std::vector<std::shared_ptr<DEVAggregateField>> fields_;
};

// A description of which documents to read. Immutable: every builder returns a new query, or
// null with *error set when the SDK rejects the argument.
class DEVQuery : public fnd::Record, public std::enable_shared_from_this<DEVQuery> {
 public:
  using Completion =
      std::function<void(std::shared_ptr<DEVQuerySnapshot>, const std::optional<fnd::Error>&)>;

  const std::shared_ptr<DEVVirelda>& virelda() const { return virelda_; }
  // The collection path, or the collection id of a collection-group query.
  const std::string& path() const { return path_; }
  bool isCollectionGroup() const { return collectionGroup_; }

  std::shared_ptr<DEVQuery> queryWhereFilter(std::shared_ptr<DEVFilter> filter,
                                             fnd::Error* error = nullptr) const;
  // One condition; `op` as in DEVFilter.
  std::shared_ptr<DEVQuery> queryWhereFieldPath(std::shared_ptr<DEVFieldPath> path,
                                                const std::string& op, fnd::Value value,
                                                fnd::Error* error = nullptr) const;
  // Each of the two limits replaces the other: the last one asked for applies.
  std::shared_ptr<DEVQuery> queryLimitedTo(int64_t limit, fnd::Error* error = nullptr) const;
  std::shared_ptr<DEVQuery> queryLimitedToLast(int64_t limit, fnd::Error* error = nullptr) const;
  std::shared_ptr<DEVQuery> queryOrderedByFieldPath(std::shared_ptr<DEVFieldPath> path,
                                                    bool descending,
                                                    fnd::Error* error = nullptr) const;
  // Cursors: at most as many values as orderings.
  std::shared_ptr<DEVQuery> queryStartingAtValues(fnd::Array values,
                                                  fnd::Error* error = nullptr) const;
  std::shared_ptr<DEVQuery> queryStartingAfterValues(fnd::Array values,
                                                     fnd::Error* error = nullptr) const;
  std::shared_ptr<DEVQuery> queryEndingAtValues(fnd::Array values,
                                                fnd::Error* error = nullptr) const;
  std::shared_ptr<DEVQuery> queryEndingBeforeValues(fnd::Array values,
                                                    fnd::Error* error = nullptr) const;

  void getDocumentsWithSource(int64_t source, Completion completion) const;
  // Attaches a listener: it gets the query's snapshot now (every document added), then one after
  // every write to the database (by any instance) that changes the query's result, with the
  // changes since its last snapshot, and the errors scripted for the query's path, on the
  // settings' dispatch queue, until removed.
  std::shared_ptr<DEVListenerRegistration> addSnapshotListenerWithOptions(
      std::shared_ptr<DEVSnapshotListenOptions> options, Completion listener) const;
  std::shared_ptr<DEVAggregateQuery> aggregate(
      std::vector<std::shared_ptr<DEVAggregateField>> fields) const;

  // Runs the query against the store now: the matching documents in order, or nullopt with
  // *error set (a limit to last without an ordering).
  std::optional<std::vector<std::shared_ptr<DEVDocumentSnapshot>>> evaluate(
      bool fromCache, fnd::Error* error) const;

  std::string typeName() const override { return "DEVQuery"; }
  std::string description() const override;

  struct Ordering {
    std::shared_ptr<DEVFieldPath> path;
    bool descending;
  };
  struct Bound {
    fnd::Array values;
    bool inclusive;
  };
  const std::vector<std::shared_ptr<DEVFilter>>& filters() const { return filters_; }
  const std::vector<Ordering>& orderings() const { return orderings_; }
  std::optional<int64_t> limit() const { return limit_; }
  bool limitsToLast() const { return limitToLast_; }
  const std::optional<Bound>& startBound() const { return start_; }
  const std::optional<Bound>& endBound() const { return end_; }

 private:
  friend class DEVVirelda;
  DEVQuery(std::shared_ptr<DEVVirelda> virelda, std::string path, bool collectionGroup)
      : virelda_(std::move(virelda)), path_(std::move(path)), collectionGroup_(collectionGroup) {}
  std::shared_ptr<DEVQuery> copy() const;
  std::shared_ptr<DEVQuery> withBound(fnd::Array values, bool start, bool inclusive,
                                      fnd::Error* error) const;

  std::shared_ptr<DEVVirelda> virelda_;
  std::string path_;
  bool collectionGroup_;
  std::vector<std::shared_ptr<DEVFilter>> filters_;
  std::vector<Ordering> orderings_;
  std::optional<int64_t> limit_;
  bool limitToLast_ = false;
  std::optional<Bound> start_;
  std::optional<Bound> end_;
};

class DEVDocumentReference : public fnd::Record {
 public:
  using SnapshotCompletion =
      std::function<void(std::shared_ptr<DEVDocumentSnapshot>, const std::optional<fnd::Error>&)>;

  const std::shared_ptr<DEVVirelda>& virelda() const { return virelda_; }
  const std::string& path() const { return path_; }
  // The last segment of the path.
  std::string documentID() const;

  void getDocumentWithSource(int64_t source, SnapshotCompletion completion) const;
  // Replaces the document with data.
  void setData(const fnd::Dictionary& data, DEVVoidCompletion completion) const;
  // merge true: writes the given fields into the document and keeps the others; false: setData.
  void setData(const fnd::Dictionary& data, bool merge, DEVVoidCompletion completion) const;
  // Writes only the listed fields, taken from data.
  void setData(const fnd::Dictionary& data,
               const std::vector<std::shared_ptr<DEVFieldPath>>& mergeFields,
               DEVVoidCompletion completion) const;
  // Changes the given fields (keys are dotted field path strings or DEVFieldPath records) of a
  // document that must exist.
  void updateData(const fnd::Dictionary& fields, DEVVoidCompletion completion) const;
  void deleteDocumentWithCompletion(DEVVoidCompletion completion) const;
  // Attaches a listener: it gets the document's snapshot now, then one after every write to the
  // database (by any instance) that changes the document, and the errors scripted for its path,
  // all on the settings' dispatch queue, until the registration is removed.
  std::shared_ptr<DEVListenerRegistration> addSnapshotListenerWithOptions(
      std::shared_ptr<DEVSnapshotListenOptions> options, SnapshotCompletion listener) const;

  std::string typeName() const override { return "DEVDocumentReference"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  std::string description() const override { return "DEVDocumentReference(" + path_ + ")"; }

 private:
  friend class DEVVirelda;
  DEVDocumentReference(std::shared_ptr<DEVVirelda> virelda, std::string path)
      : virelda_(std::move(virelda)), path_(std::move(path)) {}

  const std::shared_ptr<DEVVirelda> virelda_;
  const std::string path_;
};

// Writes applied together, all or none, by one commit.
class DEVWriteBatch {
 public:
  explicit DEVWriteBatch(std::shared_ptr<DEVVirelda> virelda) : virelda_(std::move(virelda)) {}
  void setData(const fnd::Dictionary& data, std::shared_ptr<DEVDocumentReference> document);
  void setData(const fnd::Dictionary& data, std::shared_ptr<DEVDocumentReference> document,
               bool merge);
  void setData(const fnd::Dictionary& data, std::shared_ptr<DEVDocumentReference> document,
               const std::vector<std::shared_ptr<DEVFieldPath>>& mergeFields);
  void updateData(const fnd::Dictionary& fields, std::shared_ptr<DEVDocumentReference> document);
  void deleteDocument(std::shared_ptr<DEVDocumentReference> document);
  // Applies every write in order, or none of them when one fails. A batch commits once.
  void commitWithCompletion(DEVVoidCompletion completion);

  // One write, as recorded.
  struct Write {
    enum class Kind { kSet, kMerge, kMergeFields, kUpdate, kDelete } kind;
    std::string path;
    fnd::Dictionary data;
    std::vector<std::shared_ptr<DEVFieldPath>> mergeFields;
  };

 private:
  const std::shared_ptr<DEVVirelda> virelda_;
  std::mutex mu_;
  // Guarded by mu_.
  std::vector<Write> writes_;
  bool committed_ = false;
};

// Automatic index creation of the persistent cache.
class DEVPersistentCacheIndexManager {
 public:
  void enableIndexAutoCreation();
  void disableIndexAutoCreation();
  void deleteAllIndexes();
  bool isAutoCreationEnabled() const;
  // How many times deleteAllIndexes ran.
  int deleteCount() const;

 private:
  mutable std::mutex mu_;
  bool autoCreation_ = false;
  int deletes_ = 0;
};

class DEVVirelda : public fnd::Record, public std::enable_shared_from_this<DEVVirelda> {
 public:
  struct Store;

  // The instance of an app and a database: the one made earlier and not terminated since, else a
  // new one with default settings. Null (with *error set) when app is null or the database name
  // is empty.
  static std::shared_ptr<DEVVirelda> vireldaForApp(std::shared_ptr<DAVOdu> app,
                                                   const std::string& database,
                                                   fnd::Error* error = nullptr);
  // Turns the SDK's log output on or off.
  static void enableLogging(bool enabled);
  static bool isLoggingEnabled();

  const std::shared_ptr<DAVOdu>& app() const { return app_; }
  const std::string& databaseID() const { return database_; }
  // A copy of the settings in force.
  std::shared_ptr<DEVVireldaSettings> settings() const;
  void setSettings(const DEVVireldaSettings& settings);

  // References and queries. Null (with *error set) for a malformed path: a document path has an
  // even number of non-empty segments, a collection path an odd number, a collection id one.
  std::shared_ptr<DEVDocumentReference> documentWithPath(const std::string& path,
                                                         fnd::Error* error = nullptr);
  std::shared_ptr<DEVQuery> collectionWithPath(const std::string& path,
                                               fnd::Error* error = nullptr);
  std::shared_ptr<DEVQuery> collectionGroupWithID(const std::string& collectionID,
                                                  fnd::Error* error = nullptr);
  std::shared_ptr<DEVWriteBatch> batch();

  void clearPersistenceWithCompletion(DEVVoidCompletion completion);
  void disableNetworkWithCompletion(DEVVoidCompletion completion);
  void enableNetworkWithCompletion(DEVVoidCompletion completion);
  void waitForPendingWritesWithCompletion(DEVVoidCompletion completion);
  // Fails with invalid-argument unless the text is a JSON object ("{...}").
  void setIndexConfigurationFromJSON(const std::string& json, DEVVoidCompletion completion);
  // Ends the instance: later operations on it fail with failed-precondition, and the next
  // vireldaForApp for its app and database makes a new one.
  void terminateWithCompletion(DEVVoidCompletion completion);
  bool isTerminated() const;
  bool isNetworkEnabled() const;

  // Null unless the cache is persistent.
  std::shared_ptr<DEVPersistentCacheIndexManager> persistentCacheIndexManager() const;

  // A query that a bundle loaded into this database named, built on this instance; the
  // completion gets null when no bundle named it.
  void getQueryNamed(const std::string& name,
                     std::function<void(std::shared_ptr<DEVQuery>)> completion);
  // Test support: a named query of this instance only, found before those of bundles.
  void addNamedQueryForTesting(const std::string& name, std::shared_ptr<DEVQuery> query);

  // Loads a bundle (the format is in bundle.h): its documents replace those of the database
  // (a missing one is deleted) and its named queries become available to getQueryNamed; the
  // listeners the documents change hear of them. Progress goes to the task's observers and the
  // last report (with the error of a failed load) to the completion, on the settings' dispatch
  // queue: a report in the running state after the metadata and after each document, then one
  // in the success state. Bytes that are no bundle load nothing and fail with invalid-argument
  // ("The bundle is malformed: ..."), after a single report in the error state. While
  // DEVVireldaTesting::setBundleScript has a script, the script decides the reports and the
  // outcome and nothing is loaded. The load starts from a job on the main queue, so observers
  // added right after this call hear every report.
  std::shared_ptr<DEVLoadBundleTask> loadBundle(
      const fnd::Data& bundle, std::function<void(std::shared_ptr<DEVLoadBundleTaskProgress>,
                                                  const std::optional<fnd::Error>&)>
                                   completion);

  // Runs a transaction (transaction.h): block once per attempt on an SDK thread, then the commit
  // of what the attempt wrote; completion once, on the settings' dispatch queue, with the result
  // of the last attempt's block or the error that ended the transaction. An error that block sets
  // in its out-parameter ends the transaction with it, committing nothing.
  using TransactionBlock = std::function<fnd::Value(std::shared_ptr<DEVTransaction> transaction,
                                                    std::optional<fnd::Error>* error)>;
  using TransactionCompletion =
      std::function<void(const fnd::Value& result, const std::optional<fnd::Error>& error)>;
  void runTransactionWithOptions(std::shared_ptr<DEVTransactionOptions> options,
                                 TransactionBlock block, TransactionCompletion completion);

  // Attaches a listener called, on the settings' dispatch queue, after every write whose
  // snapshots reached the listeners it changed, and after every
  // DEVVireldaTesting::notifySnapshotListeners round, until removed.
  std::shared_ptr<DEVListenerRegistration> addSnapshotsInSyncListener(
      std::function<void()> listener);

  std::string typeName() const override { return "DEVVirelda"; }
  std::string description() const override;

  // Internal to the SDK: the shared document store, fault checks and callback delivery.
  const std::shared_ptr<Store>& store() const { return store_; }
  // The scripted fault for an operation on a path, else failed-precondition once terminated.
  std::optional<fnd::Error> checkOperation(std::string_view operation, std::string_view path) const;
  // Runs block on the settings' dispatch queue.
  void deliver(std::function<void()> block) const;
  // Resolves sentinels and dates and writes one document change into the store.
  // REQUIRES: the store's lock is held by the caller.
  bool applyWriteLocked(const DEVWriteBatch::Write& write, fnd::Error* error);
  // After a write to the store: every document and query listener of the store (of any live
  // instance) whose result the write changed gets a new snapshot, then, when any did, the
  // snapshots-in-sync listeners are called. REQUIRES: the store's lock is NOT held.
  void notifyListenersOfWrite() const;
  // The query a bundle's named query describes, on this instance; null with *error set when the
  // SDK refuses a part of it.
  std::shared_ptr<DEVQuery> queryFromBundle(const DEVBundle::NamedQuery& named, fnd::Error* error);
  // Writes a parsed bundle into the store and tells the listeners.
  void applyBundle(const DEVBundle& bundle);
  // A transaction's read of a document: its data as stored (for the commit's check) and as this
  // instance reads it; nullopt for both when it does not exist.
  void readForTransaction(const std::string& path, std::optional<fnd::Dictionary>* stored,
                          std::optional<fnd::Dictionary>* data) const;
  // A transaction's commit: when every document read still holds what the read found, applies the
  // writes in order, all or none, and tells the listeners.
  enum class TransactionCommit { kCommitted, kConflict, kFailed };
  TransactionCommit commitTransaction(
      const std::map<std::string, std::optional<fnd::Dictionary>>& reads,
      const std::vector<DEVWriteBatch::Write>& writes, fnd::Error* error);
  // The document's data as this instance reads it, or nullopt. REQUIRES: the store's lock.
  std::optional<fnd::Dictionary> readLocked(const std::string& path) const;
  // Stored data as this instance reads it: a document reference held in a document names a path
  // of the database, and reads back as a reference of the instance that reads it (whichever
  // instance wrote it, terminated or not).
  fnd::Dictionary referencesRebound(const fnd::Dictionary& data) const;
  fnd::Value referencesRebound(const fnd::Value& value) const;

 private:
  DEVVirelda(std::shared_ptr<DAVOdu> app, std::string database, std::shared_ptr<Store> store);

  // Constant after construction.
  const std::shared_ptr<DAVOdu> app_;
  const std::string database_;
  const std::shared_ptr<Store> store_;
  // Guarded by mu_.
  mutable std::mutex mu_;
  std::shared_ptr<DEVVireldaSettings> settings_;
  bool terminated_ = false;
  bool networkEnabled_ = true;
  std::shared_ptr<DEVPersistentCacheIndexManager> indexManager_;
  std::vector<std::pair<std::string, std::shared_ptr<DEVQuery>>> namedQueries_;
};

// Test hooks of the SDK stand-in.
class DEVVireldaTesting {
 public:
  // Decides whether an operation fails: given the operation ("get", "query", "set", "update",
  // "delete", "commit", "aggregate", "clearPersistence", "disableNetwork", "enableNetwork",
  // "waitForPendingWrites", "setIndexConfiguration", "terminate", "listen", "loadBundle",
  // "transaction", "transactionGet", "transactionCommit") and the document or collection path (""
  // for instance-wide operations), returns the error to fail with, or nullopt.
  using Fault =
      std::function<std::optional<fnd::Error>(std::string_view operation, std::string_view path)>;
  static void setFault(Fault fault);
  // The wall time that server timestamps take, in seconds; nullopt uses dispatch::Clock.
  static void setServerTime(std::optional<double> secondsSince1970);
  // Forgets every instance, document store, hook and the logging switch.
  static void resetForTesting();
  // Reads or writes a document of the store of (app name, database) directly, as a change made
  // elsewhere: listeners hear of a put only at the next notifySnapshotListeners or write.
  static std::optional<fnd::Dictionary> documentData(const std::string& appName,
                                                     const std::string& database,
                                                     const std::string& path);
  static void putDocument(const std::string& appName, const std::string& database,
                          const std::string& path, fnd::Dictionary data);

  // How a bundle loads: the progress reports in order, then the error it fails with (nullopt
  // for success; the completion then gets the last report).
  struct BundleScript {
    std::vector<DEVLoadBundleTaskProgress> progress;
    std::optional<fnd::Error> error;
  };
  static void setBundleScript(std::function<BundleScript(const fnd::Data& bundle)> script);
  // While held, bundle loads wait for runPendingBundleLoads instead of reporting at once.
  static void holdBundleLoads(bool hold);
  static void runPendingBundleLoads();

  // A snapshot listener attached and not removed, as the SDK saw it.
  struct Listener {
    enum class Kind { kDocument, kQuery, kSnapshotsInSync } kind;
    std::string path;  // The document or query path; "" for snapshots in sync.
    bool includeMetadataChanges;
    int64_t source;
  };
  // The listeners of the store of (app name, database), in attachment order.
  static std::vector<Listener> snapshotListeners(const std::string& appName,
                                                 const std::string& database);
  // Delivers a fresh snapshot to every document and query listener of the store whose result
  // changed since its last snapshot (puts included), then calls its snapshots-in-sync listeners.
  static void notifySnapshotListeners(const std::string& appName, const std::string& database);
  // Delivers error to every document and query listener on path; the listeners stay attached.
  static void failSnapshotListeners(const std::string& appName, const std::string& database,
                                    const std::string& path, const fnd::Error& error);
};
