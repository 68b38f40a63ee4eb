#include "zudiroru_core/core_host_api.h"

#include "zudiroru_core/pigeon.h"

namespace {

using flutter::FlutterBasicMessageChannel;
using flutter::FlutterReply;
using zudiroru::PigeonChannelName;

std::shared_ptr<FlutterBasicMessageChannel> MakeChannel(
    const char* name, std::string_view suffix,
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger) {
  return FlutterBasicMessageChannel::messageChannelWithName(PigeonChannelName(name, suffix),
                                                            messenger, ZudiroruCoreGetCodec());
}

// The app name argument; a missing one reads as the empty name, which names no app.
std::string AppNameArg(const fnd::Value& args, size_t index) {
  fnd::Value v = GetNullableObjectAtIndex(args, index);
  return v.isString() ? v.asString() : std::string();
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

}  // namespace

void SetUpZudiroruCoreHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                              std::shared_ptr<ZudiroruCoreHostApi> api) {
  SetUpZudiroruCoreHostApiWithSuffix(messenger, std::move(api), "");
}

void SetUpZudiroruCoreHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    std::shared_ptr<ZudiroruCoreHostApi> api, std::string_view messageChannelSuffix) {
  {
    auto channel = MakeChannel(kZudiroruCoreInitializeAppChannel, messageChannelSuffix, messenger);
    if (api) {
      channel->setMessageHandler([api](const fnd::Value& message, FlutterReply callback) {
        api->initializeAppAppName(AppNameArg(message, 0), OptionsArg(message, 1),
                                  [callback](std::shared_ptr<CoreInitializeResponse> response,
                                             std::shared_ptr<flutter::FlutterError> error) {
                                    callback(wrapResult(RecordOrNull(response), error));
                                  });
      });
    } else {
      channel->setMessageHandler(nullptr);
    }
  }
  {
    auto channel = MakeChannel(kZudiroruCoreInitializeCoreChannel, messageChannelSuffix, messenger);
    if (api) {
      channel->setMessageHandler([api](const fnd::Value&, FlutterReply callback) {
        api->initializeCoreWithCompletion(
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
      });
    } else {
      channel->setMessageHandler(nullptr);
    }
  }
  {
    auto channel =
        MakeChannel(kZudiroruCoreOptionsFromResourceChannel, messageChannelSuffix, messenger);
    if (api) {
      channel->setMessageHandler([api](const fnd::Value&, FlutterReply callback) {
        api->optionsFromResourceWithCompletion(
            [callback](std::shared_ptr<CoreZudiroruOptions> options,
                       std::shared_ptr<flutter::FlutterError> error) {
              callback(wrapResult(RecordOrNull(options), error));
            });
      });
    } else {
      channel->setMessageHandler(nullptr);
    }
  }
}

void SetUpZudiroruAppHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                             std::shared_ptr<ZudiroruAppHostApi> api) {
  SetUpZudiroruAppHostApiWithSuffix(messenger, std::move(api), "");
}

void SetUpZudiroruAppHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    std::shared_ptr<ZudiroruAppHostApi> api, std::string_view messageChannelSuffix) {
  auto replyWith = [](FlutterReply callback) {
    return [callback](std::shared_ptr<flutter::FlutterError> error) {
      callback(wrapResult(fnd::Value(), error));
    };
  };
  {
    auto channel = MakeChannel(kZudiroruAppSetAutomaticDataCollectionEnabledChannel,
                               messageChannelSuffix, messenger);
    if (api) {
      channel->setMessageHandler(
          [api, replyWith](const fnd::Value& message, FlutterReply callback) {
            bool enabled = GetNullableObjectAtIndex(message, 1).asBool();
            api->setAutomaticDataCollectionEnabledAppName(AppNameArg(message, 0), enabled,
                                                          replyWith(callback));
          });
    } else {
      channel->setMessageHandler(nullptr);
    }
  }
  {
    auto channel = MakeChannel(kZudiroruAppSetAutomaticResourceManagementEnabledChannel,
                               messageChannelSuffix, messenger);
    if (api) {
      channel->setMessageHandler(
          [api, replyWith](const fnd::Value& message, FlutterReply callback) {
            bool enabled = GetNullableObjectAtIndex(message, 1).asBool();
            api->setAutomaticResourceManagementEnabledAppName(AppNameArg(message, 0), enabled,
                                                              replyWith(callback));
          });
    } else {
      channel->setMessageHandler(nullptr);
    }
  }
  {
    auto channel = MakeChannel(kZudiroruAppDeleteChannel, messageChannelSuffix, messenger);
    if (api) {
      channel->setMessageHandler(
          [api, replyWith](const fnd::Value& message, FlutterReply callback) {
            api->deleteAppName(AppNameArg(message, 0), replyWith(callback));
          });
    } else {
      channel->setMessageHandler(nullptr);
    }
  }
}
