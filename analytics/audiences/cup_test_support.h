// Test support for the conditional user property tests: the engine as the controller sees it.
// Not for production code.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "analytics/audiences/conditional_user_property_controller.h"
#include "analytics/engine/event.h"
#include "analytics/foundation/scheduler.h"

namespace audience_test {

// The engine as the controller sees it. Written events go through the controller again, as the
// pipeline's conditional-user-property stage does, unless they are filtered ones.
class FakeEngine : public ZIVConditionalUserPropertyEngine {
 public:
  bool isEnabled() const override { return enabled; }
  std::shared_ptr<ZIVDatabase> database() const override { return db; }
  std::shared_ptr<ZIVScheduler> scheduler() const override { return worker; }
  void writeEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override {
    written.push_back({event->name(), event->origin(), event->timestamp(), false});
    if (auto controller = owner.lock()) {
      if (auto more = controller->processEventOnWorkerQueue(event)) {
        for (const auto& next : *more) writeEventOnWorkerQueue(next);
      }
    }
  }
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<ZIVEvent>& event) override {
    written.push_back({event->name(), event->origin(), event->timestamp(), true});
  }

  struct Written {
    std::string name;
    std::string origin;
    double timestamp;
    bool filtered;
    bool operator==(const Written&) const = default;
  };
  bool enabled = true;
  std::shared_ptr<ZIVDatabase> db;
  std::shared_ptr<ZIVScheduler> worker;
  std::weak_ptr<ZIVConditionalUserPropertyController> owner;
  std::vector<Written> written;
};

}  // namespace audience_test
