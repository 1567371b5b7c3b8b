// The privileged operations behind the requests. Each runs one system tool with a fixed argument
// list (or, for the echo probe, a raw socket), keeps no state and returns its reply. The
// reply_* functions turn a tool's outcome into a reply without running anything.
#pragma once

#include <optional>
#include <string_view>
#include <utility>

#include "helper_ipc/messages.h"
#include "tool_runner.h"

namespace pelmor {

inline constexpr const char* kSysctl = "/usr/sbin/sysctl";
inline constexpr const char* kPfctl = "/sbin/pfctl";
inline constexpr const char* kIfconfig = "/sbin/ifconfig";

// IPv4 forwarding, through "/usr/sbin/sysctl".
helper_ipc::Response get_forwarding();
helper_ipc::Response set_forwarding(const helper_ipc::SetForwarding& request);
// Forwarding(true) exactly when the trimmed standard output of a successful read is "1".
helper_ipc::Response reply_get_forwarding(const ToolOutcome& outcome);

// Packet-filter anchors and enable tokens, through "/sbin/pfctl".
helper_ipc::Response pf_load_anchor(const helper_ipc::PfLoadAnchor& request);
helper_ipc::Response pf_flush_anchor(const helper_ipc::PfFlushAnchor& request);
helper_ipc::Response pf_enable();
helper_ipc::Response pf_release(const helper_ipc::PfRelease& request);
// The first "Token :" or "Token:" line of standard error with a non-empty value decides, whatever
// the exit; without one, PfToken(none) after success and Err(tool error text) after failure.
helper_ipc::Response reply_pf_enable(const ToolOutcome& outcome);

// Interface addresses, through "/sbin/ifconfig".
helper_ipc::Response ifconfig_read(const helper_ipc::IfconfigRead& request);
helper_ipc::Response ifconfig_set(const helper_ipc::IfconfigSet& request);
helper_ipc::Response ifconfig_delete(const helper_ipc::IfconfigDelete& request);
// Whether `iface` may stand first in the tool's argument list: a name that begins with "-" would
// be read as an option, and no interface is called that.
bool is_passable_interface_name(std::string_view iface);
inline constexpr const char* kOptionLikeInterfaceName =
    "invalid interface name: must not begin with '-'";
// Ifconfig with the address and netmask of the first inet line of a successful run's output;
// Ifconfig(none) for every failure.
helper_ipc::Response reply_ifconfig_read(const ToolOutcome& outcome);
// The address and netmask of the first "inet " line, if that line holds both.
std::optional<std::pair<helper_ipc::Ipv4Addr, helper_ipc::Ipv4Addr>> parse_first_inet_line(
    std::string_view output);

}  // namespace pelmor
