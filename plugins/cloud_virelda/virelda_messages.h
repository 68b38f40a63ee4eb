// The structured messages of the Virelda host interface and its enumerations. Each message is a
// plain record with nullable fields that travels as its field list (position 0 first); the host
// interface's codec puts the message's type byte (128 to 140) before the list.
//
// Each is a zudiroru::PigeonRecordOf: its fields() list says how it travels (see pigeon_record.h).
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
#include "plugins/zudiroru_core/pigeon_record.h"

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

using zudiroru::PigeonEnumBox;
using DocumentChangeTypeBox = PigeonEnumBox<DocumentChangeType>;
using SourceBox = PigeonEnumBox<Source>;
using ListenSourceBox = PigeonEnumBox<ListenSource>;
using ServerTimestampBehaviorBox = PigeonEnumBox<ServerTimestampBehavior>;
using AggregateSourceBox = PigeonEnumBox<AggregateSource>;
using PersistenceCacheIndexManagerRequestBox = PigeonEnumBox<PersistenceCacheIndexManagerRequest>;
using PigeonTransactionResultBox = PigeonEnumBox<PigeonTransactionResult>;
using PigeonTransactionTypeBox = PigeonEnumBox<PigeonTransactionType>;
using AggregateTypeBox = PigeonEnumBox<AggregateType>;

class AggregateQuery : public zudiroru::PigeonRecordOf<AggregateQuery, 128> {
 public:
  static std::shared_ptr<AggregateQuery> makeWithType(AggregateType type,
                                                      std::optional<std::string> field) {
    return make(std::move(type), std::move(field));
  }
  static constexpr auto fields() {
    return std::make_tuple(&AggregateQuery::type, &AggregateQuery::field);
  }
  std::string typeName() const override { return "AggregateQuery"; }

  AggregateType type = AggregateTypeCount;
  std::optional<std::string> field;
};

class AggregateQueryResponse : public zudiroru::PigeonRecordOf<AggregateQueryResponse, 129> {
 public:
  static std::shared_ptr<AggregateQueryResponse> makeWithType(AggregateType type,
                                                              std::optional<std::string> field,
                                                              std::optional<double> value) {
    return make(std::move(type), std::move(field), std::move(value));
  }
  static constexpr auto fields() {
    return std::make_tuple(&AggregateQueryResponse::type, &AggregateQueryResponse::field,
                           &AggregateQueryResponse::value);
  }
  std::string typeName() const override { return "AggregateQueryResponse"; }

  AggregateType type = AggregateTypeCount;
  std::optional<std::string> field;
  std::optional<double> value;
};

class PigeonDocumentOption : public zudiroru::PigeonRecordOf<PigeonDocumentOption, 133> {
 public:
  static std::shared_ptr<PigeonDocumentOption> makeWithMerge(
      std::optional<bool> merge, std::optional<fnd::Array> mergeFields) {
    return make(std::move(merge), std::move(mergeFields));
  }
  static constexpr auto fields() {
    return std::make_tuple(&PigeonDocumentOption::merge, &PigeonDocumentOption::mergeFields);
  }
  std::string typeName() const override { return "PigeonDocumentOption"; }

  std::optional<bool> merge;
  // Field paths, each a list of segment strings.
  std::optional<fnd::Array> mergeFields;
};

class DocumentReferenceRequest : public zudiroru::PigeonRecordOf<DocumentReferenceRequest, 130> {
 public:
  static std::shared_ptr<DocumentReferenceRequest> makeWithPath(
      std::optional<std::string> path, std::optional<fnd::Dictionary> data,
      std::shared_ptr<PigeonDocumentOption> option, std::optional<SourceBox> source,
      std::optional<ServerTimestampBehaviorBox> serverTimestampBehavior) {
    return make(std::move(path), std::move(data), std::move(option), std::move(source),
                std::move(serverTimestampBehavior));
  }
  static constexpr auto fields() {
    return std::make_tuple(&DocumentReferenceRequest::path, &DocumentReferenceRequest::data,
                           &DocumentReferenceRequest::option, &DocumentReferenceRequest::source,
                           &DocumentReferenceRequest::serverTimestampBehavior);
  }
  std::string typeName() const override { return "DocumentReferenceRequest"; }

  std::optional<std::string> path;
  std::optional<fnd::Dictionary> data;
  std::shared_ptr<PigeonDocumentOption> option;
  std::optional<SourceBox> source;
  std::optional<ServerTimestampBehaviorBox> serverTimestampBehavior;
};

class PigeonZudiroruSettings : public zudiroru::PigeonRecordOf<PigeonZudiroruSettings, 135> {
 public:
  static std::shared_ptr<PigeonZudiroruSettings> makeWithPersistenceEnabled(
      std::optional<bool> persistenceEnabled, std::optional<std::string> host,
      std::optional<bool> sslEnabled, std::optional<int64_t> cacheSizeBytes,
      std::optional<bool> ignoreUndefinedProperties) {
    return make(std::move(persistenceEnabled), std::move(host), std::move(sslEnabled),
                std::move(cacheSizeBytes), std::move(ignoreUndefinedProperties));
  }
  static constexpr auto fields() {
    return std::make_tuple(&PigeonZudiroruSettings::persistenceEnabled,
                           &PigeonZudiroruSettings::host, &PigeonZudiroruSettings::sslEnabled,
                           zudiroru::PigeonWide(&PigeonZudiroruSettings::cacheSizeBytes),
                           &PigeonZudiroruSettings::ignoreUndefinedProperties);
  }
  std::string typeName() const override { return "PigeonZudiroruSettings"; }

  std::optional<bool> persistenceEnabled;
  std::optional<std::string> host;
  std::optional<bool> sslEnabled;
  std::optional<int64_t> cacheSizeBytes;
  std::optional<bool> ignoreUndefinedProperties;
};

class VireldaPigeonZudiroruApp : public zudiroru::PigeonRecordOf<VireldaPigeonZudiroruApp, 131> {
 public:
  static std::shared_ptr<VireldaPigeonZudiroruApp> makeWithAppName(
      std::optional<std::string> appName, std::shared_ptr<PigeonZudiroruSettings> settings,
      std::optional<std::string> databaseURL) {
    return make(std::move(appName), std::move(settings), std::move(databaseURL));
  }
  static constexpr auto fields() {
    return std::make_tuple(&VireldaPigeonZudiroruApp::appName, &VireldaPigeonZudiroruApp::settings,
                           &VireldaPigeonZudiroruApp::databaseURL);
  }
  std::string typeName() const override { return "VireldaPigeonZudiroruApp"; }

  std::optional<std::string> appName;
  std::shared_ptr<PigeonZudiroruSettings> settings;
  std::optional<std::string> databaseURL;
};

class PigeonSnapshotMetadata : public zudiroru::PigeonRecordOf<PigeonSnapshotMetadata, 139> {
 public:
  static std::shared_ptr<PigeonSnapshotMetadata> makeWithHasPendingWrites(
      std::optional<bool> hasPendingWrites, std::optional<bool> isFromCache) {
    return make(std::move(hasPendingWrites), std::move(isFromCache));
  }
  static constexpr auto fields() {
    return std::make_tuple(&PigeonSnapshotMetadata::hasPendingWrites,
                           &PigeonSnapshotMetadata::isFromCache);
  }
  std::string typeName() const override { return "PigeonSnapshotMetadata"; }

  std::optional<bool> hasPendingWrites;
  std::optional<bool> isFromCache;
};

class PigeonDocumentSnapshot : public zudiroru::PigeonRecordOf<PigeonDocumentSnapshot, 134> {
 public:
  static std::shared_ptr<PigeonDocumentSnapshot> makeWithPath(
      std::optional<std::string> path, std::optional<fnd::Dictionary> data,
      std::shared_ptr<PigeonSnapshotMetadata> metadata) {
    return make(std::move(path), std::move(data), std::move(metadata));
  }
  static constexpr auto fields() {
    return std::make_tuple(&PigeonDocumentSnapshot::path, &PigeonDocumentSnapshot::data,
                           &PigeonDocumentSnapshot::metadata);
  }
  std::string typeName() const override { return "PigeonDocumentSnapshot"; }

  std::optional<std::string> path;
  std::optional<fnd::Dictionary> data;
  std::shared_ptr<PigeonSnapshotMetadata> metadata;
};

class PigeonDocumentChange : public zudiroru::PigeonRecordOf<PigeonDocumentChange, 132> {
 public:
  static std::shared_ptr<PigeonDocumentChange> makeWithType(
      DocumentChangeType type, std::shared_ptr<PigeonDocumentSnapshot> document,
      std::optional<int64_t> oldIndex, std::optional<int64_t> newIndex) {
    return make(std::move(type), std::move(document), std::move(oldIndex), std::move(newIndex));
  }
  static constexpr auto fields() {
    return std::make_tuple(&PigeonDocumentChange::type, &PigeonDocumentChange::document,
                           &PigeonDocumentChange::oldIndex, &PigeonDocumentChange::index);
  }
  std::string typeName() const override { return "PigeonDocumentChange"; }

  DocumentChangeType type = DocumentChangeTypeAdded;
  std::shared_ptr<PigeonDocumentSnapshot> document;
  std::optional<int64_t> oldIndex;
  // The position in the new result.
  std::optional<int64_t> index;
};

class PigeonGetOptions : public zudiroru::PigeonRecordOf<PigeonGetOptions, 136> {
 public:
  static std::shared_ptr<PigeonGetOptions> makeWithSource(
      Source source, ServerTimestampBehavior serverTimestampBehavior) {
    return make(std::move(source), std::move(serverTimestampBehavior));
  }
  static constexpr auto fields() {
    return std::make_tuple(&PigeonGetOptions::source, &PigeonGetOptions::serverTimestampBehavior);
  }
  std::string typeName() const override { return "PigeonGetOptions"; }

  Source source = SourceServerAndCache;
  ServerTimestampBehavior serverTimestampBehavior = ServerTimestampBehaviorNone;
};

class PigeonQueryParameters : public zudiroru::PigeonRecordOf<PigeonQueryParameters, 137> {
 public:
  static std::shared_ptr<PigeonQueryParameters> makeWithWhere(
      std::optional<fnd::Array> where, std::optional<fnd::Array> orderBy,
      std::optional<int64_t> limit, std::optional<int64_t> limitToLast,
      std::optional<fnd::Array> startAt, std::optional<fnd::Array> startAfter,
      std::optional<fnd::Array> endAt, std::optional<fnd::Array> endBefore,
      std::optional<fnd::Dictionary> filters) {
    return make(std::move(where), std::move(orderBy), std::move(limit), std::move(limitToLast),
                std::move(startAt), std::move(startAfter), std::move(endAt), std::move(endBefore),
                std::move(filters));
  }
  static constexpr auto fields() {
    return std::make_tuple(&PigeonQueryParameters::where, &PigeonQueryParameters::orderBy,
                           &PigeonQueryParameters::limit, &PigeonQueryParameters::limitToLast,
                           &PigeonQueryParameters::startAt, &PigeonQueryParameters::startAfter,
                           &PigeonQueryParameters::endAt, &PigeonQueryParameters::endBefore,
                           &PigeonQueryParameters::filters);
  }
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

class PigeonQuerySnapshot : public zudiroru::PigeonRecordOf<PigeonQuerySnapshot, 138> {
 public:
  static std::shared_ptr<PigeonQuerySnapshot> makeWithDocuments(
      std::optional<std::vector<std::shared_ptr<PigeonDocumentSnapshot>>> documents,
      std::optional<std::vector<std::shared_ptr<PigeonDocumentChange>>> documentChanges,
      std::shared_ptr<PigeonSnapshotMetadata> metadata) {
    return make(std::move(documents), std::move(documentChanges), std::move(metadata));
  }
  static constexpr auto fields() {
    return std::make_tuple(&PigeonQuerySnapshot::documents, &PigeonQuerySnapshot::documentChanges,
                           &PigeonQuerySnapshot::metadata);
  }
  std::string typeName() const override { return "PigeonQuerySnapshot"; }

  std::optional<std::vector<std::shared_ptr<PigeonDocumentSnapshot>>> documents;
  std::optional<std::vector<std::shared_ptr<PigeonDocumentChange>>> documentChanges;
  std::shared_ptr<PigeonSnapshotMetadata> metadata;
};

class PigeonTransactionCommand : public zudiroru::PigeonRecordOf<PigeonTransactionCommand, 140> {
 public:
  static std::shared_ptr<PigeonTransactionCommand> makeWithType(
      PigeonTransactionType type, std::optional<std::string> path,
      std::optional<fnd::Dictionary> data, std::shared_ptr<PigeonDocumentOption> option) {
    return make(std::move(type), std::move(path), std::move(data), std::move(option));
  }
  static constexpr auto fields() {
    return std::make_tuple(&PigeonTransactionCommand::type, &PigeonTransactionCommand::path,
                           &PigeonTransactionCommand::data, &PigeonTransactionCommand::option);
  }
  std::string typeName() const override { return "PigeonTransactionCommand"; }

  PigeonTransactionType type = PigeonTransactionTypeUpdate;
  std::optional<std::string> path;
  std::optional<fnd::Dictionary> data;
  std::shared_ptr<PigeonDocumentOption> option;
};
