// The command line of the quellmark executable:
//
//   quellmark [--bundle DIR] [--dart FILE|-] [--os-version VERSION] [--service-url URL] [-Name ...]
//
// --bundle points the main bundle at DIR (Info.plist and the default options file); --dart runs
// the Dart console (dart_console.h) on FILE, or on standard input for "-"; --os-version sets the
// macOS version the host reports ("14.2"), over the Info.plist key kOSVersionInfoKey;
// --service-url sends every analytics service request to URL (analytics/foundation/service_url.h
// reads it). Each flag may be given once; "--flag=value" is accepted too. Arguments with a single
// dash ("-Name", such as the analytics debug switch "-ZIVAnalyticsDebugEnabled") are the
// platform's own launch arguments, read by the libraries themselves; they pass untouched.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace runner {

struct LaunchOptions {
  std::optional<std::string> bundlePath;
  std::optional<std::string> dartScript;  // "-" for standard input.
  std::optional<std::string> osVersion;
  std::optional<std::string> serviceURL = std::nullopt;
  bool operator==(const LaunchOptions&) const = default;
};

// The usage line printed on a bad command line.
inline constexpr const char* kUsage =
    "usage: quellmark [--bundle DIR] [--dart FILE|-] [--os-version VERSION] [--service-url URL]";

// The bundle's Info.plist key naming the macOS version the host reports.
inline constexpr const char* kOSVersionInfoKey = "QuellmarkSystemVersion";

// Parses the arguments (the program name first). nullopt, with a message naming the problem in
// *error when given, for an unknown argument, a flag without its value, a flag given twice, or an
// --os-version that is not a version.
std::optional<LaunchOptions> ParseLaunchOptions(const std::vector<std::string>& arguments,
                                                std::string* error = nullptr);

}  // namespace runner
