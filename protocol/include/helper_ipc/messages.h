// The two message families of the protocol: requests from the client to the daemon and the
// daemon's replies. Each family is a variant of one plain struct per message, in the order that
// the protocol declares them (the order is part of the protocol: it fixes the list in the
// "unknown variant" failure text). Each struct declares its name and fields on the wire once
// (`kName`, `kFields`: see schema.h); the codec and the log rendering follow that declaration.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>

#include "helper_ipc/ipv4.h"
#include "helper_ipc/schema.h"

namespace helper_ipc {

// ---- Requests ------------------------------------------------------------------------------

struct Ping {
  static constexpr std::string_view kName = "Ping";
  static constexpr std::tuple<> kFields{};
  friend bool operator==(const Ping&, const Ping&) = default;
};
struct GetForwarding {
  static constexpr std::string_view kName = "GetForwarding";
  static constexpr std::tuple<> kFields{};
  friend bool operator==(const GetForwarding&, const GetForwarding&) = default;
};
// The wanted IPv4 forwarding state.
struct SetForwarding {
  bool value = false;
  static constexpr std::string_view kName = "SetForwarding";
  static constexpr std::tuple kFields{Value{&SetForwarding::value}};
  friend bool operator==(const SetForwarding&, const SetForwarding&) = default;
};
// Loads `rules` (the anchor's complete rule set) into the packet-filter anchor `anchor`.
struct PfLoadAnchor {
  std::string anchor;
  std::string rules;
  static constexpr std::string_view kName = "PfLoadAnchor";
  static constexpr std::tuple kFields{Field{"anchor", &PfLoadAnchor::anchor},
                                      Field{"rules", &PfLoadAnchor::rules}};
  friend bool operator==(const PfLoadAnchor&, const PfLoadAnchor&) = default;
};
struct PfFlushAnchor {
  std::string anchor;
  static constexpr std::string_view kName = "PfFlushAnchor";
  static constexpr std::tuple kFields{Field{"anchor", &PfFlushAnchor::anchor}};
  friend bool operator==(const PfFlushAnchor&, const PfFlushAnchor&) = default;
};
struct PfEnable {
  static constexpr std::string_view kName = "PfEnable";
  static constexpr std::tuple<> kFields{};
  friend bool operator==(const PfEnable&, const PfEnable&) = default;
};
// Gives back an enable token that PfEnable returned.
struct PfRelease {
  std::string token;
  static constexpr std::string_view kName = "PfRelease";
  static constexpr std::tuple kFields{Field{"token", &PfRelease::token}};
  friend bool operator==(const PfRelease&, const PfRelease&) = default;
};
struct IfconfigRead {
  std::string iface;
  static constexpr std::string_view kName = "IfconfigRead";
  static constexpr std::tuple kFields{Field{"iface", &IfconfigRead::iface}};
  friend bool operator==(const IfconfigRead&, const IfconfigRead&) = default;
};
struct IfconfigSet {
  std::string iface;
  Ipv4Addr addr;
  Ipv4Addr mask;
  static constexpr std::string_view kName = "IfconfigSet";
  static constexpr std::tuple kFields{Field{"iface", &IfconfigSet::iface},
                                      Field{"addr", &IfconfigSet::addr},
                                      Field{"mask", &IfconfigSet::mask}};
  friend bool operator==(const IfconfigSet&, const IfconfigSet&) = default;
};
struct IfconfigDelete {
  std::string iface;
  Ipv4Addr addr;
  static constexpr std::string_view kName = "IfconfigDelete";
  static constexpr std::tuple kFields{Field{"iface", &IfconfigDelete::iface},
                                      Field{"addr", &IfconfigDelete::addr}};
  friend bool operator==(const IfconfigDelete&, const IfconfigDelete&) = default;
};
struct BindDhcp67 {
  static constexpr std::string_view kName = "BindDhcp67";
  static constexpr std::tuple<> kFields{};
  friend bool operator==(const BindDhcp67&, const BindDhcp67&) = default;
};
struct IcmpEcho {
  Ipv4Addr ip;
  static constexpr std::string_view kName = "IcmpEcho";
  static constexpr std::tuple kFields{Field{"ip", &IcmpEcho::ip}};
  friend bool operator==(const IcmpEcho&, const IcmpEcho&) = default;
};

using Request =
    std::variant<Ping, GetForwarding, SetForwarding, PfLoadAnchor, PfFlushAnchor, PfEnable,
                 PfRelease, IfconfigRead, IfconfigSet, IfconfigDelete, BindDhcp67, IcmpEcho>;

// ---- Responses -----------------------------------------------------------------------------

struct Pong {
  static constexpr std::string_view kName = "Pong";
  static constexpr std::tuple<> kFields{};
  friend bool operator==(const Pong&, const Pong&) = default;
};
// The kernel's IPv4 forwarding state.
struct Forwarding {
  bool value = false;
  static constexpr std::string_view kName = "Forwarding";
  static constexpr std::tuple kFields{Value{&Forwarding::value}};
  friend bool operator==(const Forwarding&, const Forwarding&) = default;
};
struct Ok {
  static constexpr std::string_view kName = "Ok";
  static constexpr std::tuple<> kFields{};
  friend bool operator==(const Ok&, const Ok&) = default;
};
// The packet filter's enable token; absent when the tool succeeded without printing one.
struct PfToken {
  std::optional<std::string> token;
  static constexpr std::string_view kName = "PfToken";
  static constexpr std::tuple kFields{Value{&PfToken::token}};
  friend bool operator==(const PfToken&, const PfToken&) = default;
};
// An interface's first IPv4 address and its netmask; absent when they could not be obtained.
struct Ifconfig {
  std::optional<std::pair<Ipv4Addr, Ipv4Addr>> value;
  static constexpr std::string_view kName = "Ifconfig";
  static constexpr std::tuple kFields{Value{&Ifconfig::value}};
  friend bool operator==(const Ifconfig&, const Ifconfig&) = default;
};
// Whether the probed address answered.
struct IcmpResult {
  bool value = false;
  static constexpr std::string_view kName = "IcmpResult";
  static constexpr std::tuple kFields{Value{&IcmpResult::value}};
  friend bool operator==(const IcmpResult&, const IcmpResult&) = default;
};
// The frame that carries this reply also carries a file descriptor.
struct FdFollows {
  static constexpr std::string_view kName = "FdFollows";
  static constexpr std::tuple<> kFields{};
  friend bool operator==(const FdFollows&, const FdFollows&) = default;
};
// The operation failed; the text says why.
struct Err {
  std::string text;
  static constexpr std::string_view kName = "Err";
  static constexpr std::tuple kFields{Value{&Err::text}};
  friend bool operator==(const Err&, const Err&) = default;
};

using Response = std::variant<Pong, Forwarding, Ok, PfToken, Ifconfig, IcmpResult, FdFollows, Err>;

// The name of each family, as failure texts name it ("struct variant Request::IcmpEcho").
template <class Family>
struct FamilyName;
template <>
struct FamilyName<Request> {
  static constexpr std::string_view value = "Request";
};
template <>
struct FamilyName<Response> {
  static constexpr std::string_view value = "Response";
};

static_assert(detail::all_distinct(kVariantNames<Request>));
static_assert(detail::all_distinct(kVariantNames<Response>));

}  // namespace helper_ipc
