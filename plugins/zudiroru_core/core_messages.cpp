#include "plugins/zudiroru_core/core_messages.h"

using zudiroru::PigeonField;
using zudiroru::PigeonString;

std::shared_ptr<CoreZudiroruOptions> CoreZudiroruOptions::make(
    Str apiKey, Str appId, Str messagingSenderId, Str projectId, Str authDomain, Str databaseURL,
    Str storageBucket, Str measurementId, Str trackingId, Str deepLinkURLScheme,
    Str androidClientId, Str iosClientId, Str iosBundleId, Str appGroupId) {
  auto o = std::make_shared<CoreZudiroruOptions>();
  o->apiKey = std::move(apiKey);
  o->appId = std::move(appId);
  o->messagingSenderId = std::move(messagingSenderId);
  o->projectId = std::move(projectId);
  o->authDomain = std::move(authDomain);
  o->databaseURL = std::move(databaseURL);
  o->storageBucket = std::move(storageBucket);
  o->measurementId = std::move(measurementId);
  o->trackingId = std::move(trackingId);
  o->deepLinkURLScheme = std::move(deepLinkURLScheme);
  o->androidClientId = std::move(androidClientId);
  o->iosClientId = std::move(iosClientId);
  o->iosBundleId = std::move(iosBundleId);
  o->appGroupId = std::move(appGroupId);
  return o;
}

std::shared_ptr<CoreZudiroruOptions> CoreZudiroruOptions::fromList(const fnd::Array& list) {
  return make(PigeonString(list, 0), PigeonString(list, 1), PigeonString(list, 2),
              PigeonString(list, 3), PigeonString(list, 4), PigeonString(list, 5),
              PigeonString(list, 6), PigeonString(list, 7), PigeonString(list, 8),
              PigeonString(list, 9), PigeonString(list, 10), PigeonString(list, 11),
              PigeonString(list, 12), PigeonString(list, 13));
}

std::shared_ptr<CoreZudiroruOptions> CoreZudiroruOptions::nullableFromList(const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array CoreZudiroruOptions::toList() const {
  return {PigeonField(apiKey),
          PigeonField(appId),
          PigeonField(messagingSenderId),
          PigeonField(projectId),
          PigeonField(authDomain),
          PigeonField(databaseURL),
          PigeonField(storageBucket),
          PigeonField(measurementId),
          PigeonField(trackingId),
          PigeonField(deepLinkURLScheme),
          PigeonField(androidClientId),
          PigeonField(iosClientId),
          PigeonField(iosBundleId),
          PigeonField(appGroupId)};
}

std::shared_ptr<CoreInitializeResponse> CoreInitializeResponse::make(
    std::optional<std::string> name, std::shared_ptr<CoreZudiroruOptions> options,
    std::optional<bool> isAutomaticDataCollectionEnabled,
    std::optional<fnd::Dictionary> pluginConstants) {
  auto r = std::make_shared<CoreInitializeResponse>();
  r->name = std::move(name);
  r->options = std::move(options);
  r->isAutomaticDataCollectionEnabled = isAutomaticDataCollectionEnabled;
  r->pluginConstants = std::move(pluginConstants);
  return r;
}

std::shared_ptr<CoreInitializeResponse> CoreInitializeResponse::fromList(const fnd::Array& list) {
  // The options arrive as a decoded record, or as a bare field list from a codec that does not
  // know the type.
  auto options = zudiroru::PigeonRecord<CoreZudiroruOptions>(list, 1);
  if (!options) options = CoreZudiroruOptions::nullableFromList(GetNullableObjectAtIndex(list, 1));
  return make(PigeonString(list, 0), std::move(options), zudiroru::PigeonBool(list, 2),
              zudiroru::PigeonDictionary(list, 3));
}

std::shared_ptr<CoreInitializeResponse> CoreInitializeResponse::nullableFromList(
    const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? fromList(*array) : nullptr;
}

fnd::Array CoreInitializeResponse::toList() const {
  return {PigeonField(name), PigeonField(options), PigeonField(isAutomaticDataCollectionEnabled),
          PigeonField(pluginConstants)};
}

std::shared_ptr<const flutter::FlutterStandardMessageCodec> ZudiroruCoreGetCodec() {
  // Never destroyed: replies may still be encoded on other threads while the process exits.
  static const auto& codec =
      *new std::shared_ptr<const flutter::FlutterStandardMessageCodec>(zudiroru::PigeonCodec({
          zudiroru::PigeonType::of<CoreZudiroruOptions>(kCoreZudiroruOptionsType),
          zudiroru::PigeonType::of<CoreInitializeResponse>(kCoreInitializeResponseType),
      }));
  return codec;
}
