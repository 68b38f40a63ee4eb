#include "analytics/audiences/conditional_user_property_controller.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "analytics/audiences/conditional_user_property_validation.h"
#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/event.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/name_tables.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/storage/database.h"

namespace {

ZIVMonitor& Monitor() { return *ZIVMeasurement::monitor(); }

bool Failed(const fnd::Error& error) { return error.code() != 0 || !error.domain().empty(); }

std::mutex& EngineMutex() {
  static std::mutex* mu = new std::mutex;
  return *mu;
}
std::shared_ptr<ZIVConditionalUserPropertyEngine>& InstalledEngine() {
  static auto* engine = new std::shared_ptr<ZIVConditionalUserPropertyEngine>;
  return *engine;
}

fnd::Value ValueContext(const ZIVValuePtr& value) {
  return value ? fnd::Value(value->description()) : fnd::Value();
}

}  // namespace

void ZIVConditionalUserPropertySetEngine(std::shared_ptr<ZIVConditionalUserPropertyEngine> engine) {
  std::lock_guard<std::mutex> lock(EngineMutex());
  InstalledEngine() = std::move(engine);
}

std::shared_ptr<ZIVConditionalUserPropertyEngine> ZIVConditionalUserPropertyCurrentEngine() {
  std::lock_guard<std::mutex> lock(EngineMutex());
  return InstalledEngine();
}

// ---- Construction.

const std::shared_ptr<ZIVConditionalUserPropertyController>&
ZIVConditionalUserPropertyController::sharedInstance() {
  // Never destroyed: requests may still be queued on the worker queue at exit.
  static auto* instance = new std::shared_ptr<ZIVConditionalUserPropertyController>(create());
  return *instance;
}

std::shared_ptr<ZIVConditionalUserPropertyController> ZIVConditionalUserPropertyController::create(
    Environment environment) {
  return std::shared_ptr<ZIVConditionalUserPropertyController>(
      new ZIVConditionalUserPropertyController(std::move(environment)));
}

ZIVConditionalUserPropertyController::ZIVConditionalUserPropertyController(Environment environment)
    : environment_(std::move(environment)) {}

double ZIVConditionalUserPropertyController::now() const {
  return environment_.clock ? environment_.clock->wallTime()
                            : dispatch::Clock::current()->wallTime();
}

std::shared_ptr<ZIVConditionalUserPropertyEngine> ZIVConditionalUserPropertyController::engine()
    const {
  return environment_.engine ? environment_.engine() : ZIVConditionalUserPropertyCurrentEngine();
}

std::shared_ptr<ZIVEvent> ZIVConditionalUserPropertyController::eventFromRecordEvent(
    const std::shared_ptr<ZIVEvent>& event, const std::string& origin, double timestamp) {
  if (!event) return nullptr;
  return ZIVEvent::initWithOrigin(origin, false, event->name(), timestamp, 0, event->parameters());
}

// ---- Requests.

void ZIVConditionalUserPropertyController::setConditionalUserProperty(const Property& property,
                                                                      const std::string& name) {
  if (!property) {
    Monitor().logWithLevel(2, 11002, "Cannot set nil conditional user property");
    return;
  }
  auto copy = std::make_shared<ZIVConditionalUserProperty>(*property);
  copy->name = name;
  if (!ZIVIsValidConditionalUserProperty(*copy)) return;
  copy->creationTimestamp = now();
  std::shared_ptr<ZIVConditionalUserPropertyEngine> host = engine();
  std::shared_ptr<ZIVScheduler> scheduler = host ? host->scheduler() : nullptr;
  if (!scheduler) {
    Monitor().logWithLevel(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  std::weak_ptr<ZIVConditionalUserPropertyController> weakSelf = weak_from_this();
  scheduler->scheduleOnWorkerQueueBlockID(
      "ZIVConditionalUserPropertyController:88", [weakSelf, copy] {
        auto self = weakSelf.lock();
        if (!self) return;
        if (copy->value) {
          self->setConditionalUserPropertyOnWorkerQueue(copy);
        } else {
          self->removeConditionalUserPropertyOnWorkerQueue(copy);
        }
      });
}

void ZIVConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    const std::shared_ptr<ZIVEvent>& clearEvent, const fnd::Value& name) {
  if (!ZIVDataTypeValidator::isValidConditionalUserPropertyName(name)) return;
  auto property = std::make_shared<ZIVConditionalUserProperty>();
  property->name = name.asString();
  property->expiredEvent = clearEvent;
  std::shared_ptr<ZIVConditionalUserPropertyEngine> host = engine();
  std::shared_ptr<ZIVScheduler> scheduler = host ? host->scheduler() : nullptr;
  if (!scheduler) {
    Monitor().logWithLevel(3, 11015,
                           "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  std::weak_ptr<ZIVConditionalUserPropertyController> weakSelf = weak_from_this();
  scheduler->scheduleOnWorkerQueueBlockID(
      "ZIVConditionalUserPropertyController:113", [weakSelf, property] {
        if (auto self = weakSelf.lock()) {
          self->removeConditionalUserPropertyOnWorkerQueue(property);
        }
      });
}

std::optional<std::vector<ZIVConditionalUserPropertyController::Property>>
ZIVConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(
    const fnd::Value& namePrefix, const fnd::Value& origin) {
  if (!namePrefix.isNull() && !namePrefix.isString()) {
    Monitor().logWithLevel(
        2, 11003,
        "Cannot query for conditional user properties. Name prefix is not a string. Class",
        fnd::Value(ZIVClassNameOfObject(namePrefix)));
    return std::nullopt;
  }
  if (!origin.isNull() && !origin.isString()) {
    Monitor().logWithLevel(
        2, 11004, "Cannot query for conditional user properties. Origin is not a string. Class",
        fnd::Value(ZIVClassNameOfObject(origin)));
    return std::nullopt;
  }
  const std::string prefix = namePrefix.isString() ? namePrefix.asString() : std::string();
  const std::string originText = origin.isString() ? origin.asString() : std::string();

  std::shared_ptr<ZIVConditionalUserPropertyEngine> host = engine();
  std::shared_ptr<ZIVScheduler> scheduler = host ? host->scheduler() : nullptr;
  if (!scheduler) {
    Monitor().logWithLevel(3, 11005,
                           "Cannot query for conditional user properties. Analytics is disabled");
    return std::nullopt;
  }

  // The answer is shared with the block, which may finish after the caller stopped waiting.
  struct Answer {
    std::mutex mu;
    std::condition_variable done;
    bool finished = false;
    std::optional<std::vector<Property>> properties;
  };
  auto answer = std::make_shared<Answer>();
  std::weak_ptr<ZIVConditionalUserPropertyEngine> weakHost = host;
  auto block = [answer, weakHost, prefix, originText, origin, namePrefix] {
    std::optional<std::vector<Property>> properties;
    auto engine = weakHost.lock();
    if (!engine || !engine->isEnabled()) {
      Monitor().logWithLevel(3, 11005,
                             "Cannot query for conditional user properties. Analytics is disabled");
    } else if (auto database = engine->database()) {
      fnd::Error error;
      auto found = database->conditionalUserPropertiesWithPrefix(prefix, originText, &error);
      if (!found && Failed(error)) {
        Monitor().logWithLevel(2, 11006,
                               "Cannot query for conditional user properties. Name prefix, origin, "
                               "error",
                               namePrefix, origin, ZIVErrorContext(error));
      } else {
        properties = found.value_or(std::vector<Property>());
      }
    }
    std::lock_guard<std::mutex> lock(answer->mu);
    answer->properties = std::move(properties);
    answer->finished = true;
    answer->done.notify_all();
  };
  // A query from the worker queue itself could not be served while it waits: run it here.
  if (scheduler->workerQueue() && scheduler->workerQueue()->isCurrent()) {
    block();
    return answer->properties;
  }
  scheduler->scheduleOnWorkerQueueBlockID("ZIVConditionalUserPropertyController:161", block);
  std::unique_lock<std::mutex> lock(answer->mu);
  const auto timeout = std::chrono::duration<double>(environment_.queryTimeout);
  if (!answer->done.wait_for(lock, timeout, [&] { return answer->finished; })) return std::nullopt;
  return answer->properties;
}

// ---- Worker queue.

void ZIVConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const Property& property) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue");
  std::shared_ptr<ZIVConditionalUserPropertyEngine> host = engine();
  std::shared_ptr<ZIVDatabase> database = host ? host->database() : nullptr;
  if (!host || !host->isEnabled() || !database) {
    Monitor().logWithLevel(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    Monitor().logWithLevel(2, 11008, "Cannot set nil conditional user property on worker queue");
    return;
  }
  const fnd::Value name(property->name);
  std::shared_ptr<ZIVEvent> triggeredEvent;
  const bool committed = database->performTransaction([&]() {
    triggeredEvent = nullptr;
    fnd::Error error;
    auto stored = database->conditionalUserPropertyWithName(property->name, &error);
    if (!stored && Failed(error)) {
      Monitor().logWithLevel(1, 11009,
                             "Cannot query conditional user property. Name, origin, error", name,
                             fnd::Value(property->origin), ZIVErrorContext(error));
      return false;
    }
    if (stored && stored->origin != property->origin) {
      Monitor().logWithLevel(
          5, 11010,
          "Updating a conditional user property with different origin. Name, origin, saved origin",
          name, fnd::Value(property->origin), fnd::Value(stored->origin));
    }
    ZIVConditionalUserProperty record = *property;
    const bool storedActive = stored && stored->active;
    bool becameActive = false;
    if (storedActive) {
      record.origin = stored->origin;
      record.creationTimestamp = stored->creationTimestamp;
      record.triggerEventName = stored->triggerEventName;
      record.triggeredEvent = stored->triggeredEvent;
      record.triggerTimeout = stored->triggerTimeout;
    } else if (record.triggerEventName.empty()) {
      record.active = true;
      record.triggeredTimestamp = record.creationTimestamp;
      becameActive = true;
    }
    if (record.active) {
      auto attribute = ZIVUserAttribute::initWithOrigin(record.origin, record.name, record.value,
                                                        record.triggeredTimestamp);
      fnd::Error writeError;
      if (!database->updateUserAttribute(attribute, &writeError)) {
        Monitor().logWithLevel(
            1, 11011,
            "Cannot update user property from conditional user property. Name, origin, error", name,
            fnd::Value(record.origin), ZIVErrorContext(writeError));
      } else {
        Monitor().logWithLevel(7, 11012, "User property updated. Name, origin", name,
                               fnd::Value(record.origin));
      }
      if (becameActive) {
        triggeredEvent =
            eventFromRecordEvent(record.triggeredEvent, record.origin, record.triggeredTimestamp);
      }
    }
    if (storedActive) {
      record.active = true;
      record.triggeredTimestamp = stored->triggeredTimestamp;
    }
    fnd::Error storeError;
    if (!database->updateConditionalUserProperty(record, &storeError)) {
      Monitor().logWithLevel(
          1, 11014,
          "Cannot insert user property from conditional user property. Name, origin, error", name,
          fnd::Value(record.origin), ZIVErrorContext(storeError));
      // Roll back, so that the user property written above does not outlive its record.
      return false;
    }
    Monitor().logWithLevel(7, 11013, "Conditional user property added. Name, origin", name,
                           fnd::Value(record.origin));
    return true;
  });
  if (committed && triggeredEvent) host->writeEventOnWorkerQueue(triggeredEvent);
}

void ZIVConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const Property& property) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName(
      "removeConditionalUserPropertyOnWorkerQueue:");
  std::shared_ptr<ZIVConditionalUserPropertyEngine> host = engine();
  std::shared_ptr<ZIVDatabase> database = host ? host->database() : nullptr;
  if (!host || !host->isEnabled() || !database) {
    Monitor().logWithLevel(3, 11015,
                           "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    Monitor().logWithLevel(0, 11016, "Cannot remove nil conditional user property on worker queue");
    return;
  }
  const fnd::Value name(property->name);
  const fnd::Value origin(property->origin);
  std::shared_ptr<ZIVEvent> clearEvent;
  const bool committed = database->performTransaction([&]() {
    clearEvent = nullptr;
    fnd::Error error;
    auto stored = database->conditionalUserPropertyWithName(property->name, &error);
    if (!stored && Failed(error)) {
      Monitor().logWithLevel(
          1, 11017, "Cannot query conditional user property to remove. Name, origin, error", name,
          origin, ZIVErrorContext(error));
      return false;
    }
    if (!stored) {
      Monitor().logWithLevel(4, 11018,
                             "Cannot remove nonexistent conditional user property. Name, origin",
                             name, origin);
      return true;
    }
    error = fnd::Error();
    if (!database->deleteConditionalUserPropertyWithName(property->name, &error) && Failed(error)) {
      Monitor().logWithLevel(1, 11019,
                             "Cannot delete conditional user property. Name, origin, error", name,
                             origin, ZIVErrorContext(error));
      return false;
    }
    if (stored->active) {
      error = fnd::Error();
      if (!database->deleteUserAttributeWithName(property->name, &error) && Failed(error)) {
        Monitor().logWithLevel(1, 11020,
                               "Cannot remove conditional user property. Failed to delete the user "
                               "property. Name, origin, error",
                               name, origin, ZIVErrorContext(error));
        return false;
      }
    }
    clearEvent = eventFromRecordEvent(property->expiredEvent, stored->origin, now());
    return true;
  });
  if (committed && clearEvent) host->writeEventOnWorkerQueue(clearEvent);
}

std::optional<ZIVConditionalUserPropertyController::Events>
ZIVConditionalUserPropertyController::processEventOnWorkerQueue(
    const std::shared_ptr<ZIVEvent>& event) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:");
  if (!event) {
    Monitor().logWithLevel(2, 10000, "Cannot process nil event for conditional user property");
    return std::nullopt;
  }
  std::shared_ptr<ZIVConditionalUserPropertyEngine> host = engine();
  std::shared_ptr<ZIVDatabase> database = host ? host->database() : nullptr;
  if (!database) return std::nullopt;
  Events timedOut;
  Events expired;
  std::optional<Events> triggered;
  const bool committed = database->performTransaction([&]() {
    timedOut.clear();
    expired.clear();
    triggered.reset();
    if (!removeTimedOutCUPWithTimedOutEvents(&timedOut)) return false;
    if (!removeExpiredCUPWithExpiredEvents(&expired)) return false;
    triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
    return triggered.has_value();
  });
  if (!committed) return std::nullopt;
  for (const auto& written : timedOut) host->writeFilteredEventOnWorkerQueue(written);
  for (const auto& written : expired) host->writeFilteredEventOnWorkerQueue(written);
  return triggered;
}

bool ZIVConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(
    Events* timedOutEvents) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("removeTimedOutCUPWithTimedOutEvents:");
  std::shared_ptr<ZIVConditionalUserPropertyEngine> host = engine();
  std::shared_ptr<ZIVDatabase> database = host ? host->database() : nullptr;
  if (!database) return false;
  fnd::Error error;
  auto properties = database->timedOutConditionalUserPropertiesWithError(&error);
  if (!properties && Failed(error)) {
    Monitor().logWithLevel(1, 10001, "Cannot fetch timed out conditional user properties. Error",
                           ZIVErrorContext(error));
    return false;
  }
  if (!properties) return true;
  for (const auto& property : *properties) {
    const fnd::Value name(property->name);
    Monitor().logWithLevel(7, 10002, "Conditional user property has timed out. Name", name);
    error = fnd::Error();
    if (!database->deleteConditionalUserPropertyWithName(property->name, &error) && Failed(error)) {
      Monitor().logWithLevel(1, 10003,
                             "Cannot delete timed out condition user property. Name, error", name,
                             ZIVErrorContext(error));
      return false;
    }
    if (auto event = eventFromRecordEvent(property->timedOutEvent, property->origin, now())) {
      if (timedOutEvents) timedOutEvents->push_back(std::move(event));
    }
  }
  return true;
}

bool ZIVConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(
    Events* expiredEvents) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("removeExpiredCUPWithExpiredEvents:");
  std::shared_ptr<ZIVConditionalUserPropertyEngine> host = engine();
  std::shared_ptr<ZIVDatabase> database = host ? host->database() : nullptr;
  if (!database) return false;
  fnd::Error error;
  auto properties = database->expiredConditionalUserPropertiesWithError(&error);
  if (!properties && Failed(error)) {
    Monitor().logWithLevel(1, 10004, "Cannot fetch expired conditional user properties. Error",
                           ZIVErrorContext(error));
    return false;
  }
  if (!properties) return true;
  for (const auto& property : *properties) {
    const fnd::Value name(property->name);
    Monitor().logWithLevel(
        7, 10005, "Conditional user property has expired. Name, expired event", name,
        property->expiredEvent ? fnd::Value(property->expiredEvent->name()) : fnd::Value());
    error = fnd::Error();
    if (!database->deleteUserAttributeWithName(property->name, &error) && Failed(error)) {
      Monitor().logWithLevel(1, 10006,
                             "Cannot remove conditional user property. Failed to delete the user "
                             "property. Name, origin, error",
                             name, fnd::Value(property->origin), ZIVErrorContext(error));
      return false;
    }
    error = fnd::Error();
    if (!database->deleteConditionalUserPropertyWithName(property->name, &error) && Failed(error)) {
      Monitor().logWithLevel(1, 10007, "Cannot delete expired condition user property. Name, error",
                             name, ZIVErrorContext(error));
      return false;
    }
    if (auto event = eventFromRecordEvent(property->expiredEvent, property->origin, now())) {
      if (expiredEvents) expiredEvents->push_back(std::move(event));
    }
  }
  return true;
}

std::optional<ZIVConditionalUserPropertyController::Events>
ZIVConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName(
      "updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
  std::shared_ptr<ZIVConditionalUserPropertyEngine> host = engine();
  std::shared_ptr<ZIVDatabase> database = host ? host->database() : nullptr;
  if (!database) return std::nullopt;
  auto fetch = [&](const std::string& name) -> std::optional<std::vector<Property>> {
    fnd::Error error;
    auto found = database->triggeredConditionalUserPropertiesWithEventName(name, &error);
    if (!found && Failed(error)) {
      Monitor().logWithLevel(1, 10008,
                             "Cannot fetch triggering conditional user properties. Event name, "
                             "error",
                             fnd::Value(name), ZIVErrorContext(error));
      return std::nullopt;
    }
    return found.value_or(std::vector<Property>());
  };
  std::optional<std::vector<Property>> properties = fetch(eventName);
  if (!properties) return std::nullopt;
  if (properties->empty()) {
    const fnd::Value* internal =
        ZIVInternalEventNamesByPublicEventNames().find(fnd::Value(eventName));
    if (internal && internal->isString()) {
      properties = fetch(internal->asString());
      if (!properties) return std::nullopt;
    }
  }

  Events triggered;
  for (const auto& property : *properties) {
    const double timestamp = now();
    const fnd::Value name(property->name);
    const fnd::Value origin(property->origin);
    auto attribute = ZIVUserAttribute::initWithOrigin(property->origin, property->name,
                                                      property->value, timestamp);
    fnd::Error error;
    if (!database->updateUserAttribute(attribute, &error)) {
      Monitor().logWithLevel(
          1, 10009,
          "Cannot update user property from conditional user property. Name, origin, error", name,
          origin, ZIVErrorContext(error));
    } else {
      Monitor().logWithLevel(7, 10010, "User property updated. Name, origin, value", name, origin,
                             ValueContext(property->value));
    }
    if (auto event = eventFromRecordEvent(property->triggeredEvent, property->origin, timestamp)) {
      triggered.push_back(std::move(event));
    }
    ZIVConditionalUserProperty record = *property;
    record.active = true;
    record.triggeredTimestamp = timestamp;
    error = fnd::Error();
    if (!database->updateConditionalUserProperty(record, &error)) {
      Monitor().logWithLevel(1, 10011,
                             "Cannot update conditional user property. Name, origin, error", name,
                             origin, ZIVErrorContext(error));
      return std::nullopt;
    }
  }
  return triggered;
}
