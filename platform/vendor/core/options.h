// The options of one Zudiroru app, as the vendor core framework describes them: the app's
// identifiers and service addresses, read from the "RivadoService-Info" property list of the main
// bundle or set by the program before configuring an app.
//
// An options object is a plain record. Once an app is configured with it, the app holds its own
// copy; changing the caller's object afterwards does not reach the app.
//
// Thread safety: like a struct; distinct objects may be used from distinct threads.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// Keys of the options file.
inline constexpr const char* kDEVOptionsFileName = "RivadoService-Info";
inline constexpr const char* kDEVOptionsFileType = "plist";
inline constexpr const char* kDEVRivadoAppIDKey = "RIVADO_APP_ID";
inline constexpr const char* kDEVRCMSenderIDKey = "RCM_SENDER_ID";
inline constexpr const char* kDEVAPIKeyKey = "API_KEY";
inline constexpr const char* kDEVProjectIDKey = "PROJECT_ID";
inline constexpr const char* kDEVBundleIDKey = "BUNDLE_ID";
inline constexpr const char* kDEVClientIDKey = "CLIENT_ID";
inline constexpr const char* kDEVDatabaseURLKey = "DATABASE_URL";
inline constexpr const char* kDEVStorageBucketKey = "STORAGE_BUCKET";
inline constexpr const char* kDEVAppGroupIDKey = "APP_GROUP_ID";
inline constexpr const char* kDEVTrackingIDKey = "TRACKING_ID";
inline constexpr const char* kDEVIsAnalyticsEnabledKey = "IS_ANALYTICS_ENABLED";
inline constexpr const char* kDEVIsAnalyticsCollectionDeactivatedKey =
    "IS_ANALYTICS_COLLECTION_DEACTIVATED";
// Info.plist keys that override the options file's analytics switches.
inline constexpr const char* kDEVInfoAnalyticsCollectionEnabledKey =
    "ZUDIRORU_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kDEVInfoAnalyticsCollectionDeactivatedKey =
    "ZUDIRORU_ANALYTICS_COLLECTION_DEACTIVATED";

class DEVOptions {
 public:
  // The options of the main bundle's "RivadoService-Info.plist", read anew on each call; nullptr
  // when the file is missing, is not a dictionary property list, or has no RIVADO_APP_ID.
  static std::shared_ptr<DEVOptions> defaultOptions();

  // Options from an options file's dictionary (keys above); values of the wrong kind are
  // ignored. nullptr, with an error when `error` is non-null, when RIVADO_APP_ID is missing.
  static std::shared_ptr<DEVOptions> optionsWithDictionary(const fnd::Dictionary& dictionary,
                                                           fnd::Error* error = nullptr);
  // Options read from a property-list file; nullptr (and an error) when it cannot be read.
  static std::shared_ptr<DEVOptions> optionsWithContentsOfFile(const std::string& path,
                                                               fnd::Error* error = nullptr);

  // Options with the two identifiers and nothing else; either may be absent (the vendor core
  // refuses to configure an app without an app id).
  DEVOptions(std::optional<std::string> rivadoAppID, std::optional<std::string> RCMSenderID);

  const std::optional<std::string>& rivadoAppID() const { return rivadoAppID_; }
  void setRivadoAppID(std::optional<std::string> v) { rivadoAppID_ = std::move(v); }
  const std::optional<std::string>& RCMSenderID() const { return RCMSenderID_; }
  void setRCMSenderID(std::optional<std::string> v) { RCMSenderID_ = std::move(v); }
  const std::optional<std::string>& APIKey() const { return APIKey_; }
  void setAPIKey(std::optional<std::string> v) { APIKey_ = std::move(v); }
  const std::optional<std::string>& projectID() const { return projectID_; }
  void setProjectID(std::optional<std::string> v) { projectID_ = std::move(v); }
  const std::optional<std::string>& bundleID() const { return bundleID_; }
  void setBundleID(std::optional<std::string> v) { bundleID_ = std::move(v); }
  const std::optional<std::string>& clientID() const { return clientID_; }
  void setClientID(std::optional<std::string> v) { clientID_ = std::move(v); }
  const std::optional<std::string>& databaseURL() const { return databaseURL_; }
  void setDatabaseURL(std::optional<std::string> v) { databaseURL_ = std::move(v); }
  const std::optional<std::string>& storageBucket() const { return storageBucket_; }
  void setStorageBucket(std::optional<std::string> v) { storageBucket_ = std::move(v); }
  const std::optional<std::string>& appGroupID() const { return appGroupID_; }
  void setAppGroupID(std::optional<std::string> v) { appGroupID_ = std::move(v); }
  const std::optional<std::string>& trackingID() const { return trackingID_; }
  void setTrackingID(std::optional<std::string> v) { trackingID_ = std::move(v); }

  // Analytics switches: the main bundle's Info.plist key when it is a boolean or number, else the
  // options file's key, else enabled YES and deactivated NO.
  bool isAnalyticsCollectionEnabled() const;
  bool isAnalyticsCollectionDeactivated() const;

  // The options file's dictionary these options were read from (empty when built in code).
  const fnd::Dictionary& optionsDictionary() const { return dictionary_; }

 private:
  std::optional<std::string> rivadoAppID_;
  std::optional<std::string> RCMSenderID_;
  std::optional<std::string> APIKey_;
  std::optional<std::string> projectID_;
  std::optional<std::string> bundleID_;
  std::optional<std::string> clientID_;
  std::optional<std::string> databaseURL_;
  std::optional<std::string> storageBucket_;
  std::optional<std::string> appGroupID_;
  std::optional<std::string> trackingID_;
  fnd::Dictionary dictionary_;
};
