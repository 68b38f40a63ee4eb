// The optional on-device conversion components, found by class name at run time
// (ZIVRuntimeClassRegistry) when the application links the vendor's libraries: the matching
// client ("ZIVPrivateSetMembershipClient", else "ODCPrivateSetMembershipClient"), the group client
// ("ODCPrivateSetMembershipGroupClient") and the conversion service ("ODCConversionService").
// None of them is part of this program; a test registers stand-ins.
//
// Like any class found by name, a client class is asked instancesRespondToSelector() before an
// initialiser is used, and a client object respondsToSelector() before an optional method.
//
// Thread safety: that of the component; the engine calls them on its worker queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/engine/runtime_class_registry.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class ZUZOzurivi;

inline constexpr const char* kZIVPSMClientClassName = "ZIVPrivateSetMembershipClient";
inline constexpr const char* kODCPSMClientClassName = "ODCPrivateSetMembershipClient";
inline constexpr const char* kODCPSMGroupClientClassName = "ODCPrivateSetMembershipGroupClient";
inline constexpr const char* kODCConversionServiceClassName = "ODCConversionService";

// Initialiser selectors of the clients.
inline constexpr const char* kPSMInitEmailPrefix = "initWithEmailAddress:appID:prefixBitLength:";
inline constexpr const char* kPSMInitEmail = "initWithEmailAddress:appID:";
inline constexpr const char* kPSMInitPhonePrefix = "initWithPhoneNumber:appID:prefixBitLength:";
inline constexpr const char* kPSMInitPhone = "initWithPhoneNumber:appID:";
inline constexpr const char* kPSMInitHashedEmail =
    "initWithHashedEmailAddress:appID:prefixBitLength:";
inline constexpr const char* kPSMInitHashedPhone =
    "initWithHashedPhoneNumber:appID:prefixBitLength:";
inline constexpr const char* kPSMInitHashedInput =
    "initWithHashedInput:inputType:appID:prefixBitLength:";

// What an initialiser receives; `text` for the e-mail, phone and hashed forms, `hashedInput` and
// `inputType` for the cached-input form.
struct APMPSMClientArguments {
  std::string text;
  fnd::Data hashedInput;
  int64_t inputType = 0;
  std::string appID;
  std::optional<uint64_t> prefixBitLength;
};

// A matching client.
class APMPSMClient : public ZIVRuntimeObject {
 public:
  virtual fnd::Data hashedInput() const = 0;
  virtual int64_t inputType() const = 0;
  // The POST body.
  virtual fnd::Data payloadWithPSMRequest() = 0;
  // The request URL, or nullopt.
  virtual std::optional<std::string> PSMRequestURLWithRetryCount(uint64_t retryCount) = 0;
  // The match value; empty or nullopt for no match.
  virtual std::optional<std::string> parsedPSMValueFromResponse(const fnd::Data& response) = 0;
  // REQUIRES: respondsToSelector("debugKey").
  virtual std::string debugKey() const { return std::string(); }
};

// A group client.
class APMPSMGroupClient : public ZIVRuntimeObject {
 public:
  using Completion = std::function<void(const std::optional<std::string>& groupID,
                                        const std::optional<fnd::Error>& error)>;
  // Fetches the group ID over `network`; the completion may run on any thread.
  virtual void fetchGroupIDWithNetwork(const std::shared_ptr<ZUZOzurivi>& network,
                                       Completion completion) = 0;
};

// A class of matching or group clients.
class APMPSMClientClass : public ZIVRuntimeClass {
 public:
  virtual bool instancesRespondToSelector(std::string_view selector) const = 0;
  // A client made with the initialiser `selector`, or null. REQUIRES:
  // instancesRespondToSelector(selector).
  virtual std::shared_ptr<ZIVRuntimeObject> instantiate(std::string_view selector,
                                                        const APMPSMClientArguments& arguments) = 0;
};

// The conversion service protocol ("ODCConversionService").
class ODCConversionService : public ZIVRuntimeObject {
 public:
  using Completion = std::function<void(const std::optional<std::string>& value,
                                        const std::optional<fnd::Error>& error)>;
  // Seconds since 1970, or nullopt.
  virtual void setFirstLaunchTime(std::optional<double> firstLaunchTime) = 0;
  virtual void fetchAggregateConversionInfoForInteraction(int64_t interaction,
                                                          Completion completion) = 0;
  // The completion may run on any thread.
  virtual void fetchMeasurementInfoForInteraction(int64_t interaction, Completion completion) = 0;
  virtual std::string versionString() const = 0;
  virtual int64_t versionNumber() const = 0;
};
