// User properties on the worker queue: set and remove with their limits, the three internal
// properties kept consistent ("_id", "_lair", "_npa"), the queries and the session ID.
#include <cctype>
#include <utility>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/event_util.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/errors.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/value.h"
#include "analytics/storage/database.h"
#include "platform/dispatch/queue.h"

namespace {

bool HasError(const fnd::Error& error) { return !error.domain().empty(); }

fnd::Value FormattedName(const std::string& name) {
  return fnd::Value(ZIVFormattedUserPropertyName(fnd::Value(name)));
}

fnd::Value ValueObject(const ZIVUserAttribute& attribute) {
  return attribute.value() ? attribute.value()->object() : fnd::Value();
}

// The text of a value for comparing user IDs.
std::string ValueText(const ZIVValuePtr& value) {
  if (!value) return {};
  if (std::optional<std::string> text = value->stringValue()) return *text;
  return value->description();
}

}  // namespace

// ---- Queued entry points.

void ZIVMeasurement::setUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute) {
  if (!attribute) {
    monitor_->logWithLevel(3, 23079, "Attempted to set nil user property");
    return;
  }
  scheduleWeak("ZIVMeasurement:3101", [attribute](ZIVMeasurement& self) {
    self.setUserAttributeOnWorkerQueue(attribute);
  });
}

void ZIVMeasurement::removeUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute) {
  if (!attribute) {
    monitor_->logWithLevel(3, 23074, "Attempted to remove nil user property");
    return;
  }
  scheduleWeak("ZIVMeasurement:3056", [attribute](ZIVMeasurement& self) {
    self.removeUserAttributeOnWorkerQueue(attribute);
  });
}

void ZIVMeasurement::userAttributeWithName(
    const std::string& name, std::function<void(std::shared_ptr<ZIVUserAttribute>)> callback) {
  if (!callback) {
    monitor_->logWithLevel(0, 23088, "userAttributeWithName callback is nil");
    return;
  }
  scheduleWeak("ZIVMeasurement:3242", [name, callback](ZIVMeasurement& self) {
    std::shared_ptr<ZIVUserAttribute> attribute;
    if (std::shared_ptr<ZIVDatabase> db = self.database()) {
      fnd::Error error;
      attribute = db->userAttributeWithName(name, &error);
      if (!attribute && HasError(error)) {
        self.monitor_->logWithLevel(1, 23089, "Unable to get user attribute by name. Name",
                                    FormattedName(name));
      }
    }
    dispatch::Queue::global()->async([callback, attribute] { callback(attribute); });
  });
}

void ZIVMeasurement::userPropertiesIncludingInternal(
    bool includingInternal, std::function<void(fnd::Dictionary)> callback) {
  if (!callback) {
    monitor_->logWithLevel(0, 23090, "Unable to retrieve user properties. Callback is nil");
    return;
  }
  scheduleWeak("ZIVMeasurement:3297", [includingInternal, callback](ZIVMeasurement& self) {
    fnd::Dictionary result;
    std::optional<std::vector<std::shared_ptr<ZIVUserAttribute>>> attributes;
    if (std::shared_ptr<ZIVDatabase> db = self.database()) {
      fnd::Error error;
      attributes = db->userAttributesIncludingInternal(includingInternal, &error);
      if (!attributes) {
        self.monitor_->logWithLevel(1, 23091, "Unable to retrieve user properties. Error",
                                    ZIVErrorContext(error));
      }
    }
    for (const auto& attribute :
         attributes.value_or(std::vector<std::shared_ptr<ZIVUserAttribute>>{})) {
      if (!attribute || attribute->name().empty() || !attribute->value()) {
        self.monitor_->logWithLevel(3, 23092,
                                    "Cannot add invalid public user property name or value.");
        continue;
      }
      const ZIVValuePtr& value = attribute->value();
      if (value->isString()) {
        result.set(attribute->name(), value->stringValue().value_or(""));
      } else if (value->isDouble()) {
        result.set(attribute->name(), value->doubleValue());
      } else if (value->isInt64()) {
        result.set(attribute->name(), fnd::Value::Int64(value->int64Value()));
      }
    }
    dispatch::Queue::global()->async([callback, result] { callback(result); });
  });
}

void ZIVMeasurement::sessionIDWithCompletion(
    std::function<void(int64_t sessionID, std::optional<fnd::Error> error)> completion) {
  if (!completion) return;
  auto fail = [](const char* description) {
    return std::optional<fnd::Error>(ziv_errorWithCode(ZIVSessionIDErrorCode, description));
  };
  std::weak_ptr<ZIVMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("ZIVMeasurement:3450", [weak, completion, fail] {
    std::shared_ptr<ZIVMeasurement> self = weak.lock();
    if (!self) {
      completion(0, fail(ZIVErrorDescriptionAnalyticsDeallocated));
      return;
    }
    if (!self->isEnabled()) {
      completion(0, fail(ZIVErrorDescriptionAnalyticsDisabled));
      return;
    }
    std::shared_ptr<ZIVMeasurementSessionReporter> reporter = self->sessionReporter();
    if (reporter && reporter->isSessionExpired()) {
      completion(0, fail(ZIVErrorDescriptionSessionExpired));
      return;
    }
    std::shared_ptr<ZIVDatabase> db = self->database();
    std::shared_ptr<ZIVUserAttribute> sid = db ? db->userAttributeWithName("_sid") : nullptr;
    if (sid && sid->value() && (sid->value()->isInt64() || sid->value()->isDouble())) {
      completion(sid->value()->int64Value(), std::nullopt);
      return;
    }
    completion(0, fail(ZIVErrorDescriptionSessionIDNotFound));
  });
}

void ZIVMeasurement::maxUserPropertiesForOrigin(const std::string& origin,
                                                std::function<void(int64_t)> callback) {
  if (origin.empty()) {
    monitor_->logWithLevel(0, 23093, "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    monitor_->logWithLevel(0, 23094, "MaxUserProperties callback cannot be nil. Origin",
                           fnd::Value(origin));
    return;
  }
  dispatch::Queue::global()->async(
      [callback] { callback(ZIVDatabaseUserAttributePerOriginMaxCount); });
}

std::optional<bool> ZIVMeasurement::shouldDisableAdPersonalization() {
  if (std::optional<fnd::Value> allow = persistedConfig_->allowPersonalizedAds()) {
    return !allow->asBool();
  }
  ZIVConsentSettingsUtil& state = consent();
  if (std::optional<fnd::Dictionary> settings = state.consentSettings();
      settings && settings->contains("ad_personalization")) {
    std::optional<int64_t> personalization = state.adPersonalization();
    return !(personalization && *personalization != 0);
  }
  if (std::optional<fnd::Value> plist =
          infoDictionaryValue("RIVADO_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS")) {
    if (plist->isNumber() || plist->isBool()) {
      foundAdPersonalizationPlistFlag_.store(true);
      return !plist->asBool();
    }
    return false;
  }
  if (std::optional<fnd::Dictionary> defaults = state.defaultSettings()) {
    const fnd::Value* value = defaults->find(fnd::Value("ad_personalization"));
    if (value && value->isString()) {
      std::string lower = value->asString();
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower == "denied") return true;
      if (lower == "granted") return false;
    }
  }
  return std::nullopt;
}

bool ZIVMeasurement::shouldAllowAdNetworkRegistration() {
  std::optional<fnd::Value> value =
      infoDictionaryValue("RIVADO_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED");
  if (value && (value->isNumber() || value->isBool())) return value->asBool();
  return true;
}

// ---- Worker queue.

void ZIVMeasurement::setUserAttributeOnWorkerQueue(
    const std::shared_ptr<ZIVUserAttribute>& attribute) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue:");
  if (!attribute) return;
  if (!isEnabled()) {
    monitor_->logWithLevel(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  (void)setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool ZIVMeasurement::setUserPropertyInDatabaseOnWorkerQueue(
    const std::shared_ptr<ZIVUserAttribute>& attribute) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("setUserPropertyInDatabaseOnWorkerQueue:");
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db || !attribute) return false;
  const std::string& name = attribute->name();
  fnd::Error error;
  std::optional<bool> exists = db->containsUserAttributeWithName(name, &error);
  if (!exists) {
    monitor_->logWithLevel(1, 23082, "Unable to query existence of user property. Name, error",
                           FormattedName(name), ZIVErrorContext(error));
    return false;
  }
  if (name == "_id" && *exists) {
    std::shared_ptr<ZIVUserAttribute> stored = db->userAttributeWithName("_id");
    if (stored && ValueText(stored->value()) != ValueText(attribute->value())) {
      if (std::shared_ptr<ZIVIdentity> id = identity()) id->resetSessionStitchingToken();
      // A stale marker is only left behind when this fails.
      (void)db->deleteUserAttributeWithName("_lair");
    }
  }
  if (name == "_npa" && attribute->value()) {
    updateAdPersonalizationConsentFromNPAValue(attribute->value()->int64Value());
  }
  if (!*exists) {
    std::optional<int64_t> count;
    int64_t limit = 0;
    fnd::Error countError;
    if (attribute->isPublic()) {
      count = db->publicUserAttributeCount(&countError);
      limit = settingsOrDefaults()->maxPublicUserProperties();
    } else {
      count = db->userAttributeCountForOrigin(attribute->origin(), &countError);
      limit = ZIVDatabaseUserAttributePerOriginMaxCount;
    }
    if (!count || *count >= limit) {
      if (!count && HasError(countError)) {
        monitor_->logWithLevel(1, 23083, "Unable to query user property count. Origin, error",
                               fnd::Value(attribute->origin()), ZIVErrorContext(countError));
        return false;
      }
      monitor_->logWithLevel(3, 23084,
                             "Unable to set user property. Reached limit on set user properties "
                             "for origin. Origin, name, value",
                             fnd::Value(attribute->origin()), FormattedName(name),
                             ValueObject(*attribute));
      ZIVLogErrorEventWithCode(9);
      return false;
    }
  }
  if (!db->updateUserAttribute(attribute, &error)) {
    monitor_->logWithLevel(
        1, 23085, "Unable to set user property. Name, value, error",
        fnd::Array{FormattedName(name), ValueObject(*attribute), ZIVErrorContext(error)});
    return false;
  }
  monitor_->logWithLevel(7, 23087, "User property set. Name, value", FormattedName(name),
                         ValueObject(*attribute));
  return true;
}

void ZIVMeasurement::removeUserAttributeOnWorkerQueue(
    const std::shared_ptr<ZIVUserAttribute>& attribute) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue:");
  if (!attribute) return;
  if (!isEnabled()) {
    monitor_->logWithLevel(7, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  const std::string& name = attribute->name();
  if (name == "_id") {
    if (std::shared_ptr<ZIVIdentity> id = identity()) id->resetSessionStitchingToken();
  }
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return;
  fnd::Error error;
  if (!db->deleteUserAttributeWithName(name, &error)) {
    monitor_->logWithLevel(1, 23077, "Unable to remove user property. Name, error",
                           FormattedName(name), ZIVErrorContext(error));
    return;
  }
  monitor_->logWithLevel(7, 23078, "User property removed. Name", FormattedName(name));
}

void ZIVMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName(
      "setLastAdvertisingIDResetUserPropertyOnWorkerQueue");
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return;
  std::optional<bool> hasUserID = db->containsUserAttributeWithName("_id");
  std::optional<bool> hasMarker = db->containsUserAttributeWithName("_lair");
  if (!hasUserID || !hasMarker || !*hasUserID || *hasMarker) return;
  setUserAttributeOnWorkerQueue(
      ZIVUserAttribute::initWithOrigin("auto", "_lair", ZIVValue::initWithInt64(1), now()));
  if (std::shared_ptr<ZIVIdentity> id = identity()) {
    id->setShouldSetLastAdvertisingIDResetUserProperty(false);
  }
}

bool ZIVMeasurement::hasUserPropertyUserIDOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("hasUserPropertyUserIDOnWorkerQueue");
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return false;
  std::optional<bool> exists = db->containsUserAttributeWithName("_id");
  return exists && *exists;
}
