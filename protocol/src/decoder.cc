// Decoding of Request and Response bodies. One decoder serves both families: what it reads for
// each message follows the message's declaration (its name, and its fields in order), and the
// functions that read each message are tables built from the family's variant at compile time.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "helper_ipc/codec.h"
#include "json_reader.h"

namespace helper_ipc {

namespace {

using detail::JsonReader;

template <class Family>
class MessageDecoder {
 public:
  explicit MessageDecoder(std::string_view body) : r_(body) {}

  Result<Family, DecodeError> decode() {
    const int index = r_.read_enum(
        kVariantNames<Family>,
        [this](int i) { return (this->*kBare[static_cast<std::size_t>(i)])(); },
        [this](int i) { return (this->*kReadValue[static_cast<std::size_t>(i)])(); });
    if (index < 0) return r_.take_error();
    return std::move(out_);
  }

 private:
  template <std::size_t I>
  using Alternative = std::variant_alternative_t<I, Family>;
  using Step = bool (MessageDecoder::*)();

  // A variant named by a bare string: complete only when it has no payload.
  template <std::size_t I>
  bool bare() {
    using M = Alternative<I>;
    if constexpr (kShape<M> == Shape::kUnit) {
      out_.template emplace<I>();
      return true;
    } else if constexpr (kShape<M> == Shape::kValue) {
      return r_.fail_without_position("invalid type: unit variant, expected newtype variant");
    } else {
      return r_.fail_without_position("invalid type: unit variant, expected struct variant");
    }
  }

  template <std::size_t I>
  bool read_value() {
    using M = Alternative<I>;
    M& m = out_.template emplace<I>();
    if constexpr (kShape<M> == Shape::kUnit) {
      return r_.read_unit();
    } else if constexpr (kShape<M> == Shape::kValue) {
      return read(field_value<0>(m));
    } else {
      const int c = r_.peek();
      if (c == '{') return read_field_object(m);
      if (c == '[') {
        return r_.read_fixed_array(static_cast<int>(kFieldCount<M>), element_text<M>(),
                                   [&](int k) { return read_field(m, k); });
      }
      return r_.fail_invalid_type(struct_text<M>());
    }
  }

  // "struct variant Request::IcmpEcho": what a message with named fields expects.
  template <class M>
  static std::string struct_text() {
    std::string text = "struct variant ";
    ((text += FamilyName<Family>::value) += "::") += M::kName;
    return text;
  }
  // "struct variant Request::IcmpEcho with 1 element": the length a too short array lacks.
  template <class M>
  static std::string_view element_text() {
    static const std::string text = struct_text<M>() + " with " + std::to_string(kFieldCount<M>) +
                                    (kFieldCount<M> == 1 ? " element" : " elements");
    return text;
  }

  template <class M>
  bool read_field_object(M& m) {
    static constexpr auto& kNames = kFieldNames<M>;
    static_assert(detail::all_distinct(kNames), "a message's fields have distinct names");
    r_.bump();
    std::array<bool, kNames.size()> given{};
    std::string key;
    for (bool first = true;; first = false) {
      int c = r_.peek();
      if (c == '}') {
        r_.bump();
        break;
      }
      if (!first) {
        if (c < 0) return r_.fail("EOF while parsing an object");
        if (c != ',') return r_.fail_at_next("expected `,` or `}`");
        r_.bump();
        c = r_.peek();
        if (c == '}') return r_.fail_at_next("trailing comma");
        if (c < 0) return r_.fail("EOF while parsing a value");  // a key must begin here
      }
      if (c < 0) return r_.fail("EOF while parsing an object");
      if (c != '"') return r_.fail_at_next("key must be a string");
      if (!r_.read_string(key)) return false;
      std::size_t field = kNames.size();
      for (std::size_t k = 0; k < kNames.size(); ++k) {
        if (kNames[k] == key) field = k;
      }
      if (field < kNames.size() && given[field]) {
        return r_.fail("duplicate field `" + std::string(kNames[field]) + "`");
      }
      const int colon = r_.peek();
      if (colon < 0) return r_.fail("EOF while parsing an object");
      if (colon != ':') return r_.fail_at_next("expected `:`");
      r_.bump();
      if (field == kNames.size()) {
        if (!r_.skip_value()) return false;  // a key that names no field
        continue;
      }
      if (!read_field(m, static_cast<int>(field))) return false;
      given[field] = true;
    }
    for (std::size_t k = 0; k < kNames.size(); ++k) {
      if (!given[k]) return r_.fail("missing field `" + std::string(kNames[k]) + "`");
    }
    return true;
  }

  // Reads the value of field `k` of `m`.
  template <class M>
  bool read_field(M& m, int k) {
    return read_field(m, k, std::make_index_sequence<kFieldCount<M>>{});
  }
  template <class M, std::size_t... K>
  bool read_field(M& m, int k, std::index_sequence<K...>) {
    bool ok = false;
    ((k == static_cast<int>(K) ? void(ok = read(field_value<K>(m))) : void()), ...);
    return ok;
  }

  // ---- The value types of the messages. --------------------------------------------------
  bool read(std::string& out) { return r_.read_text(out); }
  bool read(Ipv4Addr& out) { return r_.read_address(out); }
  bool read(bool& out) { return r_.read_flag(out); }
  template <class T>
  bool read(std::optional<T>& out) {
    if (r_.peek() == 'n') return r_.read_literal("null");
    return read(out.emplace());
  }
  template <class A, class B>
  bool read(std::pair<A, B>& out) {
    constexpr std::string_view kPair = "a tuple of size 2";
    if (r_.peek() != '[') return r_.fail_invalid_type(kPair);
    return r_.read_fixed_array(2, kPair,
                               [&](int k) { return k == 0 ? read(out.first) : read(out.second); });
  }

  // For each alternative, by index: its handling as a bare name, and the reading of its value in
  // the form `{"Name": value}`.
  template <std::size_t... I>
  static constexpr std::array<Step, sizeof...(I)> bare_table(std::index_sequence<I...>) {
    return {&MessageDecoder::bare<I>...};
  }
  template <std::size_t... I>
  static constexpr std::array<Step, sizeof...(I)> read_value_table(std::index_sequence<I...>) {
    return {&MessageDecoder::read_value<I>...};
  }
  using Indices = std::make_index_sequence<std::variant_size_v<Family>>;
  static constexpr auto kBare = bare_table(Indices{});
  static constexpr auto kReadValue = read_value_table(Indices{});

  JsonReader r_;
  Family out_;
};

}  // namespace

Result<Request, DecodeError> decode_request(std::string_view body) {
  return MessageDecoder<Request>(body).decode();
}

Result<Response, DecodeError> decode_response(std::string_view body) {
  return MessageDecoder<Response>(body).decode();
}

}  // namespace helper_ipc
