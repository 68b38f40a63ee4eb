#include "platform/foundation/locale.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace fnd {

namespace {

constexpr const char* kPOSIXLocaleIdentifier = "en_US_POSIX";

struct Overrides {
  std::mutex mu;
  std::optional<std::vector<std::string>> languages;  // Guarded by mu.
  std::optional<std::string> locale;                  // Guarded by mu.
};

Overrides& TestOverrides() {
  static Overrides* overrides = new Overrides();  // Never destroyed.
  return *overrides;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// The first of the variables that names a language, as a POSIX name.
std::string FirstLanguageVariable(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    std::string v = Env(name);
    if (!LanguageTagFromPOSIXLocale(v).empty()) return v;
  }
  return "";
}

}  // namespace

std::string LanguageTagFromPOSIXLocale(std::string_view name) {
  name = name.substr(0, name.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return "";
  std::string tag;
  for (char c : name) {
    const bool letterOrDigit =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (c == '_' || c == '-') {
      tag += '-';
    } else if (letterOrDigit) {
      tag += c;
    } else {
      return "";  // Not a locale name.
    }
  }
  if (tag.front() == '-' || tag.back() == '-') return "";
  return tag;
}

std::vector<std::string> PreferredLanguages() {
  {
    Overrides& o = TestOverrides();
    std::lock_guard<std::mutex> lock(o.mu);
    if (o.languages) return *o.languages;
  }
  std::vector<std::string> out;
  auto add = [&](std::string_view posix) {
    std::string tag = LanguageTagFromPOSIXLocale(posix);
    if (!tag.empty() && std::find(out.begin(), out.end(), tag) == out.end()) out.push_back(tag);
  };
  const std::string list = Env("LANGUAGE");
  for (size_t start = 0; start <= list.size();) {
    size_t colon = list.find(':', start);
    if (colon == std::string::npos) colon = list.size();
    add(std::string_view(list).substr(start, colon - start));
    start = colon + 1;
  }
  add(FirstLanguageVariable({"LC_ALL", "LC_MESSAGES", "LANG"}));
  return out;
}

std::string CurrentLocaleIdentifier() {
  {
    Overrides& o = TestOverrides();
    std::lock_guard<std::mutex> lock(o.mu);
    if (o.locale) return *o.locale;
  }
  std::string tag =
      LanguageTagFromPOSIXLocale(FirstLanguageVariable({"LC_ALL", "LC_CTYPE", "LANG"}));
  if (tag.empty()) return kPOSIXLocaleIdentifier;
  std::replace(tag.begin(), tag.end(), '-', '_');
  return tag;
}

void SetPreferredLanguagesForTesting(std::optional<std::vector<std::string>> languages) {
  Overrides& o = TestOverrides();
  std::lock_guard<std::mutex> lock(o.mu);
  o.languages = std::move(languages);
}

void SetCurrentLocaleForTesting(std::optional<std::string> identifier) {
  Overrides& o = TestOverrides();
  std::lock_guard<std::mutex> lock(o.mu);
  o.locale = std::move(identifier);
}

}  // namespace fnd
