#include "sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>
#include <thread>

#include "helper_ipc/retry_eintr.h"

extern char** environ;

namespace pelmor_sandbox {

namespace fs = std::filesystem;
using helper_ipc::UniqueFd;

namespace {

std::string errno_text(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

Status check(bool ok, const std::string& what) {
  if (ok) return {};
  return errno_text(what);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Status mount_tmpfs(const fs::path& where) {
  return check(mount("tmpfs", where.c_str(), "tmpfs", 0, "mode=0755") == 0,
               "mounting a tmpfs on " + where.string());
}

// A /dev of its own, so that the console can be given to anyone or taken away: the character
// devices that programs expect, and the host's terminals (`pts`, opened before /dev was covered),
// so that a shell inside keeps its own.
Status make_dev(const UniqueFd& pts) {
  struct Device {
    const char* name;
    unsigned major_number, minor_number;
  };
  static constexpr Device kDevices[] = {{"null", 1, 3},   {"zero", 1, 5},    {"full", 1, 7},
                                        {"random", 1, 8}, {"urandom", 1, 9}, {"tty", 5, 0}};
  static constexpr std::pair<const char*, const char*> kLinks[] = {{"fd", "/proc/self/fd"},
                                                                   {"stdin", "/proc/self/fd/0"},
                                                                   {"stdout", "/proc/self/fd/1"},
                                                                   {"stderr", "/proc/self/fd/2"},
                                                                   {"ptmx", "pts/ptmx"}};
  if (auto st = mount_tmpfs("/dev"); !st) return st;
  for (const Device& device : kDevices) {
    const std::string path = std::string("/dev/") + device.name;
    if (mknod(path.c_str(), S_IFCHR | 0666, makedev(device.major_number, device.minor_number)) !=
            0 ||
        chmod(path.c_str(), 0666) != 0) {
      return errno_text("mknod " + path);
    }
  }
  for (const auto& [name, target] : kLinks) {
    if (symlink(target, (std::string("/dev/") + name).c_str()) != 0) {
      return errno_text(std::string("linking /dev/") + name);
    }
  }
  if (!pts) return {};
  return check(
      mkdir("/dev/pts", 0755) == 0 && mount(("/proc/self/fd/" + std::to_string(pts.get())).c_str(),
                                            "/dev/pts", nullptr, MS_BIND, nullptr) == 0,
      "binding the host's /dev/pts");
}

Status install_stand_ins(const fs::path& stand_ins) {
  std::error_code ec;
  const bool one_for_all = !fs::is_directory(stand_ins, ec);
  for (const char* tool : kTools) {
    const fs::path name = fs::path(tool).filename();
    const fs::path source = one_for_all ? stand_ins : stand_ins / name;
    fs::copy_file(source, tool, fs::copy_options::overwrite_existing, ec);
    if (!ec) {
      fs::permissions(tool,
                      fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec,
                      ec);
    }
    if (!ec) fs::create_directories(kStandInState / name, ec);
    if (ec) return "installing " + source.string() + " as " + tool + ": " + ec.message();
  }
  return {};
}

// Everything but the PID namespace, which enter() makes last, with its init.
Status prepare(const Options& options) {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    return errno_text("unshare(CLONE_NEWNS|CLONE_NEWNET)");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return errno_text("making / private");
  }
  // Each folder is resolved before anything is mounted over one: on Debian /var/run is /run and
  // /sbin is /usr/sbin.
  std::vector<fs::path> wanted = {"/var/run"};
  if (!options.stand_ins.empty()) {
    for (const char* tool : kTools)
      wanted.push_back(fs::path(tool).parent_path());
  }
  std::set<fs::path> folders;
  for (const fs::path& folder : wanted) {
    std::error_code ec;
    folders.insert(fs::canonical(folder, ec));
    if (ec) return "resolving " + folder.string() + ": " + ec.message();
  }
  const UniqueFd pts(open("/dev/pts", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (const fs::path& folder : folders) {
    if (auto st = mount_tmpfs(folder); !st) return st;
  }
  if (auto st = make_dev(pts); !st) return st;
  std::error_code ec;
  fs::create_directories(kStandInState, ec);
  if (ec) return std::string("creating ") + kStandInState + ": " + ec.message();
  if (auto st = set_console_owner(options.console_owner); !st) return st;
  if (!options.stand_ins.empty()) {
    if (auto st = install_stand_ins(options.stand_ins); !st) return st;
  }
  return loopback_up();
}

// PID 1 of the namespace. It starts its work once the entering process has written the byte that
// says it is done with /proc (`work` may mount the namespace's own there), and it ends with that
// process: by the parent-death signal, or at once when that process ended before the signal was
// set, which shows as the end of `parent_gone`'s stream (that process holds the only other writer).
[[noreturn]] void run_init(const std::function<int()>& work, UniqueFd& parent_gone,
                           UniqueFd& alive) {
  alive.reset();
  char ready;
  pollfd gone{parent_gone.get(), POLLIN, 0};
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || read(parent_gone.get(), &ready, 1) != 1 ||
      poll(&gone, 1, 0) != 0) {
    _exit(1);
  }
  _exit(work ? work() : supervise(-1));
}

}  // namespace

Status loopback_up() {
  const UniqueFd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = socket_fd && ioctl(socket_fd.get(), SIOCGIFFLAGS, &request) == 0;
  if (ok) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ioctl(socket_fd.get(), SIOCSIFFLAGS, &request) == 0;
  }
  return check(ok, "bringing the loopback interface up");
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  }
  return "wait status " + std::to_string(status);
}

Result<Sandbox> Sandbox::enter(const Options& options) {
  UniqueFd own_pids(open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC));
  if (!own_pids) return errno_text("opening /proc/self/ns/pid");
  if (auto st = prepare(options); !st) return std::move(st).error();
  auto pipe = make_pipe();
  if (!pipe) return std::move(pipe).error();
  auto& [parent_gone, alive] = *pipe;

  if (unshare(CLONE_NEWPID) != 0) return errno_text("unshare(CLONE_NEWPID)");
  const pid_t init = ::fork();
  if (init == 0) run_init(options.init, parent_gone, alive);
  // This process keeps making its children in its own PID namespace: its threads must share it.
  // fork() and start() make theirs in the sandbox's.
  UniqueFd sandbox_pids(open("/proc/self/ns/pid_for_children", O_RDONLY | O_CLOEXEC));
  std::optional<std::string> failure;
  if (init == -1) failure = errno_text("fork");
  if (!failure && !sandbox_pids) failure = errno_text("opening /proc/self/ns/pid_for_children");
  if (setns(own_pids.get(), CLONE_NEWPID) != 0 && !failure) {
    failure = errno_text("returning to this process's PID namespace");
  }
  if (!failure && write(alive.get(), "", 1) != 1) failure = errno_text("starting init");
  if (!failure)
    return Sandbox(std::move(own_pids), std::move(sandbox_pids), std::move(alive), init);
  if (init > 0) {
    kill(init, SIGKILL);
    helper_ipc::retry_eintr([&] { return waitpid(init, nullptr, 0); });
  }
  return *failure;
}

Sandbox::Sandbox(UniqueFd own_pids, UniqueFd sandbox_pids, UniqueFd alive, pid_t init)
    : own_pids_(std::move(own_pids)),
      sandbox_pids_(std::move(sandbox_pids)),
      alive_(std::move(alive)),
      init_(init),
      owner_(getpid()) {}

Sandbox::Sandbox(Sandbox&& other) noexcept
    : own_pids_(std::move(other.own_pids_)),
      sandbox_pids_(std::move(other.sandbox_pids_)),
      alive_(std::move(other.alive_)),
      init_(std::exchange(other.init_, -1)),
      owner_(other.owner_) {}

Sandbox::~Sandbox() {
  if (init_ <= 0 || getpid() != owner_) return;
  kill(init_, SIGKILL);
  helper_ipc::retry_eintr([&] { return waitpid(init_, nullptr, 0); });
}

pid_t Sandbox::fork() const {
  if (setns(sandbox_pids_.get(), CLONE_NEWPID) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid != 0) {
    const int fork_errno = errno;
    (void)setns(own_pids_.get(), CLONE_NEWPID);  // back where it came from: cannot fail
    errno = fork_errno;
  }
  return pid;
}

Result<pid_t> Sandbox::start(const Program& program) const {
  if (setns(sandbox_pids_.get(), CLONE_NEWPID) != 0) {
    return errno_text("entering the sandbox's PID namespace");
  }
  Result<pid_t> started = pelmor_sandbox::start(program);
  (void)setns(own_pids_.get(), CLONE_NEWPID);
  return started;
}

int Sandbox::wait() {
  return supervise(std::exchange(init_, -1));
}

Program launchd_daemon(std::string path, int log) {
  Program program;
  program.argv = {std::move(path)};
  program.output = program.errors = log;
  program.own_session = true;
  program.open_files = 256;
  return program;
}

Result<pid_t> start(const Program& program) {
  if (program.argv.empty()) return std::string("no program to start");
  // Everything the child needs is made before the fork: the caller may have other threads, so
  // the child makes only async-signal-safe calls until it runs the program.
  std::vector<std::string> environment;
  std::vector<std::string> settings = program.environment;
  if (!program.home.empty()) settings.push_back("HOME=" + program.home);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view name(*entry, std::strcspn(*entry, "="));
    bool replaced = false;
    for (const std::string& setting : settings)
      replaced = replaced || setting.starts_with(std::string(name) + "=");
    if (!replaced) environment.emplace_back(*entry);
  }
  environment.insert(environment.end(), settings.begin(), settings.end());
  std::vector<char*> argv, envp;
  for (const std::string& arg : program.argv)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  for (std::string& entry : environment)
    envp.push_back(entry.data());
  envp.push_back(nullptr);

  UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!null) return errno_text("opening /dev/null");
  rlimit open_files{};
  if (program.open_files != 0) {
    if (getrlimit(RLIMIT_NOFILE, &open_files) != 0) return errno_text("getrlimit");
    open_files.rlim_cur = std::min(program.open_files, open_files.rlim_max);
  }
  const int streams[3] = {program.input < 0 ? null.get() : program.input,
                          program.output < 0 ? null.get() : program.output,
                          program.errors < 0 ? null.get() : program.errors};
  // The child reports a failure before the program runs here; the pipe closes unread on success.
  auto pipe = make_pipe();
  if (!pipe) return std::move(pipe).error();
  auto& [failed, report] = *pipe;
  const pid_t pid = ::fork();
  if (pid == -1) return errno_text("fork");
  if (pid == 0) {
    failed.reset();
    sigset_t none;
    sigemptyset(&none);
    const bool ready =
        sigprocmask(SIG_SETMASK, &none, nullptr) == 0 && (!program.own_session || setsid() != -1) &&
        (program.open_files == 0 || setrlimit(RLIMIT_NOFILE, &open_files) == 0) &&
        dup2(streams[0], 0) != -1 && dup2(streams[1], 1) != -1 && dup2(streams[2], 2) != -1 &&
        (!program.user || (setgroups(0, nullptr) == 0 && setgid(*program.user) == 0 &&
                           setuid(*program.user) == 0)) &&
        (program.home.empty() || access(".", X_OK) == 0 || chdir(program.home.c_str()) == 0);
    if (ready) {
      environ = envp.data();  // the PATH that execvp searches
      execvp(argv[0], argv.data());
    }
    const int error = errno;
    (void)!write(report.get(), &error, sizeof error);
    _exit(127);
  }
  report.reset();
  int error = 0;
  const int failure = failed.get();
  if (helper_ipc::retry_eintr([&] { return read(failure, &error, sizeof error); }) <= 0) {
    return pid;
  }
  helper_ipc::retry_eintr([&] { return waitpid(pid, nullptr, 0); });
  errno = error;
  return errno_text("starting " + program.argv[0]);
}

Status set_console_owner(std::optional<uid_t> uid) {
  if (unlink("/dev/console") != 0 && errno != ENOENT) return errno_text("removing /dev/console");
  if (!uid) return {};
  const UniqueFd console(open("/dev/console", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  return check(console && fchown(console.get(), *uid, *uid) == 0,
               "making /dev/console for uid " + std::to_string(*uid));
}

fs::path reachable_folder() {
  return fs::path(kFolder) / "bin";
}

Result<fs::path> reachable_copy(const fs::path& file, const std::string& name) {
  constexpr fs::perms kReadable = fs::perms::owner_all | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read |
                                  fs::perms::others_exec;
  const fs::path copy = reachable_folder() / name;
  std::error_code ec;
  fs::create_directories(reachable_folder(), ec);
  if (!ec) fs::permissions(reachable_folder(), kReadable, ec);
  if (!ec) fs::copy_file(file, copy, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::permissions(copy, kReadable, ec);
  if (ec) return "copying " + file.string() + " to " + copy.string() + ": " + ec.message();
  return copy;
}

Status await_listening(pid_t daemon, const fs::path& log, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const std::string text = read_file(log);
    if (text.find("] listening on ") != std::string::npos) return {};
    siginfo_t ended{};
    if (waitid(P_PID, static_cast<id_t>(daemon), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        ended.si_pid == daemon) {
      const std::string how = ended.si_code == CLD_EXITED ? "exit status " : "signal ";
      return "it ended (" + how + std::to_string(ended.si_status) +
             ") before it listened; its log:\n" + text;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return "it did not listen within " + std::to_string(limit.count()) + " ms; its log:\n" + text;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int supervise(pid_t main, const std::function<void(pid_t, int)>& ended) {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGCHLD, SIGTERM, SIGHUP, SIGINT, SIGQUIT})
    sigaddset(&signals, signal);
  // Blocked, they wait for sigwaitinfo; blocked, they also reach PID 1, which drops a signal that
  // it has no handler for. They stay blocked afterwards: a pending SIGINT must not end the caller.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  for (;;) {
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
      if (pid == main) return status;
      if (ended) ended(pid, status);
    }
    siginfo_t info;
    const int signal = sigwaitinfo(&signals, &info);
    if ((signal == SIGTERM || signal == SIGHUP) && main > 0) kill(main, signal);
  }
}

Result<std::pair<UniqueFd, UniqueFd>> make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return errno_text("pipe2");
  return std::pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace pelmor_sandbox
