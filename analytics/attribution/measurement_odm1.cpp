#include "analytics/attribution/measurement_odm1.h"

#include <algorithm>
#include <cmath>

#include "analytics/attribution/attribution_engine.h"
#include "analytics/attribution/saturating_int.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/event.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "platform/vendor/utilities/network.h"

namespace {

constexpr const char* kPSMValueProperty = "_psmvalue";
constexpr const char* kSessionIDProperty = "_sid";
constexpr const char* kCounterEmail = "_psmcount";
constexpr const char* kCounterPhone = "_psmcountph";
constexpr const char* kCounterHashedEmail = "_psmcounth";
constexpr const char* kCounterHashedPhone = "_psmcounthph";
constexpr const char* kRetryAlarmName = "On-device conversion measurement timer";

// The counter user property and URL key of an input type.
struct Counter {
  const char* property;
  const char* queryKey;
};
Counter CounterForInputType(int64_t inputType) {
  switch (inputType) {
    case 2:
      return {kCounterPhone, "psm_phone_count"};
    case 3:
      return {kCounterHashedEmail, "psm_count"};
    case 4:
      return {kCounterHashedPhone, "psm_phone_count"};
    default:
      return {kCounterEmail, "psm_count"};
  }
}

std::optional<std::string> StringEntry(const fnd::Dictionary& dictionary, const char* key) {
  const fnd::Value* value = dictionary.find(fnd::Value(key));
  if (value == nullptr || !value->isString()) return std::nullopt;
  return value->asString();
}

bool IsSuccessStatus(int64_t status) { return status == 200 || status == 304 || status == 204; }

// Seconds truncated to the minute, plus one minute, as URL text.
std::string NextMinute(int64_t seconds) {
  return std::to_string(ZIVSaturatingAdd(seconds - seconds % 60, 60));
}

}  // namespace

std::shared_ptr<APMPBOnDeviceMeasurementValue> APMODMValueFromDictionary(
    const fnd::Dictionary& row) {
  const fnd::Value* setTimestamp = row.find(fnd::Value(APMODMValueSetTimestamp));
  const fnd::Value* value = row.find(fnd::Value(APMODMValue));
  if (setTimestamp == nullptr || value == nullptr || !setTimestamp->isNumber() ||
      !value->isString()) {
    return nullptr;
  }
  auto message = APMPBOnDeviceMeasurementValue::initWithMessageInfo(nullptr);
  if (!message) return nullptr;
  NANOSetInt64(message.get(), APMPBOnDeviceMeasurementValue::kSetTimestampMillis,
               ZIVSaturatingInt64FromDouble(setTimestamp->asDouble() * 1000));
  NANOSetString(message.get(), APMPBOnDeviceMeasurementValue::kValue, *value);
  return message;
}

std::string APMURLStringAfterAppendingParam(const std::string& url, const std::string& key,
                                            const std::string& value) {
  if (key.empty() || value.empty()) return url;
  return url + "&" + key + "=" + value;
}

ZIVMeasurementODM1::ZIVMeasurementODM1(std::weak_ptr<ZIVAttributionEngine> engine)
    : engine_(std::move(engine)) {}

std::shared_ptr<ZIVMeasurementODM1> ZIVMeasurementODM1::create(
    std::weak_ptr<ZIVAttributionEngine> engine) {
  return std::shared_ptr<ZIVMeasurementODM1>(new ZIVMeasurementODM1(std::move(engine)));
}

std::shared_ptr<APMPSMClientClass> ZIVMeasurementODM1::PSMClientClass() {
  auto engine = engine_.lock();
  if (!engine) return nullptr;
  for (const char* name : {kZIVPSMClientClassName, kODCPSMClientClassName}) {
    if (auto cls = std::dynamic_pointer_cast<APMPSMClientClass>(
            engine->classRegistry().classNamed(name))) {
      return cls;
    }
  }
  return nullptr;
}

std::shared_ptr<APMPSMClientClass> ZIVMeasurementODM1::PSMGroupClientClass() {
  auto engine = engine_.lock();
  if (!engine) return nullptr;
  return std::dynamic_pointer_cast<APMPSMClientClass>(
      engine->classRegistry().classNamed(kODCPSMGroupClientClassName));
}

bool ZIVMeasurementODM1::isZIVPrivateSetMembershipClientLinked() {
  auto engine = engine_.lock();
  return engine && engine->classRegistry().classNamed(kZIVPSMClientClassName) != nullptr;
}

void ZIVMeasurementODM1::resetContexts() {
  context_ = std::make_shared<APMPSMContext>();
  groupContext_ = std::make_shared<ZIVGroupContext>();
}

// ---- Start-up and gates.

void ZIVMeasurementODM1::checkPSMDependencyOnWorkerQueue() {
  auto engine = engine_.lock();
  if (!engine) return;
  if (PSMClientClass()) {
    context_ = std::make_shared<APMPSMContext>();
    engine->monitor()->logWithLevel(7, 23253,
                                    "On-device conversion measurement is ready to initiate");
    return;
  }
  auto database = engine->database();
  if (!database) return;
  bool counted = false;
  for (const char* name : {kCounterEmail, kCounterPhone}) {
    if (database->containsUserAttributeWithName(name).value_or(false)) counted = true;
  }
  if (counted) {
    engine->monitor()->logWithLevel(
        4, 23254,
        "On-device conversion measurement dependency is not currently linked. On-device "
        "conversion measurement will fail to initiate.");
  }
}

bool ZIVMeasurementODM1::shouldAllowODMFeature() {
  auto engine = engine_.lock();
  return engine && !engine->isAdStorageDenied() &&
         engine->remoteConfig()->adsOnDeviceConversionFeatureEnabled();
}

bool ZIVMeasurementODM1::ODM1ValueExists() {
  auto engine = engine_.lock();
  if (!engine) return false;
  auto database = engine->database();
  if (!database) return false;
  if (database->ODMValueWithName(ZIVDatabaseODM1Value)) return true;
  return database->containsUserAttributeWithName(kPSMValueProperty).value_or(false);
}

bool ZIVMeasurementODM1::shouldRetrievePSMResponse() {
  auto engine = engine_.lock();
  if (!engine) return false;
  ZIVMonitor& monitor = *engine->monitor();
  auto refuse = [&monitor](int64_t code, const std::string& reason) {
    monitor.logWithLevel(1, code, "Failed to initiate on-device conversion measurement. " + reason);
    return false;
  };
  if (!PSMClientClass()) {
    return refuse(23233, "On-device conversion measurement dependency not linked in.");
  }
  if (engine->isAdStorageDenied()) return refuse(23298, "Ad storage consent is denied.");
  auto settings = engine->remoteConfig();
  if (!settings->adsOnDeviceConversionFeatureEnabled()) {
    return refuse(23299, "Ads account not linked to Rivado Analytics.");
  }
  const int64_t firstOpenMillis = engine->persistedConfig()->firstOpenTimestampMilliseconds();
  const double firstOpen = firstOpenMillis != 0 ? static_cast<double>(firstOpenMillis) / 1000.0
                                                : engine->initializationTimestamp();
  if (static_cast<double>(settings->maxSignInDelayInDays()) * 86400 <
      std::fabs(engine->now() - firstOpen)) {
    return refuse(23261, "Attempted to initiate outside the first open window.");
  }
  const APMPSMContext empty;
  const APMPSMContext& context = context_ ? *context_ : empty;
  if (context.isPSMRequestInProgress) {
    return refuse(23235,
                  "Request to query data set for on-device conversion measurement already in "
                  "progress.");
  }
  if (context.PSMStartCount >= settings->maxPSMStartCount()) {
    return refuse(23236, "Exceeded limit per app run.");
  }
  if (ODM1ValueExists()) return refuse(23237, "Found existing match.");
  if (context.PSMRetryCount >= settings->maxPSMRetryCount()) {
    return refuse(23238, "Exceeded retry limit.");
  }
  return true;
}

bool ZIVMeasurementODM1::shouldRetrievePSMResponseWithHashedIdentifier(
    const std::string& identifier) {
  auto engine = engine_.lock();
  if (!engine) return false;
  if (identifier.empty()) {
    engine->monitor()->logWithLevel(
        1, 23264,
        "Failed to initiate on-device conversion measurement. Hashed identifier was empty.");
    return false;
  }
  auto cls = PSMClientClass();
  if (!cls || (!cls->instancesRespondToSelector(kPSMInitHashedEmail) &&
               !cls->instancesRespondToSelector(kPSMInitHashedPhone))) {
    engine->monitor()->logWithLevel(
        1, 23265,
        "Failed to initiate on-device conversion measurement. Linked on-device conversion "
        "measurement dependency does not support hashed identifiers.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

// ---- Clients and cached inputs.

std::shared_ptr<APMPSMClient> ZIVMeasurementODM1::makeClient(
    const std::shared_ptr<APMPSMClientClass>& cls, std::string_view selector,
    const APMPSMClientArguments& arguments) {
  if (!cls || !cls->instancesRespondToSelector(selector)) return nullptr;
  return std::dynamic_pointer_cast<APMPSMClient>(cls->instantiate(selector, arguments));
}

namespace {

// The arguments of the cached-input initialiser: the cached hashed input and type, the app ID.
APMPSMClientArguments CachedInputArguments(ZIVAttributionEngine& engine) {
  auto config = engine.persistedConfig();
  APMPSMClientArguments arguments;
  auto cached = config->PSMHashedInputData();
  if (cached && cached->isData()) arguments.hashedInput = *cached->data();
  arguments.inputType = config->PSMInputType();
  arguments.appID = engine.appID().value_or("");
  return arguments;
}

}  // namespace

std::shared_ptr<APMPSMClient> ZIVMeasurementODM1::PSMClientWithCachedInputs() {
  auto engine = engine_.lock();
  auto cls = PSMClientClass();
  if (!engine || !cls || !cls->instancesRespondToSelector(kPSMInitHashedInput)) return nullptr;
  APMPSMClientArguments arguments = CachedInputArguments(*engine);
  auto settings = engine->remoteConfig();
  switch (arguments.inputType) {
    case 1:
    case 3:
      arguments.prefixBitLength = settings->PSMSessionStartHashPrefixBitLengthEmail();
      break;
    case 2:
    case 4:
      arguments.prefixBitLength = settings->PSMSessionStartHashPrefixBitLengthPhone();
      break;
    default:
      arguments.prefixBitLength = 0;
      break;
  }
  return makeClient(cls, kPSMInitHashedInput, arguments);
}

std::shared_ptr<APMPSMGroupClient> ZIVMeasurementODM1::PSMGroupClientWithCachedInputs() {
  auto engine = engine_.lock();
  auto cls = PSMGroupClientClass();
  if (!engine || !cls || !cls->instancesRespondToSelector(kPSMInitHashedInput)) return nullptr;
  APMPSMClientArguments arguments = CachedInputArguments(*engine);
  arguments.prefixBitLength = engine->remoteConfig()->PSMGroupIDHashPrefixBitLengthEmail();
  return std::dynamic_pointer_cast<APMPSMGroupClient>(
      cls->instantiate(kPSMInitHashedInput, arguments));
}

void ZIVMeasurementODM1::cachePSMInputsFromClient(const std::shared_ptr<APMPSMClient>& client) {
  auto engine = engine_.lock();
  if (!engine || !client) return;
  auto config = engine->persistedConfig();
  config->setPSMHashedInputData(fnd::Value(client->hashedInput()));
  config->setPSMInputType(client->inputType());
  config->setPSMCurrentDay(std::nullopt);
}

void ZIVMeasurementODM1::clearCachedPSMInputs() {
  auto engine = engine_.lock();
  if (!engine) return;
  auto config = engine->persistedConfig();
  config->setPSMHashedInputData(std::nullopt);
  config->setPSMInputType(0);
  config->setPSMCurrentDay(std::nullopt);
}

// ---- Variants.

void ZIVMeasurementODM1::setUserData(const fnd::Dictionary& userData) {
  auto engine = engine_.lock();
  if (!engine) return;
  std::weak_ptr<ZIVMeasurementODM1> weakSelf = shared_from_this();
  engine->scheduler().scheduleOnWorkerQueueBlockID("ZIVMeasurement:3457", [weakSelf, userData] {
    if (auto self = weakSelf.lock()) self->setUserDataOnWorkerQueue(userData);
  });
}

void ZIVMeasurementODM1::setUserDataOnWorkerQueue(const fnd::Dictionary& userData) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("setUserDataOnWorkerQueue:");
  initiateODM1ProtocolWithUserData(userData);
}

void ZIVMeasurementODM1::initiateODM1ProtocolWithUserData(const fnd::Dictionary& userData) {
  auto engine = engine_.lock();
  if (!engine) return;
  ZIVMonitor& monitor = *engine->monitor();
  auto settings = engine->remoteConfig();
  auto cls = PSMClientClass();
  const std::string appID = engine->appID().value_or("");
  auto hasClient = [this] { return context_ && context_->PSMClient; };
  auto adopt = [this](const std::shared_ptr<APMPSMClient>& client) {
    if (context_) context_->PSMClient = client;
  };
  auto cacheOrClear = [this](const std::string& input,
                             const std::shared_ptr<APMPSMClient>& client) {
    if (input.empty()) {
      clearCachedPSMInputs();
    } else {
      cachePSMInputsFromClient(client);
    }
  };

  // The prefixed initialiser when the class answers it, else the two-argument one.
  auto plainClient = [&](const std::string& text, const char* prefixed, const char* plain,
                         int32_t prefixBits) {
    APMPSMClientArguments arguments{text, {}, 0, appID, std::nullopt};
    if (cls && cls->instancesRespondToSelector(prefixed)) {
      arguments.prefixBitLength = static_cast<uint64_t>(prefixBits);
      return makeClient(cls, prefixed, arguments);
    }
    return makeClient(cls, plain, arguments);
  };

  if (auto email = StringEntry(userData, ZIVUserDataFieldEmailAddress)) {
    std::shared_ptr<APMPSMClient> client = plainClient(*email, kPSMInitEmailPrefix, kPSMInitEmail,
                                                       settings->hashPrefixBitLengthEmail());
    cacheOrClear(*email, client);
    bool passes = false;
    if (email->empty()) {
      monitor.logWithLevel(
          1, 23234,
          "Failed to initiate on-device conversion measurement. Email address was empty.");
    } else {
      passes = shouldRetrievePSMResponse();
    }
    if (passes) {
      adopt(client);
    } else if (ODM1ValueExists()) {
      initiateODMGroupIDProtocol();
    }
  }
  if (!hasClient()) {
    if (auto phone = StringEntry(userData, ZIVUserDataFieldPhoneNumber)) {
      std::shared_ptr<APMPSMClient> client = plainClient(*phone, kPSMInitPhonePrefix, kPSMInitPhone,
                                                         settings->hashPrefixBitLengthPhone());
      cacheOrClear(*phone, client);
      bool passes = false;
      if (phone->empty()) {
        monitor.logWithLevel(
            1, 23239,
            "Failed to initiate on-device conversion measurement. Phone number was empty.");
      } else if (!cls || !cls->instancesRespondToSelector(kPSMInitPhone)) {
        monitor.logWithLevel(
            1, 23262,
            "Failed to initiate on-device conversion measurement. Linked on-device "
            "conversion measurement dependency does not support phone numbers.");
      } else {
        passes = shouldRetrievePSMResponse();
      }
      if (passes) adopt(client);
    }
  }
  struct Hashed {
    const char* key;
    const char* selector;
    bool email;
  };
  for (const Hashed& hashed :
       {Hashed{ZIVUserDataFieldHashedEmailAddress, kPSMInitHashedEmail, true},
        Hashed{ZIVUserDataFieldHashedPhoneNumber, kPSMInitHashedPhone, false}}) {
    if (hasClient()) break;
    auto identifier = StringEntry(userData, hashed.key);
    if (!identifier) continue;
    APMPSMClientArguments arguments{*identifier, {}, 0, appID, std::nullopt};
    arguments.prefixBitLength =
        hashed.email ? settings->hashPrefixBitLengthEmail() : settings->hashPrefixBitLengthPhone();
    std::shared_ptr<APMPSMClient> client = makeClient(cls, hashed.selector, arguments);
    cacheOrClear(*identifier, client);
    if (shouldRetrievePSMResponseWithHashedIdentifier(*identifier)) {
      adopt(client);
    } else if (hashed.email && ODM1ValueExists()) {
      initiateODMGroupIDProtocol();
    }
  }
  if (!hasClient()) return;
  monitor.logWithLevel(7, 23225, "Initiated on-device conversion measurement");
  context_->PSMRetryCount = 0;
  context_->PSMStartCount += 1;
  context_->sessionStartTimestamp = 0;
  retrievePSMResponse(context_);
}

void ZIVMeasurementODM1::initiateODMSessionStartProtocolWithTimestamp(double timestamp) {
  auto engine = engine_.lock();
  if (!engine || !shouldAllowODMFeature()) return;
  ZIVMonitor& monitor = *engine->monitor();
  auto cls = PSMClientClass();
  if (!cls || !cls->instancesRespondToSelector(kPSMInitHashedInput)) {
    monitor.logWithLevel(1, 23283,
                         "Failed to initiate on-device conversion measurement for re-engagement "
                         "campaign. Linked on-device conversion measurement dependency does not "
                         "support re-engagement campaigns.");
    return;
  }
  auto config = engine->persistedConfig();
  auto cached = config->PSMHashedInputData();
  if (!cached || !cached->isData() || cached->data()->empty() || config->PSMInputType() == 0) {
    monitor.logWithLevel(4, 23284,
                         "Failed to initiate on-device conversion measurement for re-engagement "
                         "campaign. Cached first party data not found.");
    return;
  }
  if (!context_) context_ = std::make_shared<APMPSMContext>();
  context_->PSMClient = PSMClientWithCachedInputs();
  if (!context_->PSMClient) return;
  monitor.logWithLevel(7, 23285,
                       "Initiated on-device conversion measurement for re-engagement campaign");
  context_->PSMRetryCount = 0;
  context_->PSMStartCount += 1;
  context_->sessionStartTimestamp = timestamp;
  retrievePSMResponse(context_);
}

int64_t ZIVMeasurementODM1::dayIndex() {
  auto engine = engine_.lock();
  if (!engine) return 0;
  const double offset = engine->persistedConfig()->midnightOffset();
  return ZIVSaturatingInt64FromDouble(std::floor((engine->now() - offset) / 86400));
}

void ZIVMeasurementODM1::initiateODMGroupIDProtocol() {
  auto engine = engine_.lock();
  if (!engine) return;
  ZIVMonitor& monitor = *engine->monitor();
  const std::string prefix =
      "Failed to initiate on-device conversion measurement for retrieving aggregate first-party "
      "data. ";
  if (engine->isAdStorageDenied()) {
    monitor.logWithLevel(4, 23307, prefix + "Ad storage consent is denied.");
    return;
  }
  if (!engine->remoteConfig()->adsOnDeviceConversionFeatureEnabled()) {
    monitor.logWithLevel(4, 23308, prefix + "Ads account not linked to Rivado Analytics.");
    return;
  }
  auto groupClass = PSMGroupClientClass();
  if (!groupClass || !groupClass->instancesRespondToSelector(kPSMInitHashedInput)) {
    monitor.logWithLevel(
        1, 23309,
        prefix +
            "Linked on-device conversion measurement dependency does not support this feature.");
    return;
  }
  auto config = engine->persistedConfig();
  auto cached = config->PSMHashedInputData();
  const int64_t inputType = config->PSMInputType();
  if (!cached || !cached->isData() || cached->data()->empty() || inputType == 0) {
    monitor.logWithLevel(5, 23310, prefix + "Cached first-party data not found.");
    return;
  }
  if (inputType == 2 || inputType == 4) {
    monitor.logWithLevel(5, 23311, prefix + "Phone numbers not supported.");
    return;
  }
  auto currentDay = config->PSMCurrentDay();
  if (currentDay && currentDay->isNumber() && currentDay->asInt() == dayIndex()) {
    monitor.logWithLevel(5, 23312, prefix + "Reached daily cap.");
    return;
  }
  config->setPSMCurrentDay(std::nullopt);
  if (!groupContext_) groupContext_ = std::make_shared<ZIVGroupContext>();
  if (!groupContext_->network) groupContext_->network = engine->makeNetwork();
  groupContext_->ODCGroupClient = PSMGroupClientWithCachedInputs();
  if (!groupContext_->ODCGroupClient) return;
  groupContext_->isPSMRequestInProgress = true;
  std::weak_ptr<ZIVMeasurementODM1> weakSelf = shared_from_this();
  std::weak_ptr<ZIVAttributionEngine> weakEngine = engine_;
  auto groupContext = groupContext_;
  groupContext_->ODCGroupClient->fetchGroupIDWithNetwork(
      groupContext_->network,
      [weakSelf, weakEngine, groupContext](const std::optional<std::string>& groupID,
                                           const std::optional<fnd::Error>& error) {
        auto engine = weakEngine.lock();
        if (!engine) return;
        // The client may answer on any thread: the state is touched on the worker queue only.
        engine->scheduler().scheduleOnWorkerQueueBlockID(
            "ZIVMeasurement:610", [weakSelf, weakEngine, groupContext, groupID, error] {
              auto self = weakSelf.lock();
              auto engine = weakEngine.lock();
              if (!self || !engine) return;
              groupContext->isPSMRequestInProgress = false;
              ZIVMonitor& monitor = *engine->monitor();
              if (error) {
                monitor.logWithLevel(1, 23313,
                                     "Failed to query aggregate first-party data set for on-device "
                                     "conversion measurement. Will retry later. Error",
                                     ZIVErrorContext(*error));
                return;
              }
              engine->persistedConfig()->setPSMCurrentDay(fnd::Value::Int64(self->dayIndex()));
              groupContext->ODCGroupClient = nullptr;
              if (groupID && !groupID->empty()) {
                monitor.logWithLevel(7, 23315,
                                     "On-device conversion measurement for aggregate first-party "
                                     "data found a match");
                self->handleODMGroupIDOnWorkerQueue(*groupID);
              } else {
                monitor.logWithLevel(7, 23314,
                                     "On-device conversion measurement for aggregate first-party "
                                     "data did not find a match");
              }
            });
      });
}

// ---- Sending.

std::optional<std::string> ZIVMeasurementODM1::PSMRequestURL(const APMPSMContext& context) {
  auto engine = engine_.lock();
  if (!engine || !context.PSMClient) return std::nullopt;
  APMPSMClient& client = *context.PSMClient;
  std::optional<std::string> base =
      client.PSMRequestURLWithRetryCount(static_cast<uint64_t>(std::max(0, context.PSMRetryCount)));
  if (!base) return std::nullopt;
  std::string url = *base;
  auto database = engine->database();
  const Counter counter = CounterForInputType(client.inputType());
  int64_t count = 0;
  if (database) {
    if (auto attribute = database->userAttributeWithName(counter.property)) {
      count = attribute->value() ? attribute->value()->int64Value() : 0;
    }
  }
  url = APMURLStringAfterAppendingParam(url, counter.queryKey, std::to_string(count));
  if (context.sessionStartTimestamp <= 0) {
    const int64_t firstOpenSeconds =
        engine->persistedConfig()->firstOpenTimestampMilliseconds() / 1000;
    if (firstOpenSeconds > 0) {
      url = APMURLStringAfterAppendingParam(url, "timestamp_first_open",
                                            NextMinute(firstOpenSeconds));
    }
  }
  auto monitor = engine->monitor();
  if ((monitor->isDebugModeEnabled() || monitor->isVerboseLoggingEnabled()) &&
      !engine->isFromAppStore() && client.respondsToSelector("debugKey")) {
    auto arguments = engine->launchArguments();
    if (std::find(arguments.begin(), arguments.end(), ZIVDebugPSMApplicationArgument) !=
        arguments.end()) {
      url = APMURLStringAfterAppendingParam(url, ZIVDebugPSMKeyURLParameter, client.debugKey());
    }
  }
  if (context.sessionStartTimestamp > 0 && database) {
    if (auto sessionID = database->userAttributeWithName(kSessionIDProperty)) {
      if (sessionID->value() && sessionID->value()->isInt64()) {
        url = APMURLStringAfterAppendingParam(url, "tss",
                                              NextMinute(sessionID->value()->int64Value()));
      }
    }
  }
  return url;
}

void ZIVMeasurementODM1::retrievePSMResponse(const std::shared_ptr<APMPSMContext>& context) {
  auto engine = engine_.lock();
  if (!engine || !context || !context->PSMClient) return;
  ZIVMonitor& monitor = *engine->monitor();
  const fnd::Data payload = context->PSMClient->payloadWithPSMRequest();
  if (payload.empty()) {
    monitor.logWithLevel(
        1, 23293, "Payload to query data set for on-device conversion measurement is invalid");
    return;
  }
  std::optional<std::string> url = PSMRequestURL(*context);
  if (!url) {
    monitor.logWithLevel(1, 23227,
                         "URL to query data set for on-device conversion measurement is invalid");
    return;
  }
  if (!context->network) context->network = engine->makeNetwork();
  if (!context->network) return;
  if (engine->hasUploadInProgress(*context->network)) {
    monitor.logWithLevel(7, 23232,
                         "Network operation is pending. Request to query data set for on-device "
                         "conversion measurement postponed.");
    context->isPSMRequestPostponed = true;
    return;
  }
  const std::string counterName = CounterForInputType(context->PSMClient->inputType()).property;
  if (context->PSMRetryAlarm) context->PSMRetryAlarm->cancel();
  context->isPSMRequestPostponed = false;
  context->isPSMRequestInProgress = true;
  engine->setIsNetworkRequestPending(true);
  engine->setNetworkTimeout(engine->remoteConfig()->networkTimeout());
  const bool isSessionValue = context->sessionStartTimestamp > 0;
  std::weak_ptr<ZIVMeasurementODM1> weakSelf = shared_from_this();
  context->network->postURL(
      *url, payload, engine->scheduler().workerQueue(), engine->shouldUseBackgroundSession(),
      [weakSelf, context, counterName, isSessionValue](
          const std::optional<ZUZOzuriviHTTPResponse>& response,
          const std::optional<fnd::Data>& data, const std::optional<fnd::Error>& error) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->handleResponse(context, counterName, isSessionValue,
                             response ? response->statusCode : 0, data, error);
      });
}

void ZIVMeasurementODM1::handleResponse(const std::shared_ptr<APMPSMContext>& context,
                                        const std::string& counterName, bool isSessionValue,
                                        int64_t status, const std::optional<fnd::Data>& body,
                                        const std::optional<fnd::Error>& error) {
  auto engine = engine_.lock();
  if (!engine) return;
  ZIVMonitor& monitor = *engine->monitor();
  engine->setIsNetworkRequestPending(false);
  if (context == context_) incrementPSMCountOnWorkerQueueWithName(counterName);
  if (error || !IsSuccessStatus(status)) {
    monitor.logWithLevel(
        1, 23228,
        "Failed to query data set for on-device conversion measurement. Will retry "
        "later. Code, error",
        fnd::Value::Int64(status), error ? ZIVErrorContext(*error) : fnd::Value());
    context->isPSMRequestInProgress = false;
    maybeSchedulePSMRetry(context);
    engine->updateSchedule();
    return;
  }
  std::optional<std::string> value;
  if (context->PSMClient)
    value = context->PSMClient->parsedPSMValueFromResponse(body.value_or(fnd::Data()));
  if (value && !value->empty()) {
    monitor.logWithLevel(7, 23229, "On-device conversion measurement found a match");
    handlePSMValueOnWorkerQueue(*value, isSessionValue);
  } else {
    monitor.logWithLevel(7, 23230,
                         "On-device conversion measurement did not find a match. Will try again "
                         "given new user data.");
  }
  context->isPSMRequestInProgress = false;
  context->PSMClient = nullptr;
  engine->updateSchedule();
  if (engine->remoteConfig()->PSMGroupIDEnabled()) initiateODMGroupIDProtocol();
}

void ZIVMeasurementODM1::maybeSchedulePSMRetry(const std::shared_ptr<APMPSMContext>& context) {
  auto engine = engine_.lock();
  if (!engine || !context) return;
  auto settings = engine->remoteConfig();
  const int shift = static_cast<int>(static_cast<uint32_t>(context->PSMRetryCount) % 32);
  const double delay = settings->PSMRetryInterval() * std::ldexp(1.0, shift);
  if (context->PSMRetryCount < INT32_MAX) context->PSMRetryCount += 1;
  if (context->PSMRetryCount < settings->maxPSMRetryCount()) {
    if (!context->PSMRetryAlarm) {
      context->PSMRetryAlarm = std::make_shared<ZIVAlarm>(
          engine->scheduler().workerQueue(), kRetryAlarmName, engine->monitor(), engine->clock());
    }
    std::weak_ptr<ZIVMeasurementODM1> weakSelf = shared_from_this();
    std::weak_ptr<APMPSMContext> weakContext = context;
    context->PSMRetryAlarm->runAfterDelay(delay, [weakSelf, weakContext] {
      auto self = weakSelf.lock();
      auto context = weakContext.lock();
      if (self && context) self->retrievePSMResponse(context);
    });
  } else {
    engine->monitor()->logWithLevel(
        4, 23231, "On-device conversion measurement failed to find a match. Reached retry limit.");
  }
}

void ZIVMeasurementODM1::retryPostponedPSMRequest() {
  if (context_ && context_->isPSMRequestPostponed) {
    context_->isPSMRequestPostponed = false;
    retrievePSMResponse(context_);
  }
}

// ---- Values.

void ZIVMeasurementODM1::handlePSMValueOnWorkerQueue(const std::string& value,
                                                     bool isSessionValue) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("handlePSMValueOnWorkerQueue");
  auto engine = engine_.lock();
  if (!engine || value.empty()) return;
  auto database = engine->database();
  if (!database) return;
  ZIVMonitor& monitor = *engine->monitor();
  const double now = engine->now();
  fnd::Error error;
  if (isSessionValue) {
    auto stored = database->ODMValueWithName(ZIVDatabaseODM1SessionValue);
    if (stored) {
      const fnd::Value* storedValue = stored->find(fnd::Value(APMODMValue));
      if (storedValue && storedValue->isString() && storedValue->asString() == value) return;
    }
    if (!database->updateODMValue(value, ZIVDatabaseODM1SessionValue, now, &error) &&
        !error.domain().empty()) {
      monitor.logWithLevel(1, 23297, "Failed to update ODM session value. Error",
                           ZIVErrorContext(error));
    }
    return;
  }
  if (!database->updateODMValue(value, ZIVDatabaseODM1Value, now, &error) &&
      !error.domain().empty()) {
    monitor.logWithLevel(1, 23286, "Failed to update ODM value. Error", ZIVErrorContext(error));
  }
  if (auto attribute = ZIVUserAttribute::initWithOrigin("auto", kPSMValueProperty,
                                                        ZIVValue::initWithString(value), now)) {
    engine->setUserAttributeOnWorkerQueue(attribute);
  }
  fnd::Dictionary parameters = engine->paramsWithAddedFirstOpenConsentedEventParams(
      fnd::Dictionary{{"_fxs", ZIVParameterFirstOpenConsentedODM1Source}});
  if (auto event = ZIVEvent::initWithOrigin("auto", false, "_fx", now, 0, parameters)) {
    event->setRealtime(true);
    engine->writeEventOnWorkerQueue(event);
  }
}

void ZIVMeasurementODM1::handleODMGroupIDOnWorkerQueue(const std::string& groupID) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("handleODMGroupIDOnWorkerQueue");
  auto engine = engine_.lock();
  if (!engine || groupID.empty()) return;
  auto database = engine->database();
  if (!database) return;
  if (auto stored = database->ODMValueWithName(ZIVDatabaseODM1GroupID)) {
    const fnd::Value* storedValue = stored->find(fnd::Value(APMODMValue));
    if (storedValue && storedValue->isString() && storedValue->asString() == groupID) return;
  }
  fnd::Error error;
  if (!database->updateODMValue(groupID, ZIVDatabaseODM1GroupID, engine->now(), &error) &&
      !error.domain().empty()) {
    engine->monitor()->logWithLevel(2, 23300, "Failed to update ODM group ID. Error",
                                    ZIVErrorContext(error));
  }
}

void ZIVMeasurementODM1::incrementPSMCountOnWorkerQueueWithName(const std::string& name) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("incrementPSMCountOnWorkerQueue");
  auto engine = engine_.lock();
  if (!engine) return;
  auto database = engine->database();
  if (!database) return;
  int64_t count = 0;
  if (auto attribute = database->userAttributeWithName(name)) {
    count = attribute->value() ? attribute->value()->int64Value() : 0;
  }
  if (auto attribute = ZIVUserAttribute::initWithOrigin(
          "auto", name, ZIVValue::initWithInt64(ZIVSaturatingAdd(count, 1)), engine->now())) {
    engine->setUserAttributeOnWorkerQueue(attribute);
  }
}

bool ZIVMeasurementODM1::isExpiredODMValueWithName(const std::string& name) {
  auto engine = engine_.lock();
  if (!engine) return false;
  auto database = engine->database();
  if (!database) return false;
  auto row = database->ODMValueWithName(name);
  if (!row) return false;
  const fnd::Value* setTimestamp = row->find(fnd::Value(APMODMValueSetTimestamp));
  if (setTimestamp == nullptr || !setTimestamp->isNumber()) return false;
  return std::fabs(engine->now() - setTimestamp->asDouble()) >= APMPSMValueExpirationTimeInterval;
}

void ZIVMeasurementODM1::maybeDeleteExpiredPSMValueOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("maybeDeleteExpiredPSMValueOnWorkerQueue");
  auto engine = engine_.lock();
  if (!engine) return;
  auto database = engine->database();
  if (!database) return;
  struct Row {
    const char* name;
    int64_t code;
    const char* message;
  };
  for (const Row& row :
       {Row{ZIVDatabaseODM1Value, 23289, "Failed to delete ODM value. Error"},
        Row{ZIVDatabaseODM1SessionValue, 23296, "Failed to delete ODM session value. Error"},
        Row{ZIVDatabaseODM1GroupID, 23301, "Failed to delete ODM group ID. Error"}}) {
    if (!isExpiredODMValueWithName(row.name)) continue;
    fnd::Error error;
    if (!database->deleteODMValueWithName(row.name, &error) && !error.domain().empty()) {
      engine->monitor()->logWithLevel(4, row.code, row.message, ZIVErrorContext(error));
    }
  }
  auto property = database->userAttributeWithName(kPSMValueProperty);
  if (!property) return;
  if (std::fabs(engine->now() - property->lastSetTimestamp()) >=
      APMPSMValueExpirationTimeInterval) {
    engine->removeUserAttributeOnWorkerQueue(kPSMValueProperty);
    for (const char* counter :
         {kCounterEmail, kCounterPhone, kCounterHashedEmail, kCounterHashedPhone}) {
      if (database->containsUserAttributeWithName(counter).value_or(false)) {
        engine->removeUserAttributeOnWorkerQueue(counter);
      }
    }
    return;
  }
  if (!database->ODMValueWithName(ZIVDatabaseODM1Value)) {
    std::optional<std::string> text =
        property->value() ? property->value()->stringValue() : std::nullopt;
    if (!text && property->value()) text = property->value()->description();
    if (text) {
      // Errors ignored: the property stays the source until the next start.
      (void)database->updateODMValue(*text, ZIVDatabaseODM1Value, property->lastSetTimestamp());
    }
  }
}
