// ZIVConditionalUserPropertyController: set, clear and query requests for conditional user
// properties (user properties that a trigger event sets within a trigger timeout and that expire
// after a time to live), and the per-event step of the event pipeline that times them out,
// expires them and activates the ones an event triggers.
//
// Requests come from any thread and are moved onto the engine's worker queue, where all database
// work runs inside transactions. Activating a property writes its user property through the
// database; each state change may write an event of the record (triggered, timed out, expired, or
// the clear event of a clear request) as an internal event of the property's origin, after its
// transaction has committed. A transaction whose body fails rolls back and writes no event; a
// property never stays written without its stored record.
//
// What the controller needs of the engine (its database, worker queue, enabled state and the two
// ways of writing an event) is reached through ZIVConditionalUserPropertyEngine, which the engine
// installs once it has started; until then requests are dropped as if the engine were disabled.
//
// Thread safety: the request methods may be called from any thread; the methods ending in
// "OnWorkerQueue" and the two removal steps must run on the engine's worker queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/storage/conditional_user_property.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/value.h"

class ZIVDatabase;
class ZIVEvent;
class ZIVScheduler;

// The engine's side of conditional user properties.
class ZIVConditionalUserPropertyEngine {
 public:
  virtual ~ZIVConditionalUserPropertyEngine() = default;
  virtual bool isEnabled() const = 0;
  virtual std::shared_ptr<ZIVDatabase> database() const = 0;
  virtual std::shared_ptr<ZIVScheduler> scheduler() const = 0;
  // Writes an event through the pipeline from its conditional-user-property stage on. REQUIRES:
  // on the worker queue.
  virtual void writeEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) = 0;
  // Writes an event through the block list and the storing transaction only. REQUIRES: on the
  // worker queue.
  virtual void writeFilteredEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) = 0;
};

// Installs the engine the shared controller uses (null removes it). The object is kept; it should
// hold the engine itself weakly.
void ZIVConditionalUserPropertySetEngine(std::shared_ptr<ZIVConditionalUserPropertyEngine> engine);
// The installed engine, or null.
std::shared_ptr<ZIVConditionalUserPropertyEngine> ZIVConditionalUserPropertyCurrentEngine();

struct ZIVConditionalUserPropertyControllerEnvironment {
  // The engine [ZIVConditionalUserPropertyCurrentEngine() at each use].
  std::function<std::shared_ptr<ZIVConditionalUserPropertyEngine>()> engine;
  // Now, for creation and event times [dispatch::Clock::current() at each use].
  std::shared_ptr<dispatch::Clock> clock;
  // Longest wait of a query made off the worker queue, in seconds.
  double queryTimeout = 30;
};

class ZIVConditionalUserPropertyController
    : public std::enable_shared_from_this<ZIVConditionalUserPropertyController> {
 public:
  using Environment = ZIVConditionalUserPropertyControllerEnvironment;
  using Property = std::shared_ptr<ZIVConditionalUserProperty>;
  using Events = std::vector<std::shared_ptr<ZIVEvent>>;

  // Made once, with the process's environment.
  static const std::shared_ptr<ZIVConditionalUserPropertyController>& sharedInstance();
  static std::shared_ptr<ZIVConditionalUserPropertyController> create(Environment environment = {});

  // ---- Requests; any thread.

  // A copy named `name`, validated, created now, queued to be set (with a value) or removed
  // (without one). Null logs 11002.
  void setConditionalUserProperty(const Property& property, const std::string& name);
  // Queues the removal of `name` with the clear event to write; an invalid name is dropped.
  void clearConditionalUserPropertyWithClearEvent(const std::shared_ptr<ZIVEvent>& clearEvent,
                                                  const fnd::Value& name);
  // The stored records whose name begins with `namePrefix` and whose origin matches `origin` (each
  // left out when null), by SQL LIKE. nullopt when an argument is not a string (11003, 11004), the
  // engine is disabled (11005), the read failed (11006) or no answer came within the query
  // time-out. Called on the worker queue itself, the query runs at once.
  std::optional<std::vector<Property>> conditionalUserPropertiesWithNamePrefix(
      const fnd::Value& namePrefix, const fnd::Value& origin);

  // ---- Worker queue.

  void setConditionalUserPropertyOnWorkerQueue(const Property& property);
  void removeConditionalUserPropertyOnWorkerQueue(const Property& property);
  // Times out and expires stored records, writes their events, and answers the triggered events
  // for the caller to write (nullopt when the step failed and was rolled back).
  std::optional<Events> processEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event);
  // The steps of processEventOnWorkerQueue(), inside the caller's transaction.
  [[nodiscard]] bool removeTimedOutCUPWithTimedOutEvents(Events* timedOutEvents);
  [[nodiscard]] bool removeExpiredCUPWithExpiredEvents(Events* expiredEvents);
  std::optional<Events> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
      const std::string& eventName);

 private:
  explicit ZIVConditionalUserPropertyController(Environment environment);

  double now() const;
  std::shared_ptr<ZIVConditionalUserPropertyEngine> engine() const;
  // The record's event re-made as an internal event of `origin` at `timestamp`; null without one.
  static std::shared_ptr<ZIVEvent> eventFromRecordEvent(const std::shared_ptr<ZIVEvent>& event,
                                                        const std::string& origin,
                                                        double timestamp);

  // Constant after construction.
  const Environment environment_;
};
