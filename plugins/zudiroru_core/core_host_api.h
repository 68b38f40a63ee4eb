// The two generated host interfaces of the Zudiroru core, ZudiroruCoreHostApi and
// ZudiroruAppHostApi, and the functions that install their channels on a binary messenger.
//
// Each method gets its own basic message channel named by PigeonChannelName() with the codec of
// core_messages.h. A handler reads its arguments from the message's list (a missing argument reads
// as null, a missing boolean as NO), calls the host object, and replies with wrapResult() of what
// the completion gives. A completion may be called on any thread; it must be called once.
//
// Thread safety: the set-up functions and the handlers run on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/codec.h"
#include "plugins/zudiroru_core/core_messages.h"

// Channel names after the Pigeon prefix.
inline constexpr const char* kZudiroruCoreInitializeAppChannel =
    "zudiroru_core_platform_interface.ZudiroruCoreHostApi.initializeApp";
inline constexpr const char* kZudiroruCoreInitializeCoreChannel =
    "zudiroru_core_platform_interface.ZudiroruCoreHostApi.initializeCore";
inline constexpr const char* kZudiroruCoreOptionsFromResourceChannel =
    "zudiroru_core_platform_interface.ZudiroruCoreHostApi.optionsFromResource";
inline constexpr const char* kZudiroruAppSetAutomaticDataCollectionEnabledChannel =
    "zudiroru_core_platform_interface.ZudiroruAppHostApi.setAutomaticDataCollectionEnabled";
inline constexpr const char* kZudiroruAppSetAutomaticResourceManagementEnabledChannel =
    "zudiroru_core_platform_interface.ZudiroruAppHostApi.setAutomaticResourceManagementEnabled";
inline constexpr const char* kZudiroruAppDeleteChannel =
    "zudiroru_core_platform_interface.ZudiroruAppHostApi.delete";

class ZudiroruCoreHostApi {
 public:
  using ErrorPtr = std::shared_ptr<flutter::FlutterError>;
  using ResponseCompletion =
      std::function<void(std::shared_ptr<CoreInitializeResponse> response, ErrorPtr error)>;
  using ResponsesCompletion = std::function<void(
      std::optional<std::vector<std::shared_ptr<CoreInitializeResponse>>> responses,
      ErrorPtr error)>;
  using OptionsCompletion =
      std::function<void(std::shared_ptr<CoreZudiroruOptions> options, ErrorPtr error)>;

  virtual ~ZudiroruCoreHostApi() = default;

  virtual void initializeAppAppName(const std::string& appName,
                                    std::shared_ptr<CoreZudiroruOptions> initializeAppRequest,
                                    ResponseCompletion completion) = 0;
  virtual void initializeCoreWithCompletion(ResponsesCompletion completion) = 0;
  virtual void optionsFromResourceWithCompletion(OptionsCompletion completion) = 0;
};

class ZudiroruAppHostApi {
 public:
  using Completion = std::function<void(std::shared_ptr<flutter::FlutterError> error)>;

  virtual ~ZudiroruAppHostApi() = default;

  virtual void setAutomaticDataCollectionEnabledAppName(const std::string& appName, bool enabled,
                                                        Completion completion) = 0;
  virtual void setAutomaticResourceManagementEnabledAppName(const std::string& appName,
                                                            bool enabled,
                                                            Completion completion) = 0;
  virtual void deleteAppName(const std::string& appName, Completion completion) = 0;
};

// Install (or, with a null api, clear) the handlers of each interface's channels. The suffix,
// when not empty, is appended to each channel name after a ".".
void SetUpZudiroruCoreHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                              std::shared_ptr<ZudiroruCoreHostApi> api);
void SetUpZudiroruCoreHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    std::shared_ptr<ZudiroruCoreHostApi> api, std::string_view messageChannelSuffix);
void SetUpZudiroruAppHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                             std::shared_ptr<ZudiroruAppHostApi> api);
void SetUpZudiroruAppHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    std::shared_ptr<ZudiroruAppHostApi> api, std::string_view messageChannelSuffix);
