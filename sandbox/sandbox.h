// The daemon's world on Linux: private mount, network and PID namespaces in which it runs as on a
// Mac, for the end-to-end tests, the benchmarks and scripts/try-it (through pelmor-sandbox).
//
// Inside there are a tmpfs over /var/run (the daemon's socket and pid file, and kFolder), a tmpfs
// /dev with the usual character devices and "/dev/console" as a regular file owned by a chosen
// user (or absent), stand-ins for the system tools that the daemon runs, each folder of them a
// tmpfs, and the loopback interface up. Nothing of it is seen outside; all of it ends with the
// namespaces.
//
// The process that enters stays outside the PID namespace. Its first child there is the
// namespace's init (PID 1), which reaps every orphan and lives as long as the process that entered
// (or the Sandbox): when it ends, the kernel ends every process in the namespace. So the daemon is
// never PID 1, takes signals as on a Mac, and may end without taking the namespace with it. What
// the Sandbox starts is a child of the process that entered, inside the namespace, to be signalled
// and waited for by its pid (as this process sees it).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "helper_ipc/result.h"
#include "helper_ipc/unique_fd.h"

namespace pelmor_sandbox {

// Failures are values: what failed and why, in words.
template <class T>
using Result = helper_ipc::Result<T, std::string>;
using Status = Result<void>;

// The sandbox's own folder on the tmpfs over /var/run: root's, open to every user.
inline constexpr const char* kFolder = "/var/run/pelmor-sandbox";
// Where each stand-in keeps its state: kStandInState/<tool's name>/, empty at the start.
inline constexpr const char* kStandInState = "/var/run/pelmor-sandbox/stand-ins";
// The system tools that the daemon runs, which the stand-ins replace.
inline constexpr const char* kTools[] = {"/usr/sbin/sysctl", "/sbin/pfctl", "/sbin/ifconfig"};

struct Options {
  // The owner of "/dev/console"; nothing: there is no console.
  std::optional<uid_t> console_owner;
  // A folder with a stand-in named after each tool, or one program that stands in for them all;
  // empty: the tools stay as they are.
  std::filesystem::path stand_ins;
  // PID 1's work, done inside once the namespaces are ready; what it returns is init's exit
  // status, and its end the namespace's. Nothing: init reaps orphans until the entering process
  // ends.
  std::function<int()> init;
};

// A program to start in the namespaces.
struct Program {
  // argv[0]: a path, or a name looked up in the PATH of the program's environment.
  std::vector<std::string> argv;
  // Its standard input, output and error: the caller's descriptors, or -1 for "/dev/null".
  int input = -1, output = -1, errors = -1;
  // Its uid and gid, with no supplementary groups; root's when not given.
  std::optional<uid_t> user;
  // Its HOME, and its working folder when the caller's is out of its reach.
  std::string home;
  // NAME=VALUE entries set over the caller's environment.
  std::vector<std::string> environment;
  // A session of its own, with no controlling terminal, as a daemon has.
  bool own_session = false;
  // A soft limit on its open descriptors (within the hard one), or 0 for the caller's.
  rlim_t open_files = 0;
};

// The daemon at `path` as launchd starts it: a session of its own, its output and errors to `log`,
// and the soft limit of 256 open descriptors that a Mac gives its daemons.
Program launchd_daemon(std::string path, int log);

// Brings the loopback interface of the calling thread's network namespace up.
Status loopback_up();

// The wait status `status` in words: "exit status 1", "signal 9 (Killed)".
std::string describe_status(int status);

class Sandbox {
 public:
  // Enters the namespaces and prepares them. Once per process, before it starts a thread: a
  // private mount namespace is the calling thread's.
  static Result<Sandbox> enter(const Options& options);

  Sandbox(Sandbox&& other) noexcept;
  Sandbox& operator=(Sandbox&&) = delete;
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  // Ends init, and with it everything in the namespace, unless it has ended or was waited for.
  ~Sandbox();

  pid_t init() const { return init_; }
  // fork() into the PID namespace: 0 in the child, its pid in the parent, -1 (errno) on failure.
  pid_t fork() const;
  // Starts `program` as a child of this process in the namespaces; its pid.
  Result<pid_t> start(const Program& program) const;
  // Waits for init to end, passing SIGTERM and SIGHUP on to it; init's wait status.
  int wait();

 private:
  Sandbox(helper_ipc::UniqueFd own_pids, helper_ipc::UniqueFd sandbox_pids,
          helper_ipc::UniqueFd alive, pid_t init);

  helper_ipc::UniqueFd own_pids_;      // this process's PID namespace
  helper_ipc::UniqueFd sandbox_pids_;  // the sandbox's
  helper_ipc::UniqueFd alive_;         // open while this process lives; init checks it once
  pid_t init_ = -1;
  pid_t owner_ = -1;  // the process that entered (a forked copy of the Sandbox does nothing)
};

// Starts `program` as a child of the calling process, which is inside the namespaces (init's
// work); its pid.
Result<pid_t> start(const Program& program);

// Makes "/dev/console" a regular file owned by `uid` (mode 0600), or removes it.
Status set_console_owner(std::optional<uid_t> uid);

// A copy of `file`, named `name`, in a folder that every user may enter and read (its path): a
// program that an ordinary user runs, or what it loads, may come from a build in a folder that
// only root may enter.
Result<std::filesystem::path> reachable_copy(const std::filesystem::path& file,
                                             const std::string& name);
std::filesystem::path reachable_folder();

// Waits until `daemon`, which writes its log to `log`, says that it listens; or says why not (it
// ended, or `limit` passed), with its log. The daemon is not reaped.
Status await_listening(pid_t daemon, const std::filesystem::path& log,
                       std::chrono::milliseconds limit);

// Reaps every child of the calling process as it ends, telling `ended` of each (pid, wait
// status), and passes SIGTERM and SIGHUP on to `main`, until `main` ends: its wait status.
// Without `main` (-1) it goes on for ever. SIGINT and SIGQUIT, which a terminal sends to the whole
// foreground group, `main` among them, are taken and dropped.
int supervise(pid_t main, const std::function<void(pid_t, int)>& ended = {});

// A pipe whose ends are close-on-exec: the read end, then the write end.
Result<std::pair<helper_ipc::UniqueFd, helper_ipc::UniqueFd>> make_pipe();

}  // namespace pelmor_sandbox
