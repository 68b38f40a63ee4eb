#include "plugins/zudiroru_analytics/analytics_messages.h"

#include <utility>
#include <vector>

#include "platform/flutter/channel_arguments.h"

bool deepEqualsZudiroruAnalyticsMessages(const std::optional<fnd::Value>& a,
                                         const std::optional<fnd::Value>& b) {
  return zudiroru::PigeonDeepEquals(a, b);
}

void deepHashZudiroruAnalyticsMessages(const std::optional<fnd::Value>& value,
                                       zudiroru::PigeonHasher& hasher) {
  zudiroru::PigeonDeepHash(value, hasher);
}

// AnalyticsEvent

std::shared_ptr<AnalyticsEvent> AnalyticsEvent::fromList(const fnd::Array& list) {
  fnd::Value name = GetNullableObjectAtIndex(list, 0);
  fnd::Value parameters = GetNullableObjectAtIndex(list, 1);
  if (!name.isString() || (!parameters.isNull() && !parameters.isDictionary())) return nullptr;
  return std::make_shared<AnalyticsEvent>(
      name.asString(), parameters.isNull()
                           ? std::nullopt
                           : std::optional<fnd::Dictionary>(*parameters.dictionary()));
}

fnd::Array AnalyticsEvent::toList() const {
  return {fnd::Value(name), zudiroru::PigeonField(parameters)};
}

bool AnalyticsEvent::isEqual(const fnd::Record& other) const {
  auto* o = dynamic_cast<const AnalyticsEvent*>(&other);
  return o && deepEqualsZudiroruAnalyticsMessages(fnd::Value(toList()), fnd::Value(o->toList()));
}

size_t AnalyticsEvent::hash() const {
  zudiroru::PigeonHasher hasher;
  deepHashZudiroruAnalyticsMessages(fnd::Value(toList()), hasher);
  return hasher.finalize();
}

// Codec

std::shared_ptr<const flutter::FlutterStandardMessageCodec>
ZudiroruAnalyticsMessagesPigeonCodec::shared() {
  static const auto* codec = new std::shared_ptr<const flutter::FlutterStandardMessageCodec>(
      zudiroru::PigeonCodec({zudiroru::PigeonType::of<AnalyticsEvent>(kAnalyticsEventType)}));
  return *codec;
}

// Results

ZudiroruAnalyticsResult ZudiroruAnalyticsResult::success(fnd::Value value) {
  ZudiroruAnalyticsResult r;
  r.reply_ = fnd::Array{std::move(value)};
  return r;
}

ZudiroruAnalyticsResult ZudiroruAnalyticsResult::failure(fnd::Array wrappedError) {
  ZudiroruAnalyticsResult r;
  r.reply_ = std::move(wrappedError);
  return r;
}

// Channels

namespace {

using Arguments = flutter::ChannelArguments;
using Api = ZudiroruAnalyticsHostApi;

// Reads the arguments and calls the implementation, unless an argument is unusable (the reader
// then holds the problem and the implementation is not called).
using Invoke = void (*)(Api& api, Arguments& args, Api::Completion completion);

struct Method {
  const char* name;
  // The names of the arguments, for the refusal's message.
  std::vector<std::string> arguments;
  Invoke invoke;
};

// A map argument that must be there.
std::optional<fnd::Dictionary> RequiredMap(Arguments& args, int index) {
  std::optional<fnd::Dictionary> map = args.dictionary(index);
  if (!map && args.ok()) args.fail(index, "a map");
  return map;
}

const std::vector<Method>& Methods() {
  static const std::vector<Method>* methods = new std::vector<Method>{
      {"logEvent",
       {"event"},
       [](Api& api, Arguments& args, Api::Completion completion) {
         if (auto event = RequiredMap(args, 0)) api.logEvent(*event, std::move(completion));
       }},
      {"setUserId",
       {"userId"},
       [](Api& api, Arguments& args, Api::Completion completion) {
         std::optional<std::string> userId = args.string(0);
         if (args.ok()) api.setUserId(userId, std::move(completion));
       }},
      {"setUserProperty",
       {"name", "value"},
       [](Api& api, Arguments& args, Api::Completion completion) {
         std::string name = args.requiredString(0);
         std::optional<std::string> value = args.string(1);
         if (args.ok()) api.setUserProperty(name, value, std::move(completion));
       }},
      {"setAnalyticsCollectionEnabled",
       {"enabled"},
       [](Api& api, Arguments& args, Api::Completion completion) {
         if (!args.any(0).isBool()) return args.fail(0, "a boolean");
         api.setAnalyticsCollectionEnabled(args.any(0).asBool(), std::move(completion));
       }},
      {"resetAnalyticsData",
       {},
       [](Api& api, Arguments&, Api::Completion completion) {
         api.resetAnalyticsData(std::move(completion));
       }},
      {"setSessionTimeoutDuration",
       {"timeout"},
       [](Api& api, Arguments& args, Api::Completion completion) {
         int64_t timeout = args.integer(0);
         if (args.ok()) api.setSessionTimeoutDuration(timeout, std::move(completion));
       }},
      {"setConsent",
       {"consent"},
       [](Api& api, Arguments& args, Api::Completion completion) {
         if (auto consent = RequiredMap(args, 0)) api.setConsent(*consent, std::move(completion));
       }},
      {"setDefaultEventParameters",
       {"parameters"},
       [](Api& api, Arguments& args, Api::Completion completion) {
         std::optional<fnd::Dictionary> parameters = args.stringKeyedDictionary(0);
         if (args.ok()) api.setDefaultEventParameters(parameters, std::move(completion));
       }},
      {"getAppInstanceId",
       {},
       [](Api& api, Arguments&, Api::Completion completion) {
         api.getAppInstanceId(std::move(completion));
       }},
      {"getSessionId",
       {},
       [](Api& api, Arguments&, Api::Completion completion) {
         api.getSessionId(std::move(completion));
       }},
      {"initiateOnDeviceConversionMeasurement",
       {"arguments"},
       [](Api& api, Arguments& args, Api::Completion completion) {
         if (auto arguments = RequiredMap(args, 0)) {
           api.initiateOnDeviceConversionMeasurement(*arguments, std::move(completion));
         }
       }},
  };
  return *methods;
}

}  // namespace

void ZudiroruAnalyticsHostApiSetup::setUp(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& binaryMessenger,
    const std::shared_ptr<ZudiroruAnalyticsHostApi>& api, std::string_view messageChannelSuffix) {
  auto codec = ZudiroruAnalyticsMessagesPigeonCodec::shared();
  for (const Method& method : Methods()) {
    std::string name = std::string(kZudiroruAnalyticsHostApiChannelPrefix) + method.name;
    flutter::FlutterMessageHandler handler;
    if (api) {
      handler = [api, &method](const fnd::Value& message, flutter::FlutterReply reply) {
        Arguments args = Arguments::ofList(method.name, message, method.arguments);
        method.invoke(*api, args, [reply](const ZudiroruAnalyticsResult& result) {
          reply(fnd::Value(result.reply()));
        });
        if (!args.ok()) {
          zudiroru::PigeonError error(kZudiroruAnalyticsErrorCode, args.message());
          reply(fnd::Value(zudiroru::wrapError(error)));
        }
      };
    }
    zudiroru::SetUpPigeonChannel(binaryMessenger, name, messageChannelSuffix, codec,
                                 std::move(handler));
  }
}
