// The generated host interface of the remote-configuration bridge: its message record
// (RemoteConfigPigeonSettings), the codec that carries it under type byte 129, the interface
// ZudiroruRemoteConfigHostApi with its nine methods, and the installer of their channels.
//
// Each method has a basic message channel "dev.flutter.pigeon.zudiroru_remote_config_platform_
// interface.ZudiroruRemoteConfigHostApi.<method>" (plus "." and a suffix when one is given). The
// message is the list of arguments, the app name first. Replies are [result] on success and
// [code, message, details] on failure (zudiroru::wrapError). A message whose arguments are not
// what the method takes is answered with the error "zudiroru_remote_config" and a message that
// names the fault; the implementation is not called.
//
// Thread safety: installation and handlers run on the main thread; completions may be called
// from any thread, once each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/channel_arguments.h"
#include "platform/flutter/standard_codec.h"
#include "platform/foundation/value.h"
#include "plugins/zudiroru_core/pigeon.h"
#include "plugins/zudiroru_core/pigeon_error.h"

// The version of the Dart package this interface belongs to.
inline constexpr const char* kZudiroruRemoteConfigVersionNumber = "5.4.7";
// The code of every error the bridge reports.
inline constexpr const char* kZudiroruRemoteConfigErrorCode = "zudiroru_remote_config";
// Channel names after the Pigeon prefix, less the method name.
inline constexpr const char* kZudiroruRemoteConfigHostApiChannelPrefix =
    "zudiroru_remote_config_platform_interface.ZudiroruRemoteConfigHostApi.";
// The type byte of RemoteConfigPigeonSettings.
inline constexpr uint8_t kRemoteConfigPigeonSettingsType = 129;

// Deep equality and hash of values as the module's records use them (see zudiroru_core's
// PigeonDeepEquals and PigeonDeepHash).
bool deepEqualsZudiroruRemoteConfigMessages(const std::optional<fnd::Value>& a,
                                            const std::optional<fnd::Value>& b);
void deepHashZudiroruRemoteConfigMessages(const std::optional<fnd::Value>& value,
                                          zudiroru::PigeonHasher& hasher);

// Fetch settings from Dart, in whole seconds.
class RemoteConfigPigeonSettings : public zudiroru::PigeonMessage {
 public:
  RemoteConfigPigeonSettings(int64_t fetchTimeoutSeconds, int64_t minimumFetchIntervalSeconds)
      : fetchTimeoutSeconds(fetchTimeoutSeconds),
        minimumFetchIntervalSeconds(minimumFetchIntervalSeconds) {}

  // The record of a field list, or nullptr when a field is missing or not an integer.
  static std::shared_ptr<RemoteConfigPigeonSettings> fromList(const fnd::Array& list);
  fnd::Array toList() const override;

  std::string typeName() const override { return "RemoteConfigPigeonSettings"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;

  int64_t fetchTimeoutSeconds;
  int64_t minimumFetchIntervalSeconds;
};

// The codec of the interface: the standard format plus RemoteConfigPigeonSettings under 129.
class ZudiroruRemoteConfigMessagesPigeonCodec {
 public:
  // Made once.
  static std::shared_ptr<const flutter::FlutterStandardMessageCodec> shared();
};

// What a host method completes with: a value, or an error (a value holding a FlutterError or a
// zudiroru::PigeonError record, or any other value; see zudiroru::wrapError).
template <typename T>
class ZudiroruRemoteConfigResult {
 public:
  static ZudiroruRemoteConfigResult success(T value) {
    ZudiroruRemoteConfigResult r;
    r.value_ = std::move(value);
    return r;
  }
  static ZudiroruRemoteConfigResult failure(fnd::Value error) {
    ZudiroruRemoteConfigResult r;
    r.error_ = std::move(error);
    return r;
  }

  bool isSuccess() const { return !error_.has_value(); }
  // REQUIRES: isSuccess().
  const T& value() const { return *value_; }
  // REQUIRES: !isSuccess().
  const fnd::Value& error() const { return *error_; }

 private:
  std::optional<T> value_;
  std::optional<fnd::Value> error_;
};

class ZudiroruRemoteConfigHostApi {
 public:
  template <typename T>
  using Completion = std::function<void(ZudiroruRemoteConfigResult<T> result)>;
  using NullCompletion = Completion<std::nullptr_t>;

  virtual ~ZudiroruRemoteConfigHostApi() = default;

  // In declaration order, which is also the order of the channels.
  virtual void fetch(const std::string& appName, NullCompletion completion) = 0;
  virtual void fetchAndActivate(const std::string& appName, Completion<bool> completion) = 0;
  virtual void activate(const std::string& appName, Completion<bool> completion) = 0;
  virtual void setConfigSettings(const std::string& appName,
                                 const RemoteConfigPigeonSettings& settings,
                                 NullCompletion completion) = 0;
  virtual void setDefaults(const std::string& appName, const fnd::Dictionary& defaultParameters,
                           NullCompletion completion) = 0;
  virtual void ensureInitialized(const std::string& appName, NullCompletion completion) = 0;
  virtual void setCustomSignals(const std::string& appName, const fnd::Dictionary& customSignals,
                                NullCompletion completion) = 0;
  virtual void getAll(const std::string& appName, Completion<fnd::Dictionary> completion) = 0;
  virtual void getProperties(const std::string& appName,
                             Completion<fnd::Dictionary> completion) = 0;
};

class ZudiroruRemoteConfigHostApiSetup {
 public:
  // Installs the nine channels with `api` as their implementation, or clears them when `api` is
  // null. The channels' handlers keep `api` alive.
  static void setUp(const std::shared_ptr<flutter::FlutterBinaryMessenger>& binaryMessenger,
                    const std::shared_ptr<ZudiroruRemoteConfigHostApi>& api,
                    std::string_view messageChannelSuffix = {});
};
