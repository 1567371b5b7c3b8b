// The daemon's life around its requests: the log rotated under load, stops that finish what was
// read, one instance with its own pid file, users who left the console and hold connections, and
// refusals of many uids together. Bounded in count and time; the only times asserted are the
// behaviour's own deadlines, with room to spare.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

namespace e2e {
namespace {

using namespace helper_ipc;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr const char* kPidPath = "/var/run/pelmor-helper.pid";

std::string text_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// How many of `lines` begin with `message` after the prefix, and the numbers that follow it.
std::pair<std::size_t, long> count(const Lines& lines, const std::string& message) {
  std::pair<std::size_t, long> found{0, 0};
  for (const std::string& line : lines) {
    if (line.rfind("[pelmor-helper] " + message, 0) != 0) continue;
    ++found.first;
    found.second += std::atol(line.c_str() + 16 + message.size());
  }
  return found;
}

// `n` connections of this process's user; whether the daemon ended each (end of stream, or a
// reset) within `patience` of the moment `wait` returned.
template <class Wait>
std::string open_and_watch(int n, Wait wait, std::chrono::milliseconds patience = 5s) {
  std::vector<UniqueFd> fds;
  for (int i = 0; i < n; ++i) {
    auto c = Client::connect(kSocketPath);
    if (c) fds.emplace_back(dup(c->fd()));
  }
  wait();
  const auto deadline = std::chrono::steady_clock::now() + patience;
  int ended = 0;
  for (const UniqueFd& fd : fds) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd.get(), POLLIN, 0};
    char byte;
    ended += poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) == 1 &&
             recv(fd.get(), &byte, 1, MSG_DONTWAIT) <= 0;
  }
  return std::to_string(fds.size()) + " open, " + std::to_string(ended) + " ended";
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class LifecycleTest : public NamespaceTest {};

TEST_F(LifecycleTest, TheLogRotatedUnderLoadKeepsEveryLineOnce) {
  constexpr int kClients = 8;
  constexpr int kRotations = 20;
  Daemon daemon(Daemon::Streams::Shared);
  ASSERT_TRUE(daemon.find_line("listening on "));
  const std::string log = daemon.log_path();
  const auto answered = as_users(
      std::vector<uid_t>(kClients, kUser),
      [] {
        auto c = Client::connect(kSocketPath);
        int n = 0;
        // A request without its reply leaves its line uncounted here, and the counts apart.
        for (const auto until = std::chrono::steady_clock::now() + 2s;
             c && std::chrono::steady_clock::now() < until; ++n) {
          if (auto reply = c->call(Ping{}); !reply || !std::holds_alternative<Pong>(*reply)) break;
        }
        return std::to_string(n);
      },
      [&] {
        for (int i = 1; i <= kRotations; ++i) {
          std::this_thread::sleep_for(90ms);
          fs::rename(log, log + "." + std::to_string(i));
          daemon.signal(SIGHUP);
        }
      });
  long pings = 0;
  for (const std::string& n : answered)
    pings += std::stol(n);
  // Every file holds whole lines only; all of them together, each line once.
  Lines all;
  for (int i = 0; i <= kRotations; ++i) {
    const std::string text = text_of(i == 0 ? log : log + "." + std::to_string(i));
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "file " << i << " ends in a torn line";
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      EXPECT_EQ(line.rfind("[pelmor-helper] ", 0), 0u) << line;
      all.push_back(line);
    }
  }
  EXPECT_EQ(count(all, "request: Ping").first, static_cast<std::size_t>(pings));
  EXPECT_EQ(count(all, "connection from uid=1000 ").first, static_cast<std::size_t>(kClients));
  EXPECT_EQ(all.size(), 2 + kClients + static_cast<std::size_t>(pings));
  // The daemon made the last file like the first, and standard error followed standard output.
  struct stat st {};
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string fds = "/proc/" + std::to_string(daemon.pid()) + "/fd/";
  EXPECT_TRUE(fs::equivalent(fs::read_symlink(fds + "1"), log));
  EXPECT_TRUE(fs::equivalent(fs::read_symlink(fds + "2"), log));
  std::cout << "rotation under load: " << pings << " requests by " << kClients << " clients, "
            << kRotations << " rotations, " << all.size() << " lines in " << kRotations + 1
            << " files\n";
}

TEST_F(LifecycleTest, AStopFinishesTheRequestsAlreadyRead) {
  std::string rules;
  while (rules.size() < 900'000)
    rules += "pass in quick on en0 proto tcp from any to any port 443 keep state\n";
  rules.resize(900'000);
  const std::string cut =
      "stopping at once (a second signal): 0 requests finished, 0 connections "
      "closed, 1 cut (PfEnable from uid=1000), 1 tools killed";
  struct Row {
    Request request;
    int signals;  // a second SIGTERM cuts the stop short
    std::string reply;
    int status;
    std::string line;
  };
  const Row rows[] = {
      {PfEnable{}, 1, R"({"PfToken":"4242"})", 0,
       "stopping: 1 requests finished, 1 connections closed"},
      {PfLoadAnchor{"com.example", rules}, 1, R"("Ok")", 0,
       "stopping: 1 requests finished, 1 connections closed"},
      {PfEnable{}, 2, "", 2, cut},
  };
  for (const Row& row : rows) {
    reset_environment();
    const StandIn pfctl{"pfctl"};
    pfctl.answer("", "Token : 4242\n");
    pfctl.delay("1");
    Daemon daemon;
    std::string got;
    std::thread client([&] { got = call_as(kUser, row.request); });
    ASSERT_TRUE(eventually([&] { return pfctl.calls().size() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    if (row.signals == 2) {
      // The first is taken once the listening socket is closed.
      ASSERT_TRUE(eventually([] { return !Client::connect(kSocketPath); }));
      daemon.signal(SIGTERM);
    }
    const auto status = daemon.wait_status(15s);
    const double took = seconds_since(start);
    client.join();
    ASSERT_TRUE(status && WIFEXITED(*status)) << render_for_log(row.request);
    EXPECT_EQ(WEXITSTATUS(*status), row.status);
    // A request cut short gets no reply, or the Err of its killed tool: never what it asked for.
    EXPECT_EQ(row.reply.empty() ? got.find("PfToken") == std::string::npos : got == row.reply, true)
        << got;
    EXPECT_EQ(daemon.lines().back(), "[pelmor-helper] " + row.line);
    for (const StandIn::Call& call : pfctl.calls()) {
      // The tool took its input whole, or was killed: never an input cut short as if whole.
      EXPECT_TRUE(!call.ended || call.input.empty() || call.input == rules);
      EXPECT_TRUE(eventually([&] { return kill(call.pid, 0) == -1 && errno == ESRCH; }));
    }
    EXPECT_EQ(text_of(kPidPath), "") << "the pid file is emptied";
    std::cout << render_for_log(row.request).substr(0, 12) << ", " << row.signals
              << " SIGTERM: exit " << took << " s after the first\n";
  }
}

TEST_F(LifecycleTest, AStopEndsIdleConnectionsAtOnce) {
  constexpr int kIdle = 50;
  Daemon daemon;
  Turn opened, stopped;
  std::string seen;
  std::thread client([&] {
    seen = as_user(kUser, [&] {
      return open_and_watch(kIdle, [&] {
        opened.signal();
        stopped.wait();
      });
    });
  });
  opened.wait();
  ASSERT_TRUE(eventually(
      [&] { return count(daemon.lines(0, 0ms), "connection from ").first == std::size_t{kIdle}; }));
  const auto start = std::chrono::steady_clock::now();
  daemon.signal(SIGTERM);
  const auto status = daemon.wait_status(15s);
  const double took = seconds_since(start);
  stopped.signal();
  client.join();
  EXPECT_EQ(seen, "50 open, 50 ended");
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_LT(took, 5.0) << "the drain deadline is 10 s; idle connections wait for nothing";
  EXPECT_EQ(daemon.lines().back(),
            "[pelmor-helper] stopping: 0 requests finished, 50 connections closed");
  std::cout << kIdle << " idle connections: exit " << took << " s after SIGTERM\n";
}

TEST_F(LifecycleTest, OneDaemonAtATimeWithAPidFileOfItsOwn) {
  struct Row {
    const char* what;
    std::function<void()> prepare;
    std::string line;  // of the second daemon; {} stands for the first one's pid
  };
  const std::string warn = "WARN: pid file /var/run/pelmor-helper.pid: ";
  const std::string lost = "; the log rotation cannot signal this daemon";
  const Row rows[] = {
      {"another daemon runs", {}, "FATAL: another pelmor-helper is running (pid {})"},
      {"a link, not followed", [] { fs::create_symlink("/var/run/elsewhere", kPidPath); },
       warn + "Too many levels of symbolic links (os error 40)" + lost},
  };
  for (const Row& row : rows) {
    reset_environment();
    std::optional<Daemon> first;
    if (row.prepare) {
      row.prepare();
    } else {
      first.emplace();
      ASSERT_TRUE(first->find_line("listening on "));
    }
    struct stat socket_before {};
    (void)stat(kSocketPath, &socket_before);
    Daemon daemon;
    std::string line = row.line;
    if (first) line.replace(line.find("{}"), 2, std::to_string(first->namespace_pid()));
    EXPECT_EQ(daemon.find_line(line.substr(0, 5)), "[pelmor-helper] " + line) << row.what;
    EXPECT_EQ(call_as(kUser, Ping{}), R"("Pong")") << row.what;
    EXPECT_FALSE(fs::exists("/var/run/elsewhere")) << row.what;
    if (!first) continue;
    EXPECT_EQ(daemon.wait_exit(), 1);
    EXPECT_EQ(text_of(kPidPath), std::to_string(first->namespace_pid()) + "\n");
    struct stat socket_after {};
    ASSERT_EQ(stat(kSocketPath, &socket_after), 0);
    EXPECT_EQ(socket_after.st_ino, socket_before.st_ino);  // and the first answered on it
  }
}

TEST_F(LifecycleTest, UsersWhoLeftTheConsoleLockNobodyOut) {
  constexpr uid_t kFormer[] = {2001, 2002, 2003, 2004};
  constexpr uid_t kNow = 2005;
  for (const bool in_turn : {true, false}) {
    SCOPED_TRACE(in_turn ? "each owned the console in turn" : "all, while nobody owned it");
    reset_environment();
    Daemon daemon;
    ASSERT_TRUE(daemon.find_line("listening on "));
    Turn start[4], opened[4], done;
    std::string served;
    const auto seen = as_users(
        std::vector<uid_t>(std::begin(kFormer), std::end(kFormer)),
        [&] {
          const std::size_t k = getuid() - kFormer[0];
          start[k].wait();
          return open_and_watch(64, [&] {
            opened[k].signal();
            done.wait();
          });
        },
        [&] {
          for (std::size_t k = 0; k < 4; ++k) {
            set_console_owner(in_turn ? std::optional(kFormer[k]) : std::nullopt);
            start[k].signal();
            opened[k].wait();
            // Admitted, all of them, before the console changes hands again.
            EXPECT_TRUE(eventually([&] {
              return count(daemon.lines(0, 0ms),
                           "connection from uid=" + std::to_string(kFormer[k]) + " ")
                         .first == 64;
            }));
          }
          set_console_owner(kNow);
          served = call_as(kNow, Ping{});
          for (int k = 0; k < 4; ++k)
            done.signal();
        });
    EXPECT_EQ(served, R"("Pong")");
    EXPECT_EQ(seen, std::vector<std::string>(4, "64 open, 64 ended"));
    EXPECT_EQ(count(daemon.lines(0, 0ms), "closed ").second, 256);
  }
}

TEST_F(LifecycleTest, ManyUidsTogetherStayWithinTheRefusalBound) {
  std::vector<uid_t> uids;
  for (uid_t uid = 3000; uid < 3120; ++uid)
    uids.push_back(uid);
  Daemon daemon;
  ASSERT_TRUE(daemon.find_line("listening on "));
  const auto refused = as_users(uids, [] {
    long n = 0;
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < until;) {
      n += open_and_watch(1, [] {}) == "1 open, 1 ended";
    }
    return std::to_string(n);
  });
  long total = 0;
  for (const std::string& n : refused)
    total += std::stol(n);
  // Each refusal is written in full or counted once its window has closed, 10 s after it began.
  Lines lines;
  EXPECT_TRUE(eventually(
      [&] {
        lines = daemon.lines(0, 0ms);
        return static_cast<long>(count(lines, "rejecting peer: ").first) +
                   count(lines, "rejected ").second ==
               total;
      },
      20s));
  EXPECT_LE(lines.size() - 2, 1000u);
  std::cout << uids.size() << " uids, 5 s: " << total << " refused connections, "
            << lines.size() - 2 << " lines about them\n";
}

}  // namespace
}  // namespace e2e
