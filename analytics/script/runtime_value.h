// Script values: every datum a program touches is an object of a class derived from
// APMPRuntimeValue, held by shared pointer (APMPValueRef). This header has the base, the plain
// values (undefined, null, boolean, number, string), the statement and control values, and the
// conversions and equality helpers that the command evaluators use. Containers live in
// map_value.h, array_value.h and function_value.h.
//
// Text: a script string is a sequence of UTF-16 code units (std::u16string); every length and
// index a script sees counts those units. Host-facing APIs take and give UTF-8 and convert at the
// boundary.
//
// Conversions and calls report failure through an APMPError out-parameter (runtime_error.h) and
// return the fallback value that each function names.
//
// Thread safety: values are used by one thread at a time (the engine's worker queue). The shared
// instances (undefined, null, the two booleans, break, continue, the array hole) are immutable and
// may be handed between threads.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/script/memory_account.h"
#include "analytics/script/pool_allocator.h"
#include "analytics/script/release_queue.h"
#include "analytics/script/runtime_error.h"
#include "analytics/script/runtime_limits.h"

class APMPRuntimeValue;
class APMPScope;
class APMPMarker;

using APMPValueRef = std::shared_ptr<APMPRuntimeValue>;
using APMPValueList = std::vector<APMPValueRef>;
using APMPScopeRef = std::shared_ptr<APMPScope>;

// Names that scripts see.
inline constexpr std::u16string_view APMPTypeNameUndefined = u"undefined";
inline constexpr std::u16string_view APMPTypeNameObject = u"object";
inline constexpr std::u16string_view APMPTypeNameBoolean = u"boolean";
inline constexpr std::u16string_view APMPTypeNameNumber = u"number";
inline constexpr std::u16string_view APMPTypeNameString = u"string";
inline constexpr std::u16string_view APMPTypeNameFunction = u"function";
inline constexpr std::u16string_view APMPToStringMethodName = u"toString";
inline constexpr std::u16string_view APMPHasOwnPropertyMethodName = u"hasOwnProperty";
inline constexpr std::u16string_view APMPMapValueToString = u"[object Object]";
inline constexpr std::u16string_view APMPLengthPropertyName = u"length";
inline constexpr std::u16string_view APMPControlTypeBreak = u"break";
inline constexpr std::u16string_view APMPControlTypeContinue = u"continue";
inline constexpr std::u16string_view APMPControlTypeReturn = u"return";

// Something the collector can mark (see object_manager.h): values, scopes, and host objects that
// keep values alive. mark() hands what the object keeps alive to the marker; the marker walks
// the graph without recursion.
class APMPMarkable {
 public:
  virtual ~APMPMarkable() = default;
  virtual void mark(APMPMarker& marker) = 0;
};

// Something the collector can sweep: a container drops its contents when it was not marked.
class APMPSweepable {
 public:
  virtual ~APMPSweepable() = default;
  virtual void sweep() = 0;
};

// The base of every script value. A plain instance of the base is only ever the array hole
// (APMPArrayValue::emptyValue()); its conversions fail.
class APMPRuntimeValue : public APMPMarkable,
                         public APMPSweepable,
                         public std::enable_shared_from_this<APMPRuntimeValue> {
 public:
  enum class Kind {
    kHole,
    kUndefined,
    kNull,
    kBoolean,
    kNumber,
    kString,
    kMap,
    kArray,
    kFunction,  // Script functions and every native function subclass.
    kStatement,
    kControl,
  };

  APMPRuntimeValue() : kind_(Kind::kHole) {}
  ~APMPRuntimeValue() override = default;
  APMPRuntimeValue(const APMPRuntimeValue&) = delete;
  APMPRuntimeValue& operator=(const APMPRuntimeValue&) = delete;

  Kind kind() const { return kind_; }
  bool isUndefined() const { return kind_ == Kind::kUndefined; }
  bool isNull() const { return kind_ == Kind::kNull; }
  bool isBoolean() const { return kind_ == Kind::kBoolean; }
  bool isNumber() const { return kind_ == Kind::kNumber; }
  bool isString() const { return kind_ == Kind::kString; }
  bool isMap() const { return kind_ == Kind::kMap; }
  bool isArray() const { return kind_ == Kind::kArray; }
  bool isFunction() const { return kind_ == Kind::kFunction; }
  bool isStatement() const { return kind_ == Kind::kStatement; }
  bool isControl() const { return kind_ == Kind::kControl; }
  bool isHole() const { return kind_ == Kind::kHole; }

  // String form. The base fails with code 5 and returns "".
  virtual std::u16string stringValueOrError(APMPError* error) const;
  // Number form. The base fails with code 4 and returns NaN.
  virtual double doubleValueOrError(APMPError* error) const;
  // Boolean form. The base fails with code 3 and returns false.
  virtual bool booleanValueOrError(APMPError* error) const;

  // Calls the method `name`. The base answers "toString" with a new string value of
  // stringValueOrError() (undefined when that failed) and fails every other name with code 17,
  // returning undefined. `arguments` are values already evaluated by the caller; `scope` is the
  // caller's scope.
  virtual APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                     const APMPScopeRef& scope, APMPError* error);

  // Loose structural equality (see the classes for their rules); identity in the base. Cyclic or
  // very deep containers compare unequal beyond APMPMaximumNestingDepth levels.
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    return isEqualAtDepth(other, 0);
  }

  // Collector hooks: nothing in the base. mark() hands what the value keeps alive to the marker.
  void mark(APMPMarker& marker) override;
  void sweep() override {}

  // Set on a container while a collection pass has reached it; the sweep clears it again.
  bool isMarked() const { return marked_; }

 protected:
  explicit APMPRuntimeValue(Kind kind) : kind_(kind) {}
  virtual bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const;
  friend class APMPMapValue;
  friend class APMPArrayValue;
  friend class APMPControlValue;
  friend class APMPStatementValue;
  static bool EqualAtDepth(const APMPRuntimeValue& a, const APMPRuntimeValue& b, int depth) {
    return a.isEqualAtDepth(b, depth);
  }

  // Set by the marker; read and cleared by the sweep of tracked containers.
  bool marked_ = false;

 private:
  friend class APMPMarker;
  const Kind kind_;
  uint64_t markEpoch_ = 0;  // The pass that last reached this value.
};

// The value cast to T when it is of T's kind, else null.
template <typename T>
std::shared_ptr<T> APMPCast(const APMPValueRef& value) {
  if (!value || value->kind() != T::kKind) return nullptr;
  return std::static_pointer_cast<T>(value);
}

class APMPUndefinedValue final : public APMPRuntimeValue {
 public:
  static constexpr Kind kKind = Kind::kUndefined;
  static const std::shared_ptr<APMPUndefinedValue>& sharedInstance();
  // "undefined", NaN, false. Every method call fails with code 7.
  std::u16string stringValueOrError(APMPError* error) const override;
  double doubleValueOrError(APMPError* error) const override;
  bool booleanValueOrError(APMPError* error) const override;
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopeRef& scope, APMPError* error) override;
  APMPUndefinedValue() : APMPRuntimeValue(kKind) {}

 protected:
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;
};

class APMPNullValue final : public APMPRuntimeValue {
 public:
  static constexpr Kind kKind = Kind::kNull;
  static const std::shared_ptr<APMPNullValue>& sharedInstance();
  // "null", 0, false. Every method call fails with code 7.
  std::u16string stringValueOrError(APMPError* error) const override;
  double doubleValueOrError(APMPError* error) const override;
  bool booleanValueOrError(APMPError* error) const override;
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopeRef& scope, APMPError* error) override;
  APMPNullValue() : APMPRuntimeValue(kKind) {}

 protected:
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;
};

// The shared undefined and null values as plain references.
const APMPValueRef& APMPUndefined();
const APMPValueRef& APMPNull();

class APMPBooleanValue final : public APMPRuntimeValue {
 public:
  static constexpr Kind kKind = Kind::kBoolean;
  // One of the two shared instances.
  static const APMPValueRef& booleanValueWithBool(bool value);
  bool value() const { return value_; }
  // "true"/"false", 1/0, itself.
  std::u16string stringValueOrError(APMPError* error) const override;
  double doubleValueOrError(APMPError* error) const override;
  bool booleanValueOrError(APMPError* error) const override;
  explicit APMPBooleanValue(bool value) : APMPRuntimeValue(kKind), value_(value) {}

 protected:
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;

 private:
  const bool value_;
};

class APMPNumberValue final : public APMPRuntimeValue {
 public:
  static constexpr Kind kKind = Kind::kNumber;
  // Small whole numbers (0 to 1023, not -0) come from shared immutable instances, so that
  // counting allocates nothing.
  static std::shared_ptr<APMPNumberValue> numberWithDouble(double value) {
    if (value >= 0 && value < kSharedNumbers && !(value == 0 && std::signbit(value))) {
      const auto index = static_cast<size_t>(value);
      if (static_cast<double>(index) == value) return SharedNumbers()[index];
    }
    return std::allocate_shared<APMPNumberValue>(APMPPoolAllocator<APMPNumberValue>(), value);
  }
  explicit APMPNumberValue(double value) : APMPRuntimeValue(kKind), value_(value) {}
  double value() const { return value_; }
  // APMPNumberToString(value), the value, false for 0, -0 and NaN.
  std::u16string stringValueOrError(APMPError* error) const override;
  double doubleValueOrError(APMPError* error) const override;
  bool booleanValueOrError(APMPError* error) const override;

 protected:
  // Equal doubles, or both NaN.
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;

 private:
  static constexpr size_t kSharedNumbers = 1024;
  static const std::shared_ptr<APMPNumberValue>* SharedNumbers();
  const double value_;
};

class APMPStringValue final : public APMPRuntimeValue {
 public:
  static constexpr Kind kKind = Kind::kString;
  static std::shared_ptr<APMPStringValue> stringWithString(std::u16string value) {
    return std::make_shared<APMPStringValue>(std::move(value));
  }
  // From UTF-8 (ill-formed bytes read as U+FFFD).
  static std::shared_ptr<APMPStringValue> stringWithUTF8(std::string_view value);
  explicit APMPStringValue(std::u16string value)
      : APMPRuntimeValue(kKind), value_(std::move(value)) {
    if (value_.size() >= APMPMemoryChargedStringLength) {
      ticket_.set(APMPMemoryPerValue + static_cast<int64_t>(value_.size() * sizeof(char16_t)));
    }
  }
  const std::u16string& value() const { return value_; }
  // The text as UTF-8 (a lone surrogate becomes U+FFFD).
  std::string utf8Value() const;
  // Itself, APMPStringToNumber(value), true when not empty.
  std::u16string stringValueOrError(APMPError* error) const override;
  double doubleValueOrError(APMPError* error) const override;
  bool booleanValueOrError(APMPError* error) const override;
  // Every method goes to the string method table (APMPStringCommandEvaluator).
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopeRef& scope, APMPError* error) override;

 protected:
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;

 private:
  const std::u16string value_;
  APMPMemoryTicket ticket_;
};

// An unevaluated statement node: a command code and its argument nodes. Immutable.
class APMPStatementValue final : public APMPRuntimeValue {
 public:
  static constexpr Kind kKind = Kind::kStatement;
  APMPStatementValue(std::u16string functionName, APMPValueList arguments)
      : APMPRuntimeValue(kKind),
        functionName_(std::move(functionName)),
        arguments_(std::move(arguments)) {}
  ~APMPStatementValue() override;
  // The command code, such as u"0".
  const std::u16string& functionName() const { return functionName_; }
  const APMPValueList& arguments() const { return arguments_; }
  void mark(APMPMarker& marker) override;

  // What the shared command registrar resolved this statement's code to, kept by the registrar
  // so that a statement run again skips the lookup (null until first run).
  const void* dispatch() const { return dispatch_.load(std::memory_order_relaxed); }
  void setDispatch(const void* dispatch) const {
    dispatch_.store(dispatch, std::memory_order_relaxed);
  }

 protected:
  // Equal codes and pairwise equal arguments.
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;

 private:
  const std::u16string functionName_;
  APMPValueList arguments_;
  mutable std::atomic<const void*> dispatch_{nullptr};
};

// break, continue or return (with the returned value). Immutable.
class APMPControlValue final : public APMPRuntimeValue {
 public:
  static constexpr Kind kKind = Kind::kControl;
  enum class Type { kBreak, kContinue, kReturn };
  static const APMPValueRef& breakValue();
  static const APMPValueRef& continueValue();
  // A new "return" value carrying `data` (undefined for null).
  static std::shared_ptr<APMPControlValue> returnValueWithData(APMPValueRef data);

  APMPControlValue(Type type, APMPValueRef data);
  Type type() const { return type_; }
  // "break", "continue" or "return".
  std::u16string_view typeName() const;
  const APMPValueRef& data() const { return data_; }
  bool isBreak() const { return type_ == Type::kBreak; }
  bool isContinue() const { return type_ == Type::kContinue; }
  bool isReturn() const { return type_ == Type::kReturn; }
  void mark(APMPMarker& marker) override;

 protected:
  // Equal types and equal data.
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;

 private:
  const Type type_;
  const APMPValueRef data_;
};

// Drops a reference to a value. A value that can own other script objects is dropped through the
// release queue (release_queue.h), so that freeing a long chain cannot recurse; a plain value is
// dropped at once.
inline void APMPReleaseValue(APMPValueRef&& value) {
  if (!value) return;
  switch (value->kind()) {
    case APMPRuntimeValue::Kind::kHole:
    case APMPRuntimeValue::Kind::kUndefined:
    case APMPRuntimeValue::Kind::kNull:
    case APMPRuntimeValue::Kind::kBoolean:
    case APMPRuntimeValue::Kind::kNumber:
    case APMPRuntimeValue::Kind::kString:
      value.reset();
      return;
    default:
      APMPReleaseLater(std::move(value));
  }
}

// Number to text: "NaN", "Infinity", "-Infinity", "0" for either zero; otherwise the en_US
// number formatter: scientific with the shortest digits that read back ("1e+21", "1e-7") when
// |x| >= 1e21 or |x| < 1e-6, else decimal with at most 17 significant digits of the exact value,
// rounded half-up, without grouping ("1.1000000000000001", "1234567").
std::u16string APMPNumberToString(double value);
// Text to number: trimmed of whitespace and newlines; "" gives 0; "NaN", "Infinity" and
// "-Infinity" as named; otherwise the whole text must scan as one decimal double, else NaN.
double APMPStringToNumber(std::u16string_view text);

// Strict equality: different kinds are unequal; two numbers or two booleans compare their doubles
// (APMPNumberEquals); two strings their texts; anything else by identity.
bool APMPStrictEqualityCompare(const APMPValueRef& lhs, const APMPValueRef& rhs, APMPError* error);
// Equal doubles; NaN is unequal to everything, 0 equals -0.
bool APMPNumberEquals(double lhs, double rhs);
// The same sequence of UTF-16 code units.
bool APMPStringEquals(std::u16string_view lhs, std::u16string_view rhs);
// True for a number or string value whose number form is finite, >= 0 and integral.
bool APMPIsZeroOrPositiveInteger(const APMPValueRef& value);
// True for array, function, map and string values.
bool APMPIsNonNullObjectOrString(const APMPValueRef& value);
// The type name the TypeOf command gives: "boolean", "function", "number", "string",
// "undefined", else "object".
std::u16string_view APMPTypeName(const APMPValueRef& value);

// A new string value unless `text` is longer than APMPMaximumStringLength, which fails with
// APMPErrorCodeResourceLimit and returns undefined. Use it wherever a script can grow a string.
APMPValueRef APMPMakeString(std::u16string text, APMPError* error);
