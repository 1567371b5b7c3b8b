// What a local peer can make the daemon spend or do beyond its requests: the memory of
// connections that send nothing or only a length, interface names that a tool would take for
// options, and a tool run that its connection thread abandons through an exception.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"
#include "helper_ipc/client.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/frame.h"
#include "helper_ipc/platform.h"

// A sanitizer's allocator and shadow memory change what memory costs and how allocation fails.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELMOR_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELMOR_SANITIZED 1
#endif

namespace e2e {
namespace {

using namespace helper_ipc;
namespace fs = std::filesystem;

// A field of /proc/<pid>/status, in KiB.
// A file of /proc, or nothing when it is gone (a process may end while we look).
std::string read_proc_file(const fs::path& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  char buf[1024];
  for (;;) {
    auto n = fd ? read_some(fd.get(), buf, sizeof buf) : Result<std::size_t>(0);
    if (!n || *n == 0) return text;
    text.append(buf, *n);
  }
}

// The byte counts of the read() calls in which the daemon's threads wait now. A connection that
// waits for a frame to begin waits in a poll() of its one descriptor, before any read: it counts
// as a read of 0 bytes.
std::vector<unsigned long> waiting_reads(pid_t pid) {
  std::vector<unsigned long> counts;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::istringstream syscall(read_proc_file(task.path() / "syscall"));
    long number = -1;
    std::string first, second, third;  // read: descriptor, buffer, count; poll: fds, nfds, time-out
    if (!(syscall >> number >> first >> second >> third)) continue;
    if (number == SYS_read) counts.push_back(std::stoul(third, nullptr, 16));
    if (number == SYS_poll && std::stoul(second, nullptr, 16) == 1) counts.push_back(0);
  }
  return counts;
}

// How many threads wait for a frame's length (a read into the connection's buffer), and how many
// for a body (a read past that buffer, straight into the body).
std::pair<int, int> waiting_for_length_and_body(pid_t pid) {
  std::pair<int, int> n{0, 0};
  for (unsigned long count : waiting_reads(pid))
    ++(count <= kStreamBufferSize ? n.first : n.second);
  return n;
}

// Opens `n` connections as `uid`, sends `bytes` on each, and holds them open until `release`.
std::thread hold_connections(uid_t uid, int n, std::string bytes, Turn& opened, Turn& release,
                             std::string& outcome) {
  return std::thread([=, &opened, &release, &outcome] {
    outcome = as_user(uid, [&] {
      std::vector<UniqueFd> held;
      std::string failure;
      for (int i = 0; i < n && failure.empty(); ++i) {
        auto c = Client::connect(kSocketPath);
        if (!c) {
          failure = "connection " + std::to_string(i) + ": " + c.error().text;
          break;
        }
        held.emplace_back(dup(c->fd()));
        if (auto st = write_all(held.back().get(), bytes); !st) failure = st.error().text();
      }
      opened.signal();
      release.wait();
      return failure.empty() ? "held" : failure;
    });
  });
}

class GuardTest : public NamespaceTest {};

// Connections that send nothing, and connections that announce the largest body and send none of
// it, each cost about what an idle connection costs: the body's memory follows its bytes.
TEST_F(GuardTest, IdleAndLengthOnlyConnectionsHoldLittleMemory) {
  constexpr int kEach = 48;         // per user, well below what the daemon admits of one user
  set_console_owner(std::nullopt);  // both users are admitted
  Daemon daemon;
  // One whole request first, so that what every connection shares is in place already.
  ASSERT_EQ(call_as(kUser, Ping{}), R"("Pong")");
  const long before = proc_status(daemon.pid(), "VmRSS");

  Turn idle_open, length_open, release;
  std::string idle_outcome, length_outcome;
  std::thread idle = hold_connections(kUser, kEach, "", idle_open, release, idle_outcome);
  idle_open.wait();
  EXPECT_TRUE(eventually([&] {
    return waiting_for_length_and_body(daemon.pid()) == std::pair{kEach, 0};
  })) << "threads waiting for a length and for a body: "
      << waiting_for_length_and_body(daemon.pid()).first << ", "
      << waiting_for_length_and_body(daemon.pid()).second;
  const long with_idle = proc_status(daemon.pid(), "VmRSS");

  const std::string largest_length("\x00\x10\x00\x00", 4);
  std::thread length_only =
      hold_connections(kOtherUser, kEach, largest_length, length_open, release, length_outcome);
  length_open.wait();
  EXPECT_TRUE(eventually([&] {
    return waiting_for_length_and_body(daemon.pid()) == std::pair{kEach, kEach};
  })) << "threads waiting for a length and for a body: "
      << waiting_for_length_and_body(daemon.pid()).first << ", "
      << waiting_for_length_and_body(daemon.pid()).second;
  const long with_length_only = proc_status(daemon.pid(), "VmRSS");

  release.signal();
  release.signal();
  idle.join();
  length_only.join();
  EXPECT_EQ(idle_outcome, "held");
  EXPECT_EQ(length_outcome, "held");

  const double per_idle = static_cast<double>(with_idle - before) / kEach;
  const double per_length_only = static_cast<double>(with_length_only - with_idle) / kEach;
  RecordProperty("resident_kib_per_idle_connection", std::to_string(per_idle));
  RecordProperty("resident_kib_per_length_only_connection", std::to_string(per_length_only));
  std::cout << "resident memory: " << before << " KiB; " << with_idle << " KiB with " << kEach
            << " idle connections (" << per_idle << " KiB each); " << with_length_only
            << " KiB with " << kEach << " more that announced 1 MiB and sent nothing ("
            << per_length_only << " KiB each)\n";
  // A body buffer of the announced size would cost 1024 KiB each once touched; one growth step
  // (64 KiB) is what may be set aside before the first byte arrives. A sanitizer's allocator adds
  // shadow and bookkeeping to each allocation (ThreadSanitizer's about doubles the step, 140 KiB
  // seen), so there the bound is a quarter of the announced body: still far from all of it.
#ifdef PELMOR_SANITIZED
  constexpr double kBeforeTheFirstByte = 256.0;
#else
  constexpr double kBeforeTheFirstByte = 64.0;
#endif
  EXPECT_LT(per_length_only, per_idle + kBeforeTheFirstByte);
#ifndef PELMOR_SANITIZED
  EXPECT_LT(per_idle, 96.0);
  EXPECT_LT(per_length_only, 96.0);
#endif
}

// A name that begins with "-" would be an option to the tool: it never reaches it, whichever
// request carries it; other names do, dashes inside included.
TEST_F(GuardTest, InterfaceNamesThatLookLikeOptionsNeverReachTheTool) {
  const Ipv4Addr addr = *Ipv4Addr::parse("10.0.0.1");
  const Ipv4Addr mask = *Ipv4Addr::parse("255.255.255.0");
  const std::string refused = R"({"Err":"invalid interface name: must not begin with '-'"})";
  const StandIn ifconfig{"ifconfig"};
  ifconfig.answer("\tinet 10.0.0.1 netmask 0xffffff00\n");
  const struct {
    Request request;
    std::string reply;
  } rows[] = {
      {IfconfigSet{"-a", addr, mask}, refused},
      {IfconfigDelete{"--help", addr}, refused},
      {IfconfigSet{"-", addr, mask}, refused},
      {IfconfigRead{"-a"}, R"({"Ifconfig":null})"},
      {IfconfigRead{"-l"}, R"({"Ifconfig":null})"},
      {IfconfigRead{"en0"}, R"({"Ifconfig":["10.0.0.1","255.255.255.0"]})"},
      {IfconfigSet{"bridge-1", addr, mask}, R"("Ok")"},
  };
  Daemon daemon;
  for (const auto& row : rows)
    EXPECT_EQ(call_as(kUser, row.request), row.reply) << render_for_log(row.request);
  std::vector<std::string> first_arguments;
  for (const StandIn::Call& call : ifconfig.calls())
    first_arguments.push_back(call.args.empty() ? "(none)" : call.args.front());
  std::sort(first_arguments.begin(), first_arguments.end());
  EXPECT_EQ(first_arguments, (std::vector<std::string>{"bridge-1", "en0"}));
}

// A tool that prints without end, under an address-space limit: capturing its output runs out of
// memory and the connection thread stops on std::bad_alloc. The tool must not outlive that, nor
// stay behind as a zombie, and the daemon goes on serving.
TEST_F(GuardTest, ToolOfAThreadStoppedByAnExceptionIsKilledAndReaped) {
#ifdef PELMOR_SANITIZED
  GTEST_SKIP() << "a sanitizer's address space cannot be limited, and its allocator aborts";
#else
  const StandIn ifconfig{"ifconfig"};
  ifconfig.reset();
  print_without_end(ifconfig);
  Daemon daemon;
  ASSERT_EQ(call_as(kUser, Ping{}), R"("Pong")");
  // Room for a few more threads and a few tens of MiB of output, not for hundreds.
  const rlim_t limit = static_cast<rlim_t>(proc_status(daemon.pid(), "VmSize") + 96 * 1024) * 1024;
  const rlimit address_space{limit, limit};
  ASSERT_EQ(prlimit(daemon.pid(), RLIMIT_AS, &address_space, nullptr), 0);

  EXPECT_EQ(call_as(kUser, IfconfigRead{"en0"}),
            "failed: the daemon closed the connection without a reply: this user is not admitted "
            "or holds too many connections, the request was not understood, or the daemon is "
            "stopping (the daemon's log says which)");
  EXPECT_TRUE(eventually([&] {
    return daemon.diagnostics().find("std::bad_alloc") != std::string::npos;
  })) << daemon.diagnostics();
  EXPECT_EQ(ifconfig.calls().size(), 1u);
  // Killed and reaped: no child of the daemon is left, running or not.
  EXPECT_TRUE(eventually([&] { return daemon.children() == 0; }))
      << daemon.children() << " children left";
  EXPECT_EQ(daemon.zombie_children(), 0);
  ifconfig.reset();
  EXPECT_EQ(call_as(kUser, Ping{}), R"("Pong")");
#endif
}

}  // namespace
}  // namespace e2e
