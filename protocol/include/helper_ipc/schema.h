// How a message says what it is on the wire. Every message struct declares, once:
//
//   static constexpr std::string_view kName = "IfconfigSet";       // its variant name in JSON
//   static constexpr std::tuple kFields{Field{"iface", &IfconfigSet::iface},  // its fields,
//                                       Field{"addr", &IfconfigSet::addr}, ...};  // in order
//
// and everything that reads or writes messages (the decoders, the encoders, the log rendering)
// is derived from that declaration. A message's fields are one of three shapes:
//   - none (`std::tuple<> kFields{}`): the message is its name alone, `"Ping"`;
//   - one unnamed Value: the message is `{"SetForwarding":true}`;
//   - one or more named Fields: `{"IfconfigSet":{"iface":"en0",...}}`.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

namespace helper_ipc {

// A named field of message M: its key in JSON (and in the log rendering) and the member that
// holds it.
template <class M, class T>
struct Field {
  std::string_view name;
  T M::*member;
};
template <class M, class T>
Field(std::string_view, T M::*) -> Field<M, T>;

// The one unnamed value of a message that carries a single value.
template <class M, class T>
struct Value {
  T M::*member;
};
template <class M, class T>
Value(T M::*) -> Value<M, T>;

enum class Shape { kUnit, kValue, kFields };

namespace detail {

template <class D>
inline constexpr bool kIsField = false;
template <class M, class T>
inline constexpr bool kIsField<Field<M, T>> = true;
template <class D>
inline constexpr bool kIsValue = false;
template <class M, class T>
inline constexpr bool kIsValue<Value<M, T>> = true;

template <class M, class Tuple>
struct ShapeOf;
template <class M, class... Ds>
struct ShapeOf<M, std::tuple<Ds...>> {
  static_assert(((kIsField<Ds> || kIsValue<Ds>)&&...),
                "a message's kFields holds only Field and Value descriptors");
  static_assert(!(kIsValue<Ds> || ...) || sizeof...(Ds) == 1,
                "a message with an unnamed Value has no other field");
  static constexpr Shape value = sizeof...(Ds) == 0      ? Shape::kUnit
                                 : (kIsValue<Ds> || ...) ? Shape::kValue
                                                         : Shape::kFields;
};

}  // namespace detail

// What a message is on the wire, from its declaration.
template <class M>
inline constexpr Shape kShape =
    detail::ShapeOf<M, std::remove_cvref_t<decltype(M::kFields)>>::value;

// How many fields a message declares.
template <class M>
inline constexpr std::size_t kFieldCount =
    std::tuple_size_v<std::remove_cvref_t<decltype(M::kFields)>>;

// The names of a message's named fields, in order.
template <class M>
inline constexpr std::array<std::string_view, kFieldCount<M>> kFieldNames = std::apply(
    [](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.name...}; },
    M::kFields);

// Calls `f(descriptor, value)` for each field of `message` in declaration order; `value` is a
// reference to the member (const when `message` is).
template <class M, class F>
constexpr void for_each_field(M& message, F&& f) {
  std::apply([&](const auto&... d) { (f(d, message.*d.member), ...); },
             std::remove_const_t<M>::kFields);
}

// The value of field K of `message`.
template <std::size_t K, class M>
constexpr auto& field_value(M& message) {
  return message.*std::get<K>(std::remove_const_t<M>::kFields).member;
}

namespace detail {

template <class Variant>
struct VariantNames;
template <class... Ms>
struct VariantNames<std::variant<Ms...>> {
  static constexpr std::array<std::string_view, sizeof...(Ms)> value{Ms::kName...};
};

template <std::size_t N>
constexpr bool all_distinct(const std::array<std::string_view, N>& names) {
  for (std::size_t i = 0; i < N; ++i) {
    for (std::size_t j = i + 1; j < N; ++j) {
      if (names[i] == names[j]) return false;
    }
  }
  return true;
}

}  // namespace detail

// The variant names of a message family, in the order of its alternatives (the order is part of
// the protocol: it fixes the list in the "unknown variant" failure text).
template <class Variant>
inline constexpr auto kVariantNames = detail::VariantNames<Variant>::value;

}  // namespace helper_ipc
