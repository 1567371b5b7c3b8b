// pelmor-helper-ctl: talks to the daemon from a shell. One subcommand per request; a thin layer
// over helper_ipc::Client.
//
// Exit status: 0 on success, 1 when the daemon answers Err, 2 on a usage or connection error, 3
// when the time limit runs out.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "helper_ipc/client.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/utf8.h"

namespace {

using namespace helper_ipc;

constexpr int kExitOk = 0;
constexpr int kExitErrReply = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimedOut = 3;

// The time limit of the whole exchange unless --timeout says otherwise: the C interface's default.
constexpr std::chrono::seconds kDefaultTimeout{60};

struct Command {
  std::vector<std::string_view> words;  // the subcommand, e.g. {"pf", "load"}
  std::string_view operands;            // for the usage line
  std::string_view summary;
};

const Command kCommands[] = {
    {{"ping"}, "", "check that the daemon answers"},
    {{"forwarding", "get"}, "", "show whether the kernel forwards IPv4"},
    {{"forwarding", "set"}, "on|off", "switch IPv4 forwarding"},
    {{"pf", "load"}, "ANCHOR [FILE|-]", "load rules (from FILE, or standard input) into ANCHOR"},
    {{"pf", "flush"}, "ANCHOR", "flush everything in ANCHOR"},
    {{"pf", "enable"}, "", "enable the packet filter and print the enable token"},
    {{"pf", "release"}, "TOKEN", "give an enable token back"},
    {{"iface", "read"}, "IFACE", "show the first IPv4 address and netmask of IFACE"},
    {{"iface", "set"}, "IFACE ADDR MASK", "add the IPv4 address ADDR with netmask MASK to IFACE"},
    {{"iface", "delete"}, "IFACE ADDR", "delete the IPv4 address ADDR from IFACE"},
    {{"icmp"}, "ADDR", "send one ICMP echo request; tell whether ADDR answered within 500 ms"},
    {{"dhcp67"}, "", "receive a UDP socket bound to 0.0.0.0:67 and show its local address"},
};

std::string usage_line(const Command& c) {
  std::string line = "pelmor-helper-ctl [OPTIONS]";
  for (std::string_view w : c.words)
    (line += ' ') += w;
  if (!c.operands.empty()) (line += ' ') += c.operands;
  return line;
}

// Help for every command that starts with `prefix` (all of them for an empty prefix).
std::string help(const std::vector<std::string_view>& prefix) {
  std::string out;
  for (const Command& c : kCommands) {
    if (!std::equal(prefix.begin(), prefix.end(), c.words.begin(),
                    c.words.begin() + static_cast<long>(std::min(prefix.size(), c.words.size())))) {
      continue;
    }
    out += "  " + usage_line(c) + "\n      " + std::string(c.summary) + "\n";
  }
  if (out.empty()) return help({});
  return "usage:\n" + out +
         "\noptions:\n"
         "  --socket PATH      the daemon's socket (default " +
         kDefaultSocketPath +
         ")\n"
         "  --json             print the reply's JSON body instead of a sentence\n"
         "  --timeout SECONDS  the time limit of the whole exchange (default " +
         std::to_string(kDefaultTimeout.count()) +
         "; 0: none)\n"
         "  --version          print the version\n"
         "\nexit status: 0 success, 1 the daemon answered Err, 2 usage or connection error, 3 the "
         "time limit ran out\n";
}

int usage_error(const std::string& message, const std::vector<std::string_view>& words) {
  std::cerr << "pelmor-helper-ctl: " << message << "\n" << help(words);
  return kExitUsage;
}

std::optional<Ipv4Addr> address(std::string_view text) {
  return Ipv4Addr::parse(text);
}

std::optional<std::string> read_rules(std::string_view source) {
  if (source == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  std::ifstream in{std::string(source), std::ios::binary};
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `text` with its control characters, line feed and tab excepted, written as \u{..} escapes, so
// that a text from the daemon cannot drive the terminal.
std::string terminal_safe(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const utf8::Step step = utf8::decode(text, i);
    const char32_t c = step.code_point;
    if (c == utf8::kInvalid || ((c < 0x20 || (c >= 0x7F && c < 0xA0)) && c != '\n' && c != '\t')) {
      char escape[16];
      const auto value = c == utf8::kInvalid ? static_cast<unsigned char>(text[i]) : c;
      std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(value));
      out += escape;
    } else {
      out.append(text.substr(i, step.length));
    }
    i += step.length;
  }
  return out;
}

// The sentence a person reads for a reply; Err goes to standard error.
std::string describe(const Response& reply) {
  struct Visitor {
    std::string operator()(const Pong&) const { return "pong"; }
    std::string operator()(const Forwarding& r) const {
      return r.value ? "IPv4 forwarding is on" : "IPv4 forwarding is off";
    }
    std::string operator()(const Ok&) const { return "ok"; }
    std::string operator()(const PfToken& r) const {
      return r.token ? "token: " + *r.token : "the packet filter is enabled; no token was given";
    }
    std::string operator()(const Ifconfig& r) const {
      return r.value ? r.value->first.to_string() + " netmask " + r.value->second.to_string()
                     : "no IPv4 address";
    }
    std::string operator()(const IcmpResult& r) const {
      return r.value ? "reachable" : "no answer within 500 ms";
    }
    std::string operator()(const FdFollows&) const { return "a descriptor follows"; }
    std::string operator()(const Err& r) const { return "error: " + r.text; }
  };
  return std::visit(Visitor{}, reply);
}

struct Options {
  std::string socket = kDefaultSocketPath;
  std::chrono::milliseconds timeout = kDefaultTimeout;
  bool json = false;
  bool help = false;
  std::vector<std::string_view> words;  // everything that is not an option
};

int connect_failure(const ClientError& e) {
  std::cerr << "pelmor-helper-ctl: " << terminal_safe(e.text);
  if (e.kind == ClientError::Kind::Connect) std::cerr << " (is pelmor_helper running?)";
  std::cerr << "\n";
  return e.kind == ClientError::Kind::TimedOut ? kExitTimedOut : kExitUsage;
}

// An Err reply: its JSON, or its text on standard error.
int err_reply(const std::string& text, bool json) {
  if (json) {
    std::cout << encode_response(Err{text}) << "\n";
  } else {
    std::cerr << "error: " << terminal_safe(text) << "\n";
  }
  return kExitErrReply;
}

int dhcp67(Client& client, bool json) {
  auto socket = client.bind_dhcp67();
  if (!socket) {
    if (socket.error().kind != ClientError::Kind::ErrReply) return connect_failure(socket.error());
    return err_reply(socket.error().text, json);
  }
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (getsockname(socket->get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    std::cerr << "pelmor-helper-ctl: getsockname: " << IoError::last_os_error().text() << "\n";
    return kExitUsage;
  }
  const std::string where = Ipv4Addr::from_u32(ntohl(local.sin_addr.s_addr)).to_string() + ":" +
                            std::to_string(ntohs(local.sin_port));
  if (json) {
    std::cout << encode_response(FdFollows{}) << "\n";
  } else {
    std::cout << "received a UDP socket bound to " << where << "\n";
  }
  return kExitOk;
}

// A number of seconds ("10", "0.5") in milliseconds, at most a day.
// (strtod, not std::from_chars, whose floating-point form the macOS 11 C++ library lacks; this
// program never leaves the C locale, so the decimal point is a point.)
std::optional<std::chrono::milliseconds> seconds(std::string_view text) {
  const std::string digits(text);
  char* end = nullptr;
  const double value = std::strtod(digits.c_str(), &end);
  const bool digits_only = digits.find_first_not_of("0123456789.") == std::string::npos;
  if (digits.empty() || !digits_only || *end != '\0' || !(value >= 0 && value <= 86400)) {
    return std::nullopt;
  }
  return std::chrono::milliseconds(static_cast<long>(std::ceil(value * 1000)));
}

int run(const Options& o) {
  const auto& w = o.words;
  auto is = [&](std::initializer_list<std::string_view> words, std::size_t operands) {
    return w.size() == words.size() + operands && std::equal(words.begin(), words.end(), w.begin());
  };
  auto needs = [&](std::initializer_list<std::string_view> words) {
    return w.size() >= words.size() && std::equal(words.begin(), words.end(), w.begin());
  };
  if (o.help || w.empty()) {
    std::cout << help(w);
    return o.help ? kExitOk : kExitUsage;
  }

  std::optional<Request> request;
  if (is({"ping"}, 0)) {
    request = Ping{};
  } else if (is({"forwarding", "get"}, 0)) {
    request = GetForwarding{};
  } else if (is({"forwarding", "set"}, 1)) {
    if (w[2] != "on" && w[2] != "off") return usage_error("forwarding set takes on or off", w);
    request = SetForwarding{w[2] == "on"};
  } else if (needs({"pf", "load"}) && (w.size() == 3 || w.size() == 4)) {
    const std::string_view source = w.size() == 4 ? w[3] : "-";
    auto rules = read_rules(source);
    if (!rules) return usage_error("cannot read " + std::string(source), w);
    request = PfLoadAnchor{std::string(w[2]), std::move(*rules)};
  } else if (is({"pf", "flush"}, 1)) {
    request = PfFlushAnchor{std::string(w[2])};
  } else if (is({"pf", "enable"}, 0)) {
    request = PfEnable{};
  } else if (is({"pf", "release"}, 1)) {
    request = PfRelease{std::string(w[2])};
  } else if (is({"iface", "read"}, 1)) {
    request = IfconfigRead{std::string(w[2])};
  } else if (is({"iface", "set"}, 3)) {
    const auto addr = address(w[3]), mask = address(w[4]);
    if (!addr || !mask) return usage_error("ADDR and MASK are dotted IPv4 addresses", w);
    request = IfconfigSet{std::string(w[2]), *addr, *mask};
  } else if (is({"iface", "delete"}, 2)) {
    const auto addr = address(w[3]);
    if (!addr) return usage_error("ADDR is a dotted IPv4 address", w);
    request = IfconfigDelete{std::string(w[2]), *addr};
  } else if (is({"icmp"}, 1)) {
    const auto ip = address(w[1]);
    if (!ip) return usage_error("ADDR is a dotted IPv4 address", w);
    request = IcmpEcho{*ip};
  } else if (!is({"dhcp67"}, 0)) {
    return usage_error("unknown command or wrong number of operands", w);
  }

  auto client = Client::connect(o.socket, o.timeout);
  if (!client) return connect_failure(client.error());
  if (!request) return dhcp67(*client, o.json);
  auto reply = client->call(*request);
  if (!reply) return connect_failure(reply.error());
  if (const Err* err = std::get_if<Err>(&*reply)) return err_reply(err->text, o.json);
  std::cout << (o.json ? encode_response(*reply) : describe(*reply)) << "\n";
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done || arg.size() < 2 || arg.substr(0, 2) != "--") {
      o.words.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "--help") {
      o.help = true;
    } else if (arg == "--version") {
      std::cout << "pelmor-helper-ctl " << kVersion << "\n";
      return kExitOk;
    } else if (arg == "--timeout" || arg.substr(0, 10) == "--timeout=") {
      if (arg == "--timeout" && ++i == argc) return usage_error("--timeout needs SECONDS", {});
      const auto timeout = seconds(arg == "--timeout" ? argv[i] : arg.substr(10));
      if (!timeout) return usage_error("--timeout takes SECONDS, such as 10 or 0.5", {});
      o.timeout = *timeout;
    } else if (arg == "--socket") {
      if (++i == argc) return usage_error("--socket needs a path", {});
      o.socket = argv[i];
    } else if (arg.substr(0, 9) == "--socket=") {
      o.socket = std::string(arg.substr(9));
    } else {
      return usage_error("unknown option " + std::string(arg), {});
    }
  }
  return run(o);
}
