#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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
using helper_ipc::UniqueFd;

namespace {

// The harness's files, in the sandbox's folder, which reset_environment() spares.
const fs::path kStandInState = pelmor_sandbox::kStandInState;
const fs::path kLogs = fs::path(pelmor_sandbox::kFolder) / "e2e-logs";

std::optional<pelmor_sandbox::Sandbox> sandbox;

void write_file(const fs::path& path, std::string_view data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::optional<std::string> enter() {
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

// A field of /proc/PID/status as text ("NSpid", "Threads"); empty when there is none.
std::string status_field(pid_t pid, std::string_view field) {
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(std::string(field) + ":", 0) == 0) return line.substr(field.size() + 1);
  }
  return {};
}

}  // namespace

const std::optional<std::string>& unavailable() {
  static const std::optional<std::string> reason = enter();
  return reason;
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
  if (auto st = pelmor_sandbox::set_console_owner(uid); !st) ADD_FAILURE() << st.error();
}

void StandIn::answer(std::string_view out, std::string_view err, int status) const {
  write_file(kStandInState / name / "out", out);
  write_file(kStandInState / name / "err", err);
  write_file(kStandInState / name / "status", std::to_string(status));
}

void StandIn::delay(std::string_view seconds) const {
  write_file(kStandInState / name / "delay", seconds);
}

void StandIn::print_without_end() const {
  fs::remove(kStandInState / name / "out");
  fs::create_symlink("/dev/zero", kStandInState / name / "out");
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
    const std::string kind = file.substr(dot + 1), data = read_file(entry.path());
    if (kind == "input") call.input = data;
    call.ended = call.ended || kind == "ended";
    if (kind != "args") continue;
    std::istringstream args(data);
    for (std::string arg; std::getline(args, arg, '\0');)
      call.args.push_back(arg);
  }
  std::vector<Call> out;
  for (auto& [pid, call] : by_pid)
    out.push_back(std::move(call));
  return out;
}

Daemon::Daemon() {
  static int serial = 0;
  log_path_ = (kLogs / ("daemon." + std::to_string(++serial) + ".out")).string();
  out_ =
      UniqueFd(open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600));
  auto started = sandbox->start(pelmor_sandbox::launchd_daemon(PELMOR_HELPER_BINARY, out_.get()));
  if (!started) {
    ADD_FAILURE() << started.error();
    return;
  }
  pid_ = *started;
  // The last pid of NSpid is the one in the daemon's own namespace.
  const std::string ns_pids = status_field(pid_, "NSpid");
  namespace_pid_ = std::atoi(ns_pids.substr(ns_pids.find_last_of(" \t") + 1).c_str());
  // Ready once it listens, or has ended.
  (void)pelmor_sandbox::await_listening(pid_, log_path_, 10s);
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

Lines Daemon::lines(std::size_t count, std::chrono::milliseconds patience) {
  Lines out;
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

Lines Daemon::starting(std::string_view message) {
  return e2e::starting(lines(), message);
}

std::optional<std::string> Daemon::find_line(std::string_view message,
                                             std::chrono::milliseconds patience) {
  Lines found;
  eventually([&] { return !(found = starting(message)).empty(); }, patience);
  return found.empty() ? std::nullopt : std::optional(found.front());
}

std::string Daemon::diagnostics() {
  std::string text;
  for (const std::string& line : lines())
    text += line.starts_with(logged("")) ? "" : line + "\n";
  return text;
}

std::optional<int> Daemon::wait_exit(std::chrono::milliseconds patience) {
  eventually(
      [this] {
        return exited_ = exited_ || (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_);
      },
      patience);
  if (!exited_ || !WIFEXITED(status_)) return std::nullopt;
  return WEXITSTATUS(status_);
}

Lines Daemon::descriptors() const {
  Lines out;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd")) {
    std::error_code ec;
    out.push_back(fs::read_symlink(entry.path(), ec).string());
  }
  return out;
}

int Daemon::children() const {
  int n = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    if (entry.path().filename().string().find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const std::string stat = read_file(entry.path() / "stat");
    std::istringstream fields(stat.substr(std::min(stat.rfind(')') + 2, stat.size())));
    std::string state;
    pid_t parent = 0;
    n += fields >> state >> parent && parent == pid_;
  }
  return n;
}

std::string logged(std::string_view message) {
  return "[pelmor-helper] " + std::string(message);
}

std::string frame(std::string_view body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 8), static_cast<char>(n)} +
         std::string(body);
}

Lines starting(const Lines& lines, std::string_view message) {
  Lines out;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
               [wanted = logged(message)](const std::string& l) { return l.starts_with(wanted); });
  return out;
}

long sum_after(const Lines& lines, std::string_view message) {
  long sum = 0;
  for (const std::string& line : starting(lines, message))
    sum += std::atol(line.c_str() + logged(message).size());
  return sum;
}

std::string as_user(uid_t uid, const std::function<std::string()>& body) {
  return as_users({uid}, body).front();
}

Lines as_users(const std::vector<uid_t>& uids, const std::function<std::string()>& body,
               const std::function<void()>& forked) {
  std::vector<std::pair<pid_t, UniqueFd>> children;
  for (const uid_t uid : uids) {
    auto pipe = pelmor_sandbox::make_pipe();
    if (!pipe) std::abort();
    const pid_t child = sandbox->fork();
    if (child == 0) {
      pipe->first.reset();
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(3);
      _exit(helper_ipc::write_all(pipe->second.get(), body()).ok() ? 0 : 4);
    }
    children.emplace_back(child, std::move(pipe->first));
  }
  if (forked) forked();
  Lines results;
  for (auto& [pid, from_child] : children) {
    std::string result = read_to_end(from_child.get(), 10min);  // until the child has exited
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      result += "\n[client process failed with status " + std::to_string(status) + "]";
    }
    results.push_back(std::move(result));
  }
  return results;
}

UniqueFd connect_raw() {
  auto client = helper_ipc::Client::connect(kSocketPath);
  return client ? UniqueFd(fcntl(client->fd(), F_DUPFD_CLOEXEC, 0)) : UniqueFd();
}

std::vector<UniqueFd> connect_raw(int n) {
  std::vector<UniqueFd> fds;
  for (int i = 0; i < n; ++i)
    fds.push_back(connect_raw());
  return fds;
}

int ended(const std::vector<UniqueFd>& fds, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  return static_cast<int>(std::count_if(fds.begin(), fds.end(), [&](const UniqueFd& fd) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return fd && read_to_end(fd.get(), std::max(left, 0ms)).find("[no end ") == std::string::npos;
  }));
}

std::string read_to_end(int fd, std::chrono::milliseconds limit, std::size_t enough) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string out;
  char buf[4096];
  while (out.size() < enough) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd readable{fd, POLLIN, 0};
    const int ready = poll(&readable, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready == -1 && errno == EINTR) continue;
    if (ready == 0) return out + "[no end within " + std::to_string(limit.count()) + " ms]";
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return out + (n == 0 ? "" : errno == ECONNRESET ? "reset" : "error");
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string ask(const helper_ipc::Request& request) {
  auto client = helper_ipc::Client::connect(kSocketPath, 20s);  // a test that hangs fails instead
  if (!client) return "connect failed: " + client.error().text;
  auto reply = client->call(request);
  return reply ? helper_ipc::encode_response(*reply) : "failed: " + reply.error().text;
}

std::string call_as(uid_t uid, const helper_ipc::Request& request) {
  return as_user(uid, [&] { return ask(request); });
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

long proc_status(pid_t pid, std::string_view field) {
  const std::string value = status_field(pid, field);
  return value.empty() ? -1 : std::atol(value.c_str());
}

double cpu_seconds(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i < 14; ++i)
    fields >> field;  // state .. cmajflt
  unsigned long long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace e2e
