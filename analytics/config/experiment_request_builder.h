// APMEExperimentRequestBuilder: keeps the registered SDK descriptions and builds the
// ExperimentRequest that the fetch task posts: the application's description plus one
// ClientProperty per SDK that has a diversion key.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <memory>

#include "analytics/config/sdk_property.h"
#include "analytics/proto/messages.h"
#include "platform/vendor/utilities/mutable_dictionary.h"

class APMEExperimentRequestBuilder {
 public:
  // The process-wide builder, made once, which the experiments manager fills.
  static const std::shared_ptr<APMEExperimentRequestBuilder>& sharedInstance();

  APMEExperimentRequestBuilder() = default;
  APMEExperimentRequestBuilder(const APMEExperimentRequestBuilder&) = delete;
  APMEExperimentRequestBuilder& operator=(const APMEExperimentRequestBuilder&) = delete;

  // Keeps the property under its name, replacing an earlier one. Null logs 880000 (level 2).
  void addSDKProperty(const std::shared_ptr<APMESDKProperty>& property);

  // A new request: the AppProperty (platform "macos", the first preferred language lower-cased
  // when there is one, the bundle identifier when there is one, the App Store installation flag,
  // APMEManager::version()) and, only when at least one property gives one, the ClientProperty
  // of every registered SDK in name order.
  std::shared_ptr<APMPBExperimentRequest> request() const;

  // The AppProperty of the request.
  static std::shared_ptr<APMPBAppProperty> appProperty();

 private:
  RVLMutableDictionary<std::string, std::shared_ptr<APMESDKProperty>> properties_;
};
