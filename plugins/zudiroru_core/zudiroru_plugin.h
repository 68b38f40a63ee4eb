// What every Zudiroru bridge offers the plugin registry, and the class helpers that the bridges
// share: error replies and the mapping between Dart and native app names.
//
// A bridge subclasses FLTZudiroruPlugin and implements its five operations; the registry calls
// them on the main thread. The static helpers may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/flutter/codec.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/vendor/core/davodu.h"

// The Dart name of the default app.
inline constexpr const char* kFLTZudiroruDefaultAppNameDart = "[DEFAULT]";
// Keys added to an error's details when a native error caused it.
inline constexpr const char* kFLTZudiroruNativeErrorCodeKey = "nativeErrorCode";
inline constexpr const char* kFLTZudiroruNativeErrorMessageKey = "nativeErrorMessage";

class FLTZudiroruPlugin {
 public:
  virtual ~FLTZudiroruPlugin() = default;

  // Dart restarted: the bridge resets its own state and then calls `completion` exactly once, on
  // any thread.
  virtual void didReinitializeZudiroruCore(std::function<void()> completion) = 0;
  // Constants of this bridge for one app, handed to Dart when the core initialises.
  virtual fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu& app) = 0;
  // The library name and version announced to the vendor core.
  virtual std::string zudiroruLibraryName() const = 0;
  virtual std::string zudiroruLibraryVersion() const = 0;
  // The channel name under which the registry keeps the bridge and its constants.
  virtual std::string flutterChannelName() const = 0;

  // A FlutterError with the code and message whose details are a copy of `details` (empty when
  // absent), plus "nativeErrorCode" (decimal text) and "nativeErrorMessage" (the localized
  // description) when `error` is given.
  static std::shared_ptr<flutter::FlutterError> createFlutterErrorFromCode(
      const std::string& code, const std::optional<std::string>& message,
      const std::optional<fnd::Dictionary>& optionalDetails, const fnd::Error* optionalError);

  // "[DEFAULT]" -> "__DAVODU_DEFAULT"; every other name unchanged.
  static std::string zudiroruAppNameFromDartName(std::string_view dartName);
  // "__DAVODU_DEFAULT" -> "[DEFAULT]"; every other name unchanged.
  static std::string zudiroruAppNameFromIosName(std::string_view iosName);
  // The configured app of a Dart name, or nullptr.
  static std::shared_ptr<DAVOdu> zudiroruAppNamed(std::string_view dartName);
};
