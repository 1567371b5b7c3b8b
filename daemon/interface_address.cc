#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "operations.h"
#include "text.h"

namespace pelmor {

using helper_ipc::Ipv4Addr;

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The netmask word as the tool prints it: any number of leading lower-case "0x", then an
// optional "+" and one or more hexadecimal digits worth at most 32 bits (leading zeros allowed).
std::optional<Ipv4Addr> parse_hex_netmask(std::string_view word) {
  while (word.starts_with("0x"))
    word.remove_prefix(2);
  if (word.starts_with('+')) word.remove_prefix(1);
  if (word.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : word) {
    const int digit = hex_digit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return Ipv4Addr::from_u32(static_cast<std::uint32_t>(value));
}

// The address and netmask of one trimmed inet line.
std::optional<std::pair<Ipv4Addr, Ipv4Addr>> parse_inet_line(std::string_view line) {
  const auto words = split_words(line);
  if (words.size() < 2) return std::nullopt;
  const auto addr = Ipv4Addr::parse(words[1]);
  if (!addr) return std::nullopt;

  // The mask is the first word after "netmask" (which may stand inside a longer word), looked
  // for no further than the next "netmask".
  constexpr std::string_view kLabel = "netmask";
  const std::size_t label = line.find(kLabel);
  if (label == std::string_view::npos) return std::nullopt;
  std::string_view field = line.substr(label + kLabel.size());
  field = field.substr(0, field.find(kLabel));
  const auto field_words = split_words(field);
  if (field_words.empty()) return std::nullopt;
  const auto mask = parse_hex_netmask(field_words.front());
  if (!mask) return std::nullopt;
  return std::pair{*addr, *mask};
}

}  // namespace

std::optional<std::pair<Ipv4Addr, Ipv4Addr>> parse_first_inet_line(std::string_view output) {
  for (std::string_view line : split_lines(output)) {
    line = trim_white_space(line);
    // "inet" and one space exactly: inet6 lines and an "inet" followed by a tab do not count.
    if (!line.starts_with("inet ")) continue;
    // The first inet line decides, whether or not it can be read.
    return parse_inet_line(line);
  }
  return std::nullopt;
}

helper_ipc::Response reply_ifconfig_read(const ToolOutcome& outcome) {
  // Every failure, of the tool or of the parse, is an answer without an address.
  const auto* ok = std::get_if<SuccessfulExit>(&outcome);
  if (ok == nullptr) return helper_ipc::Ifconfig{};
  return helper_ipc::Ifconfig{parse_first_inet_line(decode_lossy(ok->captured.out))};
}

bool is_passable_interface_name(std::string_view iface) {
  return !iface.starts_with('-');
}

helper_ipc::Response ifconfig_read(const helper_ipc::IfconfigRead& request) {
  if (!is_passable_interface_name(request.iface)) return helper_ipc::Ifconfig{};
  return reply_ifconfig_read(run_tool(kIfconfig, {request.iface}));
}

helper_ipc::Response ifconfig_set(const helper_ipc::IfconfigSet& request) {
  if (!is_passable_interface_name(request.iface)) return helper_ipc::Err{kOptionLikeInterfaceName};
  return standard_reply(run_tool(kIfconfig, {request.iface, "inet", request.addr.to_string(),
                                             "netmask", request.mask.to_string()}));
}

helper_ipc::Response ifconfig_delete(const helper_ipc::IfconfigDelete& request) {
  if (!is_passable_interface_name(request.iface)) return helper_ipc::Err{kOptionLikeInterfaceName};
  return standard_reply(
      run_tool(kIfconfig, {request.iface, "inet", request.addr.to_string(), "delete"}));
}

}  // namespace pelmor
