#include "platform/foundation/user_defaults.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/foundation/preferences.h"

namespace fnd {

namespace {

std::optional<double> ParseNumber(const std::string& s) {
  if (s.empty()) return std::nullopt;
  char* end = nullptr;
  double d = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || std::isnan(d)) return std::nullopt;
  return d;
}

}  // namespace

UserDefaults& UserDefaults::standardUserDefaults() {
  static UserDefaults* defaults = new UserDefaults();  // Never destroyed.
  return *defaults;
}

UserDefaults::UserDefaults() = default;

UserDefaults::UserDefaults(std::string suiteName) : suiteName_(std::move(suiteName)) {}

std::string UserDefaults::applicationID() const {
  return suiteName_.empty() ? PreferencesCurrentApplicationID() : suiteName_;
}

std::optional<Value> UserDefaults::objectForKey(std::string_view key) const {
  if (auto v = PreferencesCopyAppValue(key, applicationID())) return v;
  std::vector<std::string> suites;
  {
    std::lock_guard<std::mutex> lock(mu_);
    suites = searchSuites_;
  }
  for (const auto& suite : suites) {
    if (auto v = PreferencesCopyAppValue(key, suite)) return v;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (const Value* v = registered_.find(std::string(key))) return *v;
  return std::nullopt;
}

void UserDefaults::addSuiteNamed(const std::string& suiteName) {
  if (suiteName.empty() || suiteName == applicationID()) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (std::find(searchSuites_.begin(), searchSuites_.end(), suiteName) == searchSuites_.end()) {
    searchSuites_.push_back(suiteName);
  }
}

void UserDefaults::removeSuiteNamed(const std::string& suiteName) {
  std::lock_guard<std::mutex> lock(mu_);
  searchSuites_.erase(std::remove(searchSuites_.begin(), searchSuites_.end(), suiteName),
                      searchSuites_.end());
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  auto v = objectForKey(key);
  if (v && v->isString()) return v->asString();
  return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(std::string_view key) const {
  auto v = objectForKey(key);
  if (v && v->isArray()) return *v->array();
  return std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
  auto v = objectForKey(key);
  if (v && v->isDictionary()) return *v->dictionary();
  return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(std::string_view key) const {
  auto v = objectForKey(key);
  if (v && v->isData()) return *v->data();
  return std::nullopt;
}

int64_t UserDefaults::integerForKey(std::string_view key) const {
  auto v = objectForKey(key);
  if (!v) return 0;
  if (v->isNumber() || v->isBool()) return v->asInt();
  if (v->isString()) {
    if (auto d = ParseNumber(v->asString())) {
      // Out-of-range texts saturate rather than overflow.
      if (*d >= 9.2233720368547758e18) return INT64_MAX;
      if (*d <= -9.2233720368547758e18) return INT64_MIN;
      return static_cast<int64_t>(*d);
    }
  }
  return 0;
}

double UserDefaults::doubleForKey(std::string_view key) const {
  auto v = objectForKey(key);
  if (!v) return 0;
  if (v->isNumber() || v->isBool()) return v->asDouble();
  if (v->isString()) return ParseNumber(v->asString()).value_or(0);
  return 0;
}

bool UserDefaults::boolForKey(std::string_view key) const {
  auto v = objectForKey(key);
  if (!v) return false;
  if (v->isNumber() || v->isBool()) return v->asBool();
  if (v->isString()) {
    const std::string& s = v->asString();
    if (strcasecmp(s.c_str(), "yes") == 0 || strcasecmp(s.c_str(), "true") == 0) return true;
    if (auto d = ParseNumber(s)) return *d != 0;
  }
  return false;
}

bool UserDefaults::setObject(std::string_view key, const Value& value, Error* error) {
  return PreferencesSetAppValue(key, value, applicationID(), error);
}

// Numbers and data are always property-list values, so these cannot be refused.
void UserDefaults::setString(std::string_view key, std::string value) {
  Error error;
  if (!setObject(key, Value(std::move(value)), &error)) {
    std::fprintf(stderr, "quellmark: user default %.*s not set: %s\n", static_cast<int>(key.size()),
                 key.data(), error.localizedDescription().c_str());
  }
}
void UserDefaults::setInteger(std::string_view key, int64_t value) {
  (void)setObject(key, Value(value));
}
void UserDefaults::setDouble(std::string_view key, double value) {
  (void)setObject(key, Value(value));
}
void UserDefaults::setBool(std::string_view key, bool value) { (void)setObject(key, Value(value)); }
void UserDefaults::setData(std::string_view key, Data value) {
  (void)setObject(key, Value(std::move(value)));
}

void UserDefaults::removeObjectForKey(std::string_view key) {
  // Removing cannot fail for a valid app id; an invalid one has nothing to remove.
  (void)PreferencesSetAppValue(key, std::nullopt, applicationID());
}

Dictionary UserDefaults::dictionaryRepresentation() const {
  Dictionary out;
  std::vector<std::string> suites;
  {
    std::lock_guard<std::mutex> lock(mu_);
    out = registered_;
    suites = searchSuites_;
  }
  // Later layers win, so apply them from the lowest priority up.
  for (auto it = suites.rbegin(); it != suites.rend(); ++it) {
    for (const auto& [k, v] : PreferencesCopyDomain(*it)) out.set(k, v);
  }
  for (const auto& [k, v] : PreferencesCopyDomain(applicationID())) out.set(k, v);
  return out;
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [k, v] : defaults) {
    if (k.isString()) registered_.set(k, v);
  }
}

bool UserDefaults::synchronize(Error* error) {
  return PreferencesAppSynchronize(applicationID(), error);
}

}  // namespace fnd
