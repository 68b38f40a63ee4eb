#include "platform/vendor/core/options.h"

#include <cstdio>

#include "platform/foundation/bundle.h"
#include "platform/foundation/property_list.h"

namespace {

constexpr const char* kErrorDomain = "com.zudiroru.core";
constexpr int64_t kMissingAppIDError = 1;
constexpr int64_t kNotADictionaryError = 2;

std::optional<std::string> StringFor(const fnd::Dictionary& d, const char* key) {
  const fnd::Value* v = d.find(fnd::Value(key));
  if (v && v->isString()) return v->asString();
  return std::nullopt;
}

std::optional<bool> FlagFor(const fnd::Value* v) {
  if (v && (v->isBool() || v->isNumber())) return v->asBool();
  return std::nullopt;
}

}  // namespace

DEVOptions::DEVOptions(std::optional<std::string> rivadoAppID,
                       std::optional<std::string> RCMSenderID)
    : rivadoAppID_(std::move(rivadoAppID)), RCMSenderID_(std::move(RCMSenderID)) {}

std::shared_ptr<DEVOptions> DEVOptions::optionsWithDictionary(const fnd::Dictionary& dictionary,
                                                              fnd::Error* error) {
  auto appID = StringFor(dictionary, kDEVRivadoAppIDKey);
  if (!appID || appID->empty()) {
    fnd::SetError(error, fnd::Error::withDescription(
                             kErrorDomain, kMissingAppIDError,
                             std::string("The options have no ") + kDEVRivadoAppIDKey + "."));
    return nullptr;
  }
  auto options = std::make_shared<DEVOptions>(appID, StringFor(dictionary, kDEVRCMSenderIDKey));
  options->APIKey_ = StringFor(dictionary, kDEVAPIKeyKey);
  options->projectID_ = StringFor(dictionary, kDEVProjectIDKey);
  options->bundleID_ = StringFor(dictionary, kDEVBundleIDKey);
  options->clientID_ = StringFor(dictionary, kDEVClientIDKey);
  options->databaseURL_ = StringFor(dictionary, kDEVDatabaseURLKey);
  options->storageBucket_ = StringFor(dictionary, kDEVStorageBucketKey);
  options->appGroupID_ = StringFor(dictionary, kDEVAppGroupIDKey);
  options->trackingID_ = StringFor(dictionary, kDEVTrackingIDKey);
  options->dictionary_ = dictionary;
  return options;
}

std::shared_ptr<DEVOptions> DEVOptions::optionsWithContentsOfFile(const std::string& path,
                                                                  fnd::Error* error) {
  auto plist = fnd::PropertyList::ReadFile(path, error);
  if (!plist) return nullptr;
  if (!plist->isDictionary()) {
    fnd::SetError(
        error, fnd::Error::withDescription(kErrorDomain, kNotADictionaryError,
                                           "The options file " + path + " is not a dictionary."));
    return nullptr;
  }
  return optionsWithDictionary(*plist->dictionary(), error);
}

std::shared_ptr<DEVOptions> DEVOptions::defaultOptions() {
  auto path = fnd::Bundle::mainBundle().pathForResource(kDEVOptionsFileName, kDEVOptionsFileType);
  if (!path) return nullptr;
  fnd::Error error;
  auto options = optionsWithContentsOfFile(*path, &error);
  if (!options) {
    std::fprintf(stderr, "[DAVOdu] Ignoring the options file %s: %s\n", path->c_str(),
                 error.localizedDescription().c_str());
  }
  return options;
}

bool DEVOptions::isAnalyticsCollectionEnabled() const {
  auto info =
      fnd::Bundle::mainBundle().objectForInfoDictionaryKey(kDEVInfoAnalyticsCollectionEnabledKey);
  if (auto flag = FlagFor(info ? &*info : nullptr)) return *flag;
  if (auto flag = FlagFor(dictionary_.find(fnd::Value(kDEVIsAnalyticsEnabledKey)))) return *flag;
  return true;
}

bool DEVOptions::isAnalyticsCollectionDeactivated() const {
  auto info = fnd::Bundle::mainBundle().objectForInfoDictionaryKey(
      kDEVInfoAnalyticsCollectionDeactivatedKey);
  if (auto flag = FlagFor(info ? &*info : nullptr)) return *flag;
  if (auto flag = FlagFor(dictionary_.find(fnd::Value(kDEVIsAnalyticsCollectionDeactivatedKey)))) {
    return *flag;
  }
  return false;
}
