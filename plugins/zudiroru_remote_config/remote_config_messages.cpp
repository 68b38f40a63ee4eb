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

std::shared_ptr<const flutter::FlutterStandardMessageCodec>
ZudiroruRemoteConfigMessagesPigeonCodec::shared() {
  static const auto* codec =
      new std::shared_ptr<const flutter::FlutterStandardMessageCodec>(zudiroru::PigeonCodec(
          {zudiroru::PigeonType::of<RemoteConfigPigeonSettings>(kRemoteConfigPigeonSettingsType)}));
  return *codec;
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

using Arguments = flutter::ChannelArguments;

// Reads the arguments after the app name and calls the implementation, unless an argument is
// unusable (the reader then holds the problem and the implementation is not called).
using Invoke = std::function<void(ZudiroruRemoteConfigHostApi& api, const std::string& appName,
                                  Arguments& args, flutter::FlutterReply reply)>;

struct Method {
  const char* name;
  // The names of the arguments, for the refusal's message.
  std::vector<std::string> arguments;
  Invoke invoke;
};

constexpr const char* kSettingsKind = "a RemoteConfigPigeonSettings";

// The map after the app name, which must be there and have text keys.
std::optional<fnd::Dictionary> RequiredStringKeyedMap(Arguments& args) {
  auto map = args.stringKeyedDictionary(1);
  if (!map) args.fail(1, "a map with text keys");
  return map;
}

const std::vector<Method>& Methods() {
  using Api = ZudiroruRemoteConfigHostApi;
  static const std::vector<Method>* methods = new std::vector<Method>{
      {"fetch",
       {"appName"},
       [](Api& api, const std::string& app, Arguments&, flutter::FlutterReply reply) {
         api.fetch(app, Replying<std::nullptr_t>(std::move(reply)));
       }},
      {"fetchAndActivate",
       {"appName"},
       [](Api& api, const std::string& app, Arguments&, flutter::FlutterReply reply) {
         api.fetchAndActivate(app, Replying<bool>(std::move(reply)));
       }},
      {"activate",
       {"appName"},
       [](Api& api, const std::string& app, Arguments&, flutter::FlutterReply reply) {
         api.activate(app, Replying<bool>(std::move(reply)));
       }},
      {"setConfigSettings",
       {"appName", "settings"},
       [](Api& api, const std::string& app, Arguments& args, flutter::FlutterReply reply) {
         auto settings = args.record<RemoteConfigPigeonSettings>(1, kSettingsKind);
         if (!settings) return args.fail(1, kSettingsKind);
         api.setConfigSettings(app, *settings, Replying<std::nullptr_t>(std::move(reply)));
       }},
      {"setDefaults",
       {"appName", "defaultParameters"},
       [](Api& api, const std::string& app, Arguments& args, flutter::FlutterReply reply) {
         auto defaults = RequiredStringKeyedMap(args);
         if (defaults) api.setDefaults(app, *defaults, Replying<std::nullptr_t>(std::move(reply)));
       }},
      {"ensureInitialized",
       {"appName"},
       [](Api& api, const std::string& app, Arguments&, flutter::FlutterReply reply) {
         api.ensureInitialized(app, Replying<std::nullptr_t>(std::move(reply)));
       }},
      {"setCustomSignals",
       {"appName", "customSignals"},
       [](Api& api, const std::string& app, Arguments& args, flutter::FlutterReply reply) {
         auto signals = RequiredStringKeyedMap(args);
         if (signals) {
           api.setCustomSignals(app, *signals, Replying<std::nullptr_t>(std::move(reply)));
         }
       }},
      {"getAll",
       {"appName"},
       [](Api& api, const std::string& app, Arguments&, flutter::FlutterReply reply) {
         api.getAll(app, Replying<fnd::Dictionary>(std::move(reply)));
       }},
      {"getProperties",
       {"appName"},
       [](Api& api, const std::string& app, Arguments&, flutter::FlutterReply reply) {
         api.getProperties(app, Replying<fnd::Dictionary>(std::move(reply)));
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
        Arguments args = Arguments::ofList(method.name, message, method.arguments);
        std::string appName = args.requiredString(0);
        if (args.ok()) method.invoke(*api, appName, args, reply);
        if (!args.ok()) {
          zudiroru::PigeonError error(kZudiroruRemoteConfigErrorCode, args.message());
          reply(fnd::Value(zudiroru::wrapError(error)));
        }
      };
    }
    zudiroru::SetUpPigeonChannel(binaryMessenger, name, messageChannelSuffix, codec,
                                 std::move(handler));
  }
}
