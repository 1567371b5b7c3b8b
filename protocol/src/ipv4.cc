#include "helper_ipc/ipv4.h"

namespace helper_ipc {

std::optional<Ipv4Addr> Ipv4Addr::parse(std::string_view text) {
  if (text.size() > 15) return std::nullopt;
  Ipv4Addr addr;
  std::size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return std::nullopt;
      ++i;
    }
    const std::size_t start = i;
    unsigned value = 0;
    while (i < text.size() && i - start < 3 && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t digits = i - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    addr.octets[part] = static_cast<std::uint8_t>(value);
  }
  if (i != text.size()) return std::nullopt;
  return addr;
}

void Ipv4Addr::append_to(std::string& out) const {
  for (int i = 0; i < 4; ++i) {
    if (i > 0) out.push_back('.');
    out += std::to_string(octets[i]);
  }
}

std::string Ipv4Addr::to_string() const {
  std::string out;
  append_to(out);
  return out;
}

}  // namespace helper_ipc
