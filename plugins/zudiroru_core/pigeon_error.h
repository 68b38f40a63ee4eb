// Helpers of the generated host interfaces that build their reply lists themselves (the analytics
// and remote-configuration bridges): their own error type, the error reply, optional-value
// unwrapping, and the deep equality and hash of field lists that their message records use.
// Each such bridge names its copies after its module (deepEqualsZudiroruAnalyticsMessages, ...)
// and forwards to these.
//
// Thread safety: everything here is a value or a reentrant function.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/flutter/codec.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace zudiroru {

// An error a host method may fail with: code, optional message, optional details of any kind.
class PigeonError : public fnd::Record {
 public:
  PigeonError(std::string code, std::optional<std::string> message = std::nullopt,
              fnd::Value details = {})
      : code_(std::move(code)), message_(std::move(message)), details_(std::move(details)) {}

  const std::string& code() const { return code_; }
  const std::optional<std::string>& message() const { return message_; }
  const fnd::Value& details() const { return details_; }

  std::string typeName() const override { return "PigeonError"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;

 private:
  const std::string code_;
  const std::optional<std::string> message_;
  const fnd::Value details_;
};

// The three-element error reply [code, message, details], null for each absent member.
fnd::Array wrapError(const PigeonError& error);
fnd::Array wrapError(const flutter::FlutterError& error);
// Any other error: [its description, the name of its type, "Stacktrace: " and the current call
// stack printed as one list].
fnd::Array wrapError(const fnd::Error& error);
fnd::Array wrapError(const std::exception& error);
// A value holding a PigeonError or a FlutterError record is wrapped as that error; any other
// value as an error of its own, described by its description and its kind name.
fnd::Array wrapError(const fnd::Value& error);

// "Stacktrace: [frame, frame, ...]" for the calling thread.
std::string PigeonStacktrace();

// Null gives nullopt; any other value is returned as it is.
std::optional<fnd::Value> nilOrValue(const fnd::Value& value);
// Null, and a value of another kind than T, give nullopt. T is bool, an integer type, double,
// std::string, fnd::Array, fnd::Dictionary or fnd::Data.
template <typename T>
std::optional<T> nilOrValue(const fnd::Value& value) {
  if constexpr (std::is_same_v<T, bool>) {
    if (value.isBool()) return value.asBool();
  } else if constexpr (std::is_integral_v<T>) {
    if (value.isInt()) return static_cast<T>(value.asInt());
  } else if constexpr (std::is_floating_point_v<T>) {
    if (value.isNumber()) return static_cast<T>(value.asDouble());
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (value.isString()) return value.asString();
  } else if constexpr (std::is_same_v<T, fnd::Array>) {
    if (value.isArray()) return *value.array();
  } else if constexpr (std::is_same_v<T, fnd::Dictionary>) {
    if (value.isDictionary()) return *value.dictionary();
  } else if constexpr (std::is_same_v<T, fnd::Data>) {
    if (value.isData()) return *value.data();
  } else {
    static_assert(!sizeof(T), "nilOrValue: unsupported type");
  }
  return std::nullopt;
}

// Deep equality of two optional values: null and absent are equal; lists are equal element by
// element; maps are equal when they hold the same keys with deep-equal values; anything else
// compares by value equality.
bool PigeonDeepEquals(const std::optional<fnd::Value>& a, const std::optional<fnd::Value>& b);

// Accumulates hash values in order.
class PigeonHasher {
 public:
  void combine(size_t value);
  void combine(const std::string& text);
  size_t finalize() const { return state_; }

 private:
  size_t state_ = 0xcbf29ce484222325ULL;
};

// Feeds a value to the hasher so that deep-equal values hash equally: a list feeds its elements in
// order; a map feeds a combination of its entries that does not depend on their order; any other
// value feeds its hash and its description; absent (or null) feeds the description of absence.
void PigeonDeepHash(const std::optional<fnd::Value>& value, PigeonHasher& hasher);

}  // namespace zudiroru
