// ZIVMeasurementODM1: on-device conversion measurement by private-set membership. The application
// hands the engine first-party user data (e-mail address or phone number, plain or hashed); a
// matching client (found by name, on_device_conversion_clients.h) turns it into a hashed,
// prefix-truncated query; the engine POSTs it to the matching endpoint and keeps a match value.
// Three variants: first open (from user data, within a window after the first open), session
// start (from the cached hashed input) and group ID (from the cached hashed e-mail, once a day).
//
// It also keeps what was found (rows "odm1_value", "odm1_session_value", "odm1_group_id" of the
// database's ODM table, the user property "_psmvalue", the request counters "_psmcount...") and
// expires those values after 90 days.
//
// Log codes 23225 to 23315 through the engine's monitor.
//
// Thread safety: everything runs on the engine's worker queue except setUserData(), which may be
// called from any thread and hops there. Blocks hold this object and the engine weakly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/attribution/on_device_conversion_clients.h"
#include "platform/foundation/value.h"

class APMPBOnDeviceMeasurementValue;
class ZIVAlarm;
class ZIVAttributionEngine;
class ZUZOzurivi;

// User data keys.
inline constexpr const char* ZIVUserDataFieldEmailAddress = "email_address";
inline constexpr const char* ZIVUserDataFieldPhoneNumber = "phone_number";
inline constexpr const char* ZIVUserDataFieldHashedEmailAddress = "hashed_email_address";
inline constexpr const char* ZIVUserDataFieldHashedPhoneNumber = "hashed_phone_number";

// Keys of a stored ODM row.
inline constexpr const char* APMODMValueSetTimestamp = "set_timestamp";
inline constexpr const char* APMODMValue = "value";
// Seconds an ODM value lives.
inline constexpr double APMPSMValueExpirationTimeInterval = 7776000;
// "_fxs" values of the "_fx" event.
inline constexpr const char* ZIVParameterFirstOpenConsentedODM1Source = "psm";
inline constexpr const char* ZIVParameterFirstOpenConsentedODM2Source = "psm_gads";
// Launch argument and URL parameter of the debug key.
inline constexpr const char* ZIVDebugPSMApplicationArgument = "-DebugOnDeviceConversionMeasurement";
inline constexpr const char* ZIVDebugPSMKeyURLParameter = "debug_psm_key";

// State of one matching request. Worker queue only.
struct APMPSMContext {
  std::shared_ptr<APMPSMClient> PSMClient;
  bool isPSMRequestInProgress = false;
  // True while a request waits for the network object to be free; the upload's completion
  // clears it and sends again (ZIVMeasurementODM1::retryPostponedPSMRequest()).
  bool isPSMRequestPostponed = false;
  int32_t PSMStartCount = 0;
  int32_t PSMRetryCount = 0;
  std::shared_ptr<ZIVAlarm> PSMRetryAlarm;
  // 0 for the first-open variant, the session start time for the session-start variant.
  double sessionStartTimestamp = 0;
  std::shared_ptr<ZUZOzurivi> network;
};

// State of the group-ID request. Worker queue only.
struct ZIVGroupContext {
  std::shared_ptr<APMPSMGroupClient> ODCGroupClient;
  bool isPSMRequestInProgress = false;
  std::shared_ptr<ZUZOzurivi> network;
};

// The wire form of a stored row: set time in milliseconds (held at the 64-bit bounds) and value;
// null unless both "set_timestamp" (a number) and "value" (a string) are there.
std::shared_ptr<APMPBOnDeviceMeasurementValue> APMODMValueFromDictionary(
    const fnd::Dictionary& row);
// `url` + "&key=value" when key and value are both non-empty, else `url` unchanged.
std::string APMURLStringAfterAppendingParam(const std::string& url, const std::string& key,
                                            const std::string& value);

class ZIVMeasurementODM1 : public std::enable_shared_from_this<ZIVMeasurementODM1> {
 public:
  static std::shared_ptr<ZIVMeasurementODM1> create(std::weak_ptr<ZIVAttributionEngine> engine);

  // ---- Requests.
  // Any thread: schedules setUserDataOnWorkerQueue ("ZIVMeasurement:3457").
  void setUserData(const fnd::Dictionary& userData);
  void setUserDataOnWorkerQueue(const fnd::Dictionary& userData);
  // Start-up: a fresh context when a matching client class is linked (23253), else 23254 when
  // counters show it once was.
  void checkPSMDependencyOnWorkerQueue();
  void initiateODM1ProtocolWithUserData(const fnd::Dictionary& userData);
  void initiateODMSessionStartProtocolWithTimestamp(double timestamp);
  void initiateODMGroupIDProtocol();
  void retrievePSMResponse(const std::shared_ptr<APMPSMContext>& context);
  // When the context's request waits for the network, clears the mark and sends it again.
  void retryPostponedPSMRequest();
  // A data wipe: fresh, empty contexts.
  void resetContexts();

  std::shared_ptr<APMPSMContext> ODM1Context() const { return context_; }
  std::shared_ptr<ZIVGroupContext> ODM1GroupContext() const { return groupContext_; }

  std::shared_ptr<APMPSMClientClass> PSMClientClass();
  std::shared_ptr<APMPSMClientClass> PSMGroupClientClass();
  bool isZIVPrivateSetMembershipClientLinked();

  bool shouldAllowODMFeature();
  bool ODM1ValueExists();
  bool shouldRetrievePSMResponse();
  std::optional<std::string> PSMRequestURL(const APMPSMContext& context);
  void maybeSchedulePSMRetry(const std::shared_ptr<APMPSMContext>& context);

  // ---- Values.
  void handlePSMValueOnWorkerQueue(const std::string& value, bool isSessionValue);
  void handleODMGroupIDOnWorkerQueue(const std::string& groupID);
  void incrementPSMCountOnWorkerQueueWithName(const std::string& name);
  bool isExpiredODMValueWithName(const std::string& name);
  void maybeDeleteExpiredPSMValueOnWorkerQueue();

 private:
  explicit ZIVMeasurementODM1(std::weak_ptr<ZIVAttributionEngine> engine);

  std::shared_ptr<APMPSMClient> makeClient(const std::shared_ptr<APMPSMClientClass>& cls,
                                           std::string_view selector,
                                           const APMPSMClientArguments& arguments);
  std::shared_ptr<APMPSMClient> PSMClientWithCachedInputs();
  std::shared_ptr<APMPSMGroupClient> PSMGroupClientWithCachedInputs();
  void cachePSMInputsFromClient(const std::shared_ptr<APMPSMClient>& client);
  void clearCachedPSMInputs();
  bool shouldRetrievePSMResponseWithHashedIdentifier(const std::string& identifier);
  int64_t dayIndex();
  void handleResponse(const std::shared_ptr<APMPSMContext>& context, const std::string& counterName,
                      bool isSessionValue, int64_t status, const std::optional<fnd::Data>& body,
                      const std::optional<fnd::Error>& error);

  const std::weak_ptr<ZIVAttributionEngine> engine_;
  // Worker queue only.
  std::shared_ptr<APMPSMContext> context_;
  std::shared_ptr<ZIVGroupContext> groupContext_;
};
