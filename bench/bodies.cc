#include "bodies.h"

#include <cstdint>
#include <string_view>

#include "helper_ipc/codec.h"

namespace pelmor_bench {

namespace {

// A small fixed-seed generator, so that every run and every machine reads the same text.
class Lcg {
 public:
  std::uint32_t next(std::uint32_t bound) {
    state_ = state_ * 6364136223846793005u + 1442695040888963407u;
    return static_cast<std::uint32_t>(state_ >> 33) % bound;
  }

 private:
  std::uint64_t state_ = 0x5eed;
};

std::string host(Lcg& rng) {
  return "192.168." + std::to_string(rng.next(4) + 2) + "." + std::to_string(rng.next(250) + 2);
}

std::string rule(Lcg& rng) {
  const std::string port = std::to_string(rng.next(60000) + 1024);
  switch (rng.next(8)) {
    case 0:
      return "nat on en0 inet from 192.168.2.0/24 to any -> (en0)";
    case 1:
      return "rdr pass on bridge100 inet proto tcp to port " + port + " -> " + host(rng);
    case 2:
      return "pass in quick on bridge100 proto udp to any port 67 keep state";
    case 3:
      return "block drop in quick on bridge100 inet from " + host(rng) + " to any";
    case 4:
      return "pass out quick on en0 inet proto tcp from " + host(rng) + " label \"share\"";
    case 5:
      return "table <clients> persist { " + host(rng) + ", " + host(rng) + " }";
    case 6:
      return "pass in on bridge100 proto tcp from <clients> to port " + port;
    default:
      return "block return in log on en0 inet proto udp to port " + port + " label \"deny\"";
  }
}

}  // namespace

std::string make_rules(std::size_t lines) {
  Lcg rng;
  std::string text;
  for (std::size_t i = 0; i < lines; ++i) {
    text += rule(rng);
    text += '\n';
  }
  return text;
}

helper_ipc::PfLoadAnchor make_pf_load_anchor(std::size_t max_body) {
  const std::string anchor = "com.pelmor/sharing";
  // The body grows with every line; find the largest count that fits.
  std::size_t lo = 0, hi = max_body / 40 + 1;  // every line takes more than 40 bytes
  auto body_size = [&](std::size_t lines) {
    return helper_ipc::encode_request(helper_ipc::PfLoadAnchor{anchor, make_rules(lines)}).size();
  };
  while (lo < hi) {
    const std::size_t mid = (lo + hi + 1) / 2;
    if (body_size(mid) <= max_body) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  // A request as large as the frame allows: fill the rest of the body with one more, shorter
  // line, so that the body is exactly `max_body` bytes when the escapes allow it.
  std::string rules = make_rules(lo);
  const std::size_t room = max_body - body_size(lo);
  if (room > 2) rules += std::string(room - 2, '#') + "\n";  // a comment line; "\n" takes 2
  return helper_ipc::PfLoadAnchor{anchor, std::move(rules)};
}

helper_ipc::IfconfigSet make_ifconfig_set() {
  return helper_ipc::IfconfigSet{"bridge100", *helper_ipc::Ipv4Addr::parse("192.168.2.1"),
                                 *helper_ipc::Ipv4Addr::parse("255.255.255.0")};
}

}  // namespace pelmor_bench
