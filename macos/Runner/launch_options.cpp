#include "macos/Runner/launch_options.h"

#include "platform/foundation/process_info.h"

namespace runner {

std::optional<LaunchOptions> ParseLaunchOptions(const std::vector<std::string>& arguments,
                                                std::string* error) {
  auto fail = [error](std::string message) -> std::optional<LaunchOptions> {
    if (error) *error = std::move(message);
    return std::nullopt;
  };
  LaunchOptions options;
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string flag = arguments[i];
    if (flag.size() > 1 && flag[0] == '-' && flag[1] != '-') continue;  // The platform's own.
    std::optional<std::string> value;
    if (size_t eq = flag.find('='); flag.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = flag.substr(eq + 1);
      flag = flag.substr(0, eq);
    }
    std::optional<std::string>* target = nullptr;
    if (flag == "--bundle") {
      target = &options.bundlePath;
    } else if (flag == "--dart") {
      target = &options.dartScript;
    } else if (flag == "--os-version") {
      target = &options.osVersion;
    } else if (flag == "--service-url") {
      target = &options.serviceURL;
    } else {
      return fail("unknown argument \"" + arguments[i] + "\"");
    }
    if (*target) return fail(flag + " given twice");
    if (!value) {
      if (i + 1 >= arguments.size()) return fail(flag + " needs a value");
      value = arguments[++i];
    }
    if (value->empty()) return fail(flag + " needs a non-empty value");
    if (target == &options.osVersion && fnd::ProcessInfo::ParseVersion(*value).majorVersion <= 0) {
      return fail("--os-version needs a version such as 14.2, not \"" + *value + "\"");
    }
    *target = std::move(value);
  }
  return options;
}

}  // namespace runner
