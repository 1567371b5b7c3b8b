// Decoding of Response bodies: the client's side of the protocol, with the same reader and the
// same failure texts as requests.
#include <array>
#include <optional>
#include <string>

#include "helper_ipc/codec.h"
#include "json_reader.h"

namespace helper_ipc {

namespace {

using detail::JsonReader;

// In the declaration order of Response.
constexpr std::array<std::string_view, 8> kNames = {
    "Pong", "Forwarding", "Ok", "PfToken", "Ifconfig", "IcmpResult", "FdFollows", "Err"};
static_assert(std::variant_size_v<Response> == kNames.size());

bool has_payload(int index) {
  return index != 0 && index != 2 && index != 6;
}

class ResponseDecoder {
 public:
  explicit ResponseDecoder(std::string_view body) : r_(body) {}

  Result<Response, DecodeError> decode() {
    const int index = r_.read_enum(
        kNames,
        [this](int i) {
          return !has_payload(i) ||
                 r_.fail_without_position("invalid type: unit variant, expected newtype variant");
        },
        [this](int i) { return read_value(i); });
    if (index < 0) return r_.take_error();
    return build(index);
  }

 private:
  Response build(int index) {
    switch (index) {
      case 0:
        return Pong{};
      case 1:
        return Forwarding{flag_};
      case 2:
        return Ok{};
      case 3:
        return PfToken{std::move(text_)};
      case 4:
        return Ifconfig{pair_};
      case 5:
        return IcmpResult{flag_};
      case 6:
        return FdFollows{};
      default:
        return Err{std::move(*text_)};
    }
  }

  bool read_value(int index) {
    switch (index) {
      case 1:
      case 5:
        return r_.read_flag(flag_);
      case 3:  // an optional text
        if (r_.peek() == 'n') return r_.read_literal("null");
        return r_.read_text(text_.emplace());
      case 4:  // an optional pair of addresses
        if (r_.peek() == 'n') return r_.read_literal("null");
        return read_address_pair();
      case 7:
        return r_.read_text(text_.emplace());
      default:  // no payload
        return r_.read_unit();
    }
  }

  bool read_address_pair() {
    if (r_.peek() != '[') return r_.fail_invalid_type("a tuple of size 2");
    Ipv4Addr addrs[2];
    if (!r_.read_fixed_array(2, "a tuple of size 2",
                             [&](int i) { return r_.read_address(addrs[i]); })) {
      return false;
    }
    pair_.emplace(addrs[0], addrs[1]);
    return true;
  }

  JsonReader r_;
  bool flag_ = false;
  std::optional<std::string> text_;
  std::optional<std::pair<Ipv4Addr, Ipv4Addr>> pair_;
};

}  // namespace

Result<Response, DecodeError> decode_response(std::string_view body) {
  return ResponseDecoder(body).decode();
}

}  // namespace helper_ipc
