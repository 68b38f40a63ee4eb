#include "plugins/zudiroru_core/core_host_api.h"

#include "plugins/zudiroru_core/pigeon.h"

namespace {

using flutter::FlutterMessageHandler;
using flutter::FlutterReply;
using zudiroru::SetUpPigeonChannel;

// The app name argument; a missing one reads as the empty name, which names no app.
std::string AppNameArg(const fnd::Value& args, size_t index) {
  fnd::Value v = GetNullableObjectAtIndex(args, index);
  return v.isString() ? v.asString() : std::string();
}

// A boolean argument; a missing one reads as NO.
bool BoolArg(const fnd::Value& args, size_t index) {
  return GetNullableObjectAtIndex(args, index).asBool();
}

// The options argument: a decoded record, or a bare field list.
std::shared_ptr<CoreZudiroruOptions> OptionsArg(const fnd::Value& args, size_t index) {
  fnd::Value v = GetNullableObjectAtIndex(args, index);
  if (auto options = v.recordAs<CoreZudiroruOptions>()) return options;
  return CoreZudiroruOptions::nullableFromList(v);
}

fnd::Value RecordOrNull(const std::shared_ptr<fnd::Record>& record) {
  return record ? fnd::Value(record) : fnd::Value();
}

// The handler when there is an api, else null (which clears the channel).
template <typename Api>
FlutterMessageHandler HandlerFor(const std::shared_ptr<Api>& api,
                                 std::function<void(Api&, const fnd::Value&, FlutterReply)> body) {
  if (!api) return nullptr;
  return [api, body = std::move(body)](const fnd::Value& message, FlutterReply callback) {
    body(*api, message, std::move(callback));
  };
}

// The completion of a method that answers nothing.
ZudiroruAppHostApi::Completion ReplyNothing(FlutterReply callback) {
  return [callback = std::move(callback)](std::shared_ptr<flutter::FlutterError> error) {
    callback(wrapResult(fnd::Value(), error));
  };
}

}  // namespace

void SetUpZudiroruCoreHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                              std::shared_ptr<ZudiroruCoreHostApi> api) {
  SetUpZudiroruCoreHostApiWithSuffix(messenger, std::move(api), "");
}

void SetUpZudiroruCoreHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    std::shared_ptr<ZudiroruCoreHostApi> api, std::string_view messageChannelSuffix) {
  using Api = ZudiroruCoreHostApi;
  auto codec = ZudiroruCoreGetCodec();
  SetUpPigeonChannel(
      messenger, kZudiroruCoreInitializeAppChannel, messageChannelSuffix, codec,
      HandlerFor<Api>(api, [](Api& api, const fnd::Value& message, FlutterReply callback) {
        api.initializeAppAppName(AppNameArg(message, 0), OptionsArg(message, 1),
                                 [callback](std::shared_ptr<CoreInitializeResponse> response,
                                            std::shared_ptr<flutter::FlutterError> error) {
                                   callback(wrapResult(RecordOrNull(response), error));
                                 });
      }));
  SetUpPigeonChannel(
      messenger, kZudiroruCoreInitializeCoreChannel, messageChannelSuffix, codec,
      HandlerFor<Api>(api, [](Api& api, const fnd::Value&, FlutterReply callback) {
        api.initializeCoreWithCompletion(
            [callback](
                std::optional<std::vector<std::shared_ptr<CoreInitializeResponse>>> responses,
                std::shared_ptr<flutter::FlutterError> error) {
              fnd::Value result;
              if (responses) {
                fnd::Array list;
                for (const auto& r : *responses) list.push_back(RecordOrNull(r));
                result = fnd::Value(std::move(list));
              }
              callback(wrapResult(result, error));
            });
      }));
  SetUpPigeonChannel(messenger, kZudiroruCoreOptionsFromResourceChannel, messageChannelSuffix,
                     codec,
                     HandlerFor<Api>(api, [](Api& api, const fnd::Value&, FlutterReply callback) {
                       api.optionsFromResourceWithCompletion(
                           [callback](std::shared_ptr<CoreZudiroruOptions> options,
                                      std::shared_ptr<flutter::FlutterError> error) {
                             callback(wrapResult(RecordOrNull(options), error));
                           });
                     }));
}

void SetUpZudiroruAppHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                             std::shared_ptr<ZudiroruAppHostApi> api) {
  SetUpZudiroruAppHostApiWithSuffix(messenger, std::move(api), "");
}

void SetUpZudiroruAppHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    std::shared_ptr<ZudiroruAppHostApi> api, std::string_view messageChannelSuffix) {
  using Api = ZudiroruAppHostApi;
  auto codec = ZudiroruCoreGetCodec();
  SetUpPigeonChannel(
      messenger, kZudiroruAppSetAutomaticDataCollectionEnabledChannel, messageChannelSuffix, codec,
      HandlerFor<Api>(api, [](Api& api, const fnd::Value& message, FlutterReply callback) {
        api.setAutomaticDataCollectionEnabledAppName(AppNameArg(message, 0), BoolArg(message, 1),
                                                     ReplyNothing(std::move(callback)));
      }));
  SetUpPigeonChannel(
      messenger, kZudiroruAppSetAutomaticResourceManagementEnabledChannel, messageChannelSuffix,
      codec, HandlerFor<Api>(api, [](Api& api, const fnd::Value& message, FlutterReply callback) {
        api.setAutomaticResourceManagementEnabledAppName(
            AppNameArg(message, 0), BoolArg(message, 1), ReplyNothing(std::move(callback)));
      }));
  SetUpPigeonChannel(
      messenger, kZudiroruAppDeleteChannel, messageChannelSuffix, codec,
      HandlerFor<Api>(api, [](Api& api, const fnd::Value& message, FlutterReply callback) {
        api.deleteAppName(AppNameArg(message, 0), ReplyNothing(std::move(callback)));
      }));
}
