// The ICMP echo probe: one echo request over a raw socket, and whether a matching echo reply came
// back within 500 ms of the send.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "helper_ipc/messages.h"

namespace pelmor {

// How long the probe waits for the reply, counted from the send.
inline constexpr std::chrono::milliseconds kProbeDeadline{500};

// The identifier of our echo requests: the process id modulo 65536. Every probe of one process
// uses the same one.
std::uint16_t echo_identifier(pid_t pid);

// The 8-byte echo request: type 8, code 0, checksum, `identifier`, sequence number 1.
std::array<std::uint8_t, 8> echo_request(std::uint16_t identifier);

// Whether a datagram read from the raw socket (IPv4 header first) is the echo reply to our
// request: sent by `probed` (the header's source address), type 0, code 0, our identifier,
// sequence number 1. Nothing else is examined. Any local process can put an echo reply with our
// identifier on the wire, so only one from the probed host itself says that it answered.
bool is_matching_reply(std::span<const std::uint8_t> datagram, std::uint16_t identifier,
                       const helper_ipc::Ipv4Addr& probed);

// The receive time-out for the time that remains before the deadline, or nothing when less than
// one microsecond remains (a zero time-out would mean no limit at all, so that counts as expired).
std::optional<timeval> receive_timeout(std::chrono::nanoseconds remaining);

// Sends one echo request to `ip` and answers IcmpResult(true) when a matching reply arrived in
// time, IcmpResult(false) in every other case. Logs "icmp: raw socket create failed: {}" when the
// raw socket cannot be opened; when that line cannot be written, answers nothing, and the
// connection ends without a reply as it does for its own lines.
std::optional<helper_ipc::Response> icmp_echo(const helper_ipc::IcmpEcho& request);

}  // namespace pelmor
