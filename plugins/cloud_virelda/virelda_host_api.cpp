#include "plugins/cloud_virelda/virelda_host_api.h"

#include <type_traits>
#include <utility>

#include "platform/flutter/channel_arguments.h"
#include "plugins/zudiroru_core/pigeon.h"
#include "plugins/zudiroru_core/pigeon_binding.h"

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

// Makes the method's completion of the reply.
struct Completions {
  template <typename Completion>
  static Completion make(const Reply& reply) {
    if constexpr (std::is_same_v<Completion, Api::VoidCompletion>) {
      return [reply](std::shared_ptr<flutter::FlutterError> error) { reply(fnd::Value(), error); };
    } else {
      static_assert(std::is_same_v<Completion, Api::ResultCompletion>);
      return [reply](const fnd::Value& result, std::shared_ptr<flutter::FlutterError> error) {
        reply(error ? fnd::Value() : result, error);
      };
    }
  }
};

template <typename Method>
Handler Bind(Method method) {
  return zudiroru::PigeonBind<Completions, Reply>(method);
}

// The 23 methods in declaration order, which is also the order of their channels.
const std::vector<std::pair<const char*, Handler>>& Handlers() {
  static const auto* handlers = new std::vector<std::pair<const char*, Handler>>{
      {"loadBundle", Bind(&Api::loadBundleApp)},
      {"namedQueryGet", Bind(&Api::namedQueryGetApp)},
      {"clearPersistence", Bind(&Api::clearPersistenceApp)},
      {"disableNetwork", Bind(&Api::disableNetworkApp)},
      {"enableNetwork", Bind(&Api::enableNetworkApp)},
      {"terminate", Bind(&Api::terminateApp)},
      {"waitForPendingWrites", Bind(&Api::waitForPendingWritesApp)},
      {"setIndexConfiguration", Bind(&Api::setIndexConfigurationApp)},
      {"setLoggingEnabled", Bind(&Api::setLoggingEnabledLoggingEnabled)},
      {"snapshotsInSyncSetup", Bind(&Api::snapshotsInSyncSetupApp)},
      {"transactionCreate", Bind(&Api::transactionCreateApp)},
      {"transactionStoreResult", Bind(&Api::transactionStoreResultTransactionId)},
      {"transactionGet", Bind(&Api::transactionGetApp)},
      {"documentReferenceSet", Bind(&Api::documentReferenceSetApp)},
      {"documentReferenceUpdate", Bind(&Api::documentReferenceUpdateApp)},
      {"documentReferenceGet", Bind(&Api::documentReferenceGetApp)},
      {"documentReferenceDelete", Bind(&Api::documentReferenceDeleteApp)},
      {"queryGet", Bind(&Api::queryGetApp)},
      {"aggregateQuery", Bind(&Api::aggregateQueryApp)},
      {"writeBatchCommit", Bind(&Api::writeBatchCommitApp)},
      {"querySnapshot", Bind(&Api::querySnapshotApp)},
      {"documentReferenceSnapshot", Bind(&Api::documentReferenceSnapshotApp)},
      {"persistenceCacheIndexManagerRequest", Bind(&Api::persistenceCacheIndexManagerRequestApp)},
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
