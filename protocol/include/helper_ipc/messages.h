// The two message families of the protocol: requests from the client to the daemon and the
// daemon's replies. Each family is a variant of one plain struct per message, in the order that
// the protocol declares them (the order is part of the protocol: it fixes the list in the
// "unknown variant" failure text).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "helper_ipc/ipv4.h"
#include "helper_ipc/overloaded.h"

namespace helper_ipc {

// ---- Requests ------------------------------------------------------------------------------

struct Ping {
  friend bool operator==(const Ping&, const Ping&) = default;
};
struct GetForwarding {
  friend bool operator==(const GetForwarding&, const GetForwarding&) = default;
};
// The wanted IPv4 forwarding state.
struct SetForwarding {
  bool value = false;
  friend bool operator==(const SetForwarding&, const SetForwarding&) = default;
};
// Loads `rules` (the anchor's complete rule set) into the packet-filter anchor `anchor`.
struct PfLoadAnchor {
  std::string anchor;
  std::string rules;
  friend bool operator==(const PfLoadAnchor&, const PfLoadAnchor&) = default;
};
struct PfFlushAnchor {
  std::string anchor;
  friend bool operator==(const PfFlushAnchor&, const PfFlushAnchor&) = default;
};
struct PfEnable {
  friend bool operator==(const PfEnable&, const PfEnable&) = default;
};
// Gives back an enable token that PfEnable returned.
struct PfRelease {
  std::string token;
  friend bool operator==(const PfRelease&, const PfRelease&) = default;
};
struct IfconfigRead {
  std::string iface;
  friend bool operator==(const IfconfigRead&, const IfconfigRead&) = default;
};
struct IfconfigSet {
  std::string iface;
  Ipv4Addr addr;
  Ipv4Addr mask;
  friend bool operator==(const IfconfigSet&, const IfconfigSet&) = default;
};
struct IfconfigDelete {
  std::string iface;
  Ipv4Addr addr;
  friend bool operator==(const IfconfigDelete&, const IfconfigDelete&) = default;
};
struct BindDhcp67 {
  friend bool operator==(const BindDhcp67&, const BindDhcp67&) = default;
};
struct IcmpEcho {
  Ipv4Addr ip;
  friend bool operator==(const IcmpEcho&, const IcmpEcho&) = default;
};

using Request =
    std::variant<Ping, GetForwarding, SetForwarding, PfLoadAnchor, PfFlushAnchor, PfEnable,
                 PfRelease, IfconfigRead, IfconfigSet, IfconfigDelete, BindDhcp67, IcmpEcho>;

// ---- Responses -----------------------------------------------------------------------------

struct Pong {
  friend bool operator==(const Pong&, const Pong&) = default;
};
// The kernel's IPv4 forwarding state.
struct Forwarding {
  bool value = false;
  friend bool operator==(const Forwarding&, const Forwarding&) = default;
};
struct Ok {
  friend bool operator==(const Ok&, const Ok&) = default;
};
// The packet filter's enable token; absent when the tool succeeded without printing one.
struct PfToken {
  std::optional<std::string> token;
  friend bool operator==(const PfToken&, const PfToken&) = default;
};
// An interface's first IPv4 address and its netmask; absent when they could not be obtained.
struct Ifconfig {
  std::optional<std::pair<Ipv4Addr, Ipv4Addr>> value;
  friend bool operator==(const Ifconfig&, const Ifconfig&) = default;
};
// Whether the probed address answered.
struct IcmpResult {
  bool value = false;
  friend bool operator==(const IcmpResult&, const IcmpResult&) = default;
};
// The frame that carries this reply also carries a file descriptor.
struct FdFollows {
  friend bool operator==(const FdFollows&, const FdFollows&) = default;
};
// The operation failed; the text says why.
struct Err {
  std::string text;
  friend bool operator==(const Err&, const Err&) = default;
};

using Response = std::variant<Pong, Forwarding, Ok, PfToken, Ifconfig, IcmpResult, FdFollows, Err>;

}  // namespace helper_ipc
