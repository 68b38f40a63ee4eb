// PigeonBind: the channel handler of one generated host method, made from the method itself. The
// handler reads argument i of the request list into parameter i, by the parameter's type, with the
// shared argument reader (flutter::ChannelArguments); when every argument is usable it calls the
// method with them and with the completion that the interface's adapter makes of the reply.
// An unusable argument leaves the problem in the reader and the method is not called; the caller
// answers with the refusal.
//
// How a parameter is read (null reads as absent, 0 or NO):
//   std::optional<std::string>, std::optional<bool>, std::optional<int64_t>,
//   std::optional<double>, std::optional<fnd::Dictionary>, std::optional<fnd::Data>,
//   std::optional<std::vector<std::string>>          the value, or absent
//   std::string                                       text that must be there
//   bool                                              a boolean or an integer
//   int64_t, an enumeration                           a number's integer value
//   std::shared_ptr<Message>                          a decoded message of that type, or null
//   std::optional<std::vector<std::shared_ptr<M>>>    a list of decoded messages, or absent
//
// The adapter is a type with `template <typename Completion> static Completion make(Reply)`.
//
// Thread safety: handlers hold no state of their own; they run on the channel's thread.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/flutter/channel_arguments.h"
#include "platform/foundation/value.h"
#include "plugins/zudiroru_core/pigeon.h"

namespace zudiroru {

namespace pigeon_internal {

template <typename T>
struct RecordPointer : std::false_type {};
template <typename T>
struct RecordPointer<std::shared_ptr<T>> : std::is_base_of<PigeonMessage, T> {};
template <typename T>
struct RecordPointerList : std::false_type {};
template <typename T>
struct RecordPointerList<std::optional<std::vector<std::shared_ptr<T>>>>
    : std::is_base_of<PigeonMessage, T> {};

// "a Foo": how a problem names a message type.
template <typename T>
std::string KindOf() {
  return "a " + T().typeName();
}

}  // namespace pigeon_internal

// Reads the argument at `index` as a T (see the table above).
template <typename T>
T PigeonArgument(flutter::ChannelArguments& args, size_t index) {
  using namespace pigeon_internal;
  if constexpr (RecordPointer<T>::value) {
    using M = typename T::element_type;
    return args.record<M>(index, KindOf<M>().c_str());
  } else if constexpr (RecordPointerList<T>::value) {
    using M = typename T::value_type::value_type::element_type;
    return args.records<M>(index, M().typeName().c_str());
  } else if constexpr (std::is_enum_v<T>) {
    return static_cast<T>(args.integerValue(index));
  } else if constexpr (std::is_same_v<T, bool>) {
    return args.boolean(index, /*integersOnly=*/true);
  } else if constexpr (std::is_same_v<T, int64_t>) {
    return args.integerValue(index);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return args.requiredString(index);
  } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
    return args.string(index);
  } else if constexpr (std::is_same_v<T, std::optional<bool>>) {
    return args.has(index) ? std::optional<bool>(args.boolean(index, true)) : std::nullopt;
  } else if constexpr (std::is_same_v<T, std::optional<int64_t>>) {
    return args.has(index) ? std::optional<int64_t>(args.integerValue(index)) : std::nullopt;
  } else if constexpr (std::is_same_v<T, std::optional<double>>) {
    fnd::Value v = args.any(index);
    if (v.isNumber()) return v.asDouble();
    if (!v.isNull()) args.fail(index, "a number");
    return std::nullopt;
  } else if constexpr (std::is_same_v<T, std::optional<fnd::Dictionary>>) {
    return args.dictionary(index);
  } else if constexpr (std::is_same_v<T, std::optional<fnd::Data>>) {
    return args.data(index);
  } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
    return args.strings(index);
  } else {
    static_assert(!sizeof(T), "PigeonArgument: unsupported parameter type");
  }
}

namespace pigeon_internal {

template <typename Adapter, typename Api, typename Reply, typename... P, size_t... I>
void Invoke(Api& api, void (Api::*method)(P...), flutter::ChannelArguments& args,
            const Reply& reply, std::index_sequence<I...>) {
  using Params = std::tuple<std::decay_t<P>...>;
  // Read in order, left to right.
  std::tuple<std::tuple_element_t<I, Params>...> values;
  ((std::get<I>(values) = PigeonArgument<std::tuple_element_t<I, Params>>(args, I)), ...);
  if (!args.ok()) return;
  using Completion = std::tuple_element_t<sizeof...(P) - 1, Params>;
  (api.*method)(std::move(std::get<I>(values))..., Adapter::template make<Completion>(reply));
}

}  // namespace pigeon_internal

// The handler of `method`, whose last parameter is its completion.
template <typename Adapter, typename Reply, typename Api, typename... P>
auto PigeonBind(void (Api::*method)(P...)) {
  static_assert(sizeof...(P) >= 1, "PigeonBind: the last parameter is the completion");
  return [method](flutter::ChannelArguments& args, Api& api, Reply reply) {
    pigeon_internal::Invoke<Adapter>(api, method, args, reply,
                                     std::make_index_sequence<sizeof...(P) - 1>());
  };
}

}  // namespace zudiroru
