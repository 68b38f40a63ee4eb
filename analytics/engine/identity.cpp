#include "analytics/engine/identity.h"

#include <cassert>
#include <charconv>
#include <limits>
#include <utility>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config_table.h"
#include "analytics/engine/default_identity_support.h"
#include "analytics/engine/identity_support.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/rivado_service_file_util.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/aeu.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/persisted_config.h"
#include "platform/foundation/uuid.h"

namespace {

constexpr const char* kQueueLabel = "ZIVIdentityWorkerQueue";
constexpr const char* kRivadoAppIDKey = "RIVADO_APP_ID";
// Reported tracking-authorisation statuses besides the platform's own 1 to 3.
constexpr uint64_t kReportedStatusNotDetermined = 4;
constexpr uint64_t kReportedStatusUnknown = 5;
constexpr uint64_t kReportedStatusNoSupport = 6;
constexpr uint64_t kPlatformStatusAuthorized = 3;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The integer value of a string of digits, clamped to 64 bits; 0 for no digits.
int64_t DigitsValue(const std::string& digits) {
  if (digits.empty()) return 0;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  (void)end;
  if (ec == std::errc::result_out_of_range) return std::numeric_limits<int64_t>::max();
  return value;
}

std::vector<int64_t> NumericFields(const std::string& text, ZIVMonitor& monitor) {
  std::vector<int64_t> fields;
  size_t start = 0;
  while (start <= text.size()) {
    size_t dot = text.find('.', start);
    if (dot == std::string::npos) dot = text.size();
    const std::string component = text.substr(start, dot - start);
    start = dot + 1;
    if (component.empty()) continue;
    std::string digits;
    bool hasOther = false;
    for (char c : component) {
      if (IsDigit(c)) {
        digits.push_back(c);
      } else {
        hasOther = true;
      }
    }
    if (hasOther) monitor.logWithLevel(5, 20002, "app version numeric has non-numeric characters");
    fields.push_back(DigitsValue(digits));
  }
  return fields;
}

std::optional<std::string> InfoString(const fnd::Bundle& bundle, const char* key) {
  std::optional<fnd::Value> value = bundle.objectForInfoDictionaryKey(key);
  if (!value || !value->isString()) return std::nullopt;
  return value->asString();
}

}  // namespace

int64_t ZIVLibraryVersionFromVersionString(std::string_view text) {
  if (text.size() < 4) return 0;
  const std::string_view head = text.substr(0, text.size() - 3);
  int64_t value = 0;
  auto [end, ec] = std::from_chars(head.data(), head.data() + head.size(), value);
  if (ec != std::errc() || end != head.data() + head.size()) return 0;
  return value;
}

std::shared_ptr<ZIVIdentity> ZIVIdentity::sharedInstance() {
  static const std::shared_ptr<ZIVIdentity>& instance =
      *new std::shared_ptr<ZIVIdentity>(create(ZIVPersistedConfig::sharedInstance()));
  if (!instance)
    ZIVMeasurement::monitor()->logWithLevel(2, 20003, "Identity's shared instance is nil");
  return instance;
}

std::shared_ptr<ZIVIdentity> ZIVIdentity::create(
    std::shared_ptr<ZIVPersistedConfig> persistedConfig, Environment environment) {
  if (!persistedConfig) {
    (environment.monitor ? environment.monitor : ZIVMeasurement::monitor())
        ->logWithLevel(2, 20004,
                       "Unable to create measurement identity, missing a valid persisted config "
                       "instance");
    return nullptr;
  }
  return std::shared_ptr<ZIVIdentity>(
      new ZIVIdentity(std::move(persistedConfig), std::move(environment)));
}

ZIVIdentity::ZIVIdentity(std::shared_ptr<ZIVPersistedConfig> persistedConfig,
                         Environment environment)
    : persistedConfig_(std::move(persistedConfig)),
      clock_(environment.clock ? std::move(environment.clock) : dispatch::Clock::current()),
      consent_(environment.consent ? *environment.consent
                                   : ZIVConsentSettingsUtil::sharedInstance()),
      identitySupport_(
          environment.identitySupport
              ? std::move(environment.identitySupport)
              : std::shared_ptr<ZIVIdentitySupport>(ZIVDefaultIdentitySupport::sharedInstance())),
      isFromAppStore_(environment.isFromAppStore ? std::move(environment.isFromAppStore)
                                                 : std::function<bool()>(&APMAEU::isFAS)),
      monitor_(environment.monitor ? std::move(environment.monitor) : ZIVMeasurement::monitor()),
      queue_(dispatch::Queue::create(kQueueLabel, dispatch::Qos::kUtility)),
      serverSettings_(std::move(environment.serverSettings)) {
  const fnd::Bundle& bundle = environment.bundle ? *environment.bundle : fnd::Bundle::mainBundle();

  std::optional<fnd::Dictionary> options =
      ZIVRivadoServiceFileUtil::dictionaryFromRivadoServiceInfoPlist(bundle);
  if (options && !options->empty()) {
    const fnd::Value appID = options->get(kRivadoAppIDKey);
    if (appID.isString()) appIDFromZUZ_ = appID.asString();
  }

  std::optional<fnd::Value> idfv = bundle.objectForInfoDictionaryKey(ZIVIDFVCollectionEnabledKey);
  if (idfv && (idfv->isNumber() || idfv->isBool())) {
    isIDFVCollectionEnabledNumber_ = *idfv;
    monitor_->logWithLevel(
        7, 20009,
        std::string(ZIVIDFVCollectionEnabledKey) + " = " + (idfv->asBool() ? "YES" : "NO"));
  }

  appID_ = InfoString(bundle, fnd::kBundleIdentifierKey);
  appVersion_ = InfoString(bundle, fnd::kBundleShortVersionStringKey);
  std::vector<int64_t> fields =
      NumericFields(InfoString(bundle, fnd::kBundleVersionKey).value_or(""), *monitor_);
  if (fields.size() > 0) appVersionMajor_ = fields[0];
  if (fields.size() > 1) appVersionMinor_ = fields[1];
  if (fields.size() > 2) appVersionRelease_ = fields[2];

  if (!persistedConfig_->appInstanceID() && !consent_.isAnalyticsStorageDenied()) {
    persistedConfig_->setAppInstanceID(randomAppInstanceID());
  }
}

ZIVIdentity::~ZIVIdentity() = default;

int64_t ZIVIdentity::duvUdiredururoLibraryVersion() {
  return ZIVLibraryVersionFromVersionString(ZIVDuvUdiredururoVersionString);
}

std::vector<int64_t> ZIVIdentity::numericFieldsFromAppVersionNumeric(const std::string& text) {
  return NumericFields(text, *ZIVMeasurement::monitor());
}

std::string ZIVIdentity::randomAppInstanceID() {
  std::string text = fnd::UUID::Random().uuidString();
  std::string id;
  id.reserve(32);
  for (char c : text) {
    if (c != '-') id.push_back(c);
  }
  return id;
}

void ZIVIdentity::setServerSettings(ZIVIdentityServerSettings settings) {
  std::weak_ptr<ZIVIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf, settings = std::move(settings)]() mutable {
    if (auto self = weakSelf.lock()) self->serverSettings_ = std::move(settings);
  });
}

void ZIVIdentity::assertOnQueue() const { assert(queue_->isCurrent()); }

double ZIVIdentity::adIDCacheTimeOnQueue() const {
  return serverSettings_.adIDCacheTime ? serverSettings_.adIDCacheTime() : kZIVConfigAdIDCacheTime;
}

bool ZIVIdentity::gateIDFAOnATTMASEnabledOnQueue() const {
  return serverSettings_.gateIDFAOnATTMASEnabled ? serverSettings_.gateIDFAOnATTMASEnabled()
                                                 : kZIVConfigGateIDFAOnATTMASEnabled;
}

void ZIVIdentity::updateIdentifiers() {
  std::weak_ptr<ZIVIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf] {
    if (auto self = weakSelf.lock()) self->updateIdentifiersOnQueue();
  });
}

void ZIVIdentity::updateIdentifiersAndWait() {
  updateIdentifiers();
  queue_->sync([] {});
}

void ZIVIdentity::updateIdentifiersOnQueue() {
  assertOnQueue();
  const double now = clock_->wallTime();
  std::optional<std::string> appInstanceID = persistedConfig_->appInstanceID();
  if (appInstanceID && lastAppInstanceIDUpdateTimestamp_ &&
      *lastAppInstanceIDUpdateTimestamp_ <= now &&
      now - *lastAppInstanceIDUpdateTimestamp_ < adIDCacheTimeOnQueue()) {
    return;
  }

  std::optional<std::string> hash = persistedConfig_->hashedResettableDeviceID();
  std::optional<std::string> previous = resettableDeviceID_;
  const bool limitedAdTracking = identitySupport_->limitedAdTracking();

  uint64_t status = kReportedStatusUnknown;
  bool mayReadIdentifier = false;
  if (!identitySupport_->hasLimitedAdTracking()) {
    status = kReportedStatusNoSupport;
  } else if (identitySupport_->hasAppDataConsentStatus()) {
    const uint64_t platformStatus = identitySupport_->appDataConsentStatus();
    if (platformStatus <= kPlatformStatusAuthorized) {
      status = platformStatus == 0 ? kReportedStatusNotDetermined : platformStatus;
      mayReadIdentifier = platformStatus == kPlatformStatusAuthorized;
    }
  }
  if (!gateIDFAOnATTMASEnabledOnQueue()) mayReadIdentifier = true;

  std::optional<std::string> fresh;
  if (consent_.isAdStorageDenied()) {
    previous.reset();
  } else if (mayReadIdentifier) {
    fresh = identitySupport_->resettableDeviceID();
  }

  bool changed = !appInstanceID.has_value();
  std::optional<std::string> identifier;
  if (!fresh || fresh->empty()) {
    identifier = previous;
  } else if (*fresh == ZIVZeroResettableDeviceID) {
    identifier.reset();
  } else {
    identifier = fresh;
    std::optional<std::string> freshHash = ziv_MD5String(*fresh);
    if (freshHash != hash) {
      const bool hadHash = hash.has_value();
      hash = freshHash;
      changed = true;
      if (hadHash) {
        appInstanceID = randomAppInstanceID();
        persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
      }
    }
  }

  if (changed) {
    if (!consent_.isAnalyticsStorageDenied()) {
      persistedConfig_->setAppInstanceID(appInstanceID ? *appInstanceID : randomAppInstanceID());
    }
    if (!consent_.isAdStorageDenied()) persistedConfig_->setHashedResettableDeviceID(hash);
  }

  lastAppInstanceIDUpdateTimestamp_ = now;
  limitedAdTracking_ = limitedAdTracking;
  resettableDeviceID_ = std::move(identifier);
  appleConsentStatus_ = status;
}

uint64_t ZIVIdentity::appleConsentStatus() {
  updateIdentifiers();
  uint64_t result = 0;
  queue_->sync([&] { result = appleConsentStatus_; });
  return result;
}

bool ZIVIdentity::hasLimitedAdTracking() {
  updateIdentifiers();
  bool result = false;
  queue_->sync([&] { result = identitySupport_->hasLimitedAdTracking(); });
  return result;
}

bool ZIVIdentity::limitedAdTracking() {
  updateIdentifiers();
  bool result = false;
  queue_->sync([&] { result = limitedAdTracking_; });
  return result;
}

std::optional<std::string> ZIVIdentity::resettableDeviceID() {
  updateIdentifiers();
  std::optional<std::string> result;
  queue_->sync([&] { result = resettableDeviceID_; });
  return result;
}

std::optional<std::string> ZIVIdentity::appInstanceID() {
  if (consent_.isAnalyticsStorageDenied()) return std::nullopt;
  updateIdentifiers();
  std::optional<std::string> result;
  queue_->sync([&] { result = persistedConfig_->appInstanceID(); });
  return result;
}

std::optional<std::string> ZIVIdentity::hashedResettableDeviceID() {
  if (consent_.isAdStorageDenied()) return std::nullopt;
  updateIdentifiers();
  std::optional<std::string> result;
  queue_->sync([&] { result = persistedConfig_->hashedResettableDeviceID(); });
  return result;
}

std::optional<std::string> ZIVIdentity::appIDFromZUZ() {
  std::optional<std::string> result;
  queue_->sync([&] { result = appIDFromZUZ_; });
  return result;
}

bool ZIVIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  bool result = false;
  queue_->sync([&] { result = persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
  return result;
}

std::string ZIVIdentity::diversionKey() {
  std::string result;
  queue_->sync([&] {
    std::optional<std::string> key = persistedConfig_->diversionKey();
    if (!key || key->size() != ZIVDiversionKeyLength) {
      key = randomAppInstanceID().substr(0, ZIVDiversionKeyLength);
      persistedConfig_->setDiversionKey(key);
    }
    result = *key;
  });
  return result;
}

std::string ZIVIdentity::ephemeralAppInstanceID() {
  std::string result;
  queue_->sync([&] {
    if (!ephemeralAppInstanceID_) ephemeralAppInstanceID_ = randomAppInstanceID();
    result = *ephemeralAppInstanceID_;
  });
  return result;
}

std::optional<std::string> ZIVIdentity::sessionStitchingTokenWithSessionNumber(
    int64_t sessionNumber, bool sessionExpired, bool userIDAvailable) {
  std::optional<std::string> result;
  queue_->sync([&] {
    if (consent_.isAnalyticsStorageDenied()) return;
    const bool sameSession =
        sessionNumber == lastSessionNumber_ && sessionExpired == lastIsSessionExpired_;
    const bool nextAfterExpired = lastSessionNumber_ != std::numeric_limits<int64_t>::max() &&
                                  sessionNumber == lastSessionNumber_ + 1 &&
                                  lastIsSessionExpired_ && !sessionExpired;
    if (!sameSession && !nextAfterExpired) resetSessionStitchingTokenOnWorkerQueue();
    lastSessionNumber_ = sessionNumber;
    lastIsSessionExpired_ = sessionExpired;

    const double now = clock_->wallTime();
    if (!userIDAvailable && sessionStitchingTokenExpirationTime_ &&
        *sessionStitchingTokenExpirationTime_ <= now) {
      resetSessionStitchingTokenOnWorkerQueue();
    }
    if (!sessionStitchingToken_) {
      sessionStitchingToken_ = randomAppInstanceID();
      if (userIDAvailable) {
        sessionStitchingTokenExpirationTime_.reset();
      } else {
        sessionStitchingTokenExpirationTime_ = now + ZIVSessionStitchingTokenExpirationTimeInterval;
      }
    }
    result = sessionStitchingToken_;
  });
  return result;
}

void ZIVIdentity::setAppInstanceID(const std::optional<std::string>& appInstanceID) {
  std::weak_ptr<ZIVIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf, appInstanceID] {
    if (auto self = weakSelf.lock()) self->persistedConfig_->setAppInstanceID(appInstanceID);
  });
}

void ZIVIdentity::setAppIDFromZUZ(const std::string& appIDFromZUZ) {
  if (appIDFromZUZ.empty()) {
    monitor_->logWithLevel(2, 20005, "Cannot set empty Rivado App ID");
    return;
  }
  std::weak_ptr<ZIVIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf, appIDFromZUZ] {
    auto self = weakSelf.lock();
    if (!self || self->appIDFromZUZWasSet_) return;
    self->appIDFromZUZWasSet_ = true;
    self->appIDFromZUZ_ = appIDFromZUZ;
  });
}

void ZIVIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  std::weak_ptr<ZIVIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf, value] {
    if (auto self = weakSelf.lock()) {
      self->persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(value);
    }
  });
}

void ZIVIdentity::resetSessionStitchingToken() {
  std::weak_ptr<ZIVIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf] {
    if (auto self = weakSelf.lock()) self->resetSessionStitchingTokenOnWorkerQueue();
  });
}

void ZIVIdentity::resetEphemeralAppInstanceID() {
  std::weak_ptr<ZIVIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf] {
    if (auto self = weakSelf.lock()) self->resetEphemeralAppInstanceIDOnWorkerQueue();
  });
}

void ZIVIdentity::resetSessionStitchingTokenOnWorkerQueue() {
  assertOnQueue();
  sessionStitchingToken_.reset();
  sessionStitchingTokenExpirationTime_.reset();
}

void ZIVIdentity::resetEphemeralAppInstanceIDOnWorkerQueue() {
  assertOnQueue();
  ephemeralAppInstanceID_.reset();
}

bool ZIVIdentity::isFromAppStore() const { return isFromAppStore_(); }

std::optional<std::string> ZIVIdentity::zudiroruInstallationID() const {
  std::lock_guard<std::mutex> lock(mu_);
  return zudiroruInstallationID_;
}

void ZIVIdentity::setZudiroruInstallationID(std::optional<std::string> installationID) {
  std::lock_guard<std::mutex> lock(mu_);
  zudiroruInstallationID_ = std::move(installationID);
}
