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

char* Ipv4Addr::write_to(char* out) const noexcept {
  for (std::size_t i = 0; i < octets.size(); ++i) {
    if (i > 0) *out++ = '.';
    const unsigned v = octets[i];
    if (v >= 100) *out++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *out++ = static_cast<char>('0' + v / 10 % 10);
    *out++ = static_cast<char>('0' + v % 10);
  }
  return out;
}

void Ipv4Addr::append_to(std::string& out) const {
  char text[kMaxTextLength];
  out.append(text, write_to(text));
}

std::string Ipv4Addr::to_string() const {
  std::string out;
  append_to(out);
  return out;
}

}  // namespace helper_ipc
