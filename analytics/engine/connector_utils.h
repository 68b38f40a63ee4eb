// DEVConnectorUtils: the fixed lists and tests that decide what other libraries in the process may
// do through the interop connector (interop_connector.h): which origins may log and set user
// properties, which may listen, which events, parameters and user properties stay the engine's
// own, which user properties may be read back, and which events listeners never see.
//
// Every list is an immutable set built once per process on first use. Comparisons are exact and
// case-sensitive.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/foundation/regex.h"
#include "platform/foundation/value.h"

class DEVConnectorUtils {
 public:
  DEVConnectorUtils() = delete;

  // The lists.
  static const std::set<std::string>& allowedListenerOrigins();
  static const std::set<std::string>& blocklistedOrigins();
  static const std::set<std::string>& blocklistedEventNames();
  static const std::set<std::string>& blocklistedParameters();
  static const std::set<std::string>& blocklistedUserProperties();
  // Anchored patterns of user property names that are refused.
  static const std::vector<fnd::Regex>& blocklistedUserPropertyPatterns();
  static const std::set<std::string>& hiddenEventNames();

  // The origin is not one of the engine's own ("auto", "app", "am").
  static bool isOriginAllowed(const std::string& origin);
  // "app", or "app+" followed by anything.
  static bool isAppOrigin(const std::string& origin);
  static bool isListenerOriginAllowed(const std::string& origin);
  static bool isEventNameAllowedForListeners(const std::string& name);
  // Only "_vs" for the origin "clx".
  static bool isEventNameAllowedForListenerOrigin(const std::string& name,
                                                  const std::string& origin);
  // A non-empty name outside the blocked events, with none of the blocked parameter keys. An
  // empty dictionary passes.
  static bool shouldLogEventWithName(const std::string& name, const fnd::Dictionary& parameters);
  // A non-empty name; "_ln" only from "fcm" and "fiam"; otherwise neither blocked nor matching a
  // blocked pattern.
  static bool isUserPropertyAllowed(const std::string& name, const std::string& origin);
  // "_fot", or a non-empty name that does not begin with "_".
  static bool isUserPropertyAllowedForQuery(const std::string& name);
};
