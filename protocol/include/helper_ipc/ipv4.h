// An IPv4 address: four octets, most significant first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace helper_ipc {

struct Ipv4Addr {
  std::array<std::uint8_t, 4> octets{};

  static constexpr Ipv4Addr from_u32(std::uint32_t v) {
    return Ipv4Addr{{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                     static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}};
  }
  constexpr std::uint32_t to_u32() const {
    return std::uint32_t{octets[0]} << 24 | std::uint32_t{octets[1]} << 16 |
           std::uint32_t{octets[2]} << 8 | std::uint32_t{octets[3]};
  }

  // The strict dotted-decimal parse: exactly four parts separated by ".", each one to three ASCII
  // digits worth at most 255, no leading zero in a part of two or more digits, at most 15
  // characters, nothing else (no white space, sign, prefix length or port).
  static std::optional<Ipv4Addr> parse(std::string_view text);

  // Dotted decimal without leading zeros, for example "192.168.2.1".
  std::string to_string() const;
  // Appends the dotted form to `out`.
  void append_to(std::string& out) const;
  // The longest dotted form, "255.255.255.255".
  static constexpr std::size_t kMaxTextLength = 15;
  // Writes the dotted form at `out`, which has room for kMaxTextLength characters (no NUL is
  // added), and returns its end. Allocates nothing.
  char* write_to(char* out) const noexcept;

  friend constexpr bool operator==(const Ipv4Addr&, const Ipv4Addr&) = default;
};

}  // namespace helper_ipc
