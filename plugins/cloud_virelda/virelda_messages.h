// The structured messages of the Virelda host interface and its enumerations. Each message is a
// plain record with nullable fields that travels as its field list (position 0 first); the host
// interface's codec puts the message's type byte (128 to 140) before the list.
//
// fromList rejects (returns null) a list whose elements are of the wrong kind; a list shorter than
// the field count reads the missing fields as null. A nested message may arrive as its plain
// field list or as a record of its type.
//
// Messages are values: they hold no lock and live for one call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "plugins/zudiroru_core/pigeon.h"

enum DocumentChangeType : int64_t {
  DocumentChangeTypeAdded = 0,
  DocumentChangeTypeModified = 1,
  DocumentChangeTypeRemoved = 2,
};
enum Source : int64_t {
  SourceServerAndCache = 0,
  SourceServer = 1,
  SourceCache = 2,
};
enum ListenSource : int64_t {
  ListenSourceDefaultSource = 0,
  ListenSourceCache = 1,
};
enum ServerTimestampBehavior : int64_t {
  ServerTimestampBehaviorNone = 0,
  ServerTimestampBehaviorEstimate = 1,
  ServerTimestampBehaviorPrevious = 2,
};
enum AggregateSource : int64_t {
  AggregateSourceServer = 0,
};
enum PersistenceCacheIndexManagerRequest : int64_t {
  PersistenceCacheIndexManagerRequestEnableIndexAutoCreation = 0,
  PersistenceCacheIndexManagerRequestDisableIndexAutoCreation = 1,
  PersistenceCacheIndexManagerRequestDeleteAllIndexes = 2,
};
enum PigeonTransactionResult : int64_t {
  PigeonTransactionResultSuccess = 0,
  PigeonTransactionResultFailure = 1,
};
enum PigeonTransactionType : int64_t {
  PigeonTransactionTypeUpdate = 1,
  PigeonTransactionTypeSet = 2,
  PigeonTransactionTypeDeleteType = 3,
};
enum AggregateType : int64_t {
  AggregateTypeCount = 0,
  AggregateTypeSum = 1,
  AggregateTypeAverage = 2,
};

// An enumeration value where the field may be null.
template <typename E>
struct PigeonEnumBox {
  explicit PigeonEnumBox(E v) : value(v) {}
  static PigeonEnumBox initWithValue(E v) { return PigeonEnumBox(v); }
  E value;
  bool operator==(const PigeonEnumBox&) const = default;
};
using DocumentChangeTypeBox = PigeonEnumBox<DocumentChangeType>;
using SourceBox = PigeonEnumBox<Source>;
using ListenSourceBox = PigeonEnumBox<ListenSource>;
using ServerTimestampBehaviorBox = PigeonEnumBox<ServerTimestampBehavior>;
using AggregateSourceBox = PigeonEnumBox<AggregateSource>;
using PersistenceCacheIndexManagerRequestBox = PigeonEnumBox<PersistenceCacheIndexManagerRequest>;
using PigeonTransactionResultBox = PigeonEnumBox<PigeonTransactionResult>;
using PigeonTransactionTypeBox = PigeonEnumBox<PigeonTransactionType>;
using AggregateTypeBox = PigeonEnumBox<AggregateType>;

class AggregateQuery : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 128;
  static std::shared_ptr<AggregateQuery> makeWithType(AggregateType type,
                                                      std::optional<std::string> field);
  static std::shared_ptr<AggregateQuery> fromList(const fnd::Array& list);
  static std::shared_ptr<AggregateQuery> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "AggregateQuery"; }

  AggregateType type = AggregateTypeCount;
  std::optional<std::string> field;
};

class AggregateQueryResponse : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 129;
  static std::shared_ptr<AggregateQueryResponse> makeWithType(AggregateType type,
                                                              std::optional<std::string> field,
                                                              std::optional<double> value);
  static std::shared_ptr<AggregateQueryResponse> fromList(const fnd::Array& list);
  static std::shared_ptr<AggregateQueryResponse> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "AggregateQueryResponse"; }

  AggregateType type = AggregateTypeCount;
  std::optional<std::string> field;
  std::optional<double> value;
};

class PigeonDocumentOption : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 133;
  static std::shared_ptr<PigeonDocumentOption> makeWithMerge(std::optional<bool> merge,
                                                             std::optional<fnd::Array> mergeFields);
  static std::shared_ptr<PigeonDocumentOption> fromList(const fnd::Array& list);
  static std::shared_ptr<PigeonDocumentOption> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonDocumentOption"; }

  std::optional<bool> merge;
  // Field paths, each a list of segment strings.
  std::optional<fnd::Array> mergeFields;
};

class DocumentReferenceRequest : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 130;
  static std::shared_ptr<DocumentReferenceRequest> makeWithPath(
      std::optional<std::string> path, std::optional<fnd::Dictionary> data,
      std::shared_ptr<PigeonDocumentOption> option, std::optional<SourceBox> source,
      std::optional<ServerTimestampBehaviorBox> serverTimestampBehavior);
  static std::shared_ptr<DocumentReferenceRequest> fromList(const fnd::Array& list);
  static std::shared_ptr<DocumentReferenceRequest> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "DocumentReferenceRequest"; }

  std::optional<std::string> path;
  std::optional<fnd::Dictionary> data;
  std::shared_ptr<PigeonDocumentOption> option;
  std::optional<SourceBox> source;
  std::optional<ServerTimestampBehaviorBox> serverTimestampBehavior;
};

class PigeonZudiroruSettings : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 135;
  static std::shared_ptr<PigeonZudiroruSettings> makeWithPersistenceEnabled(
      std::optional<bool> persistenceEnabled, std::optional<std::string> host,
      std::optional<bool> sslEnabled, std::optional<int64_t> cacheSizeBytes,
      std::optional<bool> ignoreUndefinedProperties);
  static std::shared_ptr<PigeonZudiroruSettings> fromList(const fnd::Array& list);
  static std::shared_ptr<PigeonZudiroruSettings> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonZudiroruSettings"; }

  std::optional<bool> persistenceEnabled;
  std::optional<std::string> host;
  std::optional<bool> sslEnabled;
  std::optional<int64_t> cacheSizeBytes;
  std::optional<bool> ignoreUndefinedProperties;
};

class VireldaPigeonZudiroruApp : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 131;
  static std::shared_ptr<VireldaPigeonZudiroruApp> makeWithAppName(
      std::optional<std::string> appName, std::shared_ptr<PigeonZudiroruSettings> settings,
      std::optional<std::string> databaseURL);
  static std::shared_ptr<VireldaPigeonZudiroruApp> fromList(const fnd::Array& list);
  static std::shared_ptr<VireldaPigeonZudiroruApp> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "VireldaPigeonZudiroruApp"; }

  std::optional<std::string> appName;
  std::shared_ptr<PigeonZudiroruSettings> settings;
  std::optional<std::string> databaseURL;
};

class PigeonSnapshotMetadata : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 139;
  static std::shared_ptr<PigeonSnapshotMetadata> makeWithHasPendingWrites(
      std::optional<bool> hasPendingWrites, std::optional<bool> isFromCache);
  static std::shared_ptr<PigeonSnapshotMetadata> fromList(const fnd::Array& list);
  static std::shared_ptr<PigeonSnapshotMetadata> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonSnapshotMetadata"; }

  std::optional<bool> hasPendingWrites;
  std::optional<bool> isFromCache;
};

class PigeonDocumentSnapshot : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 134;
  static std::shared_ptr<PigeonDocumentSnapshot> makeWithPath(
      std::optional<std::string> path, std::optional<fnd::Dictionary> data,
      std::shared_ptr<PigeonSnapshotMetadata> metadata);
  static std::shared_ptr<PigeonDocumentSnapshot> fromList(const fnd::Array& list);
  static std::shared_ptr<PigeonDocumentSnapshot> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonDocumentSnapshot"; }

  std::optional<std::string> path;
  std::optional<fnd::Dictionary> data;
  std::shared_ptr<PigeonSnapshotMetadata> metadata;
};

class PigeonDocumentChange : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 132;
  static std::shared_ptr<PigeonDocumentChange> makeWithType(
      DocumentChangeType type, std::shared_ptr<PigeonDocumentSnapshot> document,
      std::optional<int64_t> oldIndex, std::optional<int64_t> newIndex);
  static std::shared_ptr<PigeonDocumentChange> fromList(const fnd::Array& list);
  static std::shared_ptr<PigeonDocumentChange> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonDocumentChange"; }

  DocumentChangeType type = DocumentChangeTypeAdded;
  std::shared_ptr<PigeonDocumentSnapshot> document;
  std::optional<int64_t> oldIndex;
  // The position in the new result.
  std::optional<int64_t> index;
};

class PigeonGetOptions : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 136;
  static std::shared_ptr<PigeonGetOptions> makeWithSource(
      Source source, ServerTimestampBehavior serverTimestampBehavior);
  static std::shared_ptr<PigeonGetOptions> fromList(const fnd::Array& list);
  static std::shared_ptr<PigeonGetOptions> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonGetOptions"; }

  Source source = SourceServerAndCache;
  ServerTimestampBehavior serverTimestampBehavior = ServerTimestampBehaviorNone;
};

class PigeonQueryParameters : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 137;
  static std::shared_ptr<PigeonQueryParameters> makeWithWhere(
      std::optional<fnd::Array> where, std::optional<fnd::Array> orderBy,
      std::optional<int64_t> limit, std::optional<int64_t> limitToLast,
      std::optional<fnd::Array> startAt, std::optional<fnd::Array> startAfter,
      std::optional<fnd::Array> endAt, std::optional<fnd::Array> endBefore,
      std::optional<fnd::Dictionary> filters);
  static std::shared_ptr<PigeonQueryParameters> fromList(const fnd::Array& list);
  static std::shared_ptr<PigeonQueryParameters> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonQueryParameters"; }

  std::optional<fnd::Array> where;
  std::optional<fnd::Array> orderBy;
  std::optional<int64_t> limit;
  std::optional<int64_t> limitToLast;
  std::optional<fnd::Array> startAt;
  std::optional<fnd::Array> startAfter;
  std::optional<fnd::Array> endAt;
  std::optional<fnd::Array> endBefore;
  std::optional<fnd::Dictionary> filters;
};

class PigeonQuerySnapshot : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 138;
  static std::shared_ptr<PigeonQuerySnapshot> makeWithDocuments(
      std::optional<std::vector<std::shared_ptr<PigeonDocumentSnapshot>>> documents,
      std::optional<std::vector<std::shared_ptr<PigeonDocumentChange>>> documentChanges,
      std::shared_ptr<PigeonSnapshotMetadata> metadata);
  static std::shared_ptr<PigeonQuerySnapshot> fromList(const fnd::Array& list);
  static std::shared_ptr<PigeonQuerySnapshot> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonQuerySnapshot"; }

  std::optional<std::vector<std::shared_ptr<PigeonDocumentSnapshot>>> documents;
  std::optional<std::vector<std::shared_ptr<PigeonDocumentChange>>> documentChanges;
  std::shared_ptr<PigeonSnapshotMetadata> metadata;
};

class PigeonTransactionCommand : public zudiroru::PigeonMessage {
 public:
  static constexpr uint8_t kType = 140;
  static std::shared_ptr<PigeonTransactionCommand> makeWithType(
      PigeonTransactionType type, std::optional<std::string> path,
      std::optional<fnd::Dictionary> data, std::shared_ptr<PigeonDocumentOption> option);
  static std::shared_ptr<PigeonTransactionCommand> fromList(const fnd::Array& list);
  static std::shared_ptr<PigeonTransactionCommand> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "PigeonTransactionCommand"; }

  PigeonTransactionType type = PigeonTransactionTypeUpdate;
  std::optional<std::string> path;
  std::optional<fnd::Dictionary> data;
  std::shared_ptr<PigeonDocumentOption> option;
};
