// Where the benchmarks run. As root, the benchmark binary enters the sandbox's private mount,
// network and PID namespaces (sandbox/sandbox.h) with "/dev/console" given to the benchmark user,
// starts the daemon binary there, and then runs the benchmarks in a child process inside that has
// dropped to that user, so that the daemon admits its connections. Without root (or without
// namespaces) the benchmarks run as they are, and those that need the daemon skip.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "helper_ipc/socket_path.h"

namespace pelmor_bench {

// The user the benchmarks run as, and whom the daemon admits.
inline constexpr uid_t kBenchUser = 1000;
// A user whom the daemon refuses while the benchmark user owns the console. The benchmark process
// keeps it as its saved uid (and nothing more), so that it can connect as that user for a while.
inline constexpr uid_t kRefusedUser = 1001;

// Connects with the refused user's effective uid while it lives; the benchmark user's again
// afterwards. error() says why not, when the switch failed.
class AsRefusedUser {
 public:
  AsRefusedUser();
  ~AsRefusedUser();
  AsRefusedUser(const AsRefusedUser&) = delete;
  AsRefusedUser& operator=(const AsRefusedUser&) = delete;
  const std::string& error() const { return error_; }

 private:
  std::string error_;
  bool switched_ = false;
};

// The daemon's socket: the path that it always binds.
inline constexpr const char* kDaemonSocket = helper_ipc::kSocketPath;

// Prepares the environment and returns in the process that is to run the benchmarks; returns
// nothing there. In the supervising process (root, when the daemon could be started) it waits for
// that process, stops the daemon and returns the exit status for main to return.
// `out_file` is the --benchmark_out path, if any: it is created for the benchmark user, who could
// not create it otherwise.
std::optional<int> enter(const std::optional<std::string>& out_file);
// Removes what enter() left for the benchmark process (a temporary socket directory).
void leave();

// Why the daemon cannot be benchmarked here; nothing when it can.
const std::optional<std::string>& daemon_unavailable();

// A directory that the benchmark process may create its own sockets in.
const std::string& socket_dir();

// Where the threads run. A ping-pong between two threads costs very different amounts depending
// on whether the scheduler puts them on one CPU or on two (where every wake-up crosses CPUs), and
// it decides differently from one run to the next. So the daemon (all its threads) and the bare
// servers run on server_cpu(), and each client benchmark runs on that CPU or on other_cpu().
int server_cpu();
// Another CPU that this process may use, or -1 when it may use only one.
int other_cpu();

// Pins the calling thread to one CPU while it lives; restores the thread's CPUs afterwards.
class PinnedThread {
 public:
  explicit PinnedThread(int cpu);
  ~PinnedThread();
  PinnedThread(const PinnedThread&) = delete;
  PinnedThread& operator=(const PinnedThread&) = delete;
  // Why the thread could not be pinned, or empty.
  const std::string& error() const { return error_; }

 private:
  std::string error_;
  bool restore_ = false;
  cpu_set_t saved_;
};

}  // namespace pelmor_bench
