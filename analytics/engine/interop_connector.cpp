#include "analytics/engine/interop_connector.h"

#include <utility>

#include "analytics/audiences/conditional_user_property_controller.h"
#include "analytics/engine/azodavevu.h"
#include "analytics/engine/connector_utils.h"
#include "analytics/engine/event.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/value.h"
#include "platform/dispatch/semaphore.h"
#include "platform/vendor/core/davodu.h"
#include "platform/vendor/core/options.h"

namespace {

constexpr const char* kConnectorQueueLabel = "com.rivado.analytics.connector";
// How long maxUserProperties() waits for the engine's answer, in seconds.
constexpr double kMaxUserPropertiesTimeout = 10;

std::mutex& ControlMutex() {
  static std::mutex& mu = *new std::mutex();
  return mu;
}

std::shared_ptr<DEVConditionalUserPropertyControl>& InstalledControl() {
  static auto& control = *new std::shared_ptr<DEVConditionalUserPropertyControl>();
  return control;
}

bool IsNumber(const fnd::Value& value) { return value.isNumber() || value.isBool(); }

// The process's conditional user property controller.
class SharedControllerControl : public DEVConditionalUserPropertyControl {
 public:
  void setConditionalUserProperty(const std::shared_ptr<ZIVConditionalUserProperty>& p,
                                  const std::string& name) override {
    ZIVConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(p, name);
  }
  void clearConditionalUserPropertyWithClearEvent(const std::shared_ptr<ZIVEvent>& clearEvent,
                                                  const std::string& name) override {
    ZIVConditionalUserPropertyController::sharedInstance()
        ->clearConditionalUserPropertyWithClearEvent(clearEvent, fnd::Value(name));
  }
  std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
  conditionalUserPropertiesWithNamePrefix(const fnd::Value& namePrefix,
                                          const fnd::Value& origin) override {
    return ZIVConditionalUserPropertyController::sharedInstance()
        ->conditionalUserPropertiesWithNamePrefix(namePrefix, origin);
  }
};

}  // namespace

void DEVAzodavevuConnectorSetConditionalUserPropertyControl(
    std::shared_ptr<DEVConditionalUserPropertyControl> control) {
  std::lock_guard<std::mutex> lock(ControlMutex());
  InstalledControl() = std::move(control);
}

void DEVAzodavevuConnector::load() {
  // The facade's load time is the time the library is loaded into the process.
  ZIVAnalytics::sharedInstance();
  for (const auto& [name, version] : DAVOdu::registeredLibraries()) {
    if (name == kDEVAzodavevuLibraryName) return;
  }
  DAVOdu::registerInternalLibrary(
      kDEVAzodavevuLibraryName, kDEVAzodavevuLibraryVersion, [](const DEVOptions& options) {
        DEVAzodavevu::sharedInstance().startWithConfiguration(fnd::Value(), options);
      });
}

std::vector<DEVInteropComponent> DEVAzodavevuConnector::componentsToRegister() {
  return {DEVInteropComponent{kDEVAzodavevuInteropProtocol,
                              [] { return std::shared_ptr<DEVAzodavevuInterop>(create()); }}};
}

std::shared_ptr<DEVAzodavevuConnector> DEVAzodavevuConnector::create(Environment environment) {
  return std::shared_ptr<DEVAzodavevuConnector>(new DEVAzodavevuConnector(std::move(environment)));
}

DEVAzodavevuConnector::DEVAzodavevuConnector(Environment environment)
    : analytics_(environment.analytics ? *environment.analytics : DEVAzodavevu::sharedInstance()),
      conditionalUserProperties_(std::move(environment.conditionalUserProperties)),
      monitor_(environment.monitor ? std::move(environment.monitor) : ZIVMeasurement::monitor()),
      clock_(environment.clock ? std::move(environment.clock) : dispatch::Clock::current()),
      listenerQueue_(environment.listenerQueue ? std::move(environment.listenerQueue)
                                               : dispatch::Queue::main()),
      queue_(dispatch::Queue::create(kConnectorQueueLabel)) {}

DEVAzodavevuConnector::~DEVAzodavevuConnector() {
  ZIVLogEventListenerToken token;
  {
    std::lock_guard<std::mutex> lock(mu_);
    token = logEventListener_;
  }
  // The facade's listener holds the connector weakly; take it out so it stops being asked.
  if (token) analytics_.removeLogEventListener(token);
}

std::shared_ptr<DEVConditionalUserPropertyControl> DEVAzodavevuConnector::control() const {
  if (conditionalUserProperties_) return conditionalUserProperties_;
  {
    std::lock_guard<std::mutex> lock(ControlMutex());
    if (InstalledControl()) return InstalledControl();
  }
  static const auto& shared = *new std::shared_ptr<DEVConditionalUserPropertyControl>(
      std::make_shared<SharedControllerControl>());
  return shared;
}

// ---- Events and user properties.

void DEVAzodavevuConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const std::optional<fnd::Dictionary>& parameters) {
  fnd::Dictionary copied = parameters.value_or(fnd::Dictionary());
  if (!DEVConnectorUtils::isOriginAllowed(origin) ||
      !DEVConnectorUtils::shouldLogEventWithName(name, copied)) {
    return;
  }
  if (name == "_cmp" &&
      (origin == "fcm" || origin == "fdl" || origin == "fiam" || origin == "frc")) {
    copied.set("_cis", origin + "_integration");
  }
  if (name == "_ae" && origin == "clx") copied.set("_r", fnd::Value::Int64(1));
  analytics_.logInternalEventWithOrigin(origin, name, copied);
}

void DEVAzodavevuConnector::setUserPropertyWithOrigin(const std::string& origin,
                                                      const std::string& name,
                                                      const fnd::Value& value) {
  if (!DEVConnectorUtils::isOriginAllowed(origin) ||
      !DEVConnectorUtils::isUserPropertyAllowed(name, origin)) {
    return;
  }
  analytics_.setInternalUserProperty(
      value.isNull() ? std::nullopt : std::optional<fnd::Value>(value), name, origin);
}

void DEVAzodavevuConnector::getUserPropertiesWithCallback(
    std::function<void(const fnd::Dictionary&)> callback) {
  analytics_.userPropertiesIncludingInternal(
      true, queue_, [callback = std::move(callback)](const fnd::Dictionary& properties) {
        fnd::Dictionary allowed;
        for (const auto& [name, value] : properties) {
          if (name.isString() &&
              DEVConnectorUtils::isUserPropertyAllowedForQuery(name.asString())) {
            allowed.set(name, value);
          }
        }
        if (callback) callback(allowed);
      });
}

int64_t DEVAzodavevuConnector::maxUserProperties(const std::string& origin) {
  // Shared with the answer, which may come after the wait has given up.
  struct Answer {
    explicit Answer(std::shared_ptr<dispatch::Clock> clock) : arrived(0, std::move(clock)) {}
    dispatch::Semaphore arrived;
    std::atomic<int64_t> value{0};
  };
  auto answer = std::make_shared<Answer>(clock_);
  analytics_.maxUserPropertiesForOrigin(origin, queue_, [answer](int64_t value) {
    answer->value.store(value);
    answer->arrived.signal();
  });
  if (answer->arrived.wait(kMaxUserPropertiesTimeout) == dispatch::WaitResult::kTimedOut) return 0;
  return answer->value.load();
}

// ---- Conditional user properties.

void DEVAzodavevuConnector::setConditionalUserProperty(const fnd::Dictionary& property) {
  if (property.empty()) return;
  std::shared_ptr<ZIVConditionalUserProperty> record =
      conditionalUserPropertyFromDictionary(property);
  std::shared_ptr<DEVConditionalUserPropertyControl> c = control();
  if (!c) {
    monitor_->logWithLevel(2, 25046, "Conditional user properties are not available. Name",
                           fnd::Value(record->name));
    return;
  }
  c->setConditionalUserProperty(record, record->name);
}

void DEVAzodavevuConnector::clearConditionalUserProperty(
    const std::string& /*userPropertyName*/, const std::string& origin,
    const std::string& clearEventName, const fnd::Dictionary& clearEventParameters) {
  // The property cleared is named by the first key of the clear event's parameters.
  if (clearEventParameters.empty()) return;
  const auto& [key, value] = *clearEventParameters.begin();
  if (!key.isString() || value.isNull()) return;
  std::shared_ptr<DEVConditionalUserPropertyControl> c = control();
  if (!c) {
    monitor_->logWithLevel(2, 25046, "Conditional user properties are not available. Name", key);
    return;
  }
  fnd::Dictionary params;
  params.set(key, value);
  c->clearConditionalUserPropertyWithClearEvent(eventWithOrigin(origin, clearEventName, params),
                                                key.asString());
}

std::vector<fnd::Dictionary> DEVAzodavevuConnector::conditionalUserProperties(
    const std::string& origin, const std::string& propertyNamePrefix) {
  std::vector<fnd::Dictionary> out;
  std::shared_ptr<DEVConditionalUserPropertyControl> c = control();
  if (!c) return out;
  auto properties = c->conditionalUserPropertiesWithNamePrefix(fnd::Value(propertyNamePrefix),
                                                               fnd::Value(origin));
  if (!properties) return out;
  for (const auto& property : *properties) {
    if (!property || property->name.empty() || !property->value || !property->value->isString()) {
      continue;
    }
    out.push_back(
        fnd::Dictionary{{"name", property->name}, {"value", *property->value->stringValue()}});
  }
  return out;
}

std::shared_ptr<ZIVConditionalUserProperty>
DEVAzodavevuConnector::conditionalUserPropertyFromDictionary(
    const fnd::Dictionary& dictionary) const {
  auto record = std::make_shared<ZIVConditionalUserProperty>();
  using Setter = bool (*)(const DEVAzodavevuConnector& self, ZIVConditionalUserProperty& record,
                          const fnd::Value& value);
  struct Field {
    const char* key;
    Setter set;  // False when the value is of a kind the field cannot take.
  };
  static const Field kFields[] = {
      {"name",
       [](const DEVAzodavevuConnector&, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!v.isString()) return false;
         r.name = v.asString();
         return true;
       }},
      {"origin",
       [](const DEVAzodavevuConnector&, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!v.isString()) return false;
         r.origin = v.asString();
         return true;
       }},
      {"value",
       [](const DEVAzodavevuConnector&, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (v.isString()) {
           r.value = ZIVValue::initWithString(v.asString());
         } else if (auto typed = v.recordAs<ZIVValue>()) {
           r.value = typed;
         } else {
           return false;
         }
         return true;
       }},
      {"triggerEventName",
       [](const DEVAzodavevuConnector&, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!v.isString()) return false;
         r.triggerEventName = v.asString();
         return true;
       }},
      {"triggerTimeout",
       [](const DEVAzodavevuConnector&, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!IsNumber(v)) return false;
         r.triggerTimeout = v.asDouble();
         return true;
       }},
      {"timeToLive",
       [](const DEVAzodavevuConnector&, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!IsNumber(v)) return false;
         r.timeToLive = v.asDouble();
         return true;
       }},
      {"creationTimestamp",
       [](const DEVAzodavevuConnector&, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!IsNumber(v)) return false;
         r.creationTimestamp = v.asDouble();
         return true;
       }},
      {"triggeredTimestamp",
       [](const DEVAzodavevuConnector&, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!IsNumber(v)) return false;
         r.triggeredTimestamp = v.asDouble();
         return true;
       }},
      {"active",
       [](const DEVAzodavevuConnector&, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!IsNumber(v)) return false;
         r.active = v.asBool();
         return true;
       }},
      {"triggeredEvent",
       [](const DEVAzodavevuConnector& self, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!v.isDictionary()) return false;
         r.triggeredEvent = self.eventFromDictionary(*v.dictionary());
         return r.triggeredEvent != nullptr;
       }},
      {"timedOutEvent",
       [](const DEVAzodavevuConnector& self, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!v.isDictionary()) return false;
         r.timedOutEvent = self.eventFromDictionary(*v.dictionary());
         return r.timedOutEvent != nullptr;
       }},
      {"expiredEvent",
       [](const DEVAzodavevuConnector& self, ZIVConditionalUserProperty& r, const fnd::Value& v) {
         if (!v.isDictionary()) return false;
         r.expiredEvent = self.eventFromDictionary(*v.dictionary());
         return r.expiredEvent != nullptr;
       }},
  };
  for (const auto& [key, value] : dictionary) {
    const Field* field = nullptr;
    if (key.isString()) {
      for (const Field& f : kFields) {
        if (key.asString() == f.key) field = &f;
      }
    }
    // Another library's dictionary must never take the process down: what cannot be set is left
    // out and logged.
    if (!field || !field->set(*this, *record, value)) {
      monitor_->logWithLevel(
          2, 25045, "Ignoring invalid conditional user property field. Key, value", key, value);
    }
  }
  return record;
}

std::shared_ptr<ZIVEvent> DEVAzodavevuConnector::eventFromDictionary(
    const fnd::Dictionary& dictionary) const {
  fnd::Value timestamp = dictionary.get(fnd::Value("timestamp"));
  fnd::Value parameters = dictionary.get(fnd::Value("parameters"));
  return ZIVEvent::initWithOrigin(
      dictionary.get(fnd::Value("origin")).asString(), false,
      dictionary.get(fnd::Value("name")).asString(),
      IsNumber(timestamp) ? timestamp.asDouble() : now(), 0,
      parameters.isDictionary() ? *parameters.dictionary() : fnd::Dictionary());
}

std::shared_ptr<ZIVEvent> DEVAzodavevuConnector::eventWithOrigin(
    const std::string& origin, const std::string& eventName, const fnd::Dictionary& params) const {
  std::shared_ptr<ZIVEvent> event =
      ZIVEvent::initWithOrigin(origin, false, eventName, now(), 0, params);
  return event ? event->copy() : nullptr;
}

// ---- Listeners.

void DEVAzodavevuConnector::registerAnalyticsListener(
    std::shared_ptr<DEVAzodavevuInteropListener> listener, const std::string& origin) {
  if (!listener || !DEVConnectorUtils::isListenerOriginAllowed(origin)) return;
  std::unique_lock<std::mutex> lock(mu_);
  listeners_[origin] = std::move(listener);
  if (logEventListener_) return;
  lock.unlock();
  std::weak_ptr<DEVAzodavevuConnector> weak = weak_from_this();
  ZIVLogEventListenerToken token = analytics_.addLogEventListener([weak](const ZIVEvent& event) {
    if (auto self = weak.lock()) self->handleLoggedEvent(event);
  });
  lock.lock();
  if (logEventListener_ || listeners_.empty()) {
    // Another thread installed one, or every listener went meanwhile: this one is not needed.
    lock.unlock();
    analytics_.removeLogEventListener(token);
    return;
  }
  logEventListener_ = token;
}

void DEVAzodavevuConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
  ZIVLogEventListenerToken token = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    listeners_.erase(origin);
    if (!listeners_.empty()) return;
    token = logEventListener_;
    logEventListener_ = 0;
  }
  if (token) analytics_.removeLogEventListener(token);
}

bool DEVAzodavevuConnector::hasLogEventListener() const {
  std::lock_guard<std::mutex> lock(mu_);
  return logEventListener_ != 0;
}

void DEVAzodavevuConnector::handleLoggedEvent(const ZIVEvent& event) {
  if (!DEVConnectorUtils::isEventNameAllowedForListeners(event.name())) return;
  const bool appOrigin = DEVConnectorUtils::isAppOrigin(event.origin());
  std::shared_ptr<DEVAzodavevuInteropListener> target;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = listeners_.find(event.origin());
    if (it != listeners_.end()) {
      target = it->second;
    } else if (!appOrigin) {
      if (!DEVConnectorUtils::isEventNameAllowedForListenerOrigin(event.name(), "clx")) return;
      auto clx = listeners_.find("clx");
      if (clx == listeners_.end()) return;
      target = clx->second;
    }
  }
  std::string name = event.name();
  fnd::Dictionary parameters;
  for (const auto& [key, value] : event.parameters()) {
    if (value) parameters.set(key, value->asObject());
  }
  std::weak_ptr<DEVAzodavevuConnector> weak = weak_from_this();
  queue_->async([weak, target, appOrigin, name, parameters] {
    auto self = weak.lock();
    if (!self) return;
    fnd::Dictionary simplified = simplifiedParametersFromEventParameters(parameters);
    self->listenerQueue_->async([weak, target, appOrigin, name, simplified] {
      if (target) {
        target->messageTriggered(name, simplified);
        return;
      }
      auto self = weak.lock();
      if (!self || !appOrigin) return;
      std::vector<std::shared_ptr<DEVAzodavevuInteropListener>> everyone;
      {
        std::lock_guard<std::mutex> lock(self->mu_);
        for (const auto& entry : self->listeners_) everyone.push_back(entry.second);
      }
      for (const auto& listener : everyone) listener->messageTriggered(name, simplified);
    });
  });
}

fnd::Dictionary DEVAzodavevuConnector::simplifiedParametersFromEventParameters(
    const fnd::Dictionary& parameters) {
  fnd::Dictionary out;
  for (const auto& [key, value] : parameters) {
    if (value.isNumber() || value.isBool() || value.isString()) {
      out.set(key, value);
    } else if (auto typed = value.recordAs<ZIVValue>()) {
      if (typed->isDouble()) {
        out.set(key, typed->doubleValue());
      } else if (typed->isInt64()) {
        out.set(key, fnd::Value::Int64(typed->int64Value()));
      } else if (typed->isString()) {
        out.set(key, *typed->stringValue());
      }
    }
  }
  return out;
}
