// pelmor-sandbox: the daemon as root in private namespaces, with stand-ins for the macOS tools, and
// a command run beside it by an ordinary user who owns the console. scripts/try-it runs it.
//
// usage: pelmor-sandbox --daemon BINARY --uid UID [--copy FILE]... [--stand-ins PATH] COMMAND...
//
// The namespace's init starts the daemon in a session of its own with its output and errors
// appended to kFolder/pelmor-helper.log (as launchd appends them to the daemon's log), waits until
// it listens, and runs COMMAND as UID, with copies of the FILEs in a folder at the head of its PATH
// and HOME a folder of its own (also its working folder when the current one is out of its
// reach). It passes SIGTERM and SIGHUP on to the command. When the command ends, the daemon is
// stopped with SIGTERM (and killed with everything else after five seconds), and pelmor-sandbox
// exits with the command's status (128 + the signal that ended it).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "helper_ipc/unique_fd.h"
#include "sandbox.h"

namespace {

namespace fs = std::filesystem;
namespace sandbox = pelmor_sandbox;

struct Arguments {
  std::string daemon;
  uid_t uid = 0;
  std::vector<std::string> copies;
  std::string stand_ins = PELMOR_SANDBOX_STAND_INS "/macos";
  std::vector<std::string> command;
};

std::optional<Arguments> parse(int argc, char** argv) {
  Arguments args;
  bool have_uid = false;
  int i = 1;
  for (; i + 1 < argc && std::string_view(argv[i]).starts_with("--"); i += 2) {
    const std::string_view flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--daemon") {
      args.daemon = value;
    } else if (flag == "--uid") {
      char* end = nullptr;
      const unsigned long uid = std::strtoul(value, &end, 10);
      have_uid = *value != '\0' && *end == '\0' && uid > 0 && uid < 0xffffffffUL;
      args.uid = static_cast<uid_t>(uid);
    } else if (flag == "--copy") {
      args.copies.emplace_back(value);
    } else if (flag == "--stand-ins") {
      args.stand_ins = value;
    } else {
      return std::nullopt;
    }
  }
  args.command.assign(argv + i, argv + argc);
  if (args.daemon.empty() || !have_uid || args.command.empty()) return std::nullopt;
  return args;
}

int exit_code(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void say(const std::string& text) {
  std::fprintf(stderr, "pelmor-sandbox: %s\n", text.c_str());
}

// Waits up to `limit` for `pid` (a child) to end; whether it did.
bool reaped_within(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (waitpid(pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// PID 1's work: the daemon, then the command; the command's exit code.
int run_inside(const Arguments& args) {
  // The namespace's own processes in /proc, for ps and kill; in a mount namespace of init's own,
  // so that the process outside, which /proc would no longer show, keeps the host's.
  if (unshare(CLONE_NEWNS) != 0 ||
      mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    say(std::string("mounting /proc: ") + std::strerror(errno));
  }
  const fs::path home = fs::path(sandbox::kFolder) / "home";
  if (mkdir(home.c_str(), 0700) != 0 || chown(home.c_str(), args.uid, args.uid) != 0) {
    say("creating " + home.string() + ": " + std::strerror(errno));
    return 2;
  }
  for (const std::string& file : args.copies) {
    if (auto copy = sandbox::reachable_copy(file, fs::path(file).filename()); !copy) {
      say(copy.error());
      return 2;
    }
  }

  const fs::path log = fs::path(sandbox::kFolder) / "pelmor-helper.log";
  const helper_ipc::UniqueFd log_fd(
      open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!log_fd) {
    say("opening " + log.string() + ": " + std::strerror(errno));
    return 2;
  }
  pid_t daemon = -1;
  auto started = sandbox::start(sandbox::launchd_daemon(args.daemon, log_fd.get()));
  if (!started) {
    say(started.error());
  } else {
    daemon = *started;
    auto listening = sandbox::await_listening(daemon, log, std::chrono::seconds(10));
    if (!listening) say(args.daemon + ": " + listening.error());
  }

  sandbox::Program user_program;
  user_program.argv = args.command;
  user_program.input = 0;
  user_program.output = 1;
  user_program.errors = 2;
  user_program.user = args.uid;
  user_program.home = home.string();
  const char* path = std::getenv("PATH");
  user_program.environment = {"PATH=" + sandbox::reachable_folder().string() + ":" +
                              (path ? path : "/usr/bin:/bin")};
  auto command = sandbox::start(user_program);
  int status = 127 << 8;
  if (!command) {
    say(command.error());
  } else {
    status = sandbox::supervise(*command, [&](pid_t pid, int ended) {
      if (pid != daemon) return;
      say(args.daemon + " ended: " + sandbox::describe_status(ended));
      daemon = -1;
    });
  }
  if (daemon > 0) {
    kill(daemon, SIGTERM);
    if (!reaped_within(daemon, std::chrono::seconds(5))) say(args.daemon + " killed after SIGTERM");
  }
  return exit_code(status);
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Arguments> args = parse(argc, argv);
  if (!args) {
    std::fprintf(stderr,
                 "usage: pelmor-sandbox --daemon BINARY --uid UID [--copy FILE]... "
                 "[--stand-ins PATH] COMMAND [ARG...]\n");
    return 2;
  }
  if (geteuid() != 0) {
    say("needs root for its private namespaces");
    return 2;
  }
  auto entered = sandbox::Sandbox::enter({.console_owner = args->uid,
                                          .stand_ins = args->stand_ins,
                                          .init = [&] { return run_inside(*args); }});
  if (!entered) {
    say(entered.error());
    return 2;
  }
  return exit_code(entered->wait());
}
