// ZIVEventSampler: keeps one in N events of a name when the server asks for it. Runs on the Event
// messages of one bundle while it is built, inside the bundling transaction. A kept event of a
// sampled name carries "_sr" (the rate); the first event of a sampled name on each day is always
// kept and carries "_efs" 1; the bookkeeping of each name is stored in its event aggregates.
//
// Thread safety: worker queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/error.h"

class APMPBEvent;
class ZIVDatabase;
class ZIVMonitor;
class ZIVRemoteConfig;

class ZIVEventSampler {
 public:
  // `randomBelow(n)` answers a uniform integer in [0, n); null means the system's secure source.
  ZIVEventSampler(std::shared_ptr<ZIVDatabase> database, std::shared_ptr<ZIVRemoteConfig> settings,
                  std::shared_ptr<ZIVMonitor> monitor,
                  std::function<uint64_t(uint64_t)> randomBelow = nullptr);

  // The kept events in input order; nullopt, with *error always filled, on a database failure
  // (the caller then rolls the bundle back).
  std::optional<std::vector<std::shared_ptr<APMPBEvent>>> sampleEvents(
      const std::vector<std::shared_ptr<APMPBEvent>>& events, fnd::Error* error);

  // Sampling is on, the server has a rate for the name and it is above 1 (a rate of 1 or less
  // logs 23154).
  bool canEventBeSampled(const APMPBEvent& event) const;
  // True with probability 1/rate.
  bool isEventBundledAfterRoll(int32_t rate) const;

  // The day number of a time in seconds with the account's offset: truncated, within int32.
  static int32_t dayNumber(double seconds, int32_t offsetMinutes);

 private:
  // Constant after construction.
  const std::shared_ptr<ZIVDatabase> database_;
  const std::shared_ptr<ZIVRemoteConfig> settings_;
  const std::shared_ptr<ZIVMonitor> monitor_;
  const std::function<uint64_t(uint64_t)> randomBelow_;
};

// Adds "_sr" = rate unless the event already has "_sr".
void ZIVAddSamplingParam(APMPBEvent& event, int32_t rate, ZIVMonitor& monitor);
