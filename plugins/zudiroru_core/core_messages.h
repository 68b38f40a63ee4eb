// The generated messages of the Zudiroru core interfaces and their codec: CoreZudiroruOptions
// (type byte 129) and CoreInitializeResponse (type byte 130). Every property is optional; on the
// channel a message is its field list in the order of the properties below.
//
// Thread safety: messages are plain records; the codec is made once and may be shared.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/standard_codec.h"
#include "platform/foundation/value.h"
#include "plugins/zudiroru_core/pigeon.h"

inline constexpr uint8_t kCoreZudiroruOptionsType = 129;
inline constexpr uint8_t kCoreInitializeResponseType = 130;

// The options of a Zudiroru app as Dart sees them.
class CoreZudiroruOptions : public zudiroru::PigeonMessage {
 public:
  using Str = std::optional<std::string>;

  static std::shared_ptr<CoreZudiroruOptions> make(Str apiKey, Str appId, Str messagingSenderId,
                                                   Str projectId, Str authDomain, Str databaseURL,
                                                   Str storageBucket, Str measurementId,
                                                   Str trackingId, Str deepLinkURLScheme,
                                                   Str androidClientId, Str iosClientId,
                                                   Str iosBundleId, Str appGroupId);
  // Reads field i at position i; missing or wrong-kind fields are absent. Never fails.
  static std::shared_ptr<CoreZudiroruOptions> fromList(const fnd::Array& list);
  // nullptr for a null value (or one that is not a list), else fromList.
  static std::shared_ptr<CoreZudiroruOptions> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "CoreZudiroruOptions"; }

  Str apiKey;
  Str appId;
  Str messagingSenderId;
  Str projectId;
  Str authDomain;
  Str databaseURL;
  Str storageBucket;
  Str measurementId;
  Str trackingId;
  Str deepLinkURLScheme;
  Str androidClientId;
  Str iosClientId;
  Str iosBundleId;
  Str appGroupId;
};

// What Dart learns about one app: its Dart name, options, data collection switch and the
// constants of every registered bridge (channel name -> constants).
class CoreInitializeResponse : public zudiroru::PigeonMessage {
 public:
  static std::shared_ptr<CoreInitializeResponse> make(
      std::optional<std::string> name, std::shared_ptr<CoreZudiroruOptions> options,
      std::optional<bool> isAutomaticDataCollectionEnabled,
      std::optional<fnd::Dictionary> pluginConstants);
  static std::shared_ptr<CoreInitializeResponse> fromList(const fnd::Array& list);
  static std::shared_ptr<CoreInitializeResponse> nullableFromList(const fnd::Value& list);
  fnd::Array toList() const override;
  std::string typeName() const override { return "CoreInitializeResponse"; }

  std::optional<std::string> name;
  std::shared_ptr<CoreZudiroruOptions> options;
  std::optional<bool> isAutomaticDataCollectionEnabled;
  std::optional<fnd::Dictionary> pluginConstants;
};

// The message codec shared by ZudiroruCoreHostApi and ZudiroruAppHostApi, made once.
std::shared_ptr<const flutter::FlutterStandardMessageCodec> ZudiroruCoreGetCodec();
