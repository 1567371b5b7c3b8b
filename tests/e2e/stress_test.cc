// The daemon under load and misuse, bounded in count and time: many idle connections, many short
// ones, clients that vanish mid-frame or trickle a whole frame, and large rule texts in parallel.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <iostream>
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

std::string logged(const std::string& message) {
  return "[pelmor-helper] " + message;
}

std::size_t count_lines(Daemon& daemon, const std::string& line) {
  std::size_t n = 0;
  for (const std::string& l : daemon.lines(0, std::chrono::milliseconds(0)))
    n += l == line;
  return n;
}

class StressTest : public NamespaceTest {};

TEST_F(StressTest, ThousandIdleConnectionsDoNotStopTheService) {
  // Three users try to hold a thousand idle connections while nobody owns the console (so that
  // any user but root is admitted): each gets its share, the rest are closed at once, and a fourth
  // user is still served.
  constexpr int kUsers = 3;
  constexpr int kIdle = 1000;
  constexpr int kShare = 64;  // what one user may hold
  set_console_owner(std::nullopt);
  Daemon daemon;
  ASSERT_TRUE(daemon.find_line("listening on "));
  const long before = proc_status(daemon.pid(), "VmRSS");
  Turn opened, measured;
  std::vector<std::string> held;
  std::thread clients([&] {
    held = as_users({kUser, kUser + 1, kUser + 2}, [&] {
      std::vector<UniqueFd> idle;
      for (int i = 0; i < kIdle / kUsers; ++i) {
        auto c = Client::connect(kSocketPath);
        if (!c) return "connection " + std::to_string(i) + ": " + c.error().text;
        idle.emplace_back(dup(c->fd()));
      }
      opened.signal();
      measured.wait();  // the idle connections stay open while others are served
      int open = 0;
      for (auto& fd : idle) {
        char byte;
        open += recv(fd.get(), &byte, 1, MSG_DONTWAIT) == -1 && errno == EAGAIN;
      }
      return std::to_string(open) + " open";
    });
  });
  for (int u = 0; u < kUsers; ++u)
    opened.wait();
  // Each user's share has its threads, blocked in their first read; the rest were closed, with a
  // few lines for the first of them.
  for (int u = 0; u < kUsers; ++u) {
    EXPECT_TRUE(daemon.find_line(
        "rejecting peer: uid=" + std::to_string(kUser + u) + " has too many connections (64)",
        std::chrono::seconds(60)));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long after = proc_status(daemon.pid(), "VmRSS");
  const std::string served = as_user(kUser + kUsers, [] {
    int pongs = 0;
    for (int i = 0; i < 20; ++i) {
      auto c = Client::connect(kSocketPath);
      auto reply = c ? c->call(Ping{}) : Result<Response, ClientError>(c.error());
      pongs += reply && std::holds_alternative<Pong>(*reply);
    }
    return std::to_string(pongs) + " pongs";
  });
  for (int u = 0; u < kUsers; ++u)
    measured.signal();
  clients.join();
  EXPECT_EQ(served, "20 pongs");
  EXPECT_EQ(held, std::vector<std::string>(kUsers, std::to_string(kShare) + " open"));
  // The shares' lines and the first refusals' pairs; the other refusals are counted silently.
  for (int u = 0; u < kUsers; ++u) {
    EXPECT_EQ(count_lines(daemon, logged("connection from uid=" + std::to_string(kUser + u) +
                                         " (console_uid=None)")),
              static_cast<std::size_t>(kShare + 10));
  }
  const double per_connection = static_cast<double>(after - before) / (kUsers * kShare);
  RecordProperty("resident_kib_per_idle_connection", std::to_string(per_connection));
  std::cout << "resident memory: " << before << " KiB, " << after << " KiB with " << kUsers * kShare
            << " idle connections: " << per_connection << " KiB each\n";
  // A thread's 2 MiB stack is reserved, not resident: an idle connection costs far less.
  EXPECT_LT(per_connection, 256.0);
}

TEST_F(StressTest, TenThousandShortConnectionsLeaveNothingBehind) {
  constexpr int kConnections = 10'000;
  StandIn{"sysctl"}.answer("1\n");
  Daemon daemon;
  ASSERT_TRUE(eventually([&] { return daemon.descriptor_count() > 0; }));
  const int baseline = daemon.descriptor_count();
  const std::string got = as_user(kUser, [] {
    int ok = 0;
    for (int i = 0; i < kConnections; ++i) {
      auto c = Client::connect(kSocketPath);
      if (!c) continue;
      // Every hundredth runs a tool, so processes come and go too.
      auto reply = c->call(i % 100 == 0 ? Request{GetForwarding{}} : Request{Ping{}});
      ok += reply.ok() && !std::holds_alternative<Err>(*reply);
    }
    return std::to_string(ok);
  });
  EXPECT_EQ(got, std::to_string(kConnections));
  EXPECT_TRUE(eventually([&] { return daemon.descriptor_count() == baseline; }))
      << daemon.descriptor_count() << " descriptors, " << baseline << " at the start";
  EXPECT_EQ(daemon.zombie_children(), 0);
}

TEST_F(StressTest, ClientsThatVanishMidFrameEndOnlyTheirConnections) {
  constexpr int kClients = 100;
  Daemon daemon;
  ASSERT_TRUE(eventually([&] { return daemon.descriptor_count() > 0; }));
  const int baseline = daemon.descriptor_count();
  const std::string body = R"({"PfLoadAnchor":{"anchor":"a","rules":"pass in all"}})";
  Turn vanished, released;
  std::string got;
  std::thread client([&] {
    got = as_user(kUser, [&] {
      for (int i = 0; i < kClients; ++i) {
        auto c = Client::connect(kSocketPath);
        if (!c) return std::string("connect failed");
        const auto n = static_cast<std::uint32_t>(body.size());
        std::string half = {0, 0, static_cast<char>(n >> 8), static_cast<char>(n)};
        half += body.substr(0, i % body.size());  // cut anywhere, the prefix included
        (void)write_all(c->fd(), std::string_view(half).substr(0, 1 + i % half.size()));
      }  // each connection closes here, its frame unfinished
      vanished.signal();
      // The next connection waits until the daemon has let the others go: until then they count
      // against this user's cap on open connections.
      released.wait();
      auto c = Client::connect(kSocketPath);
      auto reply = c ? c->call(Ping{}) : Result<Response, ClientError>(c.error());
      return reply ? encode_response(*reply) : reply.error().text;
    });
  });
  vanished.wait();
  EXPECT_TRUE(eventually([&] { return daemon.descriptor_count() == baseline; }));
  released.signal();
  client.join();
  EXPECT_EQ(got, R"("Pong")");
  // An unfinished frame is the end of input: no error line, no reply, no tool run.
  EXPECT_FALSE(daemon.find_line("read_frame error", std::chrono::milliseconds(0)));
  EXPECT_TRUE(StandIn{"pfctl"}.calls().empty());
}

TEST_F(StressTest, AFrameOfOneMebibyteSentByteByByte) {
  Daemon daemon;
  std::string body = R"("Ping")";
  body.resize(kMaxFrameBody, ' ');
  const std::string got = as_user(kUser, [&] {
    auto c = Client::connect(kSocketPath);
    if (!c) return c.error().text;
    const std::string bytes = std::string("\x00\x10\x00\x00", 4) + body;
    for (char b : bytes) {
      if (!write_all(c->fd(), std::string_view(&b, 1))) return std::string("write failed");
    }
    BufReader reader(c->fd());
    auto reply = read_frame_body(reader);
    return reply ? *reply : reply.error().text();
  });
  EXPECT_EQ(got, R"("Pong")");
}

// Rules that make a request of nearly 1 MiB (each line break is two bytes in JSON), each
// client's its own.
std::string rules_for(int client) {
  const std::string line =
      "pass in quick on en" + std::to_string(client) + " proto tcp to port 443 keep state\n";
  std::string rules;
  while ((rules.size() + line.size()) / line.size() * (line.size() + 1) < kMaxFrameBody - 200) {
    rules += line;
  }
  return rules;
}

TEST_F(StressTest, FiftyLargeRuleTextsAtOnce) {
  constexpr int kClients = 50;
  Daemon daemon;
  const std::string got = as_user(kUser, [] {
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
      threads.emplace_back([i, &ok] {
        auto c = Client::connect(kSocketPath);
        auto reply = c ? c->call(PfLoadAnchor{"a" + std::to_string(i), rules_for(i)})
                       : Result<Response, ClientError>(c.error());
        ok += reply && std::holds_alternative<Ok>(*reply);
      });
    }
    for (auto& t : threads)
      t.join();
    return std::to_string(ok.load());
  });
  EXPECT_EQ(got, std::to_string(kClients));
  // Each run got exactly its own anchor's text.
  const auto calls = StandIn{"pfctl"}.calls();
  ASSERT_EQ(calls.size(), static_cast<std::size_t>(kClients));
  for (const auto& call : calls) {
    ASSERT_EQ(call.args.size(), 4u);
    EXPECT_TRUE(call.input == rules_for(std::stoi(call.args[1].substr(1)))) << call.args[1];
  }
}

}  // namespace
}  // namespace e2e
