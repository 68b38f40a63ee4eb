// DEVAzodavevuConnector: how other libraries in the process (messaging, in-app messaging, crash
// reporting, remote configuration, links) log events and set user properties under their own
// origins, read user properties, manage conditional user properties and listen to logged events,
// without linking against the public analytics class. Every call passes the origin and name rules
// of DEVConnectorUtils (connector_utils.h) and then goes through DEVAzodavevu or the conditional
// user property controller. Refused origins, names and parameters are dropped silently.
//
// load() registers the analytics library ("dero-vidirodiz" 12.5.0) with the vendor core, whose
// configuration of the default app then starts the engine.
//
// Queues: a connector has its own serial queue for user-property reads and the preparation of
// listener calls; listener callbacks always run on the main queue. The listener table is written
// on callers' threads and read on the facade's queue and the main queue, under the connector's
// lock.
//
// Thread safety: every method may be called from any thread; maxUserProperties() blocks its
// caller for up to 10 seconds.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/engine/analytics_facade.h"
#include "analytics/storage/conditional_user_property.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

class DEVAzodavevu;
class ZIVMonitor;

inline constexpr const char* kDEVAzodavevuLibraryName = "dero-vidirodiz";
inline constexpr const char* kDEVAzodavevuLibraryVersion = "12.5.0";
inline constexpr const char* kDEVAzodavevuInteropProtocol = "DEVAzodavevuInterop";

// What a listening library implements.
class DEVAzodavevuInteropListener {
 public:
  virtual ~DEVAzodavevuInteropListener() = default;
  // Called on the main queue with an event's name and its parameters in plain form.
  virtual void messageTriggered(const std::string& name, const fnd::Dictionary& parameters) = 0;
};

// The operations offered to other libraries.
class DEVAzodavevuInterop {
 public:
  virtual ~DEVAzodavevuInterop() = default;
  virtual void setConditionalUserProperty(const fnd::Dictionary& property) = 0;
  virtual void clearConditionalUserProperty(const std::string& userPropertyName,
                                            const std::string& origin,
                                            const std::string& clearEventName,
                                            const fnd::Dictionary& clearEventParameters) = 0;
  virtual std::vector<fnd::Dictionary> conditionalUserProperties(
      const std::string& origin, const std::string& propertyNamePrefix) = 0;
  virtual int64_t maxUserProperties(const std::string& origin) = 0;
  virtual void getUserPropertiesWithCallback(
      std::function<void(const fnd::Dictionary&)> callback) = 0;
  virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                  const std::optional<fnd::Dictionary>& parameters) = 0;
  virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                         const fnd::Value& value) = 0;
  virtual void registerAnalyticsListener(std::shared_ptr<DEVAzodavevuInteropListener> listener,
                                         const std::string& origin) = 0;
  virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};

// The conditional user property controller as the connector uses it.
class DEVConditionalUserPropertyControl {
 public:
  virtual ~DEVConditionalUserPropertyControl() = default;
  virtual void setConditionalUserProperty(const std::shared_ptr<ZIVConditionalUserProperty>& p,
                                          const std::string& name) = 0;
  virtual void clearConditionalUserPropertyWithClearEvent(
      const std::shared_ptr<ZIVEvent>& clearEvent, const std::string& name) = 0;
  // nullopt when the query failed.
  virtual std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
  conditionalUserPropertiesWithNamePrefix(const fnd::Value& namePrefix,
                                          const fnd::Value& origin) = 0;
};

// Installs the controller for every connector made without one (null goes back to the process's
// ZIVConditionalUserPropertyController).
void DEVAzodavevuConnectorSetConditionalUserPropertyControl(
    std::shared_ptr<DEVConditionalUserPropertyControl> control);

// A component the vendor core's container can make: the protocol and a block that makes a new
// object each time it is called (never cached).
struct DEVInteropComponent {
  std::string protocol;
  std::function<std::shared_ptr<DEVAzodavevuInterop>()> creationBlock;
};

// What a connector reads from its surroundings; each member left empty takes the process's own.
struct DEVAzodavevuConnectorEnvironment {
  // The public interface [DEVAzodavevu::sharedInstance()]; must outlive the connector.
  DEVAzodavevu* analytics = nullptr;
  // Conditional user properties [the installed control at each use, else the process's
  // ZIVConditionalUserPropertyController].
  std::shared_ptr<DEVConditionalUserPropertyControl> conditionalUserProperties;
  // Log lines [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // Event times and the wait of maxUserProperties() [dispatch::Clock::current() at creation].
  std::shared_ptr<dispatch::Clock> clock;
  // Where listeners are called [dispatch::Queue::main()].
  std::shared_ptr<dispatch::Queue> listenerQueue;
};

class DEVAzodavevuConnector : public DEVAzodavevuInterop,
                              public std::enable_shared_from_this<DEVAzodavevuConnector> {
 public:
  using Environment = DEVAzodavevuConnectorEnvironment;

  // Registers the analytics library with the vendor core, with the public interface's start as
  // its start hook. Idempotent.
  static void load();
  // One component for DEVAzodavevuInterop whose block makes a new connector each time.
  static std::vector<DEVInteropComponent> componentsToRegister();

  static std::shared_ptr<DEVAzodavevuConnector> create(Environment environment = {});
  ~DEVAzodavevuConnector() override;

  // DEVAzodavevuInterop.
  void setConditionalUserProperty(const fnd::Dictionary& property) override;
  void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                    const std::string& clearEventName,
                                    const fnd::Dictionary& clearEventParameters) override;
  std::vector<fnd::Dictionary> conditionalUserProperties(
      const std::string& origin, const std::string& propertyNamePrefix) override;
  int64_t maxUserProperties(const std::string& origin) override;
  void getUserPropertiesWithCallback(std::function<void(const fnd::Dictionary&)> callback) override;
  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const std::optional<fnd::Dictionary>& parameters) override;
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                 const fnd::Value& value) override;
  void registerAnalyticsListener(std::shared_ptr<DEVAzodavevuInteropListener> listener,
                                 const std::string& origin) override;
  void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

  // Conversions.
  // Numbers and strings pass; typed values become their number or string; anything else (arrays
  // included) is left out.
  static fnd::Dictionary simplifiedParametersFromEventParameters(const fnd::Dictionary& parameters);
  // "origin", "name", "timestamp" (now when absent), "parameters"; null when the event cannot be
  // made (its origin or name is refused).
  std::shared_ptr<ZIVEvent> eventFromDictionary(const fnd::Dictionary& dictionary) const;
  std::shared_ptr<ZIVEvent> eventWithOrigin(const std::string& origin, const std::string& eventName,
                                            const fnd::Dictionary& params) const;
  // The record of a property dictionary. Keys that are no field of the record, and values of a
  // kind the field cannot take, are left out with log line 25045.
  std::shared_ptr<ZIVConditionalUserProperty> conditionalUserPropertyFromDictionary(
      const fnd::Dictionary& dictionary) const;

  // Whether the connector's event listener is installed in the facade.
  bool hasLogEventListener() const;
  // The connector's own queue.
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

 private:
  explicit DEVAzodavevuConnector(Environment environment);
  std::shared_ptr<DEVConditionalUserPropertyControl> control() const;
  // The facade's listener: routes one event to the listeners. On "ZIVAnalyticsQueue".
  void handleLoggedEvent(const ZIVEvent& event);
  double now() const { return clock_->wallTime(); }

  // Constant after construction.
  DEVAzodavevu& analytics_;
  const std::shared_ptr<DEVConditionalUserPropertyControl> conditionalUserProperties_;
  const std::shared_ptr<ZIVMonitor> monitor_;
  const std::shared_ptr<dispatch::Clock> clock_;
  const std::shared_ptr<dispatch::Queue> listenerQueue_;
  const std::shared_ptr<dispatch::Queue> queue_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  ZIVLogEventListenerToken logEventListener_ = 0;
  std::map<std::string, std::shared_ptr<DEVAzodavevuInteropListener>> listeners_;
};
