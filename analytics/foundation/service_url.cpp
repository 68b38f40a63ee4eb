#include "analytics/foundation/service_url.h"

#include "platform/foundation/process_info.h"

namespace {

// The base when `text` is an http(s) URL with a host; trailing "/" removed.
std::optional<std::string> NormalisedBase(std::string text) {
  const size_t scheme = text.find("://");
  if (scheme == std::string::npos) return std::nullopt;
  const std::string name = text.substr(0, scheme);
  if (name != "http" && name != "https") return std::nullopt;
  if (text.size() == scheme + 3 || text[scheme + 3] == '/') return std::nullopt;  // No host.
  if (text.find_first_of("?#", scheme + 3) != std::string::npos) return std::nullopt;
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

std::optional<std::string> ZIVServiceBaseURLFrom(const std::vector<std::string>& arguments,
                                                 const std::optional<std::string>& environment) {
  const std::string flag = kZIVServiceURLArgument;
  std::optional<std::string> fromArguments;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == flag && i + 1 < arguments.size()) {
      fromArguments = arguments[i + 1];
    } else if (arguments[i].rfind(flag + "=", 0) == 0) {
      fromArguments = arguments[i].substr(flag.size() + 1);
    }
  }
  if (fromArguments) {
    if (auto base = NormalisedBase(*fromArguments)) return base;
  }
  if (environment && !environment->empty()) return NormalisedBase(*environment);
  return std::nullopt;
}

std::optional<std::string> ZIVServiceBaseURL() {
  const fnd::ProcessInfo& info = fnd::ProcessInfo::processInfo();
  return ZIVServiceBaseURLFrom(info.arguments(),
                               info.environmentValue(kZIVServiceURLEnvironmentVariable));
}

std::string ZIVServiceURLWithBase(const std::string& url, const std::optional<std::string>& base) {
  if (!base) return url;
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t pathStart = url.find_first_of("/?#", scheme + 3);
  if (pathStart == std::string::npos) return *base;
  return *base + url.substr(pathStart);
}

std::string ZIVServiceURL(const std::string& url) {
  return ZIVServiceURLWithBase(url, ZIVServiceBaseURL());
}
