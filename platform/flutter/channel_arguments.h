// ChannelArguments: the one reader of a channel call's arguments that every bridge uses, and the
// one "invalid arguments" refusal that answers a call whose arguments cannot be used.
//
// A method-channel call carries a map and is read by key; a generated host method carries a list
// and is read by position. Null and missing arguments read as absent (and as NO, 0 or empty where
// the read gives a plain value). An argument of a kind the call cannot use is a problem: the
// first one is kept, reading goes on harmlessly, and the bridge answers the call with
//   code    = the bridge's own invalid-arguments code,
//   message = "Invalid arguments for <method>: <problem>."
// before anything reaches the SDK. Arguments that are of the wrong container kind (a list where a
// map is read) are a problem only once an argument is read, so a method that takes no arguments
// never refuses.
//
// Thread safety: a reader belongs to one call on one thread; it copies what it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/flutter/codec.h"
#include "platform/foundation/value.h"

namespace flutter {

// A text's integer value: blanks, a sign and the leading digits ("12abc" is 12, "abc" is 0);
// clamped to the 64-bit range.
int64_t TextIntegerValue(std::string_view text);

class ChannelArguments {
 public:
  // Names one argument: a key of a map or a position in a list.
  class Key {
   public:
    Key(const char* key) : key_(key) {}                     // NOLINT: implicit on purpose
    Key(const std::string& key) : key_(key) {}              // NOLINT
    Key(int index) : index_(static_cast<size_t>(index)) {}  // NOLINT
    Key(size_t index) : index_(index) {}                    // NOLINT

    bool isIndex() const { return !key_; }

   private:
    friend class ChannelArguments;
    std::optional<std::string> key_;
    size_t index_ = 0;
  };

  // The map of a method call (null reads as an empty map).
  static ChannelArguments ofMap(std::string method, const fnd::Value& arguments);
  // The argument list of a generated host method. A problem names argument i by names[i] when
  // given ("\"appName\" must be ..."), else as "argument i".
  static ChannelArguments ofList(std::string method, const fnd::Value& arguments,
                                 std::vector<std::string> names = {});

  // The raw argument; null when absent (or when the container is of the wrong kind).
  fnd::Value any(const Key& key);
  // Whether the argument is present and not null.
  bool has(const Key& key);

  // Text; absent for null.
  std::optional<std::string> string(const Key& key);
  // Text that must be there.
  std::string requiredString(const Key& key);
  // A boolean; numbers count by their value, absent is NO. With `integersOnly` a floating-point
  // number is a problem too (a generated message's booleans travel as booleans or integers).
  bool boolean(const Key& key, bool integersOnly = false);
  // A whole number that must be there: an integer, a boolean or a floating-point whole number.
  int64_t integer(const Key& key);
  // A number's integer value (fractions cut off); absent is 0. With `text`, text counts by its
  // leading integer ("12abc" is 12) the way a text's integerValue reads it.
  int64_t integerValue(const Key& key, bool text = false);
  // Bytes; absent for null.
  std::optional<fnd::Data> data(const Key& key);
  // A map; absent for null.
  std::optional<fnd::Dictionary> dictionary(const Key& key);
  // A map whose keys are all text; absent for null.
  std::optional<fnd::Dictionary> stringKeyedDictionary(const Key& key);
  // A list of maps; null is an empty list.
  std::vector<fnd::Dictionary> dictionaries(const Key& key);
  // A list of text; absent for null.
  std::optional<std::vector<std::string>> strings(const Key& key);
  // A record of type T (a decoded channel message); nullptr for null. `what` names the kind in
  // the problem.
  template <typename T>
  std::shared_ptr<T> record(const Key& key, const char* what) {
    fnd::Value v = any(key);
    if (v.isNull()) return nullptr;
    auto r = v.recordAs<T>();
    if (!r) fail(key, what);
    return r;
  }
  // A list of records of type T; absent for null.
  template <typename T>
  std::optional<std::vector<std::shared_ptr<T>>> records(const Key& key, const char* what) {
    fnd::Value v = any(key);
    if (v.isNull()) return std::nullopt;
    std::vector<std::shared_ptr<T>> out;
    if (const fnd::Array* list = v.array()) {
      for (const fnd::Value& e : *list) {
        auto r = e.recordAs<T>();
        if (!r) break;
        out.push_back(std::move(r));
      }
      if (out.size() == list->size()) return out;
    }
    fail(key, std::string("a list of ") + what);
    return std::nullopt;
  }

  // The reader of a map or list inside the arguments (a frame of a stack trace, say). It shares
  // this reader's method name and problem.
  ChannelArguments nested(const fnd::Value& container) const;

  // Records a problem of the call; only the first is kept.
  void fail(std::string problem);
  // "<name of key> must be <what>".
  void fail(const Key& key, std::string_view what);

  bool ok() const { return problem_->empty(); }
  const std::string& method() const { return *method_; }
  // "Invalid arguments for <method>: <problem>."
  std::string message() const;

  // The refusal of this call, with the bridge's code and details.
  std::shared_ptr<FlutterError> refusal(std::string code, fnd::Value details = {}) const;
  // When there is a problem, answers `result` with the refusal and returns true.
  bool refused(const FlutterResult& result, std::string code, fnd::Value details = {}) const;

 private:
  ChannelArguments(std::shared_ptr<const std::string> method, fnd::Value container,
                   std::shared_ptr<std::string> problem,
                   std::shared_ptr<const std::vector<std::string>> names);
  // How a problem names an argument: "\"key\"", or "argument N".
  std::string nameOf(const Key& key) const;

  const std::shared_ptr<const std::string> method_;
  const std::shared_ptr<const std::vector<std::string>> names_;
  const fnd::Value container_;
  const std::shared_ptr<std::string> problem_;  // Empty while every argument was usable.
};

// Method dispatch from a table: the handler of a method name, compared by exact text.
template <typename Handler>
class MethodTable {
 public:
  MethodTable(std::initializer_list<std::pair<std::string_view, Handler>> entries)
      : entries_(entries) {}
  explicit MethodTable(std::vector<std::pair<std::string_view, Handler>> entries)
      : entries_(std::move(entries)) {}

  // The handler of `method`, or nullptr when the table does not name it.
  const Handler* find(std::string_view method) const {
    for (const auto& [name, handler] : entries_) {
      if (name == method) return &handler;
    }
    return nullptr;
  }

  const std::vector<std::pair<std::string_view, Handler>>& entries() const { return entries_; }

 private:
  const std::vector<std::pair<std::string_view, Handler>> entries_;
};

}  // namespace flutter
