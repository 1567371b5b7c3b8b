#include "environment.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

#include "helper_ipc/retry_eintr.h"
#include "helper_ipc/unique_fd.h"
#include "sandbox.h"

namespace pelmor_bench {

namespace fs = std::filesystem;
using helper_ipc::UniqueFd;

namespace {

std::optional<std::string> unavailable_reason = "the environment was not prepared";
std::string bench_socket_dir;
bool remove_socket_dir = false;
int the_server_cpu = 0;
int the_other_cpu = -1;

// The server CPU is the last that this process may use, the other one the first.
void choose_cpus() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  int first = -1, last = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if (first < 0) first = cpu;
    last = cpu;
  }
  if (last < 0) return;
  the_server_cpu = last;
  the_other_cpu = first != last ? first : -1;
}

std::string errno_text(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The daemon's output and errors, appended to one file as launchd appends them to its log.
const fs::path kDaemonLog = fs::path(pelmor_sandbox::kFolder) / "pelmor-helper.log";

std::optional<std::string> make_owned_file(const fs::path& path, mode_t mode) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd || fchmod(fd.get(), mode) != 0 || fchown(fd.get(), kBenchUser, kBenchUser) != 0) {
    return errno_text("creating " + path.string());
  }
  return std::nullopt;
}

// Stops the daemon; says so if it had ended by itself.
void stop_daemon(pid_t daemon) {
  int status = 0;
  if (waitpid(daemon, &status, WNOHANG) == daemon) {
    std::fprintf(stderr, "pelmor_bench: the daemon had ended by itself (%s)\n",
                 pelmor_sandbox::describe_status(status).c_str());
    return;
  }
  kill(daemon, SIGKILL);
  helper_ipc::retry_eintr([&] { return waitpid(daemon, nullptr, 0); });
}

// The daemon binary in the sandbox, with all its threads on the servers' CPU (they inherit the
// CPU of the thread that starts it); its pid once it listens.
pelmor_sandbox::Result<pid_t> start_daemon(const pelmor_sandbox::Sandbox& sandbox) {
  const UniqueFd log(open(kDaemonLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!log) return errno_text("opening " + kDaemonLog.string());
  const PinnedThread pin(the_server_cpu);
  if (!pin.error().empty()) return "pinning the daemon: " + pin.error();
  // In the benchmark's session, as the baseline servers are: on Linux a session of its own is a
  // scheduling group of its own (autogroup), which changes how one CPU is shared with the client.
  pelmor_sandbox::Program program = pelmor_sandbox::launchd_daemon(PELMOR_HELPER_BINARY, log.get());
  program.own_session = false;
  auto daemon = sandbox.start(program);
  if (!daemon) return daemon;
  if (auto listening =
          pelmor_sandbox::await_listening(*daemon, kDaemonLog, std::chrono::seconds(10));
      !listening) {
    stop_daemon(*daemon);
    return "the daemon (" PELMOR_HELPER_BINARY ") " + listening.error();
  }
  return daemon;
}

// What the daemon wrote while it was benchmarked: evidence that it served the requests, and the
// lines that report a failure (its diagnostics on standard error come into the same file).
void summarise_daemon_log() {
  std::istringstream log(read_file(kDaemonLog));
  long connections = 0, requests = 0, refusals = 0, failures = 0;
  std::string failure_lines;
  for (std::string line; std::getline(log, line);) {
    constexpr std::string_view kPrefix = "[pelmor-helper] ";
    const bool logged = line.rfind(kPrefix, 0) == 0;
    const std::string_view message = logged ? std::string_view(line).substr(kPrefix.size()) : "";
    if (message.starts_with("connection from uid=")) {
      ++connections;
    } else if (message.starts_with("rejecting peer: ") || message.starts_with("rejected ")) {
      ++refusals;
    } else if (message.starts_with("request: ")) {
      ++requests;
    } else if (!message.starts_with("starting, pid=") && !message.starts_with("listening on ")) {
      if (++failures <= 5) failure_lines += "  " + line + "\n";
    }
  }
  std::fprintf(stderr,
               "daemon: %ld connections, %ld requests, %ld refusal lines, %ld other lines%s\n%s",
               connections, requests, refusals, failures, failures > 0 ? " (failures):" : "",
               failure_lines.c_str());
}

// The benchmark user, with the refused user as the saved uid: the effective uid can switch between
// the two (see AsRefusedUser), and never back to root.
std::optional<std::string> drop_to_bench_user() {
  if (setgroups(0, nullptr) != 0 || setgid(kBenchUser) != 0 ||
      setresuid(kBenchUser, kBenchUser, kRefusedUser) != 0) {
    return errno_text("dropping to uid " + std::to_string(kBenchUser));
  }
  if (getuid() != kBenchUser || geteuid() != kBenchUser || setuid(0) == 0 || seteuid(0) == 0) {
    return "the process could still become root after dropping its privileges";
  }
  return std::nullopt;
}

std::optional<std::string> make_temporary_socket_dir() {
  std::string dir = (fs::temp_directory_path() / "pelmor-bench.XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return errno_text("mkdtemp");
  bench_socket_dir = dir;
  remove_socket_dir = true;
  return std::nullopt;
}

// Runs the benchmarks without the daemon, as whoever we are.
std::optional<int> run_without_daemon(std::string reason) {
  unavailable_reason = std::move(reason);
  if (auto failure = make_temporary_socket_dir()) {
    std::fprintf(stderr, "pelmor_bench: %s\n", failure->c_str());
    return 1;
  }
  return std::nullopt;
}

}  // namespace

std::optional<int> enter(const std::optional<std::string>& out_file) {
  choose_cpus();
  if (geteuid() != 0) {
    return run_without_daemon(
        "needs root, to start the daemon in private namespaces (run scripts/bench as root)");
  }
  pelmor_sandbox::Options options;
  options.console_owner = kBenchUser;
  auto sandbox = pelmor_sandbox::Sandbox::enter(options);
  if (!sandbox) return run_without_daemon(sandbox.error());
  // The benchmark user's sockets and files, on the sandbox's tmpfs.
  const fs::path own_dir = fs::path(pelmor_sandbox::kFolder) / "bench";
  if (mkdir(own_dir.c_str(), 0700) != 0 || chown(own_dir.c_str(), kBenchUser, kBenchUser) != 0) {
    return run_without_daemon(errno_text("creating " + own_dir.string()));
  }
  auto daemon = start_daemon(*sandbox);
  if (!daemon) return run_without_daemon(daemon.error());

  if (out_file) {
    // The benchmark user writes the results, and may not create a file where root works.
    if (auto failure = make_owned_file(*out_file, 0644)) {
      std::fprintf(stderr, "pelmor_bench: %s\n", failure->c_str());
      stop_daemon(*daemon);
      return 1;
    }
  }
  std::fflush(nullptr);
  const pid_t child = sandbox->fork();
  if (child == -1) {
    std::perror("pelmor_bench: fork");
    stop_daemon(*daemon);
    return 1;
  }
  if (child == 0) {
    // It ends with the sandbox, should the supervisor end first.
    if (auto failure = drop_to_bench_user()) {
      std::fprintf(stderr, "pelmor_bench: %s\n", failure->c_str());
      _exit(1);
    }
    unavailable_reason.reset();
    bench_socket_dir = own_dir.string();
    return std::nullopt;
  }

  int status = 0;
  helper_ipc::retry_eintr([&] { return waitpid(child, &status, 0); });
  stop_daemon(*daemon);
  summarise_daemon_log();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  std::fprintf(stderr, "pelmor_bench: the benchmark process ended with %s\n",
               pelmor_sandbox::describe_status(status).c_str());
  return 1;
}

void leave() {
  if (remove_socket_dir) {
    std::error_code ec;
    fs::remove_all(bench_socket_dir, ec);
  }
}

const std::optional<std::string>& daemon_unavailable() {
  return unavailable_reason;
}

const std::string& socket_dir() {
  return bench_socket_dir;
}

int server_cpu() {
  return the_server_cpu;
}

int other_cpu() {
  return the_other_cpu;
}

AsRefusedUser::AsRefusedUser() {
  // The peer's credentials are those of the connecting socket's creator, taken at connect: the
  // effective uid.
  if (setresuid(static_cast<uid_t>(-1), kRefusedUser, static_cast<uid_t>(-1)) != 0) {
    error_ = errno_text("switching the effective uid to " + std::to_string(kRefusedUser));
    return;
  }
  switched_ = true;
}

AsRefusedUser::~AsRefusedUser() {
  if (switched_) (void)setresuid(static_cast<uid_t>(-1), kBenchUser, static_cast<uid_t>(-1));
}

PinnedThread::PinnedThread(int cpu) {
  CPU_ZERO(&saved_);
  if (cpu < 0) {
    error_ = "no such CPU";
    return;
  }
  if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) {
    error_ = errno_text("sched_getaffinity");
    return;
  }
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (sched_setaffinity(0, sizeof one, &one) != 0) {
    error_ = errno_text("sched_setaffinity");
    return;
  }
  restore_ = true;
}

PinnedThread::~PinnedThread() {
  if (restore_) sched_setaffinity(0, sizeof saved_, &saved_);
}

}  // namespace pelmor_bench
