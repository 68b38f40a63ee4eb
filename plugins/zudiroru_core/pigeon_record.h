// PigeonRecordOf: a generated message record described once by its field list, from which its
// factory, fromList, nullableFromList and toList follow. A record declares
//
//   class Foo : public zudiroru::PigeonRecordOf<Foo, 130> {
//    public:
//     static constexpr auto fields() { return std::make_tuple(&Foo::a, &Foo::b); }
//     std::string typeName() const override { return "Foo"; }
//     std::optional<std::string> a;
//     std::shared_ptr<Bar> b;
//   };
//
// and travels as the list of those members in that order. How a member travels follows its type:
//   std::optional<X> (text, bool, int64, double, list, map)  X, or null
//   PigeonWide(&Foo::n) for an std::optional<int64_t>       always a 64-bit integer, or null
//   an enumeration                                           its value as a 64-bit integer
//   std::optional<PigeonEnumBox<E>>                          the same, or null
//   std::shared_ptr<Message>                                 the message's plain field list, or
//   null std::optional<std::vector<std::shared_ptr<Message>>>     a list of messages (each with its
//                                                            type byte), or null
//   std::vector<std::string>                                 a list of text (null reads as empty)
// fromList reads element i into member i; a missing element reads as null. An element of the
// wrong kind rejects the whole list (fromList answers nullptr). A nested message may arrive as a
// record of its type or as its plain field list.
//
// Thread safety: records are values; nothing here keeps state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/foundation/value.h"
#include "plugins/zudiroru_core/pigeon.h"

namespace zudiroru {

// An enumeration value where the field may be null.
template <typename E>
struct PigeonEnumBox {
  using Enum = E;
  explicit PigeonEnumBox(E v) : value(v) {}
  static PigeonEnumBox initWithValue(E v) { return PigeonEnumBox(v); }
  E value;
  bool operator==(const PigeonEnumBox&) const = default;
};

// A member that is always written as a 64-bit integer.
template <typename Member>
struct PigeonWideMember {
  Member member;
};
template <typename Member>
constexpr PigeonWideMember<Member> PigeonWide(Member member) {
  return {member};
}

namespace pigeon_internal {

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <typename T>
struct IsSharedPtr : std::false_type {};
template <typename T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {};
template <typename T>
struct IsBox : std::false_type {};
template <typename E>
struct IsBox<PigeonEnumBox<E>> : std::true_type {};
template <typename T>
struct IsRecordList : std::false_type {};
template <typename T>
struct IsRecordList<std::vector<std::shared_ptr<T>>> : std::true_type {};

// A nested message: a record of its type, or its plain field list; nullptr rejects.
template <typename T>
std::shared_ptr<T> NestedFromValue(const fnd::Value& v) {
  if (auto r = v.recordAs<T>()) return r;
  return v.isArray() ? T::fromList(*v.array()) : nullptr;
}

// Reads one element into `out`; false when the element is of the wrong kind.
template <typename T>
bool ReadField(const fnd::Value& v, T& out) {
  if constexpr (std::is_enum_v<T>) {
    if (v.isNull()) {
      out = static_cast<T>(0);
      return true;
    }
    if (!v.isNumber()) return false;
    out = static_cast<T>(v.asInt());
    return true;
  } else if constexpr (IsSharedPtr<T>::value) {
    out = nullptr;
    if (v.isNull()) return true;
    out = NestedFromValue<typename T::element_type>(v);
    return out != nullptr;
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    out.clear();
    if (v.isNull()) return true;
    const fnd::Array* list = v.array();
    if (!list) return false;
    for (const fnd::Value& e : *list) {
      if (!e.isString()) return false;
      out.push_back(e.asString());
    }
    return true;
  } else {
    static_assert(IsOptional<T>::value, "PigeonRecordOf: unsupported member type");
    using X = typename T::value_type;
    out.reset();
    if (v.isNull()) return true;
    if constexpr (std::is_same_v<X, std::string>) {
      if (!v.isString()) return false;
      out = v.asString();
    } else if constexpr (std::is_same_v<X, bool>) {
      if (!v.isBool() && !v.isInt()) return false;
      out = v.asBool();
    } else if constexpr (std::is_same_v<X, int64_t>) {
      if (!v.isNumber()) return false;
      out = v.asInt();
    } else if constexpr (std::is_same_v<X, double>) {
      if (!v.isNumber()) return false;
      out = v.asDouble();
    } else if constexpr (std::is_same_v<X, fnd::Array>) {
      if (!v.isArray()) return false;
      out = *v.array();
    } else if constexpr (std::is_same_v<X, fnd::Dictionary>) {
      if (!v.isDictionary()) return false;
      out = *v.dictionary();
    } else if constexpr (IsBox<X>::value) {
      if (!v.isNumber()) return false;
      out = X(static_cast<typename X::Enum>(v.asInt()));
    } else if constexpr (IsRecordList<X>::value) {
      const fnd::Array* list = v.array();
      if (!list) return false;
      X records;
      for (const fnd::Value& e : *list) {
        auto r = NestedFromValue<typename X::value_type::element_type>(e);
        if (!r) return false;
        records.push_back(std::move(r));
      }
      out = std::move(records);
    } else {
      static_assert(!sizeof(X), "PigeonRecordOf: unsupported optional member type");
    }
    return true;
  }
}

template <typename T>
fnd::Value WriteField(const T& in) {
  if constexpr (std::is_enum_v<T>) {
    return fnd::Value::Int64(static_cast<int64_t>(in));
  } else if constexpr (IsSharedPtr<T>::value) {
    return in ? fnd::Value(in->toList()) : fnd::Value();
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    return fnd::Value(fnd::Array(in.begin(), in.end()));
  } else {
    using X = typename T::value_type;
    if (!in) return fnd::Value();
    if constexpr (IsBox<X>::value) {
      return fnd::Value::Int64(static_cast<int64_t>(in->value));
    } else if constexpr (IsRecordList<X>::value) {
      fnd::Array out;
      for (const auto& r : *in) {
        out.push_back(r ? fnd::Value(std::shared_ptr<fnd::Record>(r)) : fnd::Value());
      }
      return fnd::Value(std::move(out));
    } else {
      return fnd::Value(*in);
    }
  }
}

template <typename R, typename Member>
auto& MemberOf(R& record, Member member) {
  return record.*member;
}
template <typename R, typename Member>
auto& MemberOf(R& record, PigeonWideMember<Member> wide) {
  return record.*(wide.member);
}

template <typename R, typename Member>
fnd::Value WriteMember(const R& record, Member member) {
  return WriteField(record.*member);
}
template <typename R, typename Member>
fnd::Value WriteMember(const R& record, PigeonWideMember<Member> wide) {
  const auto& v = record.*(wide.member);
  return v ? fnd::Value::Int64(*v) : fnd::Value();
}

}  // namespace pigeon_internal

template <typename Derived, uint8_t Type>
class PigeonRecordOf : public PigeonMessage {
 public:
  static constexpr uint8_t kType = Type;

  // The record of a field list, or nullptr when an element is of the wrong kind.
  static std::shared_ptr<Derived> fromList(const fnd::Array& list) {
    auto record = std::make_shared<Derived>();
    bool ok = true;
    size_t index = 0;
    std::apply(
        [&](auto... member) {
          ((ok = ok && pigeon_internal::ReadField(GetNullableObjectAtIndex(list, index++),
                                                  pigeon_internal::MemberOf(*record, member))),
           ...);
        },
        Derived::fields());
    return ok ? record : nullptr;
  }
  // nullptr for a value that is not a list, else fromList.
  static std::shared_ptr<Derived> nullableFromList(const fnd::Value& list) {
    const fnd::Array* array = list.array();
    return array ? fromList(*array) : nullptr;
  }

  fnd::Array toList() const override {
    const auto& self = static_cast<const Derived&>(*this);
    return std::apply(
        [&](auto... member) { return fnd::Array{pigeon_internal::WriteMember(self, member)...}; },
        Derived::fields());
  }

 protected:
  // A record with its members set in field order; what each factory does.
  template <typename... Values>
  static std::shared_ptr<Derived> make(Values&&... values) {
    auto record = std::make_shared<Derived>();
    std::apply(
        [&](auto... member) {
          ((pigeon_internal::MemberOf(*record, member) = std::forward<Values>(values)), ...);
        },
        Derived::fields());
    return record;
  }
};

}  // namespace zudiroru
