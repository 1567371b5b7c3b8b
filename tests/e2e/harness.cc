#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"
#include "helper_ipc/client.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/stream.h"

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

namespace {

// The daemon's socket directory (/var/run) and the tool directories get private tmpfs mounts. The
// harness keeps its own files in a corner of the socket directory that resets spare.
const fs::path kHarness = "/var/run/pelmor-e2e";
const fs::path kStandInState = kHarness / "stand-in";
const fs::path kLogs = kHarness / "logs";

constexpr const char* kStandInScript = R"sh(#!/bin/sh
# Stand-in for a system tool: records its arguments and input, then answers as prepared.
dir=/var/run/pelmor-e2e/stand-in/${0##*/}
call=$dir/call.$$
for arg in "$@"; do printf '%s\0' "$arg"; done > "$call.args"
if [ -e "$dir/ignore-input" ]; then : > "$call.input"; else cat > "$call.input"; fi
if [ -e "$dir/delay" ]; then sleep "$(cat "$dir/delay")"; fi
if [ -e "$dir/out" ]; then cat "$dir/out"; fi
if [ -e "$dir/err" ]; then cat "$dir/err" >&2; fi
: > "$call.ended"
exit "$(cat "$dir/status" 2>/dev/null || echo 0)"
)sh";

const char* const kTools[] = {"/usr/sbin/sysctl", "/sbin/pfctl", "/sbin/ifconfig"};

std::optional<std::string> unavailable_reason = "the private namespaces were not set up";

std::string errno_text(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void write_file(const fs::path& path, std::string_view data, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  fs::permissions(path, static_cast<fs::perms>(mode));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<std::string> mount_tmpfs(const fs::path& where) {
  if (mount("tmpfs", where.c_str(), "tmpfs", 0, "mode=0755") != 0) {
    return errno_text("mount tmpfs on " + where.string());
  }
  return std::nullopt;
}

std::optional<std::string> make_device(const char* path, unsigned major_number,
                                       unsigned minor_number) {
  if (mknod(path, S_IFCHR | 0666, makedev(major_number, minor_number)) != 0 ||
      chmod(path, 0666) != 0) {
    return errno_text(std::string("mknod ") + path);
  }
  return std::nullopt;
}

std::optional<std::string> loopback_up() {
  auto socket = helper_ipc::platform::open_socket(AF_INET, SOCK_DGRAM, 0);
  if (!socket) return "socket: " + socket.error().text();
  const int fd = socket->get();
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  const bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 &&
                  (ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP),
                   ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
  std::optional<std::string> failure;
  if (!ok) failure = errno_text("bringing loopback up");
  return failure;
}

std::optional<std::string> prepare() {
  if (geteuid() != 0) return "the end-to-end suite needs root (private namespaces, uid changes)";
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
    return errno_text("unshare(CLONE_NEWNS|CLONE_NEWNET)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return errno_text("making / private");
  }
  // Directories resolved before anything is mounted over them (on Debian /var/run is /run and
  // /sbin is /usr/sbin).
  std::set<fs::path> tmpfs_dirs = {fs::canonical("/var/run"), "/dev"};
  for (const char* tool : kTools)
    tmpfs_dirs.insert(fs::canonical(fs::path(tool).parent_path()));
  for (const fs::path& dir : tmpfs_dirs) {
    if (auto failure = mount_tmpfs(dir)) return failure;
  }
  for (const char* tool : kTools)
    write_file(tool, kStandInScript, 0755);
  if (auto f = make_device("/dev/null", 1, 3)) return f;
  if (auto f = make_device("/dev/zero", 1, 5)) return f;
  if (auto f = make_device("/dev/urandom", 1, 9)) return f;
  fs::create_directories(kLogs);
  return loopback_up();
}

}  // namespace

std::optional<std::string> enter_private_namespaces() {
  unavailable_reason = prepare();
  return unavailable_reason;
}

const std::optional<std::string>& unavailable() {
  return unavailable_reason;
}

void reset_environment() {
  for (const auto& entry : fs::directory_iterator(fs::canonical("/var/run"))) {
    if (entry.path().filename() != kHarness.filename()) fs::remove_all(entry.path());
  }
  for (const char* tool : kTools)
    StandIn{fs::path(tool).filename()}.reset();
  // The stand-ins run as root; the records must be readable by whoever reads them.
  fs::permissions(kStandInState, fs::perms::all);
  set_console_owner(kUser);
}

void set_console_owner(std::optional<uid_t> uid) {
  fs::remove("/dev/console");
  if (!uid) return;
  write_file("/dev/console", "", 0600);
  if (chown("/dev/console", *uid, *uid) != 0) std::abort();
}

void StandIn::answer(std::string_view out, std::string_view err, int status) const {
  const fs::path dir = kStandInState / name;
  write_file(dir / "out", out);
  write_file(dir / "err", err);
  write_file(dir / "status", std::to_string(status));
}

void StandIn::delay(std::string_view seconds) const {
  write_file(kStandInState / name / "delay", seconds);
}

void StandIn::ignore_input() const {
  write_file(kStandInState / name / "ignore-input", "");
}

void StandIn::reset() const {
  fs::remove_all(kStandInState / name);
  fs::create_directories(kStandInState / name);
}

std::vector<StandIn::Call> StandIn::calls() const {
  std::map<long, Call> by_pid;  // runs in the order they started, near enough
  for (const auto& entry : fs::directory_iterator(kStandInState / name)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("call.", 0) != 0) continue;
    const std::size_t dot = file.find('.', 5);
    const long pid = std::stol(file.substr(5, dot - 5));
    Call& call = by_pid[pid];
    call.pid = static_cast<pid_t>(pid);
    const std::string data = read_file(entry.path());
    if (file.substr(dot + 1) == "input") {
      call.input = data;
      continue;
    }
    if (file.substr(dot + 1) == "ended") {
      call.ended = true;
      continue;
    }
    for (std::size_t start = 0; start < data.size();) {
      const std::size_t end = data.find('\0', start);
      call.args.push_back(data.substr(start, end - start));
      start = end + 1;
    }
  }
  std::vector<Call> out;
  for (auto& [pid, call] : by_pid)
    out.push_back(std::move(call));
  return out;
}

Daemon::Daemon(Stderr stderr_to) {
  static int serial = 0;
  const fs::path out = kLogs / ("daemon." + std::to_string(++serial) + ".out");
  const fs::path err = kLogs / ("daemon." + std::to_string(serial) + ".err");
  log_path_ = out.string();
  out_ = helper_ipc::UniqueFd(open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  err_ =
      stderr_to == Stderr::WithLog
          ? helper_ipc::UniqueFd(fcntl(out_.get(), F_DUPFD_CLOEXEC, 0))
          : helper_ipc::UniqueFd(open(err.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err_.get(), 2);
  char* argv[] = {const_cast<char*>(PELMOR_HELPER_BINARY), nullptr};
  const int rc = posix_spawn(&pid_, PELMOR_HELPER_BINARY, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    ADD_FAILURE() << "cannot start " << PELMOR_HELPER_BINARY << ": " << std::strerror(rc);
    return;
  }
  // Ready once it listens, or has given up.
  eventually([this] {
    const std::string text = read_file("/proc/self/fd/" + std::to_string(out_.get()));
    return text.find("] listening on ") != std::string::npos ||
           text.find("] FATAL: ") != std::string::npos || wait_exit(std::chrono::milliseconds(0));
  });
}

Daemon::~Daemon() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  // A sanitizer's report in a sanitized build fails the test, wherever it happened.
  if (const std::string text = diagnostics(); text.find("Sanitizer") != std::string::npos ||
                                              text.find("runtime error:") != std::string::npos) {
    ADD_FAILURE() << "the daemon's standard error:\n" << text;
  }
}

std::vector<std::string> Daemon::lines(std::size_t count, std::chrono::milliseconds patience) {
  std::vector<std::string> out;
  eventually(
      [&] {
        out.clear();
        std::istringstream text(read_file("/proc/self/fd/" + std::to_string(out_.get())));
        for (std::string line; std::getline(text, line);) {
          if (!text.eof()) out.push_back(line);  // complete lines only
        }
        return out.size() >= count;
      },
      patience);
  return out;
}

std::optional<std::string> Daemon::find_line(std::string_view prefix,
                                             std::chrono::milliseconds patience) {
  const std::string wanted = "[pelmor-helper] " + std::string(prefix);
  std::optional<std::string> found;
  eventually(
      [&] {
        for (const std::string& line : lines(0, std::chrono::milliseconds(0))) {
          if (line.rfind(wanted, 0) == 0) {
            found = line;
            return true;
          }
        }
        return false;
      },
      patience);
  return found;
}

std::string Daemon::diagnostics() {
  return read_file("/proc/self/fd/" + std::to_string(err_.get()));
}

std::optional<int> Daemon::wait_status(std::chrono::milliseconds patience) {
  eventually(
      [this] {
        if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
        return exited_;
      },
      patience);
  if (!exited_) return std::nullopt;
  return status_;
}

std::optional<int> Daemon::wait_exit(std::chrono::milliseconds patience) {
  const auto status = wait_status(patience);
  if (!status || !WIFEXITED(*status)) return std::nullopt;
  return WEXITSTATUS(*status);
}

void Daemon::signal(int sig) const {
  if (pid_ > 0 && !exited_) kill(pid_, sig);
}

int Daemon::descriptor_count() const {
  int n = 0;
  for ([[maybe_unused]] const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd")) {
    ++n;
  }
  return n;
}

bool Daemon::holds_socket(ino_t inode) const {
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec).string() == wanted) return true;
  }
  return false;
}

namespace {

// The children of `parent_pid` (only the ended, unreaped ones when `zombies_only`), from /proc.
int count_children(pid_t parent_pid, bool zombies_only) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_file(entry.path() / "stat");
    const std::size_t comm_end = stat.rfind(')');
    if (comm_end == std::string::npos) continue;
    std::istringstream fields(stat.substr(comm_end + 2));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent == parent_pid && (!zombies_only || state == 'Z')) ++n;
  }
  return n;
}

}  // namespace

int Daemon::zombie_children() const {
  return count_children(pid_, true);
}

int Daemon::children() const {
  return count_children(pid_, false);
}

std::string as_user(uid_t uid, const std::function<std::string()>& body) {
  return as_users({uid}, body).front();
}

std::vector<std::string> as_users(const std::vector<uid_t>& uids,
                                  const std::function<std::string()>& body,
                                  const std::function<void()>& forked) {
  struct Child {
    pid_t pid = -1;
    helper_ipc::UniqueFd from_child;
    std::string result;
  };
  std::vector<Child> children(uids.size());
  for (std::size_t i = 0; i < uids.size(); ++i) {
    auto [from_child, to_parent] = make_pipe();
    const pid_t child = fork();
    if (child == 0) {
      from_child.reset();
      const uid_t uid = uids[i];
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(3);
      const std::string result = body();
      _exit(helper_ipc::write_all(to_parent.get(), result).ok() ? 0 : 4);
    }
    children[i].pid = child;
    children[i].from_child = std::move(from_child);
  }
  if (forked) forked();
  std::vector<std::string> results;
  for (Child& c : children) {
    if (c.pid <= 0) {
      results.push_back(std::move(c.result));
      continue;
    }
    char buf[4096];
    for (;;) {
      auto n = helper_ipc::read_some(c.from_child.get(), buf, sizeof buf);
      if (!n || *n == 0) break;
      c.result.append(buf, *n);
    }
    c.from_child.reset();
    int status = 0;
    waitpid(c.pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      c.result += "\n[client process failed with status " + std::to_string(status) + "]";
    }
    results.push_back(std::move(c.result));
  }
  return results;
}

std::pair<helper_ipc::UniqueFd, helper_ipc::UniqueFd> make_pipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) std::abort();
  return {helper_ipc::UniqueFd(ends[0]), helper_ipc::UniqueFd(ends[1])};
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void print_without_end(const StandIn& tool) {
  const fs::path out = kStandInState / tool.name / "out";
  fs::remove(out);
  fs::create_symlink("/dev/zero", out);
}

std::string reachable_folder() {
  return (kHarness / "reachable").string();
}

std::string reachable_copy(const std::string& path, const std::string& name) {
  const fs::path folder = reachable_folder();
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  const fs::path copy = folder / name;
  fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  return copy.string();
}

std::string call_as(uid_t uid, const helper_ipc::Request& request) {
  return as_user(uid, [&] {
    auto client = helper_ipc::Client::connect(kSocketPath);
    if (!client) return "connect failed: " + client.error().text;
    auto reply = client->call(request);
    return reply ? helper_ipc::encode_response(*reply) : "failed: " + reply.error().text;
  });
}

sockaddr_in port_67_on_every_address() {
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(67);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  return any;
}

long proc_status(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string wanted = std::string(field) + ":";
  for (std::string key; status >> key;) {
    if (key == wanted) {
      long value = 0;
      status >> value;
      return value;
    }
  }
  return -1;
}

}  // namespace e2e
