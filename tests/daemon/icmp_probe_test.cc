// The ICMP echo probe: its message, which datagrams it takes for the reply, the time-out it sets,
// and whole probes against loopback addresses in a private network namespace of a child process.
#include "icmp_probe.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/stream.h"
#include "sys.h"
#if defined(CLONE_NEWNET)
#include "sandbox.h"
#endif

namespace pelmor {
namespace {

using Bytes = std::array<std::uint8_t, 8>;

// The one's-complement sum of big-endian 16-bit words, carries folded back in.
std::uint16_t ones_complement_sum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    sum += std::uint32_t{bytes[i]} << 8 | bytes[i + 1];
  while (sum > 0xFFFF)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

TEST(EchoRequest, IsTypeEightWithOurIdentifierAndAChecksumThatMakesTheWordsSumToAllOnes) {
  // 0xF7FE, 0xF7FF and 0xFFFF bring the sum to 0xFFFF, 0x10000 and 0x10800: the carry cases.
  const std::uint16_t identifiers[] = {0x0000, 0x0001, 0x00FF, 0x8000, 0xF7FE, 0xF7FF, 0xFFFF};
  for (std::uint16_t id : identifiers) {
    SCOPED_TRACE(id);
    const Bytes message = echo_request(id);
    EXPECT_EQ(ones_complement_sum(message), 0xFFFF);
    const auto hi = static_cast<std::uint8_t>(id >> 8), lo = static_cast<std::uint8_t>(id);
    EXPECT_EQ(message, (Bytes{8, 0, message[2], message[3], hi, lo, 0, 1}));
  }
  // The identifier is the process id modulo 65536.
  for (const auto& [pid, id] : {std::pair{65535, 65535}, {65536, 0}, {4'194'303, 65535}})
    EXPECT_EQ(echo_identifier(pid), id) << pid;
}

TEST(IsMatchingReply, TakesOnlyOurEchoReplyFromTheProbedHost) {
  constexpr std::uint16_t kOurs = 0x1234;
  using Address = std::array<std::uint8_t, 4>;
  const helper_ipc::Ipv4Addr probed{{127, 0, 0, 3}};
  const Address kProbed = probed.octets;
  struct Case {
    const char* name;
    std::uint8_t first_byte;  // version and header length
    std::size_t size;
    Address source;  // the header's bytes 12 to 15
    std::uint8_t type, code;
    std::uint16_t identifier, sequence;
    bool matches;
  };
  const Case cases[] = {
      {"echo reply, 20-byte header", 0x45, 28, kProbed, 0, 0, kOurs, 1, true},
      {"echo reply with a payload", 0x45, 84, kProbed, 0, 0, kOurs, 1, true},
      {"version nibble not looked at", 0x05, 28, kProbed, 0, 0, kOurs, 1, true},
      {"from another loopback address", 0x45, 28, {127, 0, 0, 2}, 0, 0, kOurs, 1, false},
      {"source in the wrong byte order", 0x45, 28, {3, 0, 0, 127}, 0, 0, kOurs, 1, false},
      {"source differing in the first byte", 0x45, 28, {128, 0, 0, 3}, 0, 0, kOurs, 1, false},
      {"another program's identifier", 0x45, 28, kProbed, 0, 0, 0x1235, 1, false},
      {"sequence number 2", 0x45, 28, kProbed, 0, 0, kOurs, 2, false},
      {"code 1", 0x45, 28, kProbed, 0, 1, kOurs, 1, false},
      {"echo request (our own, looped back)", 0x45, 28, kProbed, 8, 0, kOurs, 1, false},
      {"destination unreachable", 0x45, 56, kProbed, 3, 0, kOurs, 1, false},
      {"60-byte header, 67 bytes", 0x4F, 67, kProbed, 0, 0, kOurs, 1, false},
      {"60-byte header, 68 bytes", 0x4F, 68, kProbed, 0, 0, kOurs, 1, true},
      {"too short for the ICMP header", 0x45, 27, kProbed, 0, 0, kOurs, 1, false},
      {"too short for the source address", 0x41, 12, kProbed, 0, 0, kOurs, 1, false},
      {"empty", 0x45, 0, kProbed, 0, 0, kOurs, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The header and the ICMP fields are laid out in a buffer that is then cut to the case's
    // size; every byte not set is one that no field of interest has.
    const std::size_t at = 4 * std::size_t{c.first_byte & 0x0Fu};
    std::vector<std::uint8_t> datagram(std::max<std::size_t>(at + 8, 16), 0xA5);
    datagram[0] = c.first_byte;
    std::copy(c.source.begin(), c.source.end(), datagram.begin() + 12);
    datagram[at] = c.type;
    datagram[at + 1] = c.code;
    datagram[at + 4] = static_cast<std::uint8_t>(c.identifier >> 8);
    datagram[at + 5] = static_cast<std::uint8_t>(c.identifier);
    datagram[at + 6] = static_cast<std::uint8_t>(c.sequence >> 8);
    datagram[at + 7] = static_cast<std::uint8_t>(c.sequence);
    datagram.resize(c.size);
    EXPECT_EQ(is_matching_reply(datagram, kOurs, probed), c.matches);
  }
}

TEST(ReceiveTimeout, CutsToMicrosecondsAndNeverGivesZero) {
  using std::chrono::nanoseconds;
  const std::pair<nanoseconds, std::optional<std::pair<long, long>>> rows[] = {
      {nanoseconds{-1'000'000}, std::nullopt},
      {nanoseconds{0}, std::nullopt},
      {nanoseconds{999}, std::nullopt},
      {nanoseconds{1'000}, std::pair{0L, 1L}},
      {nanoseconds{1'999}, std::pair{0L, 1L}},
      {nanoseconds{1'500'000'000}, std::pair{1L, 500'000L}},
  };
  const auto as_pair = [](const timeval& t) { return std::pair<long, long>{t.tv_sec, t.tv_usec}; };
  for (const auto& [remaining, want] : rows) {
    const std::optional<timeval> got = receive_timeout(remaining);
    EXPECT_EQ(got ? std::optional(as_pair(*got)) : std::nullopt, want) << remaining.count();
  }
}

#if defined(CLONE_NEWNET)

using std::chrono::milliseconds;

bool ignore_echo_requests() {
  helper_ipc::UniqueFd file(open("/proc/sys/net/ipv4/icmp_echo_ignore_all", O_WRONLY | O_CLOEXEC));
  return file && helper_ipc::write_all(file.get(), "1\n").ok();
}

volatile std::sig_atomic_t interruptions = 0;
extern "C" void count_interruption(int) {
  interruptions = interruptions + 1;
}

// Starts a process that, for at most 3 s, every 10 ms sends an echo reply with our identifier and
// sequence number from 127.0.0.<source> to 127.0.0.1, as any local process with a raw socket could,
// and a signal that interrupts our receive. Returns its pid, or -1.
pid_t start_forger(std::uint8_t source) {
  struct sigaction action {};
  action.sa_handler = count_interruption;  // no SA_RESTART: the receive fails with EINTR
  if (sigaction(SIGUSR1, &action, nullptr) == -1) return -1;
  Bytes reply = echo_request(echo_identifier(getpid()));
  reply[0] = reply[2] = reply[3] = 0;  // an echo reply, its checksum made anew
  const auto checksum = static_cast<std::uint16_t>(~ones_complement_sum(reply));
  reply[2] = static_cast<std::uint8_t>(checksum >> 8);
  reply[3] = static_cast<std::uint8_t>(checksum);
  const pid_t prober = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  close_range(3, ~0u, 0);  // keeps none of the test's pipes open
  auto socket = helper_ipc::platform::open_socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  const sockaddr_in from = sys::ipv4_socket_address(0x7F000000u | source, 0);
  const sockaddr_in to = sys::ipv4_socket_address(INADDR_LOOPBACK, 0);
  if (!socket || bind(socket->get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) == -1)
    _exit(1);
  for (int i = 0; i < 300; ++i) {
    sendto(socket->get(), reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
    kill(prober, SIGUSR1);
    usleep(10'000);
  }
  _exit(0);
}

struct Scenario {
  const char* name;
  bool loopback_up;
  bool ignore_echo;          // net.ipv4.icmp_echo_ignore_all=1 in the namespace
  std::uint8_t forged_from;  // 0, or a forger (start_forger) from 127.0.0.<forged_from>
  bool unprivileged;         // the probe runs as uid 65534
  bool answer;
  milliseconds at_least, at_most;
  const char* output;  // what the probe writes on standard output
};

// Probes 127.0.0.3 in a child in a private network namespace set up as `s` says. Returns what the
// child wrote: the probe's output, then "answer=A us=N signals=S" last, or why it could not probe.
std::string probe_in_child(const Scenario& s) {
  auto pipe = sys::open_pipe();
  if (!pipe) return "no pipe";
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const auto fail = [](const char* step) {
      std::printf("%s failed: %s", step, std::strerror(errno));
      std::fflush(stdout);
      _exit(1);
    };
    alarm(10);  // a probe that does not end in time ends with the child
    if (dup2(pipe->second.get(), STDOUT_FILENO) == -1) _exit(1);
    if (unshare(CLONE_NEWNET) == -1) fail("unshare");
    if (s.loopback_up && !pelmor_sandbox::loopback_up()) fail("loopback");
    if (s.ignore_echo && !ignore_echo_requests()) fail("ignore echo");
    const pid_t forger = s.forged_from != 0 ? start_forger(s.forged_from) : 0;
    if (forger == -1) fail("forger");
    if (s.unprivileged && (setgid(65534) == -1 || setuid(65534) == -1)) fail("setuid");
    const auto start = std::chrono::steady_clock::now();
    const auto response = icmp_echo({helper_ipc::Ipv4Addr{{127, 0, 0, 3}}}).value();
    const auto took = std::chrono::steady_clock::now() - start;
    if (forger > 0) {
      kill(forger, SIGKILL);
      waitpid(forger, nullptr, 0);
    }
    std::printf("answer=%d us=%lld signals=%d", std::get<helper_ipc::IcmpResult>(response).value,
                static_cast<long long>(std::chrono::ceil<std::chrono::microseconds>(took).count()),
                static_cast<int>(interruptions));
    std::fflush(stdout);
    _exit(0);
  }
  pipe->second.reset();
  std::string all;
  char chunk[512];
  for (auto n = helper_ipc::read_some(pipe->first.get(), chunk, sizeof chunk); n && *n > 0;
       n = helper_ipc::read_some(pipe->first.get(), chunk, sizeof chunk))
    all.append(chunk, *n);
  waitpid(child, nullptr, 0);
  return all;
}

// The raw socket sees our own echo request on loopback too; the probe has to pass over it. The
// forger's replies from elsewhere must not make a silent host reachable, nor may its stream of
// replies and signals stretch the wait; the same forgeries from the probed address show that they
// arrive.
TEST(IcmpEcho, ProbesInAPrivateNetwork) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for raw sockets and a private network namespace";
  const milliseconds in_time{400}, deadline{450}, late{2000};
  const char* const refused =
      "[pelmor-helper] icmp: raw socket create failed: Operation not permitted (os error 1)\n";
  const Scenario rows[] = {
      {"answering", true, false, 0, false, true, {}, in_time, ""},
      {"silent amid forgeries", true, true, 2, false, false, deadline, late, ""},
      {"forged from the probed address", true, true, 3, false, true, {}, in_time, ""},
      {"loopback down", false, false, 0, false, false, {}, in_time, ""},
      {"without raw socket privilege", true, false, 0, true, false, {}, in_time, refused},
  };
  for (const Scenario& s : rows) {
    SCOPED_TRACE(s.name);
    const std::string got = probe_in_child(s);
    if (got.starts_with("unshare failed")) GTEST_SKIP() << got;
    const std::size_t report = got.rfind("answer=");
    ASSERT_NE(report, std::string::npos) << got;
    int answer = -1, signals = -1;
    long long us = -1;
    ASSERT_EQ(
        std::sscanf(got.c_str() + report, "answer=%d us=%lld signals=%d", &answer, &us, &signals),
        3)
        << got;
    EXPECT_EQ(answer, s.answer);
    // Amid forgeries a silent host is waited for through their signals, which did come.
    EXPECT_TRUE(s.forged_from == 0 || s.answer || signals > 0) << got;
    EXPECT_GE(std::chrono::microseconds(us), s.at_least);
    EXPECT_LE(std::chrono::microseconds(us), s.at_most);
    EXPECT_EQ(got.substr(0, report), s.output);
  }
}

#endif

}  // namespace
}  // namespace pelmor
