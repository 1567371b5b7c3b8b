// The daemon binary end to end: start-up, who may connect, the request loop, every tool-backed
// request as the tool sees it, the DHCP socket hand-off, and behaviour under load and misuse.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"
#include "helper_ipc/client.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/frame.h"
#include "helper_ipc/platform.h"

namespace e2e {
namespace {

using namespace helper_ipc;
using Lines = std::vector<std::string>;

std::string logged(const std::string& message) {
  return "[pelmor-helper] " + message;
}

std::string frame(std::string_view body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 8), static_cast<char>(n)} +
         std::string(body);
}

// A raw connection to the daemon's socket, for talking bytes.
UniqueFd connect_raw() {
  auto client = Client::connect(kSocketPath);
  if (!client) return UniqueFd();
  return UniqueFd(dup(client->fd()));
}

class DaemonTest : public NamespaceTest {};

TEST_F(DaemonTest, StartsOnAFreshSocketOpenToEveryone) {
  // A socket file left behind by an earlier run.
  {
    auto stale = platform::open_socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, kSocketPath);
    ASSERT_EQ(bind(stale->get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  Daemon daemon;
  EXPECT_EQ(daemon.lines(2),
            (Lines{logged("starting, pid=" + std::to_string(daemon.namespace_pid())),
                   logged("listening on /var/run/pelmor-helper.sock")}));
  struct stat st {};
  ASSERT_EQ(lstat(kSocketPath, &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(call_as(kUser, Ping{}), R"("Pong")");
}

TEST_F(DaemonTest, ExitsWithStatusOneWhenThePathCannotBeUsed) {
  ASSERT_EQ(mkdir(kSocketPath, 0755), 0);
  ASSERT_EQ(mkdir((std::string(kSocketPath) + "/keep").c_str(), 0755), 0);
  Daemon daemon;
  EXPECT_EQ(daemon.wait_exit(), 1);
  EXPECT_EQ(daemon.lines(2),
            (Lines{logged("starting, pid=" + std::to_string(daemon.namespace_pid())),
                   logged("FATAL: bind /var/run/pelmor-helper.sock failed: Address already in "
                          "use (os error 98)")}));
}

TEST_F(DaemonTest, AdmitsOnlyTheConsoleOwnerAndNeverRoot) {
  struct Row {
    std::optional<uid_t> console;
    uid_t client;
    bool admitted;
  };
  const Row rows[] = {
      {0, 0, false},                     // root is refused even when it owns the console
      {kUser, kUser, true},              // the console's owner
      {kUser, kOtherUser, false},        // somebody else
      {std::nullopt, kOtherUser, true},  // no console to examine: any user but root
  };
  Daemon daemon;
  std::size_t seen = daemon.lines(2).size();
  for (const Row& row : rows) {
    set_console_owner(row.console);
    // A refused client sends nothing first, so that its read shows what the daemon sent: nothing.
    const std::string got = as_user(row.client, [&] {
      UniqueFd fd = connect_raw();
      if (!row.admitted) return "received: " + read_to_end(fd.get());
      (void)write_all(fd.get(), frame(R"("Ping")"));
      shutdown(fd.get(), SHUT_WR);
      return "received: " + read_to_end(fd.get());
    });
    const std::string uid = std::to_string(row.client);
    const std::string console =
        row.console ? "Some(" + std::to_string(*row.console) + ")" : std::string("None");
    Lines want = {logged("connection from uid=" + uid + " (console_uid=" + console + ")")};
    if (row.admitted) {
      EXPECT_EQ(got, "received: " + frame(R"("Pong")")) << uid;
      want.push_back(logged("request: Ping"));
    } else {
      EXPECT_EQ(got, "received: ") << uid;
      want.push_back(
          logged("rejecting peer: uid=" + uid + " not authorized (console_uid=" + console + ")"));
    }
    const Lines lines = daemon.lines(seen + want.size());
    EXPECT_EQ(Lines(lines.begin() + static_cast<long>(std::min(seen, lines.size())), lines.end()),
              want);
    seen = lines.size();
  }
}

TEST_F(DaemonTest, AnswersPipelinedRequestsInOrder) {
  StandIn{"ifconfig"}.answer("en0: flags=8863<UP>\n\tinet 10.0.0.1 netmask 0xff000000\n");
  Daemon daemon;
  const std::string got = as_user(kUser, [] {
    UniqueFd fd = connect_raw();
    (void)write_all(fd.get(), frame(R"("Ping")") + frame(R"({"IcmpEcho":{"ip":"127.0.0.1"}})") +
                                  frame(R"({"IfconfigRead":["en0"]})") + frame(R"("Ping")"));
    shutdown(fd.get(), SHUT_WR);
    return read_to_end(fd.get());
  });
  EXPECT_EQ(got, frame(R"("Pong")") + frame(R"({"IcmpResult":true})") +
                     frame(R"({"Ifconfig":["10.0.0.1","255.0.0.0"]})") + frame(R"("Pong")"));
  EXPECT_EQ(daemon.lines(6).back(), logged("request: Ping"));
}

TEST_F(DaemonTest, AcceptsFramesUpToOneMebibyteAndClosesOnLarger) {
  Daemon daemon;
  std::string padded = R"("Ping")";
  padded.resize(kMaxFrameBody, ' ');
  const std::string at_limit = as_user(kUser, [&] {
    UniqueFd fd = connect_raw();
    (void)write_all(fd.get(), frame(padded));
    shutdown(fd.get(), SHUT_WR);
    return read_to_end(fd.get());
  });
  EXPECT_EQ(at_limit, frame(R"("Pong")"));
  const std::string over = as_user(kUser, [] {
    UniqueFd fd = connect_raw();
    (void)write_all(fd.get(), std::string("\x00\x10\x00\x01", 4));  // the body never comes
    return "received: " + read_to_end(fd.get());
  });
  EXPECT_EQ(over, "received: ");
  EXPECT_EQ(daemon.find_line("read_frame error: "), logged("read_frame error: frame too large"));
}

TEST_F(DaemonTest, ClosesWithoutReplyOnAMalformedRequest) {
  Daemon daemon;
  for (const std::string& body : {std::string(), std::string(R"("ping")")}) {
    const std::string got = as_user(kUser, [&] {
      UniqueFd fd = connect_raw();
      (void)write_all(fd.get(), frame(body));
      return "received: " + read_to_end(fd.get());
    });
    EXPECT_EQ(got, "received: ") << body;
  }
  const Lines lines = daemon.lines(6);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], logged("read_frame error: EOF while parsing a value at line 1 column 0"));
  const std::string unknown = logged("read_frame error: unknown variant `ping`, expected one of");
  EXPECT_EQ(lines[5].substr(0, unknown.size()), unknown);
}

// Each tool-backed request: the arguments and input the tool got, and the reply its output made.
TEST_F(DaemonTest, RunsEachToolWithItsArgumentsAndInterpretsItsOutput) {
  struct Row {
    Request request;
    std::string tool;
    std::string out, err;
    int status;
    std::vector<std::string> args;
    std::string input;
    std::string reply;
  };
  const Ipv4Addr addr = *Ipv4Addr::parse("10.0.0.1");
  const Ipv4Addr mask = *Ipv4Addr::parse("255.255.255.0");
  const std::string rules = std::string("pass in all\nblock out proto udp\0x", 33);
  const Row rows[] = {
      {GetForwarding{},
       "sysctl",
       "1\n",
       "",
       0,
       {"-n", "net.inet.ip.forwarding"},
       "",
       R"({"Forwarding":true})"},
      {GetForwarding{},
       "sysctl",
       "0\n",
       "",
       0,
       {"-n", "net.inet.ip.forwarding"},
       "",
       R"({"Forwarding":false})"},
      {SetForwarding{false},
       "sysctl",
       "net.inet.ip.forwarding: 1 -> 0\n",
       "",
       0,
       {"-w", "net.inet.ip.forwarding=0"},
       "",
       R"("Ok")"},
      {SetForwarding{true},
       "sysctl",
       "",
       "  sysctl: permission denied \n\n",
       1,
       {"-w", "net.inet.ip.forwarding=1"},
       "",
       R"({"Err":"sysctl: permission denied"})"},
      {PfLoadAnchor{"com.example/vpn", rules},
       "pfctl",
       "",
       "",
       0,
       {"-a", "com.example/vpn", "-f", "-"},
       rules,
       R"("Ok")"},
      {PfFlushAnchor{"com.example/vpn"},
       "pfctl",
       "",
       "rules cleared\n",
       0,
       {"-a", "com.example/vpn", "-F", "all"},
       "",
       R"("Ok")"},
      {PfEnable{},
       "pfctl",
       "",
       "No ALTQ support in kernel\npf enabled\nToken : 8817223\n",
       0,
       {"-E"},
       "",
       R"({"PfToken":"8817223"})"},
      {PfRelease{"8817223"},
       "pfctl",
       "",
       "pfctl: no such token\n",
       1,
       {"-X", "8817223"},
       "",
       R"({"Err":"pfctl: no such token"})"},
      {IfconfigRead{"en0"},
       "ifconfig",
       "en0: flags=8863<UP,BROADCAST> mtu 1500\n\tinet6 fe80::1%en0 prefixlen 64\n"
       "\tinet 192.168.64.1 netmask 0xffffff00 broadcast 192.168.64.255\n",
       "",
       0,
       {"en0"},
       "",
       R"({"Ifconfig":["192.168.64.1","255.255.255.0"]})"},
      {IfconfigRead{"nope0"},
       "ifconfig",
       "",
       "ifconfig: interface nope0 does not exist\n",
       1,
       {"nope0"},
       "",
       R"({"Ifconfig":null})"},
      {IfconfigSet{"en5", addr, mask},
       "ifconfig",
       "",
       "",
       0,
       {"en5", "inet", "10.0.0.1", "netmask", "255.255.255.0"},
       "",
       R"("Ok")"},
      {IfconfigDelete{"en5", addr},
       "ifconfig",
       "",
       "",
       0,
       {"en5", "inet", "10.0.0.1", "delete"},
       "",
       R"("Ok")"},
  };
  Daemon daemon;
  for (const Row& row : rows) {
    const StandIn tool{row.tool};
    tool.reset();
    tool.answer(row.out, row.err, row.status);
    EXPECT_EQ(call_as(kUser, row.request), row.reply) << render_for_log(row.request);
    const auto calls = tool.calls();
    ASSERT_EQ(calls.size(), 1u) << render_for_log(row.request);
    EXPECT_EQ(calls[0].args, row.args);
    EXPECT_EQ(calls[0].input, row.input);
  }
  // Texts with line breaks stay on one log line.
  EXPECT_EQ(
      daemon.find_line("request: PfLoadAnchor"),
      logged(
          R"(request: PfLoadAnchor { anchor: "com.example/vpn", rules: "pass in all\nblock out proto udp\0x" })"));
}

TEST_F(DaemonTest, ReportsATextThatTheToolDidNotReadAsABrokenPipe) {
  const StandIn pfctl{"pfctl"};
  pfctl.ignore_input();
  pfctl.answer("", "never seen", 1);
  Daemon daemon;
  EXPECT_EQ(call_as(kUser, PfLoadAnchor{"a", std::string(900 << 10, 'r')}),
            R"x({"Err":"Broken pipe (os error 32)"})x");
  EXPECT_TRUE(eventually([&] { return daemon.zombie_children() == 0; }));
  EXPECT_EQ(call_as(kUser, Ping{}), R"("Pong")");
}

// What the client learns of the socket it received.
std::string describe_dhcp_socket(int fd) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  int type = 0, broadcast = 0;
  socklen_t int_len = sizeof(int);
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &int_len);
  getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &broadcast, &int_len);
  struct stat st {};
  fstat(fd, &st);
  return "udp=" + std::to_string(type == SOCK_DGRAM) +
         " family=" + std::to_string(local.sin_family == AF_INET) +
         " addr=" + Ipv4Addr::from_u32(ntohl(local.sin_addr.s_addr)).to_string() +
         " port=" + std::to_string(ntohs(local.sin_port)) +
         " broadcast=" + std::to_string(broadcast) +
         " cloexec=" + std::to_string((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0) +
         " inode=" + std::to_string(st.st_ino);
}

UniqueFd udp_socket_on_port_67() {
  UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in any = port_67_on_every_address();
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) fd.reset();
  return fd;
}

TEST_F(DaemonTest, HandsOverABoundDhcpSocketAndEndsTheConnection) {
  Daemon daemon;
  const std::string got = as_user(kUser, [] {
    UniqueFd fd = connect_raw();
    // A second request behind the first: it gets no reply.
    (void)write_all(fd.get(), frame(R"("BindDhcp67")") + frame(R"("Ping")"));
    auto reply = read_frame_body_with_fd(fd.get());
    if (!reply) return "failed: " + reply.error().text();
    return reply->body + " " + describe_dhcp_socket(reply->fd.get()) +
           " then: " + read_to_end(fd.get());
  });
  const std::string inode =
      got.substr(got.find("inode=") + 6, got.find(" then") - got.find("inode=") - 6);
  EXPECT_EQ(got, "\"FdFollows\" udp=1 family=1 addr=0.0.0.0 port=67 broadcast=1 cloexec=1 inode=" +
                     inode + " then: ");
  // The daemon kept no copy: the port is free again once the client let go of it.
  EXPECT_FALSE(daemon.holds_socket(static_cast<ino_t>(std::stoull(inode))));
  EXPECT_TRUE(udp_socket_on_port_67().valid());
  EXPECT_FALSE(daemon.find_line("write_frame_with_fd error", std::chrono::milliseconds(0)));
}

TEST_F(DaemonTest, AnswersErrWhenPort67IsTaken) {
  const UniqueFd holder = udp_socket_on_port_67();  // no SO_REUSEADDR: nobody may share
  ASSERT_TRUE(holder.valid());
  Daemon daemon;
  const std::string got = as_user(kUser, [] {
    auto client = Client::connect(kSocketPath);
    auto fd = client->bind_dhcp67();
    return fd ? std::string("got a descriptor") : fd.error().text;
  });
  EXPECT_EQ(got, "bind 0.0.0.0:67: Address already in use (os error 98)");
}

TEST_F(DaemonTest, ServesManyConcurrentClientsWithWholeLogLines) {
  // 200 connections at once, more than one user may hold (64): four users, with no console to
  // examine so that all of them are admitted.
  constexpr int kUsers = 4;
  constexpr int kPerUser = 50;
  constexpr int kClients = kUsers * kPerUser;
  set_console_owner(std::nullopt);
  Daemon daemon;
  std::vector<uid_t> uids;
  for (int u = 0; u < kUsers; ++u)
    uids.push_back(kUser + u);
  const std::vector<std::string> got = as_users(uids, [] {
    std::barrier all_connected(kPerUser);
    std::atomic<int> pongs{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kPerUser; ++i) {
      threads.emplace_back([&] {
        auto client = Client::connect(kSocketPath);
        all_connected.arrive_and_wait();  // this user's connections are open before any is served
        if (!client) return;
        auto reply = client->call(Ping{});
        if (reply && std::holds_alternative<Pong>(*reply)) ++pongs;
      });
    }
    for (auto& t : threads)
      t.join();
    return std::to_string(pongs.load());
  });
  EXPECT_EQ(got, std::vector<std::string>(kUsers, std::to_string(kPerUser)));
  const Lines lines = daemon.lines(2 + 2 * kClients);
  int pings = 0;
  std::vector<int> connections(kUsers);
  for (const std::string& line : lines) {
    for (int u = 0; u < kUsers; ++u) {
      connections[u] += line == logged("connection from uid=" + std::to_string(kUser + u) +
                                       " (console_uid=None)");
    }
    pings += line == logged("request: Ping");
  }
  EXPECT_EQ(connections, std::vector<int>(kUsers, kPerUser));
  EXPECT_EQ(pings, kClients);
  EXPECT_EQ(lines.size(), 2u + 2 * kClients);  // nothing else, and no line torn apart
}

TEST_F(DaemonTest, SurvivesAClientThatLeavesBeforeItsReply) {
  const StandIn sysctl{"sysctl"};
  sysctl.delay("0.3");
  sysctl.answer("1\n");
  Daemon daemon;
  (void)as_user(kUser, [] {
    UniqueFd fd = connect_raw();
    (void)write_all(fd.get(), frame(R"("GetForwarding")"));
    return std::string();  // gone before the tool has answered
  });
  EXPECT_EQ(daemon.find_line("write_frame error: "),
            logged("write_frame error: Broken pipe (os error 32)"));
  EXPECT_EQ(call_as(kUser, Ping{}), R"("Pong")");
}

TEST_F(DaemonTest, ReturnsToItsBaselineAfterManyConnectionsAndToolRuns) {
  StandIn{"sysctl"}.answer("0\n");
  Daemon daemon;
  ASSERT_TRUE(eventually([&] { return daemon.descriptor_count() > 0; }));
  const int baseline = daemon.descriptor_count();
  const std::string got = as_user(kUser, [] {
    int ok = 0;
    for (int i = 0; i < 100; ++i) {
      auto client = Client::connect(kSocketPath);
      if (!client) continue;
      auto a = client->call(Ping{});
      auto b = client->call(GetForwarding{});
      ok += a && b && std::holds_alternative<Forwarding>(*b);
      if (i % 10 == 0) (void)client->bind_dhcp67();
    }
    return std::to_string(ok);
  });
  EXPECT_EQ(got, "100");
  EXPECT_TRUE(eventually([&] { return daemon.descriptor_count() == baseline; }))
      << daemon.descriptor_count() << " descriptors, " << baseline << " at the start";
  EXPECT_EQ(daemon.zombie_children(), 0);
  EXPECT_EQ(daemon.diagnostics(), "");
}

}  // namespace
}  // namespace e2e
