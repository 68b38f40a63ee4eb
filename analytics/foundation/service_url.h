// Where the analytics service requests go. Every request of the engine (settings fetch, upload)
// and of its experiments client names its own host; a development or test setup can send all of
// them to one other base URL instead, keeping each request's path and query:
//   - the launch argument `--service-url URL` (it wins), or
//   - the environment variable QUELLMARK_SERVICE_URL.
// The base must be an http:// or https:// URL; the network object still refuses plain http to
// anything but a loopback host.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The environment variable and the launch argument that name the base URL.
inline constexpr const char* kZIVServiceURLEnvironmentVariable = "QUELLMARK_SERVICE_URL";
inline constexpr const char* kZIVServiceURLArgument = "--service-url";

// The base URL from the arguments (`--service-url URL` or `--service-url=URL`) or else the
// environment value, without a trailing "/"; nullopt when neither gives an http(s) URL.
std::optional<std::string> ZIVServiceBaseURLFrom(const std::vector<std::string>& arguments,
                                                 const std::optional<std::string>& environment);
// The same for this process (fnd::ProcessInfo's arguments and environment).
std::optional<std::string> ZIVServiceBaseURL();

// `url` with its scheme and authority replaced by `base` (path and query kept); `url` itself when
// there is no base or it has no scheme.
std::string ZIVServiceURLWithBase(const std::string& url, const std::optional<std::string>& base);
// The same with this process's base.
std::string ZIVServiceURL(const std::string& url);
