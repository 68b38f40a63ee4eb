#include "plugins/cloud_virelda/zudiroru_virelda_plugin.h"

#include <algorithm>
#include <cctype>

#include "platform/dispatch/queue.h"
#include "platform/foundation/uuid.h"
#include "plugins/cloud_virelda/snapshot_stream_handlers.h"
#include "plugins/cloud_virelda/transaction_stream_handler.h"
#include "plugins/cloud_virelda/virelda_codec.h"
#include "plugins/cloud_virelda/virelda_log.h"
#include "plugins/cloud_virelda/virelda_pigeon_parser.h"
#include "plugins/cloud_virelda/virelda_utils.h"
#include "plugins/zudiroru_core/pigeon.h"

namespace {

using flutter::FlutterError;

std::shared_ptr<FlutterError> Error(const std::string& code, const std::string& message) {
  return std::make_shared<FlutterError>(code, message, fnd::Value());
}

// An argument check of the SDK that failed: answered as an invalid argument.
std::shared_ptr<FlutterError> ExceptionError(const VireldaException& exception) {
  return Error("invalid-argument", exception.reason);
}

std::shared_ptr<FlutterError> MissingArgument(const char* what) {
  return Error("invalid-argument", std::string("The request has no ") + what + ".");
}

std::string NewChannelId() {
  std::string id = fnd::UUID::Random().uuidString();
  std::transform(id.begin(), id.end(), id.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return id;
}

fnd::Value RecordValue(std::shared_ptr<fnd::Record> record) {
  return fnd::Value(std::move(record));
}

// Applies a set with the option's merge rule: merge true, else merge fields, else plain.
template <typename Plain, typename Merge, typename Fields>
void SetByOption(const std::shared_ptr<PigeonDocumentOption>& option, Plain plain, Merge merge,
                 Fields fields) {
  if (option && option->merge.value_or(false)) {
    merge();
  } else if (option && option->mergeFields) {
    fields(VireldaPigeonParser::parseFieldPath(*option->mergeFields));
  } else {
    plain();
  }
}

}  // namespace

// ---- Registration and state ----

FLTZudiroruVireldaPlugin::FLTZudiroruVireldaPlugin(
    std::shared_ptr<flutter::FlutterBinaryMessenger> messenger)
    : binaryMessenger_(std::move(messenger)) {}

void FLTZudiroruVireldaPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  auto plugin = std::make_shared<FLTZudiroruVireldaPlugin>(registrar.messenger());
  ZudiroruVireldaHostApiSetup(registrar.messenger(), plugin);
  registrar.publish(fnd::Value(std::shared_ptr<fnd::Record>(plugin)));
}

std::shared_ptr<const flutter::FlutterStandardMethodCodec> FLTZudiroruVireldaPlugin::codec() {
  static const auto* codec = new std::shared_ptr<const flutter::FlutterStandardMethodCodec>(
      flutter::FlutterStandardMethodCodec::codecWithReaderWriter(
          std::make_shared<FLTZudiroruVireldaReaderWriter>()));
  return *codec;
}

std::string FLTZudiroruVireldaPlugin::flutterChannelName() const {
  return std::string(zudiroru::kPluginChannelPrefix) + "/zudiroru_virelda";
}

fnd::Dictionary FLTZudiroruVireldaPlugin::pluginConstantsForDAVOdu(const DAVOdu&) { return {}; }

void FLTZudiroruVireldaPlugin::didReinitializeZudiroruCore(std::function<void()> completion) {
  cleanupEventListeners();
  cleanupVireldaInstances(std::move(completion));
}

void FLTZudiroruVireldaPlugin::detachFromEngineForRegistrar(flutter::FlutterPluginRegistrar&) {
  cleanupEventListeners();
}

void FLTZudiroruVireldaPlugin::cleanupEventListeners() {
  std::map<std::string, std::shared_ptr<flutter::FlutterEventChannel>> channels;
  std::map<std::string, std::shared_ptr<flutter::FlutterStreamHandler>> handlers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    channels.swap(eventChannels_);
    handlers.swap(streamHandlers_);
  }
  for (const auto& [id, channel] : channels) channel->setStreamHandler(nullptr);
  for (const auto& [id, handler] : handlers) {
    // A cancel error is of no use here; the stream is gone either way.
    (void)handler->onCancelWithArguments(fnd::Value());
  }
  // Cancelling aborted every running transaction; none is answered any more.
  std::lock_guard<std::mutex> lock(transactionsMu_);
  transactions_.clear();
  transactionHandlers_.clear();
}

void FLTZudiroruVireldaPlugin::cleanupVireldaInstances(std::function<void()> completion) {
  if (FLTZudiroruVireldaUtils::count() == 0) {
    if (completion) completion();
    return;
  }
  FLTZudiroruVireldaUtils::cleanupVireldaInstances(std::move(completion));
}

std::string FLTZudiroruVireldaPlugin::registerEventChannelWithPrefix(
    const std::string& prefix, std::shared_ptr<flutter::FlutterStreamHandler> handler) {
  return registerEventChannelWithPrefix(prefix, NewChannelId(), std::move(handler));
}

std::string FLTZudiroruVireldaPlugin::registerEventChannelWithPrefix(
    const std::string& prefix, const std::string& identifier,
    std::shared_ptr<flutter::FlutterStreamHandler> handler) {
  auto channel = flutter::FlutterEventChannel::eventChannelWithName(prefix + "/" + identifier,
                                                                    binaryMessenger_, codec());
  channel->setStreamHandler(handler);
  std::lock_guard<std::mutex> lock(mu_);
  eventChannels_[identifier] = std::move(channel);
  streamHandlers_[identifier] = std::move(handler);
  return identifier;
}

size_t FLTZudiroruVireldaPlugin::eventChannelCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return eventChannels_.size();
}

size_t FLTZudiroruVireldaPlugin::transactionHandlerCount() const {
  std::lock_guard<std::mutex> lock(transactionsMu_);
  return transactionHandlers_.size();
}

bool FLTZudiroruVireldaPlugin::hasTransactionObject(const std::string& transactionId) const {
  std::lock_guard<std::mutex> lock(transactionsMu_);
  return transactions_.count(transactionId) > 0;
}

std::shared_ptr<DEVVirelda> FLTZudiroruVireldaPlugin::getDEVVireldaFromAppNameFromPigeon(
    const std::shared_ptr<VireldaPigeonZudiroruApp>& app, std::shared_ptr<FlutterError>* error) {
  if (!app || !app->appName || !app->databaseURL) {
    *error = MissingArgument("app name and database URL");
    return nullptr;
  }
  auto settings = app->settings;
  fnd::Error sdkError;
  auto instance = FLTVireldaInstanceFor(
      *app->appName, *app->databaseURL,
      [&] {
        if (!settings) return FLTVireldaMakeSettings({}, {}, {}, {});
        return FLTVireldaMakeSettings(settings->persistenceEnabled, settings->cacheSizeBytes,
                                      settings->host, settings->sslEnabled);
      },
      &sdkError);
  if (!instance) *error = Error("invalid-argument", sdkError.localizedDescription());
  return instance;
}

std::shared_ptr<FlutterError> FLTZudiroruVireldaPlugin::convertToFlutterError(
    const fnd::Error* error) {
  auto [code, message] = FLTZudiroruVireldaUtils::ErrorCodeAndMessageFromNSError(error);
  return std::make_shared<FlutterError>(
      code, message, fnd::Value(fnd::Dictionary{{"code", code}, {"message", message}}));
}

std::shared_ptr<DEVQuery> FLTZudiroruVireldaPlugin::queryFromPigeon(
    const App& app, const std::optional<std::string>& path, bool isCollectionGroup,
    const std::shared_ptr<PigeonQueryParameters>& parameters, std::shared_ptr<DEVVirelda>* virelda,
    std::shared_ptr<FlutterError>* error) {
  *virelda = getDEVVireldaFromAppNameFromPigeon(app, error);
  if (!*virelda) return nullptr;
  auto query = VireldaPigeonParser::parseQueryWithParameters(
      parameters ? *parameters : PigeonQueryParameters(), *virelda, path.value_or(""),
      isCollectionGroup);
  if (!query) *error = Error(kFLTVireldaErrorParsingCode, kFLTVireldaErrorParsingMessage);
  return query;
}

// ---- Documents ----

void FLTZudiroruVireldaPlugin::documentReferenceGetApp(
    App app, std::shared_ptr<DocumentReferenceRequest> request, ResultCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(fnd::Value(), error);
  if (!request || !request->path) return completion(fnd::Value(), MissingArgument("path"));
  VireldaException exception;
  auto source = VireldaPigeonParser::parseSource(
      request->source ? static_cast<int64_t>(request->source->value) : 0, &exception);
  auto behavior = VireldaPigeonParser::parseServerTimestampBehavior(
      request->serverTimestampBehavior
          ? static_cast<int64_t>(request->serverTimestampBehavior->value)
          : 0,
      &exception);
  if (!source || !behavior) return completion(fnd::Value(), ExceptionError(exception));
  fnd::Error sdkError;
  auto reference = virelda->documentWithPath(*request->path, &sdkError);
  if (!reference) return completion(fnd::Value(), convertToFlutterError(&sdkError));
  int64_t timestampBehavior = *behavior;
  reference->getDocumentWithSource(*source, [completion, timestampBehavior](
                                                std::shared_ptr<DEVDocumentSnapshot> snapshot,
                                                const std::optional<fnd::Error>& e) {
    if (e || !snapshot) return completion(fnd::Value(), convertToFlutterError(e ? &*e : nullptr));
    completion(
        RecordValue(VireldaPigeonParser::toPigeonDocumentSnapshot(*snapshot, timestampBehavior)),
        nullptr);
  });
}

namespace {

// The completion of an SDK write: null, or the converted error.
DEVVoidCompletion WriteCompletion(ZudiroruVireldaHostApi::VoidCompletion completion) {
  return [completion](const std::optional<fnd::Error>& e) {
    completion(e ? FLTZudiroruVireldaPlugin::convertToFlutterError(&*e) : nullptr);
  };
}

}  // namespace

std::shared_ptr<DEVDocumentReference> FLTZudiroruVireldaPlugin::referenceFromPigeon(
    const App& app, const std::shared_ptr<DocumentReferenceRequest>& request,
    std::shared_ptr<FlutterError>* error) {
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, error);
  if (!virelda) return nullptr;
  if (!request || !request->path) {
    *error = MissingArgument("path");
    return nullptr;
  }
  fnd::Error sdkError;
  auto reference = virelda->documentWithPath(*request->path, &sdkError);
  if (!reference) *error = convertToFlutterError(&sdkError);
  return reference;
}

void FLTZudiroruVireldaPlugin::documentReferenceSetApp(
    App app, std::shared_ptr<DocumentReferenceRequest> request, VoidCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto reference = referenceFromPigeon(app, request, &error);
  if (!reference) return completion(error);
  const fnd::Dictionary data = request->data.value_or(fnd::Dictionary{});
  auto done = WriteCompletion(completion);
  SetByOption(
      request->option, [&] { reference->setData(data, done); },
      [&] { reference->setData(data, true, done); },
      [&](const auto& fields) { reference->setData(data, fields, done); });
}

void FLTZudiroruVireldaPlugin::documentReferenceUpdateApp(
    App app, std::shared_ptr<DocumentReferenceRequest> request, VoidCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto reference = referenceFromPigeon(app, request, &error);
  if (!reference) return completion(error);
  reference->updateData(request->data.value_or(fnd::Dictionary{}), WriteCompletion(completion));
}

void FLTZudiroruVireldaPlugin::documentReferenceDeleteApp(
    App app, std::shared_ptr<DocumentReferenceRequest> request, VoidCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto reference = referenceFromPigeon(app, request, &error);
  if (!reference) return completion(error);
  reference->deleteDocumentWithCompletion(WriteCompletion(completion));
}

// ---- Queries ----

namespace {

// Gets a query's documents and answers with the converted snapshot.
void GetDocuments(const std::shared_ptr<DEVQuery>& query, int64_t source, int64_t behavior,
                  ZudiroruVireldaHostApi::ResultCompletion completion) {
  query->getDocumentsWithSource(source, [completion, behavior](
                                            std::shared_ptr<DEVQuerySnapshot> snapshot,
                                            const std::optional<fnd::Error>& e) {
    if (e || !snapshot) {
      return completion(fnd::Value(),
                        FLTZudiroruVireldaPlugin::convertToFlutterError(e ? &*e : nullptr));
    }
    VireldaException exception;
    auto converted = VireldaPigeonParser::toPigeonQuerySnapshot(*snapshot, behavior, &exception);
    if (!converted) return completion(fnd::Value(), ExceptionError(exception));
    completion(RecordValue(converted), nullptr);
  });
}

}  // namespace

void FLTZudiroruVireldaPlugin::queryGetApp(App app, std::optional<std::string> path,
                                           bool isCollectionGroup,
                                           std::shared_ptr<PigeonQueryParameters> parameters,
                                           std::shared_ptr<PigeonGetOptions> options,
                                           ResultCompletion completion) {
  std::shared_ptr<FlutterError> error;
  std::shared_ptr<DEVVirelda> virelda;
  auto query = queryFromPigeon(app, path, isCollectionGroup, parameters, &virelda, &error);
  if (!query) return completion(fnd::Value(), error);
  VireldaException exception;
  auto source = VireldaPigeonParser::parseSource(
      options ? static_cast<int64_t>(options->source) : 0, &exception);
  auto behavior = VireldaPigeonParser::parseServerTimestampBehavior(
      options ? static_cast<int64_t>(options->serverTimestampBehavior) : 0, &exception);
  if (!source || !behavior) return completion(fnd::Value(), ExceptionError(exception));
  GetDocuments(query, *source, *behavior, std::move(completion));
}

void FLTZudiroruVireldaPlugin::namedQueryGetApp(App app, std::optional<std::string> name,
                                                std::shared_ptr<PigeonGetOptions> options,
                                                ResultCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(fnd::Value(), error);
  VireldaException exception;
  auto source = VireldaPigeonParser::parseSource(
      options ? static_cast<int64_t>(options->source) : 0, &exception);
  auto behavior = VireldaPigeonParser::parseServerTimestampBehavior(
      options ? static_cast<int64_t>(options->serverTimestampBehavior) : 0, &exception);
  if (!source || !behavior) return completion(fnd::Value(), ExceptionError(exception));
  int64_t s = *source, b = *behavior;
  virelda->getQueryNamed(name.value_or(""), [completion, s, b](std::shared_ptr<DEVQuery> query) {
    if (!query) {
      return completion(fnd::Value(),
                        Error(kFLTVireldaNamedQueryCode, kFLTVireldaNamedQueryMessage));
    }
    GetDocuments(query, s, b, completion);
  });
}

void FLTZudiroruVireldaPlugin::aggregateQueryApp(
    App app, std::optional<std::string> path, std::shared_ptr<PigeonQueryParameters> parameters,
    AggregateSource /*source: aggregates always come from the server*/,
    std::optional<std::vector<std::shared_ptr<AggregateQuery>>> queries, bool isCollectionGroup,
    ResultCompletion completion) {
  std::shared_ptr<FlutterError> error;
  std::shared_ptr<DEVVirelda> virelda;
  auto query = queryFromPigeon(app, path, isCollectionGroup, parameters, &virelda, &error);
  if (!query) return completion(fnd::Value(), error);
  auto requested = queries.value_or(std::vector<std::shared_ptr<AggregateQuery>>{});
  std::vector<std::shared_ptr<DEVAggregateField>> fields;
  for (const auto& q : requested) {
    if (!q) continue;
    switch (q->type) {
      case AggregateTypeCount:
        fields.push_back(DEVAggregateField::aggregateFieldForCount());
        break;
      case AggregateTypeSum:
        fields.push_back(DEVAggregateField::aggregateFieldForSumOfField(q->field.value_or("")));
        break;
      case AggregateTypeAverage:
        fields.push_back(DEVAggregateField::aggregateFieldForAverageOfField(q->field.value_or("")));
        break;
    }
  }
  query->aggregate(fields)->aggregationWithSource(
      DEVVireldaSourceDefault,
      [completion, requested](std::shared_ptr<DEVAggregateQuerySnapshot> snapshot,
                              const std::optional<fnd::Error>& e) {
        if (e || !snapshot)
          return completion(fnd::Value(), convertToFlutterError(e ? &*e : nullptr));
        fnd::Array responses;
        for (const auto& q : requested) {
          if (!q) continue;
          std::shared_ptr<AggregateQueryResponse> response;
          if (q->type == AggregateTypeCount) {
            response = AggregateQueryResponse::makeWithType(AggregateTypeCount, std::nullopt,
                                                            static_cast<double>(snapshot->count()));
          } else if (q->type == AggregateTypeSum || q->type == AggregateTypeAverage) {
            std::string field = q->field.value_or("");
            auto aggregate = q->type == AggregateTypeSum
                                 ? DEVAggregateField::aggregateFieldForSumOfField(field)
                                 : DEVAggregateField::aggregateFieldForAverageOfField(field);
            fnd::Value v = snapshot->valueForAggregateField(*aggregate);
            response = AggregateQueryResponse::makeWithType(
                q->type, field, v.isNull() ? std::nullopt : std::optional<double>(v.asDouble()));
          }
          if (response) responses.push_back(RecordValue(response));
        }
        completion(fnd::Value(std::move(responses)), nullptr);
      });
}

void FLTZudiroruVireldaPlugin::writeBatchCommitApp(App app, std::optional<Commands> writes,
                                                   VoidCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(error);
  auto batch = virelda->batch();
  for (const auto& command : writes.value_or(Commands{})) {
    if (!command) continue;
    if (command->type != PigeonTransactionTypeUpdate && command->type != PigeonTransactionTypeSet &&
        command->type != PigeonTransactionTypeDeleteType) {
      continue;
    }
    // A bad path fails the whole batch before anything is written.
    fnd::Error sdkError;
    auto reference = command->path ? virelda->documentWithPath(*command->path, &sdkError) : nullptr;
    if (!reference) {
      if (!command->path) return completion(MissingArgument("path in a write"));
      return completion(convertToFlutterError(&sdkError));
    }
    const fnd::Dictionary data = command->data.value_or(fnd::Dictionary{});
    switch (command->type) {
      case PigeonTransactionTypeUpdate:
        batch->updateData(data, reference);
        break;
      case PigeonTransactionTypeSet:
        SetByOption(
            command->option, [&] { batch->setData(data, reference); },
            [&] { batch->setData(data, reference, true); },
            [&](const auto& fields) { batch->setData(data, reference, fields); });
        break;
      case PigeonTransactionTypeDeleteType:
        batch->deleteDocument(reference);
        break;
    }
  }
  batch->commitWithCompletion(WriteCompletion(completion));
}

// ---- Instance controls ----

void FLTZudiroruVireldaPlugin::runInstanceControl(const App& app, VoidCompletion completion,
                                                  void (DEVVirelda::*control)(DEVVoidCompletion)) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(error);
  ((*virelda).*control)(WriteCompletion(completion));
}

void FLTZudiroruVireldaPlugin::clearPersistenceApp(App app, VoidCompletion completion) {
  runInstanceControl(app, std::move(completion), &DEVVirelda::clearPersistenceWithCompletion);
}

void FLTZudiroruVireldaPlugin::disableNetworkApp(App app, VoidCompletion completion) {
  runInstanceControl(app, std::move(completion), &DEVVirelda::disableNetworkWithCompletion);
}

void FLTZudiroruVireldaPlugin::enableNetworkApp(App app, VoidCompletion completion) {
  runInstanceControl(app, std::move(completion), &DEVVirelda::enableNetworkWithCompletion);
}

void FLTZudiroruVireldaPlugin::waitForPendingWritesApp(App app, VoidCompletion completion) {
  runInstanceControl(app, std::move(completion), &DEVVirelda::waitForPendingWritesWithCompletion);
}

void FLTZudiroruVireldaPlugin::setIndexConfigurationApp(
    App app, std::optional<std::string> indexConfiguration, VoidCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(error);
  virelda->setIndexConfigurationFromJSON(indexConfiguration.value_or(""),
                                         WriteCompletion(completion));
}

void FLTZudiroruVireldaPlugin::setLoggingEnabledLoggingEnabled(bool loggingEnabled,
                                                               VoidCompletion completion) {
  DEVVirelda::enableLogging(loggingEnabled);
  completion(nullptr);
}

void FLTZudiroruVireldaPlugin::persistenceCacheIndexManagerRequestApp(
    App app, PersistenceCacheIndexManagerRequest request, VoidCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(error);
  auto manager = virelda->persistentCacheIndexManager();
  if (!manager) {
    FLTVireldaLog("FLTZudiroruVirelda: `PersistentCacheIndexManager` is not available.");
  } else if (request == PersistenceCacheIndexManagerRequestEnableIndexAutoCreation) {
    manager->enableIndexAutoCreation();
  } else if (request == PersistenceCacheIndexManagerRequestDisableIndexAutoCreation) {
    manager->disableIndexAutoCreation();
  } else if (request == PersistenceCacheIndexManagerRequestDeleteAllIndexes) {
    manager->deleteAllIndexes();
  }
  completion(nullptr);
}

void FLTZudiroruVireldaPlugin::terminateApp(App app, VoidCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(error);
  virelda->terminateWithCompletion([virelda, completion](const std::optional<fnd::Error>& e) {
    if (e) return completion(convertToFlutterError(&*e));
    // An instance that is no longer cached was removed already; the termination still stands.
    if (auto entry = FLTZudiroruVireldaUtils::getCachedInstanceForVirelda(*virelda)) {
      FLTZudiroruVireldaUtils::destroyCachedInstanceForVirelda(
          virelda->app() ? virelda->app()->name() : std::string(), entry->databaseURL());
    }
    completion(nullptr);
  });
}

// ---- Streams and transactions ----

void FLTZudiroruVireldaPlugin::loadBundleApp(App app, std::optional<fnd::Data> bundle,
                                             ResultCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(fnd::Value(), error);
  if (!bundle) return completion(fnd::Value(), MissingArgument("bundle"));
  completion(fnd::Value(registerEventChannelWithPrefix(
                 std::string(zudiroru::kPluginChannelPrefix) + kFLTVireldaLoadBundleChannel,
                 std::make_shared<FLTLoadBundleStreamHandler>(virelda, std::move(*bundle)))),
             nullptr);
}

void FLTZudiroruVireldaPlugin::snapshotsInSyncSetupApp(App app, ResultCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(fnd::Value(), error);
  completion(fnd::Value(registerEventChannelWithPrefix(
                 std::string(zudiroru::kPluginChannelPrefix) + kFLTVireldaSnapshotsInSyncChannel,
                 std::make_shared<FLTSnapshotsInSyncStreamHandler>(virelda))),
             nullptr);
}

void FLTZudiroruVireldaPlugin::querySnapshotApp(App app, std::optional<std::string> path,
                                                bool isCollectionGroup,
                                                std::shared_ptr<PigeonQueryParameters> parameters,
                                                std::shared_ptr<PigeonGetOptions> options,
                                                bool includeMetadataChanges, ListenSource source,
                                                ResultCompletion completion) {
  std::shared_ptr<FlutterError> error;
  std::shared_ptr<DEVVirelda> virelda;
  auto query = queryFromPigeon(app, path, isCollectionGroup, parameters, &virelda, &error);
  if (!query) return completion(fnd::Value(), error);
  // The options' source is for reads; listening takes the separate listen source.
  VireldaException exception;
  auto behavior = VireldaPigeonParser::parseServerTimestampBehavior(
      options ? static_cast<int64_t>(options->serverTimestampBehavior) : 0, &exception);
  auto listenSource =
      behavior ? VireldaPigeonParser::parseListenSource(static_cast<int64_t>(source), &exception)
               : std::nullopt;
  if (!behavior || !listenSource) return completion(fnd::Value(), ExceptionError(exception));
  auto handler = std::make_shared<FLTQuerySnapshotStreamHandler>(
      virelda, query, includeMetadataChanges, *behavior, static_cast<uint64_t>(*listenSource));
  completion(fnd::Value(registerEventChannelWithPrefix(
                 std::string(zudiroru::kPluginChannelPrefix) + kFLTVireldaQueryChannel, handler)),
             nullptr);
}

void FLTZudiroruVireldaPlugin::documentReferenceSnapshotApp(
    App app, std::shared_ptr<DocumentReferenceRequest> parameters, bool includeMetadataChanges,
    ListenSource source, ResultCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(fnd::Value(), error);
  if (!parameters || !parameters->path) return completion(fnd::Value(), MissingArgument("path"));
  fnd::Error sdkError;
  auto reference = virelda->documentWithPath(*parameters->path, &sdkError);
  if (!reference) return completion(fnd::Value(), convertToFlutterError(&sdkError));
  VireldaException exception;
  auto behavior = VireldaPigeonParser::parseServerTimestampBehavior(
      parameters->serverTimestampBehavior
          ? static_cast<int64_t>(parameters->serverTimestampBehavior->value)
          : 0,
      &exception);
  auto listenSource =
      behavior ? VireldaPigeonParser::parseListenSource(static_cast<int64_t>(source), &exception)
               : std::nullopt;
  if (!behavior || !listenSource) return completion(fnd::Value(), ExceptionError(exception));
  auto handler = std::make_shared<FLTDocumentSnapshotStreamHandler>(
      virelda, reference, includeMetadataChanges, *behavior, static_cast<uint64_t>(*listenSource));
  completion(
      fnd::Value(registerEventChannelWithPrefix(
          std::string(zudiroru::kPluginChannelPrefix) + kFLTVireldaDocumentChannel, handler)),
      nullptr);
}

void FLTZudiroruVireldaPlugin::transactionCreateApp(App app, int64_t timeout, int64_t maxAttempts,
                                                    ResultCompletion completion) {
  std::shared_ptr<FlutterError> error;
  auto virelda = getDEVVireldaFromAppNameFromPigeon(app, &error);
  if (!virelda) return completion(fnd::Value(), error);
  std::string transactionId = NewChannelId();
  std::weak_ptr<FLTZudiroruVireldaPlugin> weak = weak_from_this();
  auto handler = std::make_shared<FLTTransactionStreamHandler>(
      transactionId, virelda, timeout, maxAttempts,
      [weak, transactionId](std::shared_ptr<DEVTransaction> transaction) {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard<std::mutex> lock(self->transactionsMu_);
        self->transactions_[transactionId] = std::move(transaction);
      },
      [weak, transactionId] {
        auto self = weak.lock();
        if (!self) return;
        // The handler goes too: an answer for an ended transaction has no effect.
        std::lock_guard<std::mutex> lock(self->transactionsMu_);
        self->transactions_.erase(transactionId);
        self->transactionHandlers_.erase(transactionId);
      });
  {
    std::lock_guard<std::mutex> lock(transactionsMu_);
    transactionHandlers_[transactionId] = handler;
  }
  completion(fnd::Value(registerEventChannelWithPrefix(
                 std::string(zudiroru::kPluginChannelPrefix) + kFLTVireldaTransactionChannel,
                 transactionId, handler)),
             nullptr);
}

void FLTZudiroruVireldaPlugin::transactionStoreResultTransactionId(
    std::optional<std::string> transactionId, PigeonTransactionResult resultType,
    std::optional<Commands> commands, VoidCompletion completion) {
  std::shared_ptr<FLTTransactionStreamHandler> handler;
  if (transactionId) {
    std::lock_guard<std::mutex> lock(transactionsMu_);
    auto it = transactionHandlers_.find(*transactionId);
    if (it != transactionHandlers_.end()) handler = it->second;
  }
  // An unknown or ended transaction: success, no effect.
  if (handler) handler->receiveTransactionResponse(resultType, std::move(commands));
  completion(nullptr);
}

void FLTZudiroruVireldaPlugin::transactionGetApp(App app, std::optional<std::string> transactionId,
                                                 std::optional<std::string> path,
                                                 ResultCompletion completion) {
  std::weak_ptr<FLTZudiroruVireldaPlugin> weak = weak_from_this();
  // The read blocks until the store answers; it runs on a global queue while the attempt waits.
  dispatch::Queue::global()->async([weak, app, transactionId, path, completion] {
    auto self = weak.lock();
    if (!self) {
      return completion(fnd::Value(), Error(kFLTVireldaMissingTransactionCode,
                                            kFLTVireldaMissingTransactionMessage));
    }
    std::shared_ptr<FlutterError> error;
    auto virelda = self->getDEVVireldaFromAppNameFromPigeon(app, &error);
    if (!virelda) return completion(fnd::Value(), error);
    if (!path) return completion(fnd::Value(), MissingArgument("path"));
    fnd::Error sdkError;
    auto reference = virelda->documentWithPath(*path, &sdkError);
    if (!reference) return completion(fnd::Value(), convertToFlutterError(&sdkError));
    std::shared_ptr<DEVTransaction> transaction;
    if (transactionId) {
      std::lock_guard<std::mutex> lock(self->transactionsMu_);
      auto it = self->transactions_.find(*transactionId);
      if (it != self->transactions_.end()) transaction = it->second;
    }
    if (!transaction) {
      return completion(fnd::Value(), Error(kFLTVireldaMissingTransactionCode,
                                            kFLTVireldaMissingTransactionMessage));
    }
    auto snapshot = transaction->getDocument(reference, &sdkError);
    if (!snapshot) return completion(fnd::Value(), convertToFlutterError(&sdkError));
    completion(RecordValue(VireldaPigeonParser::toPigeonDocumentSnapshot(
                   *snapshot, DEVServerTimestampBehaviorNone)),
               nullptr);
  });
}
