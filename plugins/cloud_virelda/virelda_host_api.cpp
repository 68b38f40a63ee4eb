#include "plugins/cloud_virelda/virelda_host_api.h"

#include <utility>

#include "platform/flutter/channel_arguments.h"
#include "plugins/zudiroru_core/pigeon.h"

// ---- Codec ----

const std::vector<zudiroru::PigeonType>& ZudiroruVireldaHostApiTypes() {
  using zudiroru::PigeonType;
  static const auto* types = new std::vector<PigeonType>{
      PigeonType::of<AggregateQuery>(AggregateQuery::kType),
      PigeonType::of<AggregateQueryResponse>(AggregateQueryResponse::kType),
      PigeonType::of<DocumentReferenceRequest>(DocumentReferenceRequest::kType),
      PigeonType::of<VireldaPigeonZudiroruApp>(VireldaPigeonZudiroruApp::kType),
      PigeonType::of<PigeonDocumentChange>(PigeonDocumentChange::kType),
      PigeonType::of<PigeonDocumentOption>(PigeonDocumentOption::kType),
      PigeonType::of<PigeonDocumentSnapshot>(PigeonDocumentSnapshot::kType),
      PigeonType::of<PigeonZudiroruSettings>(PigeonZudiroruSettings::kType),
      PigeonType::of<PigeonGetOptions>(PigeonGetOptions::kType),
      PigeonType::of<PigeonQueryParameters>(PigeonQueryParameters::kType),
      PigeonType::of<PigeonQuerySnapshot>(PigeonQuerySnapshot::kType),
      PigeonType::of<PigeonSnapshotMetadata>(PigeonSnapshotMetadata::kType),
      PigeonType::of<PigeonTransactionCommand>(PigeonTransactionCommand::kType),
  };
  return *types;
}

std::shared_ptr<const flutter::FlutterStandardMessageCodec> ZudiroruVireldaHostApiGetCodec() {
  static const auto* codec = new std::shared_ptr<const flutter::FlutterStandardMessageCodec>(
      flutter::FlutterStandardMessageCodec::codecWithReaderWriter(
          std::make_shared<ZudiroruVireldaHostApiCodecReaderWriter>()));
  return *codec;
}

// ---- Channels ----

namespace {

using Api = ZudiroruVireldaHostApi;

constexpr const char* kInvalidArgumentCode = "invalid-argument";
using Reply =
    std::function<void(const fnd::Value& result, std::shared_ptr<flutter::FlutterError> error)>;

using Args = flutter::ChannelArguments;

using Handler = std::function<void(Args& args, Api& api, Reply reply)>;

// Adapts a void completion to the reply.
Api::VoidCompletion Void(Reply reply) {
  return [reply](std::shared_ptr<flutter::FlutterError> error) { reply(fnd::Value(), error); };
}

Api::ResultCompletion Result(Reply reply) {
  return [reply](const fnd::Value& result, std::shared_ptr<flutter::FlutterError> error) {
    reply(error ? fnd::Value() : result, error);
  };
}

constexpr const char* kApp = "a VireldaPigeonZudiroruApp";

const std::vector<std::pair<const char*, Handler>>& Handlers() {
  using App = VireldaPigeonZudiroruApp;
  static const auto* handlers = new std::vector<std::pair<const char*, Handler>>{
      {"loadBundle",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto bundle = a.data(1);
         if (a.ok()) api.loadBundleApp(app, bundle, Result(r));
       }},
      {"namedQueryGet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto name = a.string(1);
         auto options = a.record<PigeonGetOptions>(2, "a PigeonGetOptions");
         if (a.ok()) api.namedQueryGetApp(app, name, options, Result(r));
       }},
      {"clearPersistence",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.clearPersistenceApp(app, Void(r));
       }},
      {"disableNetwork",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.disableNetworkApp(app, Void(r));
       }},
      {"enableNetwork",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.enableNetworkApp(app, Void(r));
       }},
      {"terminate",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.terminateApp(app, Void(r));
       }},
      {"waitForPendingWrites",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.waitForPendingWritesApp(app, Void(r));
       }},
      {"setIndexConfiguration",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto configuration = a.string(1);
         if (a.ok()) api.setIndexConfigurationApp(app, configuration, Void(r));
       }},
      {"setLoggingEnabled",
       [](Args& a, Api& api, Reply r) {
         bool enabled = a.boolean(0, /*integersOnly=*/true);
         if (a.ok()) api.setLoggingEnabledLoggingEnabled(enabled, Void(r));
       }},
      {"snapshotsInSyncSetup",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.snapshotsInSyncSetupApp(app, Result(r));
       }},
      {"transactionCreate",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         int64_t timeout = a.integerValue(1);
         int64_t maxAttempts = a.integerValue(2);
         if (a.ok()) api.transactionCreateApp(app, timeout, maxAttempts, Result(r));
       }},
      {"transactionStoreResult",
       [](Args& a, Api& api, Reply r) {
         auto id = a.string(0);
         auto result = static_cast<PigeonTransactionResult>(a.integerValue(1));
         auto commands = a.records<PigeonTransactionCommand>(2, "PigeonTransactionCommand");
         if (a.ok()) api.transactionStoreResultTransactionId(id, result, commands, Void(r));
       }},
      {"transactionGet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto id = a.string(1);
         auto path = a.string(2);
         if (a.ok()) api.transactionGetApp(app, id, path, Result(r));
       }},
      {"documentReferenceSet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto request = a.record<DocumentReferenceRequest>(1, "a DocumentReferenceRequest");
         if (a.ok()) api.documentReferenceSetApp(app, request, Void(r));
       }},
      {"documentReferenceUpdate",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto request = a.record<DocumentReferenceRequest>(1, "a DocumentReferenceRequest");
         if (a.ok()) api.documentReferenceUpdateApp(app, request, Void(r));
       }},
      {"documentReferenceGet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto request = a.record<DocumentReferenceRequest>(1, "a DocumentReferenceRequest");
         if (a.ok()) api.documentReferenceGetApp(app, request, Result(r));
       }},
      {"documentReferenceDelete",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto request = a.record<DocumentReferenceRequest>(1, "a DocumentReferenceRequest");
         if (a.ok()) api.documentReferenceDeleteApp(app, request, Void(r));
       }},
      {"queryGet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto path = a.string(1);
         bool group = a.boolean(2, /*integersOnly=*/true);
         auto parameters = a.record<PigeonQueryParameters>(3, "a PigeonQueryParameters");
         auto options = a.record<PigeonGetOptions>(4, "a PigeonGetOptions");
         if (a.ok()) api.queryGetApp(app, path, group, parameters, options, Result(r));
       }},
      {"aggregateQuery",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto path = a.string(1);
         auto parameters = a.record<PigeonQueryParameters>(2, "a PigeonQueryParameters");
         auto source = static_cast<AggregateSource>(a.integerValue(3));
         auto queries = a.records<AggregateQuery>(4, "AggregateQuery");
         bool group = a.boolean(5, /*integersOnly=*/true);
         if (a.ok()) {
           api.aggregateQueryApp(app, path, parameters, source, queries, group, Result(r));
         }
       }},
      {"writeBatchCommit",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto writes = a.records<PigeonTransactionCommand>(1, "PigeonTransactionCommand");
         if (a.ok()) api.writeBatchCommitApp(app, writes, Void(r));
       }},
      {"querySnapshot",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto path = a.string(1);
         bool group = a.boolean(2, /*integersOnly=*/true);
         auto parameters = a.record<PigeonQueryParameters>(3, "a PigeonQueryParameters");
         auto options = a.record<PigeonGetOptions>(4, "a PigeonGetOptions");
         bool metadata = a.boolean(5, /*integersOnly=*/true);
         auto source = static_cast<ListenSource>(a.integerValue(6));
         if (a.ok()) {
           api.querySnapshotApp(app, path, group, parameters, options, metadata, source, Result(r));
         }
       }},
      {"documentReferenceSnapshot",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto request = a.record<DocumentReferenceRequest>(1, "a DocumentReferenceRequest");
         bool metadata = a.boolean(2, /*integersOnly=*/true);
         auto source = static_cast<ListenSource>(a.integerValue(3));
         if (a.ok()) api.documentReferenceSnapshotApp(app, request, metadata, source, Result(r));
       }},
      {"persistenceCacheIndexManagerRequest",
       [](Args& a, Api& api, Reply r) {
         auto app = a.record<App>(0, kApp);
         auto request = static_cast<PersistenceCacheIndexManagerRequest>(a.integerValue(1));
         if (a.ok()) api.persistenceCacheIndexManagerRequestApp(app, request, Void(r));
       }},
  };
  return *handlers;
}

// Encodes the envelope; one that cannot be encoded becomes an "encode-error" reply.
fnd::Data EncodeReply(const fnd::Value& result,
                      const std::shared_ptr<const flutter::FlutterError>& error) {
  auto codec = ZudiroruVireldaHostApiGetCodec();
  fnd::Error encodeError;
  if (auto data = codec->encode(wrapResult(result, error), &encodeError)) return *data;
  auto fallback = std::make_shared<flutter::FlutterError>(
      flutter::kFlutterEncodeErrorCode, encodeError.localizedDescription(), fnd::Value());
  return codec->encode(wrapResult(fnd::Value(), fallback)).value_or(fnd::Data{});
}

}  // namespace

void ZudiroruVireldaHostApiSetup(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                                 const std::shared_ptr<ZudiroruVireldaHostApi>& api) {
  for (const auto& [method, handler] : Handlers()) {
    std::string channel =
        zudiroru::PigeonChannelName(std::string(kZudiroruVireldaHostApiName) + method);
    if (!api) {
      messenger->setMessageHandlerOnChannel(channel, nullptr);
      continue;
    }
    std::string name = method;
    Handler run = handler;
    messenger->setMessageHandlerOnChannel(
        channel, [api, name, run](const fnd::Data& message, flutter::FlutterBinaryReply reply) {
          auto send = [reply](const fnd::Value& result,
                              std::shared_ptr<flutter::FlutterError> error) {
            reply(EncodeReply(result, error));
          };
          fnd::Error error;
          auto decoded = ZudiroruVireldaHostApiGetCodec()->decode(message, &error);
          if (!decoded || !decoded->isArray()) {
            send(fnd::Value(), std::make_shared<flutter::FlutterError>(
                                   flutter::kFlutterDecodeErrorCode,
                                   decoded ? "The arguments of " + name + " are not a list."
                                           : error.localizedDescription(),
                                   fnd::Value()));
            return;
          }
          Args args = Args::ofList(name, *decoded);
          run(args, *api, send);
          if (!args.ok()) send(fnd::Value(), args.refusal(kInvalidArgumentCode));
        });
  }
}
