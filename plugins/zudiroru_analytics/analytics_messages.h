// The generated host interface of the analytics bridge: its message record (AnalyticsEvent), the
// codec that carries it under type byte 129, the interface ZudiroruAnalyticsHostApi with its eleven
// methods, and the installer of their channels.
//
// Each method has a basic message channel "dev.flutter.pigeon.zudiroru_analytics_platform_
// interface.ZudiroruAnalyticsHostApi.<method>" (plus "." and a suffix when one is given). The
// message is the list of arguments. Replies are [result] on success (null for a method without a
// result) and [code, message, details] on failure (zudiroru::wrapError). A message whose arguments
// cannot be used (not a list, a required argument missing or of the wrong kind) is answered with
// the error "zudiroru_analytics" and a message that names the fault; the implementation is not
// called.
//
// Thread safety: installation and handlers run on the main thread; completions may be called
// from any thread, once each.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/standard_codec.h"
#include "platform/foundation/value.h"
#include "plugins/zudiroru_core/pigeon.h"
#include "plugins/zudiroru_core/pigeon_error.h"

// The version of the Dart package this interface belongs to.
inline constexpr const char* kZudiroruAnalyticsVersionNumber = "11.4.6";
// The code of the bridge's refusal of unusable arguments.
inline constexpr const char* kZudiroruAnalyticsErrorCode = "zudiroru_analytics";
// Channel names after the Pigeon prefix, less the method name.
inline constexpr const char* kZudiroruAnalyticsHostApiChannelPrefix =
    "zudiroru_analytics_platform_interface.ZudiroruAnalyticsHostApi.";
// The type byte of AnalyticsEvent.
inline constexpr uint8_t kAnalyticsEventType = 129;

// Deep equality and hash of values as the module's records use them (see zudiroru_core's
// PigeonDeepEquals and PigeonDeepHash).
bool deepEqualsZudiroruAnalyticsMessages(const std::optional<fnd::Value>& a,
                                         const std::optional<fnd::Value>& b);
void deepHashZudiroruAnalyticsMessages(const std::optional<fnd::Value>& value,
                                       zudiroru::PigeonHasher& hasher);

// An event as the Dart side describes it. The codec carries it; no method takes or returns it.
class AnalyticsEvent : public zudiroru::PigeonMessage {
 public:
  AnalyticsEvent(std::string name, std::optional<fnd::Dictionary> parameters)
      : name(std::move(name)), parameters(std::move(parameters)) {}

  // The record of a field list, or nullptr when the name is missing or the parameters are not a
  // map.
  static std::shared_ptr<AnalyticsEvent> fromList(const fnd::Array& list);
  fnd::Array toList() const override;

  std::string typeName() const override { return "AnalyticsEvent"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;

  std::string name;
  std::optional<fnd::Dictionary> parameters;
};

class ZudiroruAnalyticsMessagesPigeonCodec {
 public:
  // The codec of the interface, made once.
  static std::shared_ptr<const flutter::FlutterStandardMessageCodec> shared();
};

// What a host method completes with: a value (null for none), or an error (a value holding a
// FlutterError or a zudiroru::PigeonError record, or an fnd::Error; see zudiroru::wrapError).
class ZudiroruAnalyticsResult {
 public:
  static ZudiroruAnalyticsResult success(fnd::Value value = {});
  static ZudiroruAnalyticsResult failure(fnd::Array wrappedError);

  // The reply list: [value], or the wrapped error.
  const fnd::Array& reply() const { return reply_; }

 private:
  fnd::Array reply_;
};

class ZudiroruAnalyticsHostApi {
 public:
  using Completion = std::function<void(const ZudiroruAnalyticsResult& result)>;

  virtual ~ZudiroruAnalyticsHostApi() = default;

  // In declaration order, which is also the order of the channels.
  virtual void logEvent(const fnd::Dictionary& event, Completion completion) = 0;
  virtual void setUserId(const std::optional<std::string>& userId, Completion completion) = 0;
  virtual void setUserProperty(const std::string& name, const std::optional<std::string>& value,
                               Completion completion) = 0;
  virtual void setAnalyticsCollectionEnabled(bool enabled, Completion completion) = 0;
  virtual void resetAnalyticsData(Completion completion) = 0;
  virtual void setSessionTimeoutDuration(int64_t timeout, Completion completion) = 0;
  virtual void setConsent(const fnd::Dictionary& consent, Completion completion) = 0;
  virtual void setDefaultEventParameters(const std::optional<fnd::Dictionary>& parameters,
                                         Completion completion) = 0;
  virtual void getAppInstanceId(Completion completion) = 0;
  virtual void getSessionId(Completion completion) = 0;
  virtual void initiateOnDeviceConversionMeasurement(const fnd::Dictionary& arguments,
                                                     Completion completion) = 0;
};

class ZudiroruAnalyticsHostApiSetup {
 public:
  // Installs the eleven channels with `api` as their implementation, or clears them when `api`
  // is null. The channels' handlers keep `api` alive.
  static void setUp(const std::shared_ptr<flutter::FlutterBinaryMessenger>& binaryMessenger,
                    const std::shared_ptr<ZudiroruAnalyticsHostApi>& api,
                    std::string_view messageChannelSuffix = {});
};
