// The end-to-end harness: the real daemon binary, run as root in the sandbox's private mount,
// network and PID namespaces (sandbox/sandbox.h), with stand-ins for the system tools, a console
// owner chosen by the test, and clients that connect as ordinary users. The test process stays
// outside the PID namespace; the daemons and clients it starts are its children inside, and /proc
// shows them to it under their pids as it sees them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "helper_ipc/messages.h"
#include "helper_ipc/socket_path.h"
#include "helper_ipc/stream.h"
#include "helper_ipc/unique_fd.h"
#include "sandbox.h"

namespace e2e {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

inline constexpr const char* kSocketPath = helper_ipc::kSocketPath;
inline constexpr uid_t kUser = 1000;
inline constexpr uid_t kOtherUser = 1001;

// Why the suite cannot run here, or nothing. The first call enters the private namespaces, before
// the test process starts any thread.
const std::optional<std::string>& unavailable();

// Resets the namespace between tests: nothing in /var/run but the sandbox's folder (no socket, no
// pid file), stand-ins that exit 0 silently, and a console owned by kUser.
void reset_environment();

// "/dev/console" owned by `uid`, or absent (so that it cannot be examined).
void set_console_owner(std::optional<uid_t> uid);

// A stand-in for "/usr/sbin/sysctl", "/sbin/pfctl" or "/sbin/ifconfig" (by its name).
struct StandIn {
  std::string name;

  // What the next runs print and how they exit.
  void answer(std::string_view out, std::string_view err = {}, int status = 0) const;
  // The next runs sleep this long before answering.
  void delay(std::string_view seconds) const;
  // The next runs print zeros on standard output without end, until they are stopped.
  void print_without_end() const;
  // Forgets the answers prepared and the runs recorded.
  void reset() const;

  // One recorded run: its process, its arguments (after the program), the input it read, and
  // whether it went on to its end after reading it (it was not killed).
  struct Call {
    pid_t pid = 0;
    Lines args;
    std::string input;
    bool ended = false;
  };
  std::vector<Call> calls() const;
};

// The daemon binary, started as a child of this process in the namespaces, with its standard
// output and error on one open file, as launchd gives them when StandardOutPath and
// StandardErrorPath are one. Several may run at once. One still running at the end of the test is
// killed and reaped; a sanitizer's report on its standard error fails the test.
class Daemon {
 public:
  // Starts the daemon and waits until it listens (or ends).
  Daemon();
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Its pid as this process sees it: for signals, waits and /proc.
  pid_t pid() const { return pid_; }
  // Its pid in the namespace: the one it logs and writes to its pid file.
  pid_t namespace_pid() const { return namespace_pid_; }
  // The regular file that holds its standard output (the log), which the test may read or rename.
  const std::string& log_path() const { return log_path_; }
  // Every log line so far, without the line feed; waits until `count` lines have arrived or
  // `patience` has passed.
  Lines lines(std::size_t count = 0, std::chrono::milliseconds patience = 10s);
  // The log lines so far that start with `message` (after the prefix).
  Lines starting(std::string_view message);
  // The first log line that starts with `message`, waiting for it within `patience`.
  std::optional<std::string> find_line(std::string_view message,
                                       std::chrono::milliseconds patience = 10s);
  // Standard error so far: the lines without the log's prefix.
  std::string diagnostics();
  // Waits for the daemon to end by itself; its exit status, or nothing after `patience` (or when a
  // signal ended it).
  std::optional<int> wait_exit(std::chrono::milliseconds patience = 10s);

  // What its open descriptors are ("socket:[123]", "/dev/null", ...).
  Lines descriptors() const;
  // Its child processes, running or ended and not reaped.
  int children() const;

 private:
  pid_t pid_ = -1;
  pid_t namespace_pid_ = -1;
  std::string log_path_;
  helper_ipc::UniqueFd out_;  // the daemon's standard output and error
  bool exited_ = false;
  int status_ = 0;
};

// A log line as the daemon writes it, and a frame as the wire carries it.
std::string logged(std::string_view message);
std::string frame(std::string_view body);
// The lines among `lines` that start with `message` (after the prefix), and the sum of the numbers
// that follow `message` in them.
Lines starting(const Lines& lines, std::string_view message);
long sum_after(const Lines& lines, std::string_view message);

// Runs `body` in a child process under `uid` (and the same gid) and returns what it returned.
std::string as_user(uid_t uid, const std::function<std::string()>& body);
// The same for several users at once: one child process each, all forked from the calling thread
// before any is waited for; what each returned, in the order of `uids`. `forked`, if given, runs
// once every child is forked and before any is waited for: the place to act on the daemon while
// they run, or to start a thread that watches them (a process forked while another thread holds a
// lock, the allocator's say, can wait for it forever).
Lines as_users(const std::vector<uid_t>& uids, const std::function<std::string()>& body,
               const std::function<void()>& forked = {});

// A raw connection to the daemon, or an empty descriptor; `n` of them.
helper_ipc::UniqueFd connect_raw();
std::vector<helper_ipc::UniqueFd> connect_raw(int n);
// How many of `fds` the daemon has ended (end of input, or a reset) within `patience`.
int ended(const std::vector<helper_ipc::UniqueFd>& fds, std::chrono::milliseconds patience = 5s);
// Everything the daemon sends on `fd` until it closes the connection (or `enough` bytes have come),
// and "reset" when the close was an abort; when `limit` passes first, what came and "[no end
// within N ms]", so that a test that waits for a close which never comes fails in seconds.
std::string read_to_end(int fd, std::chrono::milliseconds limit = 5s,
                        std::size_t enough = std::string::npos);
// One request through the client library, from this process: the reply, encoded, or what failed.
std::string ask(const helper_ipc::Request& request);
// The same as the user `uid`, from a process of its own.
std::string call_as(uid_t uid, const helper_ipc::Request& request);

// A file's whole text; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// Polls `done` until it holds or `patience` has passed; whether it held.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience = 10s);

// A number from /proc/PID/status ("VmRSS" in KiB, "Threads"), or -1; the CPU time the process
// has used, user and system, in seconds.
long proc_status(pid_t pid, std::string_view field);
double cpu_seconds(pid_t pid);

// A test of the daemon in the namespaces: it skips, saying why, where they cannot be had, and
// starts from the environment reset_environment() leaves.
class NamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (unavailable()) GTEST_SKIP() << *unavailable();
    reset_environment();
  }
};

// A pipe that lets a test and a client process take turns.
struct Turn {
  std::pair<helper_ipc::UniqueFd, helper_ipc::UniqueFd> ends = [] {
    auto pipe = pelmor_sandbox::make_pipe();
    if (!pipe) std::abort();
    return std::move(pipe).value();
  }();
  void signal() { (void)helper_ipc::write_all(ends.second.get(), "x"); }
  void wait() {
    char c;
    (void)helper_ipc::read_some(ends.first.get(), &c, 1);
  }
};

}  // namespace e2e
