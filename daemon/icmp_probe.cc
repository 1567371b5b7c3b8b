#include "icmp_probe.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "helper_ipc/platform.h"
#include "helper_ipc/retry_eintr.h"
#include "log.h"
#include "sys.h"

namespace pelmor {

namespace {

constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint16_t kSequence = 1;
constexpr std::size_t kReceiveBufferSize = 1024;
// The IPv4 header's source address is its bytes 12 to 15.
constexpr std::size_t kSourceAddressEnd = 16;

std::uint16_t read_be16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void write_be16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value);
}

// Sends one echo request and waits for its reply until the deadline; true when it came. Nothing
// when the raw socket could not be opened and the line saying so could not be written either.
std::optional<bool> probe(const helper_ipc::Ipv4Addr& ip) {
  auto socket = helper_ipc::platform::open_socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (!socket) {
    if (!log_line("icmp: raw socket create failed: " + socket.error().text())) return std::nullopt;
    return false;
  }
  const int fd = socket->get();
  const std::uint16_t identifier = echo_identifier(getpid());
  const auto message = echo_request(identifier);
  const sockaddr_in to = sys::ipv4_socket_address(ip.to_u32(), 0);
  // An interrupted send has sent nothing, so repeating it still sends the message once.
  const auto sent = helper_ipc::retry_eintr([&] {
    return sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to);
  });
  if (sent == -1) return false;

  const auto deadline = std::chrono::steady_clock::now() + kProbeDeadline;
  std::array<std::uint8_t, kReceiveBufferSize> buffer;
  for (;;) {
    // Every pass gets only what is left of the one deadline, so neither unrelated ICMP traffic
    // nor a signal can stretch the wait.
    const auto timeout = receive_timeout(deadline - std::chrono::steady_clock::now());
    if (!timeout) return false;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &*timeout, sizeof *timeout) == -1) return false;
    const ssize_t received = recv(fd, buffer.data(), buffer.size(), 0);
    if (received == -1) {
      if (errno == EINTR) continue;
      return false;  // the time-out included
    }
    if (is_matching_reply({buffer.data(), static_cast<std::size_t>(received)}, identifier, ip)) {
      return true;
    }
  }
}

}  // namespace

std::uint16_t echo_identifier(pid_t pid) {
  return static_cast<std::uint16_t>(pid % 65536);
}

std::array<std::uint8_t, 8> echo_request(std::uint16_t identifier) {
  std::array<std::uint8_t, 8> message{};  // code 0, checksum 0 until computed
  message[0] = kEchoRequest;
  write_be16(message, 4, identifier);
  write_be16(message, 6, kSequence);
  // Internet checksum: the one's complement of the one's-complement sum of the 16-bit words,
  // taken with the checksum field still zero.
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < message.size(); i += 2)
    sum += read_be16(message, i);
  while (sum >> 16 != 0)
    sum = (sum & 0xFFFF) + (sum >> 16);
  write_be16(message, 2, static_cast<std::uint16_t>(~sum));
  return message;
}

bool is_matching_reply(std::span<const std::uint8_t> datagram, std::uint16_t identifier,
                       const helper_ipc::Ipv4Addr& probed) {
  if (datagram.size() < kSourceAddressEnd) return false;
  const std::size_t header_length = 4 * std::size_t{datagram[0] & 0x0Fu};
  if (datagram.size() < header_length + 8) return false;
  const auto source = datagram.subspan(kSourceAddressEnd - 4, 4);
  if (!std::equal(source.begin(), source.end(), probed.octets.begin())) return false;
  const auto icmp = datagram.subspan(header_length, 8);
  return icmp[0] == kEchoReply && icmp[1] == 0 && read_be16(icmp, 4) == identifier &&
         read_be16(icmp, 6) == kSequence;
}

std::optional<timeval> receive_timeout(std::chrono::nanoseconds remaining) {
  using std::chrono::duration_cast;
  const auto micros = duration_cast<std::chrono::microseconds>(remaining);  // rounds toward zero
  if (micros.count() <= 0) return std::nullopt;
  const auto seconds = duration_cast<std::chrono::seconds>(micros);
  timeval timeout{};
  timeout.tv_sec = static_cast<decltype(timeout.tv_sec)>(seconds.count());
  timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>((micros - seconds).count());
  return timeout;
}

std::optional<helper_ipc::Response> icmp_echo(const helper_ipc::IcmpEcho& request) {
  // The socket belongs to probe() and is closed when it returns, before the reply exists.
  const std::optional<bool> answered = probe(request.ip);
  if (!answered) return std::nullopt;
  return helper_ipc::IcmpResult{*answered};
}

}  // namespace pelmor
