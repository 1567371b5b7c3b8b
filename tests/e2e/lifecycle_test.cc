// The daemon's life around its requests: the log rotated under load, stops that finish what was
// read, one instance with its own pid file, and users who left the console and hold
// connections. Bounded in count and time; the only times asserted are the
// behaviour's own deadlines, with room to spare.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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
namespace fs = std::filesystem;

constexpr const char* kPidPath = "/var/run/pelmor-helper.pid";

class LifecycleTest : public NamespaceTest {};

// Clients at once, the log renamed and the daemon told so again and again: every file holds whole
// lines, and all of them together hold each line once.
TEST_F(LifecycleTest, TheLogRotatedUnderLoadKeepsEveryLineOnce) {
  constexpr int kClients = 8;
  constexpr int kRotations = 20;
  Daemon daemon;
  const std::string log = daemon.log_path();
  const Lines answered = as_users(
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
          kill(daemon.pid(), SIGHUP);
        }
      });
  std::size_t pings = 0;
  for (const std::string& n : answered)
    pings += std::stoul(n);
  Lines all;
  for (int i = 0; i <= kRotations; ++i) {
    const std::string text = read_file(i == 0 ? log : log + "." + std::to_string(i));
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "file " << i << " ends in a torn line";
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      all.push_back(line);
  }
  EXPECT_EQ(starting(all, "").size(), all.size());
  EXPECT_EQ(starting(all, "request: Ping").size(), pings);
  EXPECT_EQ(starting(all, "connection from uid=1000 ").size(), std::size_t{kClients});
  EXPECT_EQ(all.size(), 2 + kClients + pings);
  // The daemon made the last file like the first, and standard error followed standard output.
  struct stat st {};
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string fds = "/proc/" + std::to_string(daemon.pid()) + "/fd/";
  EXPECT_TRUE(fs::equivalent(fs::read_symlink(fds + "1"), log));
  EXPECT_TRUE(fs::equivalent(fs::read_symlink(fds + "2"), log));
}

// A stop closes the idle connections at once, lets a request already read run to its reply, and
// exits with status 0; a second SIGTERM cuts it short, with status 2.
TEST_F(LifecycleTest, AStopFinishesTheRequestsAlreadyReadAndEndsIdleConnections) {
  const std::string rules(900'000, 'r');
  const struct Row {
    Request request;
    int idle;     // connections that wait for a request meanwhile
    int signals;  // a second SIGTERM cuts the stop short
    std::string reply;
    int status;
    std::string line;
  } rows[] = {
      {PfEnable{}, 50, 1, R"({"PfToken":"4242"})", 0,
       "stopping: 1 requests finished, 51 connections closed"},
      {PfLoadAnchor{"com.example", rules}, 0, 1, R"("Ok")", 0,
       "stopping: 1 requests finished, 1 connections closed"},
      {PfEnable{}, 0, 2, "", 2,
       "stopping at once (a second signal): 0 requests finished, 0 connections closed, 1 cut "
       "(PfEnable from uid=1000), 1 tools killed"},
  };
  for (const Row& row : rows) {
    reset_environment();
    const StandIn pfctl{"pfctl"};
    pfctl.answer("", "Token : 4242\n");
    pfctl.delay("1");
    Daemon daemon;
    const Lines got = as_users(
        {kUser},
        [&] {
          const auto fds = connect_raw(row.idle);
          const std::string reply = ask(row.request);
          return std::to_string(ended(fds)) + " idle ended; " + reply;
        },
        [&] {
          EXPECT_TRUE(eventually([&] { return pfctl.calls().size() == 1; }));
          kill(daemon.pid(), SIGTERM);
          // The first is taken once the listening socket is closed.
          if (row.signals == 2 && eventually([] { return !Client::connect(kSocketPath); })) {
            kill(daemon.pid(), SIGTERM);
          }
          // The stop's deadline is 10 s; the tool takes 1 s.
          EXPECT_EQ(daemon.wait_exit(row.signals == 1 ? 5s : 15s), row.status);
        });
    // A request cut short gets no reply, or the Err of its killed tool: never what it asked for.
    const std::string ended = std::to_string(row.idle) + " idle ended; ";
    EXPECT_EQ(got[0].substr(0, ended.size()), ended);
    EXPECT_EQ(row.reply.empty() ? got[0].find("PfToken") == std::string::npos
                                : got[0] == ended + row.reply,
              true)
        << got[0];
    EXPECT_EQ(daemon.lines().back(), logged(row.line));
    for (const StandIn::Call& call : pfctl.calls()) {
      // The tool took its input whole, or was killed: never an input cut short as if whole.
      EXPECT_TRUE(!call.ended || call.input.empty() || call.input == rules);
      EXPECT_TRUE(eventually([&] { return kill(call.pid, 0) == -1 && errno == ESRCH; }));
    }
    EXPECT_EQ(read_file(kPidPath), "") << "the pid file is emptied";
  }
}

// A second daemon started by hand leaves the first one's socket and pid file alone; a pid file
// that is a link is not followed, and the daemon serves without it.
TEST_F(LifecycleTest, OneDaemonAtATimeWithAPidFileOfItsOwn) {
  for (const bool another : {true, false}) {
    reset_environment();
    std::optional<Daemon> first;
    if (another) {
      first.emplace();
    } else {
      fs::create_symlink("/var/run/elsewhere", kPidPath);
    }
    struct stat socket_before {};
    (void)stat(kSocketPath, &socket_before);
    Daemon daemon;
    const std::string line =
        another ? "FATAL: another pelmor-helper is running (pid " +
                      std::to_string(first->namespace_pid()) + ")"
                : "WARN: pid file /var/run/pelmor-helper.pid: Too many levels of symbolic links "
                  "(os error 40); the log rotation cannot signal this daemon";
    EXPECT_EQ(daemon.find_line(line.substr(0, 5)), logged(line));
    EXPECT_EQ(call_as(kUser, Ping{}), R"("Pong")");
    EXPECT_FALSE(fs::exists("/var/run/elsewhere"));
    if (!another) continue;
    EXPECT_EQ(daemon.wait_exit(), 1);
    EXPECT_EQ(read_file(kPidPath), std::to_string(first->namespace_pid()) + "\n");
    struct stat pid_file {};
    EXPECT_EQ(stat(kPidPath, &pid_file) == 0 ? pid_file.st_mode & 07777 : 0, 0644u);
    struct stat socket_after {};
    ASSERT_EQ(stat(kSocketPath, &socket_after), 0);
    EXPECT_EQ(socket_after.st_ino, socket_before.st_ino);  // and the first answered on it
  }
}

// Four users who left the console hold every place there is: the one there now is served, and
// their connections end.
TEST_F(LifecycleTest, UsersWhoLeftTheConsoleLockNobodyOut) {
  constexpr uid_t kFormer[] = {2001, 2002, 2003, 2004};
  constexpr uid_t kNow = 2005;
  for (const bool in_turn : {true, false}) {
    SCOPED_TRACE(in_turn ? "each owned the console in turn" : "all, while nobody owned it");
    reset_environment();
    Daemon daemon;
    Turn start[4], opened[4], done;
    std::string served;
    const Lines seen = as_users(
        std::vector<uid_t>(std::begin(kFormer), std::end(kFormer)),
        [&] {
          const std::size_t k = getuid() - kFormer[0];
          start[k].wait();
          const auto fds = connect_raw(64);
          opened[k].signal();
          done.wait();
          return std::to_string(ended(fds));
        },
        [&] {
          for (std::size_t k = 0; k < 4; ++k) {
            set_console_owner(in_turn ? std::optional(kFormer[k]) : std::nullopt);
            start[k].signal();
            opened[k].wait();
            // Admitted, all of them, before the console changes hands again.
            const std::string admitted = "connection from uid=" + std::to_string(kFormer[k]) + " ";
            EXPECT_TRUE(eventually([&] { return daemon.starting(admitted).size() == 64; }));
          }
          set_console_owner(kNow);
          served = call_as(kNow, Ping{});
          for (int k = 0; k < 4; ++k)
            done.signal();
        });
    EXPECT_EQ(served, R"("Pong")");
    EXPECT_EQ(seen, Lines(4, "64"));
    EXPECT_EQ(sum_after(daemon.lines(), "closed "), 256);
  }
}

}  // namespace
}  // namespace e2e
