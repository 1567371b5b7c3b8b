// The ICMP echo probe: its message, which datagrams it takes for the reply, the time-out it sets,
// and whole probes against loopback addresses in a private network namespace of a child process.
#include "icmp_probe.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/stream.h"
#include "sys.h"

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

TEST(EchoRequest, IsTheEightByteMessageOfOurProcess) {
  EXPECT_EQ(echo_request(echo_identifier(4660)),
            (Bytes{0x08, 0x00, 0xE5, 0xCA, 0x12, 0x34, 0x00, 0x01}));
  EXPECT_EQ(echo_identifier(70000), 4464);
  EXPECT_EQ(echo_request(echo_identifier(70000)),
            (Bytes{0x08, 0x00, 0xE6, 0x8E, 0x11, 0x70, 0x00, 0x01}));
}

TEST(EchoRequest, ChecksumMakesTheWordsSumToAllOnes) {
  // 0xF7FE, 0xF7FF and 0xFFFF bring the sum to 0xFFFF, 0x10000 and 0x10800: the carry cases.
  const std::uint16_t identifiers[] = {0x0000, 0x0001, 0x00FF, 0x8000, 0xF7FE, 0xF7FF, 0xFFFF};
  for (std::uint16_t id : identifiers) {
    SCOPED_TRACE(id);
    const Bytes message = echo_request(id);
    EXPECT_EQ(ones_complement_sum(message), 0xFFFF);
    EXPECT_EQ(message[4] << 8 | message[5], id);
  }
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
      {"from 127.0.0.1", 0x45, 28, {127, 0, 0, 1}, 0, 0, kOurs, 1, false},
      {"source in the wrong byte order", 0x45, 28, {3, 0, 0, 127}, 0, 0, kOurs, 1, false},
      {"source differing in the first byte", 0x45, 28, {128, 0, 0, 3}, 0, 0, kOurs, 1, false},
      {"another program's identifier", 0x45, 28, kProbed, 0, 0, 0x1235, 1, false},
      {"sequence number 2", 0x45, 28, kProbed, 0, 0, kOurs, 2, false},
      {"code 1", 0x45, 28, kProbed, 0, 1, kOurs, 1, false},
      {"echo request (our own, looped back)", 0x45, 28, kProbed, 8, 0, kOurs, 1, false},
      {"destination unreachable", 0x45, 56, kProbed, 3, 1, kOurs, 1, false},
      {"60-byte header, 67 bytes", 0x4F, 67, kProbed, 0, 0, kOurs, 1, false},
      {"60-byte header, 68 bytes", 0x4F, 68, kProbed, 0, 0, kOurs, 1, true},
      {"60-byte header, from elsewhere", 0x4F, 68, {127, 0, 0, 2}, 0, 0, kOurs, 1, false},
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
  struct Case {
    nanoseconds remaining;
    std::optional<std::pair<long, long>> timeout;  // seconds, microseconds
  };
  const Case cases[] = {
      {nanoseconds{-1'000'000}, std::nullopt},
      {nanoseconds{0}, std::nullopt},
      {nanoseconds{999}, std::nullopt},
      {nanoseconds{1'000}, std::pair{0L, 1L}},
      {nanoseconds{1'999}, std::pair{0L, 1L}},
      {nanoseconds{499'999'999}, std::pair{0L, 499'999L}},
      {nanoseconds{1'500'000'000}, std::pair{1L, 500'000L}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.remaining.count());
    const std::optional<timeval> got = receive_timeout(c.remaining);
    ASSERT_EQ(got.has_value(), c.timeout.has_value());
    if (got) {
      EXPECT_EQ(got->tv_sec, c.timeout->first);
      EXPECT_EQ(got->tv_usec, c.timeout->second);
    }
  }
}

// Private network namespaces are a Linux facility; where there are none, whole probes are skipped.
#if defined(CLONE_NEWNET)

using namespace std::chrono_literals;
using std::chrono::milliseconds;

struct Scenario {
  const char* name;
  bool loopback_up;
  bool ignore_echo;   // net.ipv4.icmp_echo_ignore_all=1 in the namespace
  bool noise;         // foreign echo replies and signals during the probe
  bool unprivileged;  // the probe runs as uid 65534
  bool answer;
  milliseconds at_least, at_most;
  const char* output;        // what the probe writes on standard output
  std::uint8_t probed;       // the probe goes to 127.0.0.<probed>
  std::uint8_t forged_from;  // 0, or echo replies with our identifier from 127.0.0.<forged_from>
};

void PrintTo(const Scenario& s, std::ostream* os) {
  *os << s.name;
}

// The steps of the child, for its report.
enum class Step : int {
  Probed,
  Unshare,
  LoopbackUp,
  IgnoreEcho,
  Noise,
  Forge,
  Redirect,
  DropPrivilege
};

struct Report {
  Step step = Step::Probed;  // the step that failed, or Probed
  int error = 0;
  bool answer = false;
  std::int64_t elapsed_us = 0;
};

bool bring_loopback_up() {
  auto socket = helper_ipc::platform::open_socket(AF_INET, SOCK_DGRAM, 0);
  if (!socket) return false;
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  if (ioctl(socket->get(), SIOCGIFFLAGS, &request) == -1) return false;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  return ioctl(socket->get(), SIOCSIFFLAGS, &request) == 0;
}

bool ignore_echo_requests() {
  helper_ipc::UniqueFd file(open("/proc/sys/net/ipv4/icmp_echo_ignore_all", O_WRONLY | O_CLOEXEC));
  return file && helper_ipc::write_all(file.get(), "1\n").ok();
}

extern "C" void do_nothing(int) {}

// Starts a process that, for at most 3 s, sends an echo reply with an identifier other than ours to
// 127.0.0.1 and a signal that interrupts our receive every 10 ms. Returns its pid, or -1.
pid_t start_noise() {
  struct sigaction action {};
  action.sa_handler = do_nothing;  // no SA_RESTART: the receive fails with EINTR
  if (sigaction(SIGUSR1, &action, nullptr) == -1) return -1;
  Bytes reply = echo_request(static_cast<std::uint16_t>(echo_identifier(getpid()) ^ 0x8000));
  reply[0] = 0;
  reply[2] = reply[3] = 0;
  const auto checksum = static_cast<std::uint16_t>(~ones_complement_sum(reply));
  reply[2] = static_cast<std::uint8_t>(checksum >> 8);
  reply[3] = static_cast<std::uint8_t>(checksum);
  const pid_t prober = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  close_range(3, ~0u, 0);  // keeps none of the test's pipes open
  auto socket = helper_ipc::platform::open_socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (!socket) _exit(1);
  const sockaddr_in loopback = pelmor::sys::ipv4_socket_address(INADDR_LOOPBACK, 0);
  for (int i = 0; i < 300; ++i) {
    sendto(socket->get(), reply.data(), reply.size(), 0,
           reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback);
    kill(prober, SIGUSR1);
    usleep(10'000);
  }
  _exit(0);
}

// Starts a process that, for at most 3 s, sends every 10 ms an echo reply that carries our
// identifier and sequence number 1, from 127.0.0.<source> to 127.0.0.1, as any local process with a
// raw socket could. Returns its pid, or -1.
pid_t start_forger(std::uint8_t source) {
  Bytes reply = echo_request(echo_identifier(getpid()));
  reply[0] = 0;  // echo reply
  reply[2] = reply[3] = 0;
  const auto checksum = static_cast<std::uint16_t>(~ones_complement_sum(reply));
  reply[2] = static_cast<std::uint8_t>(checksum >> 8);
  reply[3] = static_cast<std::uint8_t>(checksum);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  close_range(3, ~0u, 0);
  auto socket = helper_ipc::platform::open_socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (!socket) _exit(1);
  const sockaddr_in from = pelmor::sys::ipv4_socket_address(0x7F000000u | source, 0);
  if (bind(socket->get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) == -1) _exit(1);
  const sockaddr_in to = pelmor::sys::ipv4_socket_address(INADDR_LOOPBACK, 0);
  for (int i = 0; i < 300; ++i) {
    sendto(socket->get(), reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
    usleep(10'000);
  }
  _exit(0);
}

// Sends the report to the parent and ends the child. `failed` is the step that failed, with errno.
[[noreturn]] void finish(int report_fd, Report report, Step failed) {
  report.step = failed;
  report.error = failed == Step::Probed ? 0 : errno;
  const auto* bytes = reinterpret_cast<const char*>(&report);
  (void)helper_ipc::write_all(report_fd, std::string_view(bytes, sizeof report));
  _exit(0);
}

[[noreturn]] void probe_in_child(const Scenario& s, int report_fd, int output_fd) {
  Report report;
  const auto fail = [&](Step step) { finish(report_fd, report, step); };
  if (unshare(CLONE_NEWNET) == -1) fail(Step::Unshare);
  if (s.loopback_up && !bring_loopback_up()) fail(Step::LoopbackUp);
  if (s.ignore_echo && !ignore_echo_requests()) fail(Step::IgnoreEcho);
  const pid_t noise = s.noise ? start_noise() : 0;
  if (noise == -1) fail(Step::Noise);
  const pid_t forger = s.forged_from != 0 ? start_forger(s.forged_from) : 0;
  if (forger == -1) fail(Step::Forge);
  if (dup2(output_fd, STDOUT_FILENO) == -1) fail(Step::Redirect);
  if (s.unprivileged && (setgid(65534) == -1 || setuid(65534) == -1)) fail(Step::DropPrivilege);

  const auto start = std::chrono::steady_clock::now();
  const helper_ipc::Response response =
      icmp_echo({helper_ipc::Ipv4Addr{{127, 0, 0, s.probed}}}).value();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  for (const pid_t helper : {noise, forger}) {
    if (helper <= 0) continue;
    kill(helper, SIGKILL);
    waitpid(helper, nullptr, 0);
  }
  const auto* result = std::get_if<helper_ipc::IcmpResult>(&response);
  report.answer = result != nullptr && result->value;
  report.elapsed_us = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
  finish(report_fd, report, Step::Probed);
}

std::string read_to_end(int fd) {
  std::string all;
  char chunk[512];
  for (;;) {
    auto n = helper_ipc::read_some(fd, chunk, sizeof chunk);
    if (!n || *n == 0) return all;
    all.append(chunk, *n);
  }
}

class ProbeInPrivateNetwork : public ::testing::TestWithParam<Scenario> {};

TEST_P(ProbeInPrivateNetwork, AnswersInTime) {
  const Scenario& s = GetParam();
  if (geteuid() != 0) GTEST_SKIP() << "needs root for raw sockets and a private network namespace";
  auto report_pipe = pelmor::sys::open_pipe();
  auto output_pipe = pelmor::sys::open_pipe();
  ASSERT_TRUE(report_pipe.ok() && output_pipe.ok());
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_NE(child, -1) << std::strerror(errno);
  if (child == 0) probe_in_child(s, report_pipe->second.get(), output_pipe->second.get());
  report_pipe->second.reset();
  output_pipe->second.reset();
  const std::string report_bytes = read_to_end(report_pipe->first.get());
  const std::string output = read_to_end(output_pipe->first.get());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  ASSERT_EQ(report_bytes.size(), sizeof(Report));
  Report report;
  std::memcpy(&report, report_bytes.data(), sizeof report);
  if (report.step == Step::Unshare) {
    GTEST_SKIP() << "cannot make a private network namespace: " << std::strerror(report.error);
  }
  ASSERT_EQ(report.step, Step::Probed) << "child setup step " << static_cast<int>(report.step)
                                       << " failed: " << std::strerror(report.error);

  const auto elapsed = std::chrono::microseconds{report.elapsed_us};
  std::cout << "[ probe    ] " << s.name << ": " << std::boolalpha << report.answer << " after "
            << static_cast<double>(report.elapsed_us) / 1000.0 << " ms\n";
  EXPECT_EQ(report.answer, s.answer);
  EXPECT_GE(elapsed, s.at_least);
  EXPECT_LE(elapsed, s.at_most);
  EXPECT_EQ(output, s.output);
}

// The raw socket also sees our own echo request on loopback; the probe has to pass over it.
INSTANTIATE_TEST_SUITE_P(
    Loopback, ProbeInPrivateNetwork,
    ::testing::Values(
        Scenario{"answering", true, false, false, false, true, 0ms, 400ms, "", 1, 0},
        Scenario{"answering_from_another_loopback_address", true, false, false, false, true, 0ms,
                 400ms, "", 3, 0},
        Scenario{"ignoring_echo", true, true, false, false, false, 450ms, 2000ms, "", 1, 0},
        Scenario{"ignoring_echo_amid_noise", true, true, true, false, false, 450ms, 2000ms, "", 1,
                 0},
        // Replies with our identifier forged from elsewhere do not make a silent host reachable;
        // the same forgeries from the probed address do, which shows that they arrive.
        Scenario{"silent_amid_replies_forged_elsewhere", true, true, false, false, false, 450ms,
                 2000ms, "", 3, 2},
        Scenario{"replies_forged_from_the_probed_address", true, true, false, false, true, 0ms,
                 400ms, "", 3, 3},
        Scenario{"loopback_down", false, false, false, false, false, 0ms, 400ms, "", 1, 0},
        Scenario{"without_raw_socket_privilege", true, false, false, true, false, 0ms, 400ms,
                 "[pelmor-helper] icmp: raw socket create failed: Operation not permitted "
                 "(os error 1)\n",
                 1, 0}),
    [](const ::testing::TestParamInfo<Scenario>& p) { return std::string(p.param.name); });

#else

TEST(ProbeInPrivateNetwork, AnswersInTime) {
  GTEST_SKIP() << "this system has no private network namespaces to probe in";
}

#endif

}  // namespace
}  // namespace pelmor
