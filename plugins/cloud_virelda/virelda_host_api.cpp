#include "plugins/cloud_virelda/virelda_host_api.h"

#include <utility>

#include "plugins/zudiroru_core/pigeon.h"

// ---- Codec ----

fnd::Value ZudiroruVireldaHostApiCodecReader::readValueOfType(uint8_t type) {
  if (type < AggregateQuery::kType || type > PigeonTransactionCommand::kType) {
    return FLTZudiroruVireldaReader::readValueOfType(type);
  }
  fnd::Value fields = readValue();
  if (failed()) return fnd::Value();
  if (!fields.isArray()) return invalid("A message is not a field list");
  auto message = VireldaPigeonMessageFromList(type, *fields.array());
  if (!message) {
    return invalid("The fields of message " + std::to_string(type) + " are of the wrong kind");
  }
  return fnd::Value(std::shared_ptr<fnd::Record>(message));
}

void ZudiroruVireldaHostApiCodecWriter::writeValue(const fnd::Value& value) {
  if (auto message = value.recordAs<VireldaPigeonMessage>()) {
    writeByte(message->pigeonType());
    writeValue(fnd::Value(message->toList()));
    return;
  }
  FLTZudiroruVireldaWriter::writeValue(value);
}

std::unique_ptr<flutter::FlutterStandardWriter>
ZudiroruVireldaHostApiCodecReaderWriter::writerWithData(fnd::Data* data) const {
  return std::make_unique<ZudiroruVireldaHostApiCodecWriter>(data);
}

std::unique_ptr<flutter::FlutterStandardReader>
ZudiroruVireldaHostApiCodecReaderWriter::readerWithData(std::span<const uint8_t> data) const {
  return std::make_unique<ZudiroruVireldaHostApiCodecReader>(data);
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
using Reply =
    std::function<void(const fnd::Value& result, std::shared_ptr<flutter::FlutterError> error)>;

// The arguments of one request, read by position with kind checks.
class Args {
 public:
  explicit Args(const fnd::Array& list) : list_(list) {}
  bool ok() const { return bad_ < 0; }
  int bad() const { return bad_; }

  std::optional<std::string> string(size_t i) {
    auto v = at(i);
    if (v.isNull()) return std::nullopt;
    if (!v.isString()) return reject<std::string>(i);
    return v.asString();
  }
  bool boolean(size_t i) {
    auto v = at(i);
    if (!v.isNull() && !v.isBool() && !v.isInt()) reject<bool>(i);
    return v.asBool();
  }
  int64_t integer(size_t i) {
    auto v = at(i);
    if (!v.isNull() && !v.isNumber()) reject<int64_t>(i);
    return v.asInt();
  }
  std::optional<fnd::Data> data(size_t i) {
    auto v = at(i);
    if (v.isNull()) return std::nullopt;
    if (!v.isData()) return reject<fnd::Data>(i);
    return *v.data();
  }
  template <typename T>
  std::shared_ptr<T> message(size_t i) {
    auto v = at(i);
    if (v.isNull()) return nullptr;
    auto m = v.recordAs<T>();
    if (!m) reject<int>(i);
    return m;
  }
  template <typename T>
  std::optional<std::vector<std::shared_ptr<T>>> messages(size_t i) {
    auto v = at(i);
    if (v.isNull()) return std::nullopt;
    if (!v.isArray()) return reject<std::vector<std::shared_ptr<T>>>(i);
    std::vector<std::shared_ptr<T>> out;
    for (const auto& e : *v.array()) {
      auto m = e.recordAs<T>();
      if (!m) return reject<std::vector<std::shared_ptr<T>>>(i);
      out.push_back(std::move(m));
    }
    return out;
  }

 private:
  fnd::Value at(size_t i) const { return GetNullableObjectAtIndex(list_, i); }
  template <typename T>
  std::optional<T> reject(size_t i) {
    if (bad_ < 0) bad_ = static_cast<int>(i);
    return std::nullopt;
  }
  const fnd::Array& list_;
  int bad_ = -1;
};

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

const std::vector<std::pair<const char*, Handler>>& Handlers() {
  using App = VireldaPigeonZudiroruApp;
  static const auto* handlers = new std::vector<std::pair<const char*, Handler>>{
      {"loadBundle",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto bundle = a.data(1);
         if (a.ok()) api.loadBundleApp(app, bundle, Result(r));
       }},
      {"namedQueryGet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto name = a.string(1);
         auto options = a.message<PigeonGetOptions>(2);
         if (a.ok()) api.namedQueryGetApp(app, name, options, Result(r));
       }},
      {"clearPersistence",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         if (a.ok()) api.clearPersistenceApp(app, Void(r));
       }},
      {"disableNetwork",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         if (a.ok()) api.disableNetworkApp(app, Void(r));
       }},
      {"enableNetwork",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         if (a.ok()) api.enableNetworkApp(app, Void(r));
       }},
      {"terminate",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         if (a.ok()) api.terminateApp(app, Void(r));
       }},
      {"waitForPendingWrites",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         if (a.ok()) api.waitForPendingWritesApp(app, Void(r));
       }},
      {"setIndexConfiguration",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto configuration = a.string(1);
         if (a.ok()) api.setIndexConfigurationApp(app, configuration, Void(r));
       }},
      {"setLoggingEnabled",
       [](Args& a, Api& api, Reply r) {
         bool enabled = a.boolean(0);
         if (a.ok()) api.setLoggingEnabledLoggingEnabled(enabled, Void(r));
       }},
      {"snapshotsInSyncSetup",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         if (a.ok()) api.snapshotsInSyncSetupApp(app, Result(r));
       }},
      {"transactionCreate",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         int64_t timeout = a.integer(1);
         int64_t maxAttempts = a.integer(2);
         if (a.ok()) api.transactionCreateApp(app, timeout, maxAttempts, Result(r));
       }},
      {"transactionStoreResult",
       [](Args& a, Api& api, Reply r) {
         auto id = a.string(0);
         auto result = static_cast<PigeonTransactionResult>(a.integer(1));
         auto commands = a.messages<PigeonTransactionCommand>(2);
         if (a.ok()) api.transactionStoreResultTransactionId(id, result, commands, Void(r));
       }},
      {"transactionGet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto id = a.string(1);
         auto path = a.string(2);
         if (a.ok()) api.transactionGetApp(app, id, path, Result(r));
       }},
      {"documentReferenceSet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto request = a.message<DocumentReferenceRequest>(1);
         if (a.ok()) api.documentReferenceSetApp(app, request, Void(r));
       }},
      {"documentReferenceUpdate",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto request = a.message<DocumentReferenceRequest>(1);
         if (a.ok()) api.documentReferenceUpdateApp(app, request, Void(r));
       }},
      {"documentReferenceGet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto request = a.message<DocumentReferenceRequest>(1);
         if (a.ok()) api.documentReferenceGetApp(app, request, Result(r));
       }},
      {"documentReferenceDelete",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto request = a.message<DocumentReferenceRequest>(1);
         if (a.ok()) api.documentReferenceDeleteApp(app, request, Void(r));
       }},
      {"queryGet",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto path = a.string(1);
         bool group = a.boolean(2);
         auto parameters = a.message<PigeonQueryParameters>(3);
         auto options = a.message<PigeonGetOptions>(4);
         if (a.ok()) api.queryGetApp(app, path, group, parameters, options, Result(r));
       }},
      {"aggregateQuery",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto path = a.string(1);
         auto parameters = a.message<PigeonQueryParameters>(2);
         auto source = static_cast<AggregateSource>(a.integer(3));
         auto queries = a.messages<AggregateQuery>(4);
         bool group = a.boolean(5);
         if (a.ok()) {
           api.aggregateQueryApp(app, path, parameters, source, queries, group, Result(r));
         }
       }},
      {"writeBatchCommit",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto writes = a.messages<PigeonTransactionCommand>(1);
         if (a.ok()) api.writeBatchCommitApp(app, writes, Void(r));
       }},
      {"querySnapshot",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto path = a.string(1);
         bool group = a.boolean(2);
         auto parameters = a.message<PigeonQueryParameters>(3);
         auto options = a.message<PigeonGetOptions>(4);
         bool metadata = a.boolean(5);
         auto source = static_cast<ListenSource>(a.integer(6));
         if (a.ok()) {
           api.querySnapshotApp(app, path, group, parameters, options, metadata, source, Result(r));
         }
       }},
      {"documentReferenceSnapshot",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto request = a.message<DocumentReferenceRequest>(1);
         bool metadata = a.boolean(2);
         auto source = static_cast<ListenSource>(a.integer(3));
         if (a.ok()) api.documentReferenceSnapshotApp(app, request, metadata, source, Result(r));
       }},
      {"persistenceCacheIndexManagerRequest",
       [](Args& a, Api& api, Reply r) {
         auto app = a.message<App>(0);
         auto request = static_cast<PersistenceCacheIndexManagerRequest>(a.integer(1));
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
          Args args(*decoded->array());
          run(args, *api, send);
          if (!args.ok()) {
            send(fnd::Value(), std::make_shared<flutter::FlutterError>(
                                   "invalid-argument",
                                   "Argument " + std::to_string(args.bad()) + " of " + name +
                                       " is of the wrong kind.",
                                   fnd::Value()));
          }
        });
  }
}
