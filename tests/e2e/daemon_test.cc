// The daemon binary end to end: start-up, who may use it, the request loop on the wire, each
// request as its tool gets it, the DHCP socket hand-off, and what it holds after many clients.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"
#include "helper_ipc/client.h"
#include "helper_ipc/frame.h"

namespace e2e {
namespace {

using namespace helper_ipc;

class DaemonTest : public NamespaceTest {};

// A socket file left by an earlier run is replaced by one open to every user; a path that cannot
// be bound ends the daemon with status 1.
TEST_F(DaemonTest, StartsOnAFreshSocketOrExitsWithStatusOne) {
  const struct Row {
    bool directory;  // at the socket's path, instead of a socket file left by an earlier run
    std::optional<int> exit;
    std::string line;
    mode_t mode;  // of what is at the path then
  } rows[] = {
      {false, std::nullopt, "listening on /var/run/pelmor-helper.sock", S_IFSOCK | 0666},
      {true, 1,
       "FATAL: bind /var/run/pelmor-helper.sock failed: Address already in use (os error 98)",
       S_IFDIR | 0755},
  };
  for (const Row& row : rows) {
    reset_environment();
    if (row.directory) {
      std::filesystem::create_directories(std::string(kSocketPath) + "/keep");
    } else {
      ASSERT_EQ(mknod(kSocketPath, S_IFSOCK | 0600, 0), 0);
    }
    Daemon daemon;
    EXPECT_EQ(daemon.lines(2),
              (Lines{logged("starting, pid=" + std::to_string(daemon.namespace_pid())),
                     logged(row.line)}));
    EXPECT_EQ(daemon.wait_exit(row.exit ? 10s : 0ms), row.exit);
    struct stat st {};
    EXPECT_EQ(lstat(kSocketPath, &st) == 0 ? st.st_mode : 0, row.mode);
    EXPECT_EQ(row.exit ? "" : call_as(kUser, Ping{}), row.exit ? "" : R"("Pong")");
  }
}

// Who is admitted, and who keeps being served when the console changes hands after the first
// request: a refused client gets no byte, a user who left the console no reply to the next one.
TEST_F(DaemonTest, AdmitsOnlyTheConsoleOwnerAndNeverRootAndChecksAgainAtEachRequest) {
  const struct Row {
    std::optional<uid_t> console;
    uid_t client;
    std::optional<uid_t> then;  // the console's owner before the second request
    int pongs;                  // 0: refused at once; 1: cut off at the second request
  } rows[] = {
      {0, 0, 0, 0},                                 // root, even at the console
      {kUser, kOtherUser, kUser, 0},                // somebody else
      {kUser, kUser, kUser, 2},                     // the console's owner, who stays
      {std::nullopt, kOtherUser, std::nullopt, 2},  // no console to examine: any user but root
      {kUser, kUser, std::nullopt, 2},
      {kUser, kUser, kOtherUser, 1},
      {kUser, kUser, 0, 1},
  };
  const auto console_uid = [](std::optional<uid_t> uid) {
    return uid ? "Some(" + std::to_string(*uid) + ")" : std::string("None");
  };
  Daemon daemon;
  for (const Row& row : rows) {
    set_console_owner(row.console);
    const std::size_t seen = daemon.lines(2).size();
    Turn first, changed;
    const std::string ping = frame(R"("Ping")");
    const Lines got = as_users(
        {row.client},
        [&] {
          // A refused client sends nothing, so that what it reads is what the daemon sent; it reads
          // to the end before the console changes hands, so that its refusal saw the first owner.
          UniqueFd fd = connect_raw();
          std::string out = row.pongs == 0 ? read_to_end(fd.get()) : "";
          if (row.pongs > 0 && write_all(fd.get(), ping)) out = read_to_end(fd.get(), 5s, 10);
          first.signal();
          changed.wait();
          if (row.pongs == 0) return out;
          (void)write_all(fd.get(), ping);
          shutdown(fd.get(), SHUT_WR);
          return out + read_to_end(fd.get());
        },
        [&] {
          first.wait();
          set_console_owner(row.then);
          changed.signal();
        });
    const std::string uid = std::to_string(row.client);
    const std::string refused = "rejecting peer: uid=" + uid + " not authorized (console_uid=";
    Lines want = {
        logged("connection from uid=" + uid + " (console_uid=" + console_uid(row.console) + ")")};
    if (row.pongs == 0) want.push_back(logged(refused + console_uid(row.console) + ")"));
    if (row.pongs > 0) want.push_back(logged("request: Ping"));
    if (row.pongs == 1) want.push_back(logged(refused + console_uid(row.then) + ")"));
    if (row.pongs == 2) want.push_back(logged("request: Ping"));
    const std::string pong = frame(R"("Pong")");
    EXPECT_EQ(got[0], row.pongs == 0 ? "" : row.pongs == 1 ? pong : pong + pong) << uid;
    const Lines lines = daemon.lines(seen + want.size());
    EXPECT_EQ(Lines(lines.begin() + static_cast<long>(std::min(seen, lines.size())), lines.end()),
              want);
  }
}

// Frames up to the limit are answered in order, several sent at once too; a larger length, or a
// body that does not decode, ends the connection without a reply, and the log says why.
TEST_F(DaemonTest, AnswersFramesInOrderOrClosesWithoutReply) {
  StandIn{"ifconfig"}.answer("\tinet 10.0.0.1 netmask 0xff000000\n");
  std::string at_limit = R"("Ping")";
  at_limit.resize(kMaxFrameBody, ' ');
  const std::string ping = frame(R"("Ping")"), pong = frame(R"("Pong")");
  const struct Row {
    std::string sent, reply, line;
  } rows[] = {
      {ping + frame(R"({"IcmpEcho":{"ip":"127.0.0.1"}})") + frame(R"({"IfconfigRead":["en0"]})") +
           ping,
       pong + frame(R"({"IcmpResult":true})") + frame(R"({"Ifconfig":["10.0.0.1","255.0.0.0"]})") +
           pong,
       "request: Ping"},
      {frame(at_limit), pong, "request: Ping"},
      {frame(at_limit + " ").substr(0, 4), "", "read_frame error: frame too large"},  // no body
      {frame(""), "", "read_frame error: EOF while parsing a value at line 1 column 0"},
      {frame(R"("ping")"), "", "read_frame error: unknown variant `ping`, expected one of"},
  };
  Daemon daemon;
  for (const Row& row : rows) {
    const std::string got = as_user(kUser, [&] {
      UniqueFd fd = connect_raw();
      (void)write_all(fd.get(), row.sent);
      shutdown(fd.get(), SHUT_WR);
      return "received: " + read_to_end(fd.get());
    });
    EXPECT_EQ(got, "received: " + row.reply) << row.line;
    // Each line is written before the reply, or before the connection closes.
    EXPECT_EQ(daemon.lines(3).back().substr(0, logged(row.line).size()), logged(row.line));
  }
}

// Each tool-backed request: the arguments and the input its tool gets, and that the reply reaches
// the client; the Err of a tool that fails, too. What each output means is the unit tests'.
TEST_F(DaemonTest, RunsEachRequestsToolWithItsArgumentsAndInput) {
  const Ipv4Addr addr = *Ipv4Addr::parse("10.0.0.1");
  const Ipv4Addr mask = *Ipv4Addr::parse("255.255.255.0");
  const std::string rules("pass in all\nblock out proto udp\0x", 33);
  struct Answer {
    std::string out{}, err{};
    int status = 0;
  };
  const struct Row {
    Request request;
    std::string tool;
    Answer answer;
    Lines args;
    std::string input, reply;
  } rows[] = {
      // clang-format off
      {GetForwarding{}, "sysctl", {"1\n"}, {"-n", "net.inet.ip.forwarding"}, "", R"({"Forwarding":true})"},
      {SetForwarding{true}, "sysctl", {}, {"-w", "net.inet.ip.forwarding=1"}, "", R"("Ok")"},
      {PfLoadAnchor{"com.example/vpn", rules}, "pfctl", {}, {"-a", "com.example/vpn", "-f", "-"}, rules, R"("Ok")"},
      {PfFlushAnchor{"com.example/vpn"}, "pfctl", {}, {"-a", "com.example/vpn", "-F", "all"}, "", R"("Ok")"},
      {PfEnable{}, "pfctl", {"", "Token : 8817223\n"}, {"-E"}, "", R"({"PfToken":"8817223"})"},
      {PfRelease{"8817223"}, "pfctl", {"", "pfctl: no such token\n", 1}, {"-X", "8817223"}, "",
       R"({"Err":"pfctl: no such token"})"},
      {IfconfigRead{"en0"}, "ifconfig", {"\tinet 192.168.64.1 netmask 0xffffff00\n"}, {"en0"}, "",
       R"({"Ifconfig":["192.168.64.1","255.255.255.0"]})"},
      {IfconfigSet{"en5", addr, mask}, "ifconfig", {}, {"en5", "inet", "10.0.0.1", "netmask", "255.255.255.0"}, "", R"("Ok")"},
      {IfconfigDelete{"en5", addr}, "ifconfig", {}, {"en5", "inet", "10.0.0.1", "delete"}, "", R"("Ok")"},
      // clang-format on
  };
  Daemon daemon;
  for (const Row& row : rows) {
    const StandIn tool{row.tool};
    tool.reset();
    tool.answer(row.answer.out, row.answer.err, row.answer.status);
    EXPECT_EQ(call_as(kUser, row.request), row.reply);
    const auto calls = tool.calls();
    ASSERT_EQ(calls.size(), 1u) << row.reply;
    EXPECT_EQ(calls[0].args, row.args);
    EXPECT_EQ(calls[0].input, row.input);
  }
}

// Requests that run at the same time give each tool run their own rules, whole.
TEST_F(DaemonTest, RunsOfConcurrentRequestsGetTheirOwnInput) {
  constexpr int kClients = 8;
  const auto rules = [](int i) { return std::string(256 << 10, static_cast<char>('a' + i)); };
  Daemon daemon;
  const std::string got = as_user(kUser, [&] {
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
      threads.emplace_back([&, i] {
        ok += ask(PfLoadAnchor{std::to_string(i), rules(i)}) == "\"Ok\"";
      });
    for (auto& t : threads)
      t.join();
    return std::to_string(ok.load());
  });
  EXPECT_EQ(got, std::to_string(kClients));
  const auto calls = StandIn{"pfctl"}.calls();
  ASSERT_EQ(calls.size(), std::size_t{kClients});
  for (const auto& call : calls)
    EXPECT_TRUE(call.args.size() == 4 && call.input == rules(std::stoi(call.args[1])));
}

// The socket goes to the client and the daemon keeps no copy: the port is free once the client
// lets go of it, and a port taken makes the reply an Err. The connection ends either way.
TEST_F(DaemonTest, HandsOverABoundDhcpSocketAndKeepsNoCopy) {
  Daemon daemon;
  const std::string got = as_user(kUser, [] {
    UniqueFd fd = connect_raw();
    // A second request behind the first: it gets no reply.
    (void)write_all(fd.get(), frame(R"("BindDhcp67")") + frame(R"("Ping")"));
    auto reply = read_frame_body_with_fd(fd.get());
    if (!reply) return "failed: " + reply.error().text();
    const int dhcp = reply->fd.get();
    sockaddr_in local{};
    socklen_t len = sizeof local;
    int type = 0, broadcast = 0;
    socklen_t int_len = sizeof(int);
    getsockname(dhcp, reinterpret_cast<sockaddr*>(&local), &len);
    getsockopt(dhcp, SOL_SOCKET, SO_TYPE, &type, &int_len);
    getsockopt(dhcp, SOL_SOCKET, SO_BROADCAST, &broadcast, &int_len);
    struct stat st {};
    fstat(dhcp, &st);
    return reply->body + " udp=" + std::to_string(type == SOCK_DGRAM) +
           " addr=" + Ipv4Addr::from_u32(ntohl(local.sin_addr.s_addr)).to_string() + ":" +
           std::to_string(ntohs(local.sin_port)) + " broadcast=" + std::to_string(broadcast) +
           " cloexec=" + std::to_string((fcntl(dhcp, F_GETFD) & FD_CLOEXEC) != 0) +
           " then: " + read_to_end(fd.get()) + " inode=" + std::to_string(st.st_ino);
  });
  const std::string inode = got.substr(got.find(" inode=") + 7);
  EXPECT_EQ(got,
            R"("FdFollows" udp=1 addr=0.0.0.0:67 broadcast=1 cloexec=1 then:  inode=)" + inode);
  const Lines held = daemon.descriptors();
  EXPECT_EQ(std::count(held.begin(), held.end(), "socket:[" + inode + "]"), 0);
  const UniqueFd holder(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));  // nobody may share
  sockaddr_in any{AF_INET, htons(67), {}, {}};
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
  const std::string taken = as_user(kUser, [] {
    UniqueFd fd = connect_raw();
    (void)write_all(fd.get(), frame(R"("BindDhcp67")"));
    return read_to_end(fd.get());
  });
  EXPECT_EQ(taken, frame(R"x({"Err":"bind 0.0.0.0:67: Address already in use (os error 98)"})x"));
}

// Connections that end after their requests, with a tool run, a DHCP socket, a frame cut short
// (which is an end of input, worth no line) or before their reply (which is logged) leave no
// descriptor, process or diagnostic behind.
TEST_F(DaemonTest, ReturnsToItsBaselineAfterManyConnectionsAndToolRuns) {
  StandIn{"sysctl"}.answer("0\n");
  const StandIn pfctl{"pfctl"};
  pfctl.delay("0.3");
  Daemon daemon;
  const std::size_t baseline = daemon.descriptors().size();
  const std::string got = as_user(kUser, [] {
    int ok = 0;
    for (int i = 0; i < 100; ++i) {
      auto client = Client::connect(kSocketPath);
      if (!client) continue;
      auto a = client->call(Ping{});
      auto b = client->call(GetForwarding{});
      ok += a && b && std::holds_alternative<Forwarding>(*b);
      if (i % 10 == 0) (void)client->bind_dhcp67();
      if (i % 10 == 5) (void)write_all(client->fd(), frame(R"("Ping")").substr(0, 1 + i % 9));
    }
    // Gone before the tool has answered.
    (void)write_all(connect_raw().get(), frame(R"("PfEnable")"));
    return std::to_string(ok);
  });
  EXPECT_EQ(got, "100");
  EXPECT_EQ(daemon.find_line("write_frame error: "),
            logged("write_frame error: Broken pipe (os error 32)"));
  EXPECT_TRUE(eventually([&] { return daemon.descriptors().size() == baseline; }))
      << daemon.descriptors().size() << " descriptors, " << baseline << " at the start";
  EXPECT_TRUE(eventually([&] { return daemon.children() == 0; })) << daemon.children();
  EXPECT_EQ(daemon.diagnostics(), "");
  EXPECT_EQ(daemon.starting("read_frame error"), Lines{});
  EXPECT_EQ(call_as(kUser, Ping{}), R"("Pong")");
}

}  // namespace
}  // namespace e2e
