#include "environment.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
#include <thread>

#include "helper_ipc/retry_eintr.h"
#include "helper_ipc/unique_fd.h"

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

// Our files inside the private tmpfs over the socket directory.
struct Paths {
  fs::path root;  // root-owned: the console file and the daemon's output
  fs::path sockets;
  fs::path console;
  fs::path daemon_out;
};

std::optional<std::string> make_owned_file(const fs::path& path, mode_t mode) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd || fchmod(fd.get(), mode) != 0 || fchown(fd.get(), kBenchUser, kBenchUser) != 0) {
    return errno_text("creating " + path.string());
  }
  return std::nullopt;
}

// Private mount and network namespaces; a tmpfs over the socket directory; "/dev/console" a
// regular file owned by the benchmark user.
std::optional<std::string> prepare_namespaces(Paths& paths) {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    return errno_text("unshare(CLONE_NEWNS|CLONE_NEWNET)");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return errno_text("making / private");
  }
  std::error_code ec;
  const fs::path run = fs::canonical("/var/run", ec);  // /run on Debian
  if (ec) return "resolving /var/run: " + ec.message();
  if (mount("tmpfs", run.c_str(), "tmpfs", 0, "mode=0755") != 0) {
    return errno_text("mounting tmpfs on " + run.string());
  }
  paths.root = run / "pelmor-bench";
  paths.sockets = paths.root / "sockets";
  paths.console = paths.root / "console";
  paths.daemon_out = paths.root / "daemon.out";
  if (mkdir(paths.root.c_str(), 0755) != 0 || mkdir(paths.sockets.c_str(), 0700) != 0 ||
      chown(paths.sockets.c_str(), kBenchUser, kBenchUser) != 0) {
    return errno_text("creating " + paths.sockets.string());
  }
  if (auto failure = make_owned_file(paths.console, 0600)) return failure;

  struct stat st;
  if (stat("/dev/console", &st) == 0) {
    if (mount(paths.console.c_str(), "/dev/console", nullptr, MS_BIND, nullptr) != 0) {
      return errno_text("bind-mounting a console file over /dev/console");
    }
  } else {
    // No console to cover: a private /dev with a null device and a console file.
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
      return errno_text("mounting tmpfs on /dev");
    }
    if (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0 || chmod("/dev/null", 0666) != 0) {
      return errno_text("mknod /dev/null");
    }
    if (auto failure = make_owned_file("/dev/console", 0600)) return failure;
  }
  return std::nullopt;
}

// The daemon binary, started as our child with its output in a file. It is killed if this
// process dies first.
struct Daemon {
  pid_t pid = -1;
};

std::optional<std::string> start_daemon(const Paths& paths, Daemon& daemon) {
  UniqueFd out(open(paths.daemon_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  UniqueFd null(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!out || !null) return errno_text("opening the daemon's output");
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == -1) return errno_text("fork");
  if (pid == 0) {
    // Only async-signal-safe calls until exec. The daemon's threads inherit its CPU.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(126);
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(the_server_cpu, &cpus);
    if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) _exit(126);
    if (dup2(null.get(), 0) == -1 || dup2(out.get(), 1) == -1 || dup2(out.get(), 2) == -1) {
      _exit(126);
    }
    char* argv[] = {const_cast<char*>(PELMOR_HELPER_BINARY), nullptr};
    execv(PELMOR_HELPER_BINARY, argv);
    _exit(127);
  }
  daemon.pid = pid;
  // Ready once it listens.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const std::string log = read_file(paths.daemon_out);
    if (log.find("] listening on ") != std::string::npos) return std::nullopt;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      daemon.pid = -1;
      return "the daemon (" PELMOR_HELPER_BINARY ") ended at start with status " +
             std::to_string(status) + "; its output: " + log;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return "the daemon did not listen within 10 s; its output: " + log;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Stops the daemon; says so if it had ended by itself.
void stop_daemon(Daemon& daemon) {
  if (daemon.pid <= 0) return;
  int status = 0;
  if (waitpid(daemon.pid, &status, WNOHANG) == daemon.pid) {
    std::fprintf(stderr, "pelmor_bench: the daemon had ended by itself (wait status %d)\n", status);
  } else {
    kill(daemon.pid, SIGKILL);
    helper_ipc::retry_eintr([&] { return waitpid(daemon.pid, nullptr, 0); });
  }
  daemon.pid = -1;
}

// What the daemon wrote while it was benchmarked: evidence that it served the requests, and the
// lines that report a failure (its diagnostics on standard error come into the same file).
void summarise_daemon_log(const Paths& paths) {
  std::istringstream log(read_file(paths.daemon_out));
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
  Paths paths;
  if (auto failure = prepare_namespaces(paths)) return run_without_daemon(*failure);
  Daemon daemon;
  if (auto failure = start_daemon(paths, daemon)) {
    stop_daemon(daemon);
    return run_without_daemon(*failure);
  }

  if (out_file) {
    // The benchmark user writes the results, and may not create a file where root works.
    if (auto failure = make_owned_file(*out_file, 0644)) {
      std::fprintf(stderr, "pelmor_bench: %s\n", failure->c_str());
      stop_daemon(daemon);
      return 1;
    }
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == -1) {
    std::perror("pelmor_bench: fork");
    stop_daemon(daemon);
    return 1;
  }
  if (child == 0) {
    daemon.pid = -1;  // the supervisor's to stop
    if (auto failure = drop_to_bench_user()) {
      std::fprintf(stderr, "pelmor_bench: %s\n", failure->c_str());
      _exit(1);
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // after the uid change, which clears it
    unavailable_reason.reset();
    bench_socket_dir = paths.sockets.string();
    return std::nullopt;
  }

  int status = 0;
  helper_ipc::retry_eintr([&] { return waitpid(child, &status, 0); });
  stop_daemon(daemon);
  summarise_daemon_log(paths);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  std::fprintf(stderr, "pelmor_bench: the benchmark process ended with signal %d\n",
               WTERMSIG(status));
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
