// APMESDKProperty: how an SDK that uses experiments describes itself to the experiments server:
// its name, version, app ID, diversion key and custom properties. Its wire form is the
// ClientProperty message of the experiment request.
//
// The diversion key groups users into experiment arms. An SDK may bring its own; otherwise the
// engine's identity supplies one through the provider installed with
// APMESetIdentityDiversionKeyProvider() (the engine installs it when its identity exists).
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/proto/messages.h"
#include "platform/foundation/value.h"

class APMESDKProperty;

using APMECustomProperties = std::map<std::string, std::string>;

// Supplies custom properties that change over time; asked each time a request is built.
class APMESDKPropertyDelegate {
 public:
  virtual ~APMESDKPropertyDelegate() = default;
  // Properties that join (and override) the static ones, or nullopt for none. Called on the
  // experiments worker queue.
  virtual std::optional<APMECustomProperties> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty& property) = 0;
};

// Installs the identity's diversion key source (an empty function removes it). Without one, the
// identity counts as absent and only an SDK's own key is used.
void APMESetIdentityDiversionKeyProvider(std::function<std::string()> provider);

class APMESDKProperty {
 public:
  // A property named `name`, or null when the name is not a string (logged 860000, level 1).
  static std::shared_ptr<APMESDKProperty> initWithName(const fnd::Value& name);

  APMESDKProperty(const APMESDKProperty&) = delete;
  APMESDKProperty& operator=(const APMESDKProperty&) = delete;

  const std::string& name() const { return name_; }

  int64_t version() const;
  void setVersion(int64_t version);
  std::string appID() const;
  void setAppID(std::string appID);
  // The SDK's own diversion key, "" when it has none.
  std::string diversionKey() const;
  void setDiversionKey(std::string diversionKey);
  APMECustomProperties customProperties() const;
  void setCustomProperties(APMECustomProperties customProperties);
  // Held weakly.
  std::shared_ptr<APMESDKPropertyDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<APMESDKPropertyDelegate>& delegate);

  // The ClientProperty for the request, or null when no diversion key is known (neither the
  // SDK's own nor the identity's), which is logged as 860001 at level 1.
  std::shared_ptr<APMPBClientProperty> proto() const;

 private:
  explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}

  const std::string name_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  int64_t version_ = 0;
  std::string appID_;
  std::string diversionKey_;
  APMECustomProperties customProperties_;
  std::weak_ptr<APMESDKPropertyDelegate> delegate_;
};
