#include "helper_ipc/ipv4.h"

namespace helper_ipc {

std::optional<Ipv4Addr> Ipv4Addr::parse(std::string_view text) {
  if (text.size() > 15) return std::nullopt;
  const char* p = text.data();
  const char* const end = p + text.size();
  // The value of the digit at p, or 10 and more when there is none.
  auto digit = [&] { return p != end ? static_cast<unsigned>(*p - '0') : 10u; };
  Ipv4Addr addr;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (p == end || *p != '.') return std::nullopt;
      ++p;
    }
    // One to three digits, no leading zero unless the part is 0.
    unsigned value = digit();
    if (value > 9) return std::nullopt;
    ++p;
    for (int k = 1; k < 3 && value != 0; ++k) {
      const unsigned d = digit();
      if (d > 9) break;
      value = value * 10 + d;
      ++p;
    }
    if (value > 255) return std::nullopt;
    addr.octets[part] = static_cast<std::uint8_t>(value);
  }
  if (p != end) return std::nullopt;
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
