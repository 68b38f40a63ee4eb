// The Dart console: plays the Dart side of the running host from JSON requests, one a line, and
// prints one JSON line for every reply, stream event, call into Dart and message to Dart, in the
// order they arrive. Values use the notation of json_notation.h; custom records keep their type
// bytes through the console codecs.
//
// Requests (one JSON object a line; blank lines are skipped):
//   {"send": CHANNEL, "message": VALUE}   prints {"channel": CHANNEL, "reply": VALUE}; with
//                                         "as": NAME, a reply [STRING] keeps STRING as NAME
//   {"send": CHANNEL, "hex": "HEX"}       prints {"channel": CHANNEL, "hex": "REPLY HEX"}
//   {"invoke": CHANNEL, "method": NAME, "args": VALUE}
//                                         prints {"channel": CHANNEL, "method": NAME, then
//                                         "result": VALUE, "error": {code, message, details} or
//                                         "notImplemented": true}
//   {"listen": CHANNEL, "args": VALUE}, {"cancel": CHANNEL, "args": VALUE}
//                                         the event channel calls, printed like invoke
//   {"wait": MS}                          lets the host work for MS milliseconds
//   {"await": "replies"}                  lets the host work until every reply has come
//   {"await": "events", "channel": CHANNEL, "count": N}
//                                         ... until CHANNEL has carried N events in all
//                                         (both at most a minute; then an error line)
//   {"app": "activate" | "resignActive"}  the application becomes active or resigns, as when the
//                                         user switches to or away from it; prints
//                                         {"app": CHANGE}
//   {"quit": true}                        stops reading
// "args" may be left out (null). Every ${NAME} in a line is replaced by the result kept as NAME
// (a line naming no kept result is an error line). From the host:
//   {"event": CHANNEL, "value": V | "error": {...} | "end": true}   on a channel listened to
//   {"call": CHANNEL, "method": NAME, "args": V}                    a method call into Dart
//   {"message": CHANNEL, "value": V}  or  {"message": CHANNEL, "hex": "..."}   anything else
// Calls into Dart are answered with the empty reply ("not implemented"), as by a Dart side that
// has no handler. A line that cannot be done prints {"error": TEXT, "line": N} and the console
// goes on with the next line.
//
// Thread safety: make it, feed it and destroy it on the main thread, which it drains after every
// request. Output from other threads (late replies, events) is printed whole, never interleaved.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "platform/flutter/dart_endpoint.h"

namespace runner {

class DartConsole {
 public:
  // Prints to out, which must outlive the console. Installs itself as the endpoint's default
  // handler of messages from the host (and removes itself when destroyed).
  DartConsole(flutter::FlutterDartEndpoint& dart, std::ostream& out);
  ~DartConsole();

  DartConsole(const DartConsole&) = delete;
  DartConsole& operator=(const DartConsole&) = delete;

  // Does one request line (counted for error lines), then runs the main queue until it is idle.
  // Returns false when the line asked to quit.
  bool handleLine(std::string_view line);

  // Reads and does lines until end of input or a quit request, then waits for replies still to
  // come, for at most settleSeconds of real time.
  void run(std::istream& in, double settleSeconds = 5);

  // Replies not yet received.
  size_t pendingReplies() const;

  // Carries out an "app" request (the change's name); answers false for a change it does not
  // know. Without one, "app" requests are errors.
  void setApplicationHandler(std::function<bool(const std::string& change)> handler) {
    applicationHandler_ = std::move(handler);
  }

  // Shared with callbacks that may run after the console is gone.
  struct State;

 private:
  // Constant after construction.
  flutter::FlutterDartEndpoint& dart_;
  const std::shared_ptr<State> state_;
  // Main thread only.
  size_t lineNumber_ = 0;
  std::function<bool(const std::string&)> applicationHandler_;
};

}  // namespace runner
