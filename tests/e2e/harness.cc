#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"
#include "helper_ipc/client.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/stream.h"

namespace e2e {

namespace fs = std::filesystem;

namespace {

// The harness's files, in the sandbox's folder, which reset_environment() spares.
const fs::path kStandInState = pelmor_sandbox::kStandInState;
const fs::path kLogs = fs::path(pelmor_sandbox::kFolder) / "e2e-logs";

std::optional<std::string> unavailable_reason = "the private namespaces were not set up";
std::optional<pelmor_sandbox::Sandbox> sandbox;

void write_file(const fs::path& path, std::string_view data, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  fs::permissions(path, static_cast<fs::perms>(mode));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<std::string> prepare() {
  if (geteuid() != 0) return "the end-to-end suite needs root (private namespaces, uid changes)";
  pelmor_sandbox::Options options;
  options.console_owner = kUser;
  options.stand_ins = PELMOR_SANDBOX_STAND_INS "/record";
  auto entered = pelmor_sandbox::Sandbox::enter(options);
  if (!entered) return entered.error();
  sandbox.emplace(std::move(entered).value());
  fs::create_directories(kLogs);
  return std::nullopt;
}

// The last pid of /proc/PID/status's NSpid: the process's pid in its own namespace.
pid_t namespace_pid_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("NSpid:", 0) == 0) {
      return static_cast<pid_t>(std::stol(line.substr(line.find_last_of(" \t") + 1)));
    }
  }
  return -1;
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
    if (entry.path().filename() != fs::path(pelmor_sandbox::kFolder).filename()) {
      fs::remove_all(entry.path());
    }
  }
  for (const char* tool : pelmor_sandbox::kTools)
    StandIn{fs::path(tool).filename()}.reset();
  // The stand-ins run as root; the records must be readable by whoever reads them.
  fs::permissions(kStandInState, fs::perms::all);
  set_console_owner(kUser);
}

void set_console_owner(std::optional<uid_t> uid) {
  if (auto st = pelmor_sandbox::set_console_owner(uid); !st) {
    ADD_FAILURE() << st.error();
  }
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

Daemon::Daemon(Streams streams) {
  static int serial = 0;
  const std::string name = "daemon." + std::to_string(++serial);
  log_path_ = kLogs / (name + ".out");
  const auto open_log = [](const fs::path& path) {
    return helper_ipc::UniqueFd(
        open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600));
  };
  out_ = open_log(log_path_);
  err_ = streams == Streams::Shared ? helper_ipc::UniqueFd(fcntl(out_.get(), F_DUPFD_CLOEXEC, 0))
                                    : open_log(kLogs / (name + ".err"));
  if (!sandbox) {
    ADD_FAILURE() << "no sandbox to start the daemon in";
    return;
  }
  pelmor_sandbox::Program program;
  program.argv = {PELMOR_HELPER_BINARY};
  program.output = out_.get();
  program.errors = err_.get();
  auto started = sandbox->start(program);
  if (!started) {
    ADD_FAILURE() << started.error();
    return;
  }
  pid_ = *started;
  namespace_pid_ = namespace_pid_of(pid_);
  // Ready once it listens, or has ended.
  (void)pelmor_sandbox::await_listening(pid_, log_path_, std::chrono::seconds(10));
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

bool Daemon::signal(int signal) const {
  return pid_ > 0 && !exited_ && kill(pid_, signal) == 0;
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
  const std::optional<int> status = wait_status(patience);
  if (!status || !WIFEXITED(*status)) return std::nullopt;
  return WEXITSTATUS(*status);
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
    auto pipe = pelmor_sandbox::make_pipe();
    if (!pipe) {
      children[i].result = pipe.error();
      continue;
    }
    auto& [from_child, to_parent] = *pipe;
    const pid_t child = sandbox ? sandbox->fork() : fork();
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

std::string read_to_end(int fd, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string out;
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{fd, POLLIN, 0};
    const int ready = poll(&readable, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready == -1 && errno == EINTR) continue;
    if (ready == 0) return out + "[no end within " + std::to_string(limit.count()) + " ms]";
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return out;
    if (n < 0) return out + (errno == ECONNRESET ? "reset" : "error");
    out.append(buf, static_cast<std::size_t>(n));
  }
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
