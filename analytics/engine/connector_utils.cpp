#include "analytics/engine/connector_utils.h"

namespace {

const std::set<std::string>& MakeSet(std::initializer_list<const char*> members) {
  return *new std::set<std::string>(members.begin(), members.end());
}

}  // namespace

const std::set<std::string>& DEVConnectorUtils::allowedListenerOrigins() {
  static const std::set<std::string>& set = MakeSet({"fiam", "crash", "clx"});
  return set;
}

const std::set<std::string>& DEVConnectorUtils::blocklistedOrigins() {
  static const std::set<std::string>& set = MakeSet({"auto", "app", "am"});
  return set;
}

const std::set<std::string>& DEVConnectorUtils::blocklistedEventNames() {
  static const std::set<std::string>& set = MakeSet({"_e", "_f", "_iap", "_s", "_au"});
  return set;
}

const std::set<std::string>& DEVConnectorUtils::blocklistedParameters() {
  static const std::set<std::string>& set = MakeSet({"_r", "_dbg"});
  return set;
}

const std::set<std::string>& DEVConnectorUtils::blocklistedUserProperties() {
  static const std::set<std::string>& set =
      MakeSet({"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"});
  return set;
}

const std::vector<fnd::Regex>& DEVConnectorUtils::blocklistedUserPropertyPatterns() {
  static const std::vector<fnd::Regex>& patterns = *[] {
    auto* list = new std::vector<fnd::Regex>();
    for (const char* pattern : {"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"}) {
      // Both patterns are fixed and compile; a failure would only drop that rule.
      if (auto regex = fnd::Regex::Compile(pattern)) list->push_back(std::move(*regex));
    }
    return list;
  }();
  return patterns;
}

const std::set<std::string>& DEVConnectorUtils::hiddenEventNames() {
  static const std::set<std::string>& set =
      MakeSet({"_xa", "_xu", "_aq", "_aa", "_ai", "_ac", "campaign_details", "_iapx", "_ug",
               "_exp_set", "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"});
  return set;
}

bool DEVConnectorUtils::isOriginAllowed(const std::string& origin) {
  return blocklistedOrigins().count(origin) == 0;
}

bool DEVConnectorUtils::isAppOrigin(const std::string& origin) {
  return origin == "app" || origin.rfind("app+", 0) == 0;
}

bool DEVConnectorUtils::isListenerOriginAllowed(const std::string& origin) {
  return allowedListenerOrigins().count(origin) != 0;
}

bool DEVConnectorUtils::isEventNameAllowedForListeners(const std::string& name) {
  return hiddenEventNames().count(name) == 0;
}

bool DEVConnectorUtils::isEventNameAllowedForListenerOrigin(const std::string& name,
                                                            const std::string& origin) {
  return name == "_vs" && origin == "clx";
}

bool DEVConnectorUtils::shouldLogEventWithName(const std::string& name,
                                               const fnd::Dictionary& parameters) {
  if (name.empty() || blocklistedEventNames().count(name) != 0) return false;
  for (const std::string& key : blocklistedParameters()) {
    if (parameters.contains(fnd::Value(key))) return false;
  }
  return true;
}

bool DEVConnectorUtils::isUserPropertyAllowed(const std::string& name, const std::string& origin) {
  if (name.empty()) return false;
  if (name == "_ln") return origin == "fcm" || origin == "fiam";
  if (blocklistedUserProperties().count(name) != 0) return false;
  for (const fnd::Regex& pattern : blocklistedUserPropertyPatterns()) {
    if (pattern.search(name)) return false;
  }
  return true;
}

bool DEVConnectorUtils::isUserPropertyAllowedForQuery(const std::string& name) {
  return name == "_fot" || (!name.empty() && name[0] != '_');
}
