#include "plugins/zudiroru_remote_config/remote_config_messages.h"

#include <utility>
#include <vector>

bool deepEqualsZudiroruRemoteConfigMessages(const std::optional<fnd::Value>& a,
                                            const std::optional<fnd::Value>& b) {
  return zudiroru::PigeonDeepEquals(a, b);
}

void deepHashZudiroruRemoteConfigMessages(const std::optional<fnd::Value>& value,
                                          zudiroru::PigeonHasher& hasher) {
  zudiroru::PigeonDeepHash(value, hasher);
}

// RemoteConfigPigeonSettings

std::shared_ptr<RemoteConfigPigeonSettings> RemoteConfigPigeonSettings::fromList(
    const fnd::Array& list) {
  fnd::Value fetchTimeout = GetNullableObjectAtIndex(list, 0);
  fnd::Value minimumFetchInterval = GetNullableObjectAtIndex(list, 1);
  if (!fetchTimeout.isInt() || !minimumFetchInterval.isInt()) return nullptr;
  return std::make_shared<RemoteConfigPigeonSettings>(fetchTimeout.asInt(),
                                                      minimumFetchInterval.asInt());
}

fnd::Array RemoteConfigPigeonSettings::toList() const {
  return {fnd::Value::Int64(fetchTimeoutSeconds), fnd::Value::Int64(minimumFetchIntervalSeconds)};
}

bool RemoteConfigPigeonSettings::isEqual(const fnd::Record& other) const {
  auto* o = dynamic_cast<const RemoteConfigPigeonSettings*>(&other);
  return o && deepEqualsZudiroruRemoteConfigMessages(fnd::Value(toList()), fnd::Value(o->toList()));
}

size_t RemoteConfigPigeonSettings::hash() const {
  zudiroru::PigeonHasher hasher;
  deepHashZudiroruRemoteConfigMessages(fnd::Value(toList()), hasher);
  return hasher.finalize();
}

// Codec

fnd::Value ZudiroruRemoteConfigMessagesPigeonCodecReader::readValueOfType(uint8_t type) {
  if (type != kRemoteConfigPigeonSettingsType) {
    return FlutterStandardReader::readValueOfType(type);
  }
  fnd::Value fields = readValue();
  if (failed()) return fnd::Value();
  const fnd::Array* list = fields.array();
  std::shared_ptr<RemoteConfigPigeonSettings> settings =
      list ? RemoteConfigPigeonSettings::fromList(*list) : nullptr;
  if (!settings) {
    fail(fnd::Error::withDescription(
        flutter::kFlutterCodecErrorDomain, flutter::kFlutterCodecInvalidValue,
        "RemoteConfigPigeonSettings needs a list of two integers, got " + fields.description()));
    return fnd::Value();
  }
  return fnd::Value(std::shared_ptr<fnd::Record>(std::move(settings)));
}

void ZudiroruRemoteConfigMessagesPigeonCodecWriter::writeValue(const fnd::Value& value) {
  if (auto settings = value.recordAs<RemoteConfigPigeonSettings>()) {
    writeByte(kRemoteConfigPigeonSettingsType);
    FlutterStandardWriter::writeValue(fnd::Value(settings->toList()));
    return;
  }
  FlutterStandardWriter::writeValue(value);
}

std::unique_ptr<flutter::FlutterStandardWriter>
ZudiroruRemoteConfigMessagesPigeonCodecReaderWriter::writerWithData(fnd::Data* data) const {
  return std::make_unique<ZudiroruRemoteConfigMessagesPigeonCodecWriter>(data);
}

std::unique_ptr<flutter::FlutterStandardReader>
ZudiroruRemoteConfigMessagesPigeonCodecReaderWriter::readerWithData(
    std::span<const uint8_t> data) const {
  return std::make_unique<ZudiroruRemoteConfigMessagesPigeonCodecReader>(data);
}

ZudiroruRemoteConfigMessagesPigeonCodec::ZudiroruRemoteConfigMessagesPigeonCodec()
    : FlutterStandardMessageCodec(
          std::make_shared<ZudiroruRemoteConfigMessagesPigeonCodecReaderWriter>()) {}

std::shared_ptr<const ZudiroruRemoteConfigMessagesPigeonCodec>
ZudiroruRemoteConfigMessagesPigeonCodec::shared() {
  static const std::shared_ptr<const ZudiroruRemoteConfigMessagesPigeonCodec>& codec =
      *new std::shared_ptr<const ZudiroruRemoteConfigMessagesPigeonCodec>(
          std::make_shared<ZudiroruRemoteConfigMessagesPigeonCodec>());
  return codec;
}

// Channels

namespace {

fnd::Value ResultValue(std::nullptr_t) { return fnd::Value(); }
fnd::Value ResultValue(bool value) { return fnd::Value(value); }
fnd::Value ResultValue(const fnd::Dictionary& value) { return fnd::Value(value); }

// The completion that answers Dart through `reply`.
template <typename T>
ZudiroruRemoteConfigHostApi::Completion<T> Replying(flutter::FlutterReply reply) {
  return [reply = std::move(reply)](ZudiroruRemoteConfigResult<T> result) {
    if (result.isSuccess()) {
      reply(fnd::Value(fnd::Array{ResultValue(result.value())}));
    } else {
      reply(fnd::Value(zudiroru::wrapError(result.error())));
    }
  };
}

// A map argument whose keys are all text; nullopt otherwise.
std::optional<fnd::Dictionary> StringKeyedMap(const fnd::Array& args, size_t index) {
  const fnd::Value value = GetNullableObjectAtIndex(args, index);
  const fnd::Dictionary* map = value.dictionary();
  if (!map) return std::nullopt;
  for (const auto& entry : *map) {
    if (!entry.first.isString()) return std::nullopt;
  }
  return *map;
}

// Calls the implementation with the arguments after the app name, or returns what is wrong with
// them (the implementation is then not called).
using Invoke = std::function<std::optional<std::string>(
    ZudiroruRemoteConfigHostApi& api, const std::string& appName, const fnd::Array& args,
    flutter::FlutterReply reply)>;

struct Method {
  const char* name;
  Invoke invoke;
};

const std::vector<Method>& Methods() {
  using Api = ZudiroruRemoteConfigHostApi;
  static const std::vector<Method>* methods = new std::vector<Method>{
      {"fetch",
       [](Api& api, const std::string& app, const fnd::Array&, flutter::FlutterReply reply) {
         api.fetch(app, Replying<std::nullptr_t>(std::move(reply)));
         return std::optional<std::string>();
       }},
      {"fetchAndActivate",
       [](Api& api, const std::string& app, const fnd::Array&, flutter::FlutterReply reply) {
         api.fetchAndActivate(app, Replying<bool>(std::move(reply)));
         return std::optional<std::string>();
       }},
      {"activate",
       [](Api& api, const std::string& app, const fnd::Array&, flutter::FlutterReply reply) {
         api.activate(app, Replying<bool>(std::move(reply)));
         return std::optional<std::string>();
       }},
      {"setConfigSettings",
       [](Api& api, const std::string& app, const fnd::Array& args,
          flutter::FlutterReply reply) -> std::optional<std::string> {
         auto settings = zudiroru::PigeonRecord<RemoteConfigPigeonSettings>(args, 1);
         if (!settings) return "\"settings\" must be a RemoteConfigPigeonSettings";
         api.setConfigSettings(app, *settings, Replying<std::nullptr_t>(std::move(reply)));
         return std::nullopt;
       }},
      {"setDefaults",
       [](Api& api, const std::string& app, const fnd::Array& args,
          flutter::FlutterReply reply) -> std::optional<std::string> {
         auto defaults = StringKeyedMap(args, 1);
         if (!defaults) return "\"defaultParameters\" must be a map with text keys";
         api.setDefaults(app, *defaults, Replying<std::nullptr_t>(std::move(reply)));
         return std::nullopt;
       }},
      {"ensureInitialized",
       [](Api& api, const std::string& app, const fnd::Array&, flutter::FlutterReply reply) {
         api.ensureInitialized(app, Replying<std::nullptr_t>(std::move(reply)));
         return std::optional<std::string>();
       }},
      {"setCustomSignals",
       [](Api& api, const std::string& app, const fnd::Array& args,
          flutter::FlutterReply reply) -> std::optional<std::string> {
         auto signals = StringKeyedMap(args, 1);
         if (!signals) return "\"customSignals\" must be a map with text keys";
         api.setCustomSignals(app, *signals, Replying<std::nullptr_t>(std::move(reply)));
         return std::nullopt;
       }},
      {"getAll",
       [](Api& api, const std::string& app, const fnd::Array&, flutter::FlutterReply reply) {
         api.getAll(app, Replying<fnd::Dictionary>(std::move(reply)));
         return std::optional<std::string>();
       }},
      {"getProperties",
       [](Api& api, const std::string& app, const fnd::Array&, flutter::FlutterReply reply) {
         api.getProperties(app, Replying<fnd::Dictionary>(std::move(reply)));
         return std::optional<std::string>();
       }},
  };
  return *methods;
}

}  // namespace

void ZudiroruRemoteConfigHostApiSetup::setUp(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& binaryMessenger,
    const std::shared_ptr<ZudiroruRemoteConfigHostApi>& api,
    std::string_view messageChannelSuffix) {
  auto codec = ZudiroruRemoteConfigMessagesPigeonCodec::shared();
  for (const Method& method : Methods()) {
    std::string name = std::string(kZudiroruRemoteConfigHostApiChannelPrefix) + method.name;
    flutter::FlutterMessageHandler handler;
    if (api) {
      handler = [api, method](const fnd::Value& message, flutter::FlutterReply reply) {
        std::optional<std::string> problem;
        const fnd::Array* args = message.array();
        std::optional<std::string> appName = args ? zudiroru::PigeonString(*args, 0) : std::nullopt;
        if (!args) {
          problem = "the message must be a list of arguments";
        } else if (!appName) {
          problem = "\"appName\" must be a string";
        } else {
          problem = method.invoke(*api, *appName, *args, reply);
        }
        if (problem) {
          zudiroru::PigeonError error(
              kZudiroruRemoteConfigErrorCode,
              "Invalid arguments for " + std::string(method.name) + ": " + *problem + ".");
          reply(fnd::Value(zudiroru::wrapError(error)));
        }
      };
    }
    zudiroru::SetUpPigeonChannel(binaryMessenger, name, messageChannelSuffix, codec,
                                 std::move(handler));
  }
}
