// The C interface against a stand-in for the daemon on a socket of its own: the request each
// function sends and how each reply, silence or hang-up becomes its status, texts and connection;
// calls from many threads at once; and running out of memory at any allocation of a call.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "failing_allocator.h"
#include "gtest/gtest.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/frame.h"
#include "helper_ipc/helper_ipc.h"
#include "helper_ipc/platform.h"

namespace {

using namespace helper_ipc;
using std::chrono::milliseconds;

class FakeServer;

// One connection as the stand-in serves it.
struct Peer {
  FakeServer& server;
  int fd;
  int connection;  // 0 for the first one the server accepted
  BufReader reader{fd};
  BufWriter writer{fd};

  std::optional<std::string> request();  // the next request's body, kept by the server
  void reply(std::string_view body) { (void)write_frame_body(writer, body); }
  void pong_all() {
    while (request())
      reply(R"("Pong")");
  }
};

// A stand-in for the daemon on a socket path of its own, in a fresh folder. It serves the
// connections one after the other, in the order they come, with `serve` on a thread of its own,
// and keeps the request bodies it read in order; without `serve`, it never accepts, and its
// backlog holds one connection.
class FakeServer {
 public:
  explicit FakeServer(std::function<void(Peer&)> serve) {
    char dir[] = "/tmp/helper-ipc-test-XXXXXX";
    dir_ = mkdtemp(dir) != nullptr ? dir : "";
    path_ = dir_ + "/daemon.sock";
    addr_.sun_family = AF_UNIX;
    path_.copy(addr_.sun_path, sizeof addr_.sun_path - 1);
    listener_ = std::move(platform::open_socket(AF_UNIX, SOCK_STREAM, 0)).value();
    EXPECT_EQ(bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr_), sizeof addr_), 0);
    EXPECT_EQ(listen(listener_.get(), serve ? 16 : 0), 0);
    if (!serve) return;
    server_ = std::thread([this, serve = std::move(serve)] {
      for (int n = 0;; ++n) {
        UniqueFd fd(accept(listener_.get(), nullptr, nullptr));
        if (stopping_ || !fd) return;
        ++accepted_;
        Peer peer{*this, fd.get(), n};
        serve(peer);
        fd.reset();
        ++closed_;
      }
    });
  }
  ~FakeServer() {
    stopping_ = true;
    if (server_.joinable()) {
      const UniqueFd wake = connect_raw();  // the accept that waits returns
      server_.join();
    }
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  const std::string& path() const { return path_; }
  int connections() const { return accepted_; }
  int closed() const { return closed_; }
  std::vector<std::string> bodies() {
    std::lock_guard lock(mutex_);
    return bodies_;
  }
  void keep(const std::string& body) {
    std::lock_guard lock(mutex_);
    bodies_.push_back(body);
  }
  // A socket of the test's own connected to the stand-in, not close-on-exec.
  UniqueFd connect_raw() const {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_EQ(connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr_), sizeof addr_), 0);
    return fd;
  }

 private:
  std::string dir_, path_;
  sockaddr_un addr_{};
  UniqueFd listener_;
  std::thread server_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0}, closed_{0};
  std::mutex mutex_;
  std::vector<std::string> bodies_;
};

std::optional<std::string> Peer::request() {
  auto body = read_frame_body(reader);
  if (!body) return std::nullopt;
  server.keep(*body);
  return *body;
}

struct Handle {
  helper_ipc_client* c = helper_ipc_client_new();
  ~Handle() { helper_ipc_client_free(c); }
};

// The last error, whole.
std::string last_error(helper_ipc_client* c) {
  return std::string(helper_ipc_last_error(c), helper_ipc_last_error_len(c));
}

// What the stand-in does on its first connection; every later request there and on later
// connections it answers with Pong.
using Act = std::function<void(Peer&)>;
Act answer(std::string body) {
  return [body](Peer& p) {
    if (p.request()) p.reply(body);
    p.pong_all();
  };
}
Act answer_with_fd(std::string body, int fd) {
  return [body, fd](Peer& p) {
    if (p.request()) (void)write_frame_body_with_fd(p.fd, body, fd);
  };
}
// The reply one byte every 50 ms: each read gets a byte well within the limit, the whole does not.
Act drip(std::string body) {
  return [body](Peer& p) {
    if (!p.request()) return;
    for (char c : std::string{0, 0, 0, static_cast<char>(body.size())} + body) {
      if (!send_all(p.fd, std::string_view(&c, 1))) return;
      std::this_thread::sleep_for(milliseconds(50));
    }
  };
}
const Act silent = [](Peer& p) {
  if (p.request()) (void)p.request();  // until the client closes
};
const Act hang_up = [](Peer& p) { (void)p.request(); };
// Closes with the request unread: the connection is reset (on Linux).
const Act hang_up_unread = [](Peer& p) {
  pollfd in{p.fd, POLLIN, 0};
  (void)poll(&in, 1, 10'000);
};
const Act close_at_once = [](Peer&) {};

constexpr std::uint32_t kLimitMs = 500;
const std::string kHungUp =
    "the daemon closed the connection without a reply: this user is not admitted or holds too "
    "many connections, the request was not understood, or the daemon is stopping (the daemon's "
    "log says which)";
const std::string kNoReply = "no reply within the time limit of 500 ms: the request was sent";

// Each function's request and how each reply becomes its status, out-values and text; then the
// connection after it: a ping follows, and the stand-in counts the connections it has seen.
TEST(CInterface, SendsEachRequestAndTurnsEachReplyIntoItsOutcome) {
  auto dhcp = platform::stream_socketpair();
  ASSERT_TRUE(dhcp.ok());
  struct stat dhcp_st {};
  ASSERT_EQ(fstat(dhcp->first.get(), &dhcp_st), 0);
  using Call = std::function<helper_ipc_status(helper_ipc_client*, std::string&)>;
  struct Row {
    const char* what;
    Act act;
    Call call;            // writes the out-values
    std::string request;  // the first body the stand-in reads, on whichever connection
    helper_ipc_status status;
    std::string out;     // the out-values, or the start of the failure's text
    int connections;     // after the ping that follows: 1 (kept) or 2 (made again)
    bool adopt = false;  // on a descriptor connected by the test
  };
  // A call without out-values, and one whose out-value is a flag.
  const auto plain = [](helper_ipc_status (*f)(helper_ipc_client*)) -> Call {
    return [f](auto c, auto&) { return f(c); };
  };
  const auto flag = [](std::function<helper_ipc_status(helper_ipc_client*, bool*)> f) -> Call {
    return [f](auto c, auto& out) {
      bool b = false;
      const helper_ipc_status st = f(c, &b);
      out = b ? "true" : "false";
      return st;
    };
  };
  const Call ping = plain(helper_ipc_ping);
  const Call pf_enable = [](auto c, auto& out) {
    bool has = false;
    const char* token = nullptr;
    size_t len = 99;
    const helper_ipc_status st = helper_ipc_pf_enable_len(c, &has, &token, &len);
    out = has     ? "token=" + std::string(token, len)
          : token ? "a text"
                  : "none " + std::to_string(len);
    return st;
  };
  const auto ifconfig_read = [](const char* iface) -> Call {
    return [iface](auto c, auto& out) {
      bool has = false;
      uint32_t addr = 1, mask = 1;
      char a[HELPER_IPC_IPV4_TEXT_SIZE], m[HELPER_IPC_IPV4_TEXT_SIZE];
      const helper_ipc_status st = helper_ipc_ifconfig_read(c, iface, &has, &addr, &mask);
      out = std::string(has ? "" : "none ") + helper_ipc_ipv4_format(addr, a) + "/" +
            helper_ipc_ipv4_format(mask, m);
      return st;
    };
  };
  const Call bind_dhcp67 = [&](auto c, auto& out) {
    int fd = -1;
    const helper_ipc_status st = helper_ipc_bind_dhcp67(c, &fd);
    struct stat got {};
    if (fd >= 0 && fstat(fd, &got) == 0) {
      out = "same=" + std::to_string(got.st_ino == dhcp_st.st_ino) +
            " cloexec=" + std::to_string((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
      close(fd);
    }
    return st;
  };
  const Row rows[] = {
      {"ping", answer(R"("Pong")"), ping, R"("Ping")", HELPER_IPC_OK, "", 1},
      {"get forwarding", answer(R"({"Forwarding":true})"),
       flag([](auto c, bool* b) { return helper_ipc_get_forwarding(c, b); }), R"("GetForwarding")",
       HELPER_IPC_OK, "true", 1},
      {"set forwarding", answer(R"("Ok")"),
       [](auto c, auto&) { return helper_ipc_set_forwarding(c, false); },
       R"({"SetForwarding":false})", HELPER_IPC_OK, "", 1},
      {"load rules", answer(R"({"Err":"pfctl: syntax error"})"),
       [](auto c, auto&) { return helper_ipc_pf_load_anchor(c, "com.x/y", "pass in all\n"); },
       R"({"PfLoadAnchor":{"anchor":"com.x/y","rules":"pass in all\n"}})", HELPER_IPC_ERR_REPLY,
       "pfctl: syntax error", 1},
      {"flush", answer(R"("Ok")"),
       [](auto c, auto&) { return helper_ipc_pf_flush_anchor(c, "com.x/y"); },
       R"({"PfFlushAnchor":{"anchor":"com.x/y"}})", HELPER_IPC_OK, "", 1},
      {"enable, a token with a NUL", answer(R"({"PfToken":"88\u000017"})"), pf_enable,
       R"("PfEnable")", HELPER_IPC_OK, std::string("token=88\00017", 11), 1},
      {"enable, no token", answer(R"({"PfToken":null})"), pf_enable, R"("PfEnable")", HELPER_IPC_OK,
       "none 0", 1},
      {"release", answer(R"("Ok")"), [](auto c, auto&) { return helper_ipc_pf_release(c, "88"); },
       R"({"PfRelease":{"token":"88"}})", HELPER_IPC_OK, "", 1},
      {"read an address", answer(R"({"Ifconfig":["192.168.64.1","255.255.255.0"]})"),
       ifconfig_read("en0"), R"({"IfconfigRead":{"iface":"en0"}})", HELPER_IPC_OK,
       "192.168.64.1/255.255.255.0", 1},
      {"read no address", answer(R"({"Ifconfig":null})"), ifconfig_read("en7"),
       R"({"IfconfigRead":{"iface":"en7"}})", HELPER_IPC_OK, "none 0.0.0.0/0.0.0.0", 1},
      {"set an address", answer(R"("Ok")"),
       [](auto c, auto&) { return helper_ipc_ifconfig_set(c, "en0", "10.0.0.1", "255.0.0.0"); },
       R"({"IfconfigSet":{"iface":"en0","addr":"10.0.0.1","mask":"255.0.0.0"}})", HELPER_IPC_OK, "",
       1},
      {"delete an address", answer(R"("Ok")"),
       [](auto c, auto&) { return helper_ipc_ifconfig_delete(c, "en0", "10.0.0.1"); },
       R"({"IfconfigDelete":{"iface":"en0","addr":"10.0.0.1"}})", HELPER_IPC_OK, "", 1},
      {"echo", answer(R"({"IcmpResult":true})"),
       flag([](auto c, bool* b) { return helper_ipc_icmp_echo(c, "127.0.0.1", b); }),
       R"({"IcmpEcho":{"ip":"127.0.0.1"}})", HELPER_IPC_OK, "true", 1},
      // The daemon ends the connection after the DHCP socket, whatever the outcome.
      {"dhcp socket", answer_with_fd(R"("FdFollows")", dhcp->first.get()), bind_dhcp67,
       R"("BindDhcp67")", HELPER_IPC_OK, "same=1 cloexec=1", 2},
      {"dhcp Err", answer(R"({"Err":"bind 0.0.0.0:67: in use"})"), bind_dhcp67, R"("BindDhcp67")",
       HELPER_IPC_ERR_REPLY, "bind 0.0.0.0:67: in use", 2},
      {"Err with a NUL", answer(R"({"Err":"abc\u0000def"})"), ping, R"("Ping")",
       HELPER_IPC_ERR_REPLY, std::string("abc\0def", 7), 1},
      // Replies this library cannot take end the connection.
      {"not this request's reply", answer(R"("Ok")"), pf_enable, R"("PfEnable")",
       HELPER_IPC_PROTOCOL_ERROR, "the daemon answered PfEnable with Ok", 2},
      {"no descriptor", answer(R"("FdFollows")"), ping, R"("Ping")", HELPER_IPC_PROTOCOL_ERROR,
       "the daemon answered Ping with FdFollows", 2},
      {"dhcp without descriptor", answer(R"("FdFollows")"), bind_dhcp67, R"("BindDhcp67")",
       HELPER_IPC_PROTOCOL_ERROR, "FdFollows arrived without a descriptor", 2},
      {"undecodable", answer(R"({"PfToken":7})"), ping, R"("Ping")", HELPER_IPC_PROTOCOL_ERROR,
       "the reply did not decode", 2},
      {"hang-up", hang_up, ping, R"("Ping")", HELPER_IPC_REFUSED, kHungUp, 2},
      {"reset", hang_up_unread, ping, R"("Ping")", HELPER_IPC_REFUSED, kHungUp, 2},
      {"silence", silent, ping, R"("Ping")", HELPER_IPC_TIMED_OUT, kNoReply, 2},
      {"drip", drip(R"({"Err":")" + std::string(50, 'x') + "\"}"), ping, R"("Ping")",
       HELPER_IPC_TIMED_OUT, kNoReply, 2},
      // Closed while idle: nothing was sent, so the call connects again.
      {"closed while idle", close_at_once, ping, R"("Ping")", HELPER_IPC_OK, "", 2},
      // An adopted connection cannot be made again: the ping after the call fails.
      {"adopted, silence", silent, ping, R"("Ping")", HELPER_IPC_TIMED_OUT, kNoReply, 1, true},
      {"adopted, closed while idle", close_at_once, ping, "", HELPER_IPC_CONNECTION_FAILED,
       "the daemon had closed the connection before the request", 1, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeServer server([&](Peer& p) { p.connection == 0 ? row.act(p) : p.pong_all(); });
    Handle h;
    ASSERT_EQ(helper_ipc_set_timeout_ms(h.c, kLimitMs), HELPER_IPC_OK);
    if (row.adopt) {
      const int fd = server.connect_raw().release();
      ASSERT_EQ(helper_ipc_adopt(h.c, fd), HELPER_IPC_OK);
      EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    } else {
      ASSERT_EQ(helper_ipc_connect(h.c, server.path().c_str()), HELPER_IPC_OK);
    }
    // The connection is closed before the call, not while it runs.
    while (row.act.target_type() == close_at_once.target_type() && server.closed() == 0)
      std::this_thread::yield();
    std::string out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(helper_ipc_status_name(row.call(h.c, out)), helper_ipc_status_name(row.status));
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string got = row.status == HELPER_IPC_OK ? out : last_error(h.c);
    EXPECT_EQ(got.substr(0, row.out.size()), row.out);
    if (row.status == HELPER_IPC_TIMED_OUT) {  // one deadline for the whole call: a drip is 3 s
      EXPECT_GE(took, milliseconds(kLimitMs));
      EXPECT_LT(took, milliseconds(kLimitMs + 2000));
    }
    const helper_ipc_status then = helper_ipc_ping(h.c);
    EXPECT_EQ(then, row.adopt ? HELPER_IPC_CONNECTION_FAILED : HELPER_IPC_OK) << last_error(h.c);
    EXPECT_EQ(server.connections(), row.connections);
    const auto bodies = server.bodies();
    EXPECT_EQ(bodies.empty() ? "" : bodies[0], row.request);
  }
}

// A daemon that never accepts: connecting waits while the listener's backlog is full (on Linux),
// and gives up at the time limit.
TEST(CInterface, GivesUpConnectingWithinTheTimeLimit) {
  FakeServer server(nullptr);
  Handle first, second;
  ASSERT_EQ(helper_ipc_connect(first.c, server.path().c_str()), HELPER_IPC_OK);
  ASSERT_EQ(helper_ipc_set_timeout_ms(second.c, 200), HELPER_IPC_OK);
#if defined(__linux__)
  EXPECT_EQ(helper_ipc_connect(second.c, server.path().c_str()), HELPER_IPC_TIMED_OUT);
  EXPECT_EQ(last_error(second.c),
            "connect " + server.path() + ": no connection within the time limit of 200 ms");
#endif
}

// Each unusable argument gets its own text, and nothing is sent: the stand-in reads only the ping
// that follows, on the connection the handle had.
TEST(CInterface, AnswersBadArgumentsWithoutSending) {
  FakeServer server([](Peer& p) { p.pong_all(); });
  Handle h;
  ASSERT_EQ(helper_ipc_connect(h.c, server.path().c_str()), HELPER_IPC_OK);
  bool b = false;
  uint32_t u = 0;
  const char* token = nullptr;
  const std::string lines(1 << 20, '\n');  // 2 MiB once each line feed is escaped
  const auto bad_address = [](const char* name, const char* text) {
    return std::string(name) + " \"" + text + "\" is not a dotted-decimal IPv4 address";
  };
  const std::pair<std::function<helper_ipc_status()>, std::string> rows[] = {
      {[&] { return helper_ipc_connect(h.c, nullptr); }, "path is NULL"},
      {[&] { return helper_ipc_adopt(h.c, 999); }, "999 is not an open descriptor"},
      {[&] { return helper_ipc_get_forwarding(h.c, nullptr); }, "enabled is NULL"},
      {[&] { return helper_ipc_pf_load_anchor(h.c, nullptr, "x"); }, "anchor is NULL"},
      {[&] { return helper_ipc_pf_load_anchor(h.c, "a", nullptr); }, "rules is NULL"},
      {[&] { return helper_ipc_pf_load_anchor(h.c, "a", lines.c_str()); },
       "the request is 2097194 bytes long once encoded, more than the daemon reads in a frame "
       "(1048576); nothing was sent"},
      {[&] { return helper_ipc_pf_flush_anchor(h.c, nullptr); }, "anchor is NULL"},
      {[&] { return helper_ipc_pf_enable(h.c, &b, nullptr); }, "token is NULL"},
      {[&] { return helper_ipc_pf_enable_len(h.c, &b, &token, nullptr); }, "token_len is NULL"},
      {[&] { return helper_ipc_pf_release(h.c, nullptr); }, "token is NULL"},
      {[&] { return helper_ipc_ifconfig_read(h.c, nullptr, &b, &u, &u); }, "iface is NULL"},
      {[&] { return helper_ipc_ifconfig_set(h.c, "en0", "10.0.0.01", "255.0.0.0"); },
       bad_address("addr", "10.0.0.01")},
      {[&] { return helper_ipc_ifconfig_set(h.c, "en0", "10.0.0.1", "255.255.255.256"); },
       bad_address("mask", "255.255.255.256")},
      {[&] { return helper_ipc_ifconfig_delete(h.c, "en0", "10.0.0.1:67"); },
       bad_address("addr", "10.0.0.1:67")},
      {[&] { return helper_ipc_icmp_echo(h.c, "127.0.0", &b); }, bad_address("ip", "127.0.0")},
      {[&] { return helper_ipc_bind_dhcp67(h.c, nullptr); }, "fd is NULL"},
  };
  for (const auto& [call, text] : rows) {
    EXPECT_EQ(call(), HELPER_IPC_BAD_ARGUMENT) << text;
    EXPECT_EQ(last_error(h.c), text);
  }
  EXPECT_EQ(helper_ipc_ping(nullptr), HELPER_IPC_BAD_ARGUMENT);
  EXPECT_STREQ(helper_ipc_last_error(nullptr), "the client handle is NULL");
  EXPECT_EQ(helper_ipc_ping(h.c), HELPER_IPC_OK);
  EXPECT_EQ(server.bodies(), std::vector<std::string>{R"("Ping")"});
  EXPECT_EQ(server.connections(), 1);
  helper_ipc_client_free(nullptr);  // ignored
}

// One handle, 8 threads, 200 calls each, half of them failing with a text of their own: every
// reply and every text is the caller's, and a text stays whole while the other threads go on.
TEST(CInterface, TakesCallsFromManyThreadsAndKeepsEachThreadsTexts) {
  FakeServer server([](Peer& p) {
    while (auto body = p.request()) {
      const Request request = decode_request(*body).value();
      Response reply = Pong{};
      if (const auto* r = std::get_if<PfRelease>(&request)) reply = Err{"no token " + r->token};
      if (const auto* e = std::get_if<IcmpEcho>(&request))
        reply = IcmpResult{e->ip.to_u32() % 2 == 1};
      p.reply(encode_response(reply));
    }
  });
  Handle h;
  ASSERT_EQ(helper_ipc_connect(h.c, server.path().c_str()), HELPER_IPC_OK);
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string id = std::to_string(t) + "." + std::to_string(i);
        const std::string ip = "10.0." + std::to_string(t) + "." + std::to_string(i / 2);
        bool answered = false;
        if (i % 2 == 0) {
          const bool err = helper_ipc_pf_release(h.c, id.c_str()) == HELPER_IPC_ERR_REPLY;
          const char* text = helper_ipc_last_error(h.c);
          std::this_thread::yield();
          right += err && text == "no token " + id;
        } else {
          const bool ok = helper_ipc_icmp_echo(h.c, ip.c_str(), &answered) == HELPER_IPC_OK;
          right += ok && answered == (i % 4 == 3) && last_error(h.c).empty();
        }
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(right, 8 * 200);
  EXPECT_EQ(server.connections(), 1);
}

// Allocation k of connecting and calling fails, for every k until they need no more: each time
// the call that ran out returns a status (no exception escapes, nothing aborts), and the handle
// says why. The texts (a token, an Err, a request) are long enough to live outside std::string's
// own storage, so that each one allocates.
TEST(CInterface, AnswersOutOfMemoryWithAStatusAtEveryAllocation) {
  if (!failing_allocator::kInPlace) GTEST_SKIP() << "ThreadSanitizer's allocator stays in place";
  const std::string token(40, '7');
  const std::string err = "pfctl: the rules of this anchor could not be loaded";
  FakeServer server([&](Peer& p) {
    while (auto body = p.request())
      p.reply(*body == R"("PfEnable")" ? R"({"PfToken":")" + token + R"("})"
                                       : R"({"Err":")" + err + R"("})");
  });
  const std::string anchor = "com.example.a-long-anchor-name/vpn";
  const std::string rules = "pass in all\npass out all\nblock in proto udp to port 67\n";
  int out_of_memory = 0;
  for (long k = 0;; ++k) {
    ASSERT_LT(k, 10000) << "the calls never completed";
    Handle h;
    failing_allocator::refused = false;
    failing_allocator::left = k;
    bool has_token = false;
    const char* got = nullptr;
    int calls = 1;  // nothing here may allocate while allocations are counted
    helper_ipc_status status = helper_ipc_connect(h.c, server.path().c_str());
    for (; status == HELPER_IPC_OK && calls < 3; ++calls) {
      status = calls == 1 ? helper_ipc_pf_enable(h.c, &has_token, &got)
                          : helper_ipc_pf_load_anchor(h.c, anchor.c_str(), rules.c_str());
    }
    failing_allocator::left = -1;
    if (!failing_allocator::refused) {
      EXPECT_EQ(calls, 3);
      EXPECT_EQ(status, HELPER_IPC_ERR_REPLY);
      EXPECT_EQ(std::string(got != nullptr ? got : "(none)"), token);
      EXPECT_EQ(last_error(h.c), err);
      break;
    }
    ASSERT_EQ(status, HELPER_IPC_CONNECTION_FAILED) << "allocation " << k;
    EXPECT_STREQ(helper_ipc_last_error(h.c), "out of memory") << "allocation " << k;
    ++out_of_memory;
  }
  EXPECT_GE(out_of_memory, 8);

  // No memory for a handle: NULL, and a NULL handle is a bad argument, not a crash.
  failing_allocator::left = 0;
  helper_ipc_client* none = helper_ipc_client_new();
  failing_allocator::left = -1;
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(helper_ipc_ping(none), HELPER_IPC_BAD_ARGUMENT);
}

// Each status by its value, the interface's names for them, and a value that is none of them.
TEST(CInterface, NamesEveryStatus) {
  const char* const names[] = {"HELPER_IPC_OK",           "HELPER_IPC_ERR_REPLY",
                               "HELPER_IPC_REFUSED",      "HELPER_IPC_CONNECTION_FAILED",
                               "HELPER_IPC_BAD_ARGUMENT", "HELPER_IPC_PROTOCOL_ERROR",
                               "HELPER_IPC_TIMED_OUT",    "unknown status"};
  for (int status = 0; status < 8; ++status)
    EXPECT_STREQ(helper_ipc_status_name(static_cast<helper_ipc_status>(status)), names[status]);
}

}  // namespace
