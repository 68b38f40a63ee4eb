#include "macos/Runner/dart_console.h"

#include <atomic>
#include <istream>
#include <map>
#include <mutex>
#include <ostream>
#include <set>

#include "macos/Runner/console_codec.h"
#include "macos/Runner/json_notation.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/codec.h"

namespace runner {

// The longest wait a request may ask for, in milliseconds.
constexpr int64_t kMaxWaitMilliseconds = 600000;
// How long an "await" request waits at most, in seconds of real time.
constexpr double kAwaitSeconds = 60;

struct DartConsole::State {
  std::mutex mu;
  std::ostream* out;                          // Guarded by mu; null once the console is gone.
  std::set<std::string> eventChannels;        // Guarded by mu: channels listened to.
  std::map<std::string, size_t> eventCounts;  // Guarded by mu: events printed, by channel.
  std::map<std::string, std::string> names;   // Guarded by mu: results kept by "as".
  std::atomic<size_t> pending{0};             // Replies still to come.

  void print(const Json& line) {
    std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(mu);
    if (!out) return;
    *out << text << '\n';
    out->flush();
  }

  bool isEventChannel(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mu);
    return eventChannels.count(channel) > 0;
  }
};

namespace {

// A request that cannot be done; its text goes into the error line.
struct BadRequest {
  std::string message;
};

Json ErrorJson(const flutter::FlutterError& error) {
  Json j = Json::object();
  j["code"] = error.code();
  j["message"] = error.message() ? Json(*error.message()) : Json(nullptr);
  j["details"] = JsonFromValue(error.details());
  return j;
}

// Adds the outcome of a method-call envelope to a line: result, error or not implemented.
void AddEnvelope(Json& line, const fnd::Data& reply) {
  fnd::Error error;
  auto envelope = ConsoleMethodCodec()->decodeEnvelope(reply, &error);
  if (reply.empty()) {
    line["notImplemented"] = true;
  } else if (!envelope) {
    line["error"] = "the reply does not decode: " + error.localizedDescription();
    line["hex"] = HexEncode(reply);
  } else if (auto flutterError = flutter::FlutterError::fromValue(*envelope)) {
    line["error"] = ErrorJson(*flutterError);
  } else {
    line["result"] = JsonFromValue(*envelope);
  }
}

const std::string& RequireString(const Json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end()) throw BadRequest{std::string("missing \"") + key + "\""};
  if (!it->is_string() || it->get_ref<const std::string&>().empty()) {
    throw BadRequest{std::string("\"") + key + "\" must be a non-empty string"};
  }
  return it->get_ref<const std::string&>();
}

fnd::Value ValueOf(const Json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end()) return fnd::Value();
  std::string error;
  auto value = ValueFromJson(*it, &error);
  if (!value) throw BadRequest{std::string("\"") + key + "\": " + error};
  return *value;
}

// The line with every ${NAME} replaced by the result kept under NAME, escaped for a JSON string.
std::string Substitute(std::string_view text, const std::map<std::string, std::string>& names) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t start = text.find("${", i);
    if (start == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    size_t end = text.find('}', start + 2);
    if (end == std::string_view::npos) throw BadRequest{"\"${\" without a closing \"}\""};
    std::string name(text.substr(start + 2, end - start - 2));
    auto it = names.find(name);
    if (it == names.end()) throw BadRequest{"no result is kept as \"" + name + "\""};
    out.append(text.substr(i, start - i));
    std::string quoted = Json(it->second).dump();
    out.append(quoted.substr(1, quoted.size() - 2));
    i = end + 1;
  }
  return out;
}

void OnlyKeys(const Json& request, std::initializer_list<const char*> allowed) {
  for (auto it = request.begin(); it != request.end(); ++it) {
    bool known = false;
    for (const char* key : allowed) known = known || it.key() == key;
    if (!known) throw BadRequest{"unknown key \"" + it.key() + "\""};
  }
}

}  // namespace

DartConsole::DartConsole(flutter::FlutterDartEndpoint& dart, std::ostream& out)
    : dart_(dart), state_(std::make_shared<State>()) {
  state_->out = &out;
  std::weak_ptr<State> weak = state_;
  dart_.setDefaultMessageHandler([weak](const std::string& channel, const fnd::Data& message,
                                        flutter::FlutterBinaryReply reply) {
    auto state = weak.lock();
    if (state) {
      Json line = Json::object();
      fnd::Error error;
      const bool isEvent = state->isEventChannel(channel);
      if (isEvent) {
        line["event"] = channel;
        if (message.empty()) {
          line["end"] = true;
        } else if (auto event = ConsoleMethodCodec()->decodeEnvelope(message, &error)) {
          if (auto flutterError = flutter::FlutterError::fromValue(*event)) {
            line["error"] = ErrorJson(*flutterError);
          } else {
            line["value"] = JsonFromValue(*event);
          }
        } else {
          line["error"] = "the event does not decode: " + error.localizedDescription();
          line["hex"] = HexEncode(message);
        }
      } else if (auto call = ConsoleMethodCodec()->decodeMethodCall(message)) {
        line["call"] = channel;
        line["method"] = call->method();
        line["args"] = JsonFromValue(call->arguments());
      } else if (auto value = ConsoleMessageCodec()->decode(message)) {
        line["message"] = channel;
        line["value"] = JsonFromValue(*value);
      } else {
        line["message"] = channel;
        line["hex"] = HexEncode(message);
      }
      state->print(line);
      if (isEvent) {
        // Counted once its line is out, so that an await for it returns after the line.
        std::lock_guard<std::mutex> lock(state->mu);
        ++state->eventCounts[channel];
      }
    }
    if (reply) reply(fnd::Data());
  });
}

DartConsole::~DartConsole() {
  dart_.setDefaultMessageHandler(nullptr);
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->out = nullptr;
}

size_t DartConsole::pendingReplies() const { return state_->pending.load(); }

bool DartConsole::handleLine(std::string_view text) {
  ++lineNumber_;
  const size_t lineNumber = lineNumber_;
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return true;
  bool keepGoing = true;
  try {
    Json request;
    std::string substituted;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      substituted = Substitute(text, state_->names);
    }
    try {
      request = Json::parse(substituted);
    } catch (const Json::exception& e) {
      throw BadRequest{std::string("not JSON: ") + e.what()};
    }
    if (!request.is_object()) throw BadRequest{"a request must be a JSON object"};

    std::shared_ptr<State> state = state_;
    // Sends bytes and prints the reply, made into a line by `finish`, when it comes.
    auto sendBytes = [&](const std::string& channel, fnd::Data bytes,
                         std::function<void(Json&, const fnd::Data&)> finish, Json head) {
      state->pending.fetch_add(1);
      dart_.send(channel, std::move(bytes),
                 [state, finish = std::move(finish), head = std::move(head)](const fnd::Data& r) {
                   Json line = head;
                   finish(line, r);
                   state->print(line);
                   state->pending.fetch_sub(1);
                 });
    };
    auto encodeCall = [](const std::string& method, const fnd::Value& args) {
      fnd::Error error;
      auto bytes =
          ConsoleMethodCodec()->encodeMethodCall(flutter::FlutterMethodCall(method, args), &error);
      if (!bytes) throw BadRequest{"cannot encode the call: " + error.localizedDescription()};
      return *bytes;
    };

    if (request.contains("send")) {
      OnlyKeys(request, {"send", "message", "hex", "as"});
      const std::string& channel = RequireString(request, "send");
      std::string as = request.contains("as") ? RequireString(request, "as") : std::string();
      bool hasHex = request.contains("hex");
      if (hasHex == request.contains("message")) {
        throw BadRequest{"\"send\" needs exactly one of \"message\" and \"hex\""};
      }
      Json head = {{"channel", channel}};
      if (hasHex) {
        const Json& hex = request.at("hex");
        auto bytes = hex.is_string() ? HexDecode(hex.get<std::string>()) : std::nullopt;
        if (!bytes) throw BadRequest{"\"hex\" must be hex text of even length"};
        sendBytes(
            channel, std::move(*bytes),
            [](Json& line, const fnd::Data& r) { line["hex"] = HexEncode(r); }, head);
      } else {
        fnd::Value message = ValueOf(request, "message");
        fnd::Error error;
        auto bytes = ConsoleMessageCodec()->encode(message, &error);
        if (!bytes) throw BadRequest{"cannot encode the message: " + error.localizedDescription()};
        sendBytes(
            channel, std::move(*bytes),
            [state, as](Json& line, const fnd::Data& r) {
              fnd::Error decodeError;
              if (auto reply = ConsoleMessageCodec()->decode(r, &decodeError)) {
                line["reply"] = JsonFromValue(*reply);
                // A success envelope holding a string: its result is kept for ${NAME}.
                auto list = reply->array();
                if (!as.empty() && list && list->size() == 1 && (*list)[0].isString()) {
                  std::lock_guard<std::mutex> lock(state->mu);
                  state->names[as] = (*list)[0].asString();
                }
              } else {
                line["error"] = "the reply does not decode: " + decodeError.localizedDescription();
                line["hex"] = HexEncode(r);
              }
            },
            head);
      }
    } else if (request.contains("invoke")) {
      OnlyKeys(request, {"invoke", "method", "args"});
      const std::string& channel = RequireString(request, "invoke");
      const std::string& method = RequireString(request, "method");
      fnd::Data bytes = encodeCall(method, ValueOf(request, "args"));
      sendBytes(channel, std::move(bytes), AddEnvelope, {{"channel", channel}, {"method", method}});
    } else if (request.contains("listen") || request.contains("cancel")) {
      const char* verb = request.contains("listen") ? "listen" : "cancel";
      OnlyKeys(request, {verb, "args"});
      const std::string& channel = RequireString(request, verb);
      fnd::Data bytes = encodeCall(verb, ValueOf(request, "args"));
      {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->eventChannels.insert(channel);
      }
      sendBytes(channel, std::move(bytes), AddEnvelope, {{"channel", channel}, {"method", verb}});
    } else if (request.contains("wait")) {
      OnlyKeys(request, {"wait"});
      const Json& ms = request.at("wait");
      if (!ms.is_number_integer() || ms.get<int64_t>() < 0 ||
          ms.get<int64_t>() > kMaxWaitMilliseconds) {
        throw BadRequest{"\"wait\" must be milliseconds from 0 to " +
                         std::to_string(kMaxWaitMilliseconds)};
      }
      double seconds = static_cast<double>(ms.get<int64_t>()) / 1000;
      auto done = std::make_shared<std::atomic<bool>>(false);
      dispatch::Queue::main()->after(seconds, [done] { done->store(true); });
      dispatch::RunLoop::main().runUntil([done] { return done->load(); }, seconds + 60);
    } else if (request.contains("await")) {
      const std::string& what = RequireString(request, "await");
      std::function<bool()> done;
      std::string description;
      if (what == "replies") {
        OnlyKeys(request, {"await"});
        done = [state] { return state->pending.load() == 0; };
        description = "every reply";
      } else if (what == "events") {
        OnlyKeys(request, {"await", "channel", "count"});
        std::string channel = RequireString(request, "channel");
        const Json& count = request.contains("count") ? request.at("count") : Json(nullptr);
        if (!count.is_number_unsigned() || count.get<uint64_t>() == 0) {
          throw BadRequest{"\"count\" must be a positive number of events"};
        }
        size_t n = count.get<size_t>();
        done = [state, channel, n] {
          std::lock_guard<std::mutex> lock(state->mu);
          auto it = state->eventCounts.find(channel);
          return it != state->eventCounts.end() && it->second >= n;
        };
        description = std::to_string(n) + " events on " + channel;
      } else {
        throw BadRequest{"\"await\" must be \"replies\" or \"events\""};
      }
      if (!dispatch::RunLoop::main().runUntil(done, kAwaitSeconds)) {
        throw BadRequest{"timed out waiting for " + description};
      }
    } else if (request.contains("app")) {
      OnlyKeys(request, {"app"});
      const std::string& change = RequireString(request, "app");
      if (!applicationHandler_) throw BadRequest{"there is no application to tell"};
      if (!applicationHandler_(change)) {
        throw BadRequest{"\"app\" must be \"activate\" or \"resignActive\""};
      }
      state_->print(Json{{"app", change}});
    } else if (request.contains("quit")) {
      OnlyKeys(request, {"quit"});
      if (request.at("quit") != Json(true)) throw BadRequest{"\"quit\" must be true"};
      keepGoing = false;
    } else {
      throw BadRequest{
          "a request needs one of \"send\", \"invoke\", \"listen\", \"cancel\", \"wait\", "
          "\"await\", \"app\", \"quit\""};
    }
  } catch (const BadRequest& bad) {
    state_->print(Json{{"error", bad.message}, {"line", lineNumber}});
  } catch (const std::exception& e) {
    // Anything else thrown on the way (an allocation, a JSON type error) is still a bad line.
    state_->print(
        Json{{"error", std::string("cannot do the request: ") + e.what()}, {"line", lineNumber}});
  }
  dispatch::RunLoop::main().runUntilIdle();
  return keepGoing;
}

void DartConsole::run(std::istream& in, double settleSeconds) {
  std::string line;
  while (std::getline(in, line)) {
    if (!handleLine(line)) break;
  }
  dispatch::RunLoop::main().runUntilIdle();
  if (pendingReplies() > 0 && settleSeconds > 0) {
    std::shared_ptr<State> state = state_;
    dispatch::RunLoop::main().runUntil([state] { return state->pending.load() == 0; },
                                       settleSeconds);
  }
}

}  // namespace runner
