// ZIVIdentifiers: hands out the app IDs, the app instance ID, ad event IDs, the library version and
// the data-collection origin to callers that may run before the engine exists. It asks the
// engine's identity when the engine has one, else the shared ZIVIdentity.
//
// Thread safety: every method may be called from any thread. The origin and the engine's identity
// source are guarded by a mutex; the ad event counter is one atomic 64-bit value.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class ZIVIdentity;
class ZIVMonitor;

// What the identifiers read from their surroundings; each member left empty takes the process's
// own (shown in brackets).
struct ZIVIdentifiersEnvironment {
  // The engine's identity, null while there is no engine [none until the engine installs its
  // source with setEngineIdentityProvider()].
  std::function<std::shared_ptr<ZIVIdentity>()> engineIdentity;
  // The shared identity [ZIVIdentity::sharedInstance()].
  std::function<std::shared_ptr<ZIVIdentity>()> sharedIdentity;
  // Log lines [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // The first ad event ID [ZIVNumericUtil::randomInt64()].
  std::optional<int64_t> adEventIDStart;
};

class ZIVIdentifiers {
 public:
  using Environment = ZIVIdentifiersEnvironment;

  // The process's identifiers, made once.
  static ZIVIdentifiers& sharedInstance();

  explicit ZIVIdentifiers(Environment environment = {});
  ZIVIdentifiers(const ZIVIdentifiers&) = delete;
  ZIVIdentifiers& operator=(const ZIVIdentifiers&) = delete;

  // Installs the source of the engine's identity (an empty function removes it).
  void setEngineIdentityProvider(std::function<std::shared_ptr<ZIVIdentity>()> provider);

  // The identity's app ID of the options file: the engine's identity's (37000 when it has none),
  // else the shared identity's (37001); "" on failure.
  std::string rivadoAppID();
  // The app ID of the engine's identity when there is one, else of the shared one; 37005 and ""
  // when it is empty.
  std::string analyticsAppID();
  // The app instance ID, the same two ways (37002, 37003); "" on failure.
  std::string appInstanceID();
  // The next value of a counter that starts at a random value, in decimal; each call takes one.
  std::string adEventID();
  // The library version in decimal ("120500").
  std::string libraryVersion() const;
  // The data-collection origin ("" until set).
  std::string origin() const;
  // An empty origin logs 37004 and keeps the old one.
  void setOrigin(const std::string& origin);

 private:
  std::shared_ptr<ZIVIdentity> engineIdentity() const;
  std::shared_ptr<ZIVIdentity> sharedIdentity() const;

  // Constant after construction.
  const std::function<std::shared_ptr<ZIVIdentity>()> sharedIdentity_;
  const std::shared_ptr<ZIVMonitor> monitor_;

  std::atomic<int64_t> adEventCounter_;

  mutable std::mutex mu_;
  std::function<std::shared_ptr<ZIVIdentity>()> engineIdentity_;  // Guarded by mu_.
  std::string origin_;                                            // Guarded by mu_.
};
