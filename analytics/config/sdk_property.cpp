#include "analytics/config/sdk_property.h"

#include "analytics/config/experiments_monitor.h"

namespace {

std::mutex& ProviderMutex() {
  static std::mutex mu;
  return mu;
}

std::function<std::string()>& Provider() {
  static std::function<std::string()> provider;  // Guarded by ProviderMutex().
  return provider;
}

// The identity's diversion key, or nullopt when no identity is present.
std::optional<std::string> IdentityDiversionKey() {
  std::function<std::string()> provider;
  {
    std::lock_guard<std::mutex> lock(ProviderMutex());
    provider = Provider();
  }
  if (!provider) return std::nullopt;
  return provider();
}

fnd::Value MessageValue(const std::shared_ptr<NANOMessageBase>& message) {
  return fnd::Value(std::static_pointer_cast<fnd::Record>(message));
}

}  // namespace

void APMESetIdentityDiversionKeyProvider(std::function<std::string()> provider) {
  std::lock_guard<std::mutex> lock(ProviderMutex());
  Provider() = std::move(provider);
}

std::shared_ptr<APMESDKProperty> APMESDKProperty::initWithName(const fnd::Value& name) {
  if (!name.isString()) {
    APMELog(1, 860000, "Cannot init SDK property with invalid name", {name});
    return nullptr;
  }
  return std::shared_ptr<APMESDKProperty>(new APMESDKProperty(name.asString()));
}

int64_t APMESDKProperty::version() const {
  std::lock_guard<std::mutex> lock(mu_);
  return version_;
}

void APMESDKProperty::setVersion(int64_t version) {
  std::lock_guard<std::mutex> lock(mu_);
  version_ = version;
}

std::string APMESDKProperty::appID() const {
  std::lock_guard<std::mutex> lock(mu_);
  return appID_;
}

void APMESDKProperty::setAppID(std::string appID) {
  std::lock_guard<std::mutex> lock(mu_);
  appID_ = std::move(appID);
}

std::string APMESDKProperty::diversionKey() const {
  std::lock_guard<std::mutex> lock(mu_);
  return diversionKey_;
}

void APMESDKProperty::setDiversionKey(std::string diversionKey) {
  std::lock_guard<std::mutex> lock(mu_);
  diversionKey_ = std::move(diversionKey);
}

APMECustomProperties APMESDKProperty::customProperties() const {
  std::lock_guard<std::mutex> lock(mu_);
  return customProperties_;
}

void APMESDKProperty::setCustomProperties(APMECustomProperties customProperties) {
  std::lock_guard<std::mutex> lock(mu_);
  customProperties_ = std::move(customProperties);
}

std::shared_ptr<APMESDKPropertyDelegate> APMESDKProperty::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

void APMESDKProperty::setDelegate(const std::shared_ptr<APMESDKPropertyDelegate>& delegate) {
  std::lock_guard<std::mutex> lock(mu_);
  delegate_ = delegate;
}

std::shared_ptr<APMPBClientProperty> APMESDKProperty::proto() const {
  std::string key = diversionKey();
  if (key.empty()) key = IdentityDiversionKey().value_or(std::string());
  if (key.empty()) {
    APMELog(1, 860001, "Diversion key is empty");
    return nullptr;
  }
  auto proto = APMPBClientProperty::initWithBuffer(nullptr);
  if (!proto) return nullptr;
  NANOSetString(proto.get(), APMPBClientProperty::kDiversionId, fnd::Value(key + "-" + name_));
  NANOSetString(proto.get(), APMPBClientProperty::kSdkName, fnd::Value(name_));
  NANOSetString(proto.get(), APMPBClientProperty::kAppId, fnd::Value(appID()));
  NANOSetInt64(proto.get(), APMPBClientProperty::kSdkVersion, version());

  APMECustomProperties properties = customProperties();
  if (auto delegate = this->delegate()) {
    if (std::optional<APMECustomProperties> dynamic =
            delegate->dynamicCustomPropertiesForSDKProperty(*this)) {
      for (auto& [key, value] : *dynamic) properties[key] = value;
    }
  }
  if (!properties.empty()) {
    fnd::Array items;
    for (const auto& [key, value] : properties) {
      auto item = APMPBCustomProperty::initWithBuffer(nullptr);
      if (!item) continue;
      NANOSetString(item.get(), APMPBCustomProperty::kKey, fnd::Value(key));
      NANOSetString(item.get(), APMPBCustomProperty::kValue, fnd::Value(value));
      items.push_back(MessageValue(item));
    }
    NANOSetArray(proto.get(), APMPBClientProperty::kCustomProperties, &items);
  }
  return proto;
}
