// A loopback stand-in for the measurement service, for development and tests. It answers upload
// POSTs and configuration GETs as the service would (status, caching headers, the measurement
// configuration it was given) and reports every request it receives, decoded with the project's
// own wire messages, as one JSON line.
//
// Kinds of request: "upload" (a POST), "config" (a GET) and "experiments" (the experiments
// client's POST to kExperimentsPath, reported with its decoded request and answered, when not
// scripted, with 200 and an empty compressed reply: no experiments).
//
// Answers can be scripted per kind of request ("upload", "config", "experiments", or "any"),
// consumed in order:
//   N            the status N with an empty body (429, 500, 503, 304, ...)
//   delay:MS     the normal answer after MS milliseconds (a slow server); the request is
//                reported before the wait
//   drop         the headers promise a body, then the connection closes before any of it
//   reset        the connection closes halfway through the body
//   garbage      status 200 with 4096 bytes that are no message
//   big          status 200 with a 10 MB body
// A report names a scripted fault ("fault") or delay ("delay_ms"), whose answer the client may
// never have seen. When a kind's script is used up, uploads answer 204, and configuration requests
// answer 200 with the configuration (304 when If-None-Match names its ETag), or 404 without one.
//
// Thread safety: start() and stop() from one thread; requests are served on the server's own
// threads and lines are written under a mutex.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/value.h"

namespace httplib {
class Server;
}

namespace collector {

using Json = nlohmann::ordered_json;

struct Action {
  enum class Kind { kStatus, kDelay, kDrop, kReset, kGarbage, kBig };
  Kind kind = Kind::kStatus;
  int status = 200;
  int delayMs = 0;
};

// Parses "upload=429,config=304,any=delay:500"; nullopt (with *error) on a bad item.
std::optional<std::map<std::string, std::deque<Action>>> ParseScript(const std::string& text,
                                                                     std::string* error);

// The batch decoded for the report: upload subdomain and bundles with their events, parameters,
// user properties, identifiers and consent fields; "checksum_valid" tells whether a bundle's
// checksum (tag 47) is the MD5 slice of its own encoding. nullopt when the bytes do not decode.
std::optional<Json> DecodeBatch(const fnd::Data& bytes);
// The path the experiments client posts to.
inline constexpr const char* kExperimentsPath = "/sdk-exp";

// An experiment request for the report (its description); nullopt when it does not decode.
std::optional<Json> DescribeExperimentRequest(const fnd::Data& bytes);
// A measurement configuration's app ID and version for the report; nullopt when it does not
// decode.
std::optional<Json> DescribeConfig(const fnd::Data& bytes);

struct Options {
  int port = 0;                                         // 0: any free port.
  std::optional<fnd::Data> config;                      // The configuration served.
  std::map<std::string, std::deque<Action>> script;     // Scripted answers by kind.
  std::function<void(const std::string& line)> output;  // One JSON line per request.
};

class Collector {
 public:
  explicit Collector(Options options);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  // Binds 127.0.0.1 and serves on a thread of its own; false when the port cannot be bound.
  bool start();
  // Stops serving and waits for the thread.
  void stop();
  int port() const { return port_; }

 private:
  std::optional<Action> nextAction(const std::string& kind);
  void emit(const Json& line);

  Options options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::string etag_;

  mutable std::mutex mu_;
  int64_t requests_ = 0;  // Guarded by mu_.
};

}  // namespace collector
