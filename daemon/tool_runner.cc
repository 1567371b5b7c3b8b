#include "tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "activity.h"
#include "helper_ipc/result.h"
#include "helper_ipc/retry_eintr.h"
#include "helper_ipc/unique_fd.h"
#include "sys.h"
#include "text.h"

extern "C" {
extern char** environ;
}

namespace pelmor {

using helper_ipc::IoError;
using helper_ipc::Result;
using helper_ipc::Status;
using helper_ipc::UniqueFd;

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

bool holds_nul(const std::string& text) {
  return text.find('\0') != std::string::npos;
}

// A posix_spawn file-actions or attributes object, destroyed with the scope when it was made.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
 public:
  SpawnObject() : rc_(Init(&object_)) {}
  ~SpawnObject() {
    if (rc_ == 0) Destroy(&object_);
  }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;

  int init_error() const { return rc_; }
  T* get() { return &object_; }

 private:
  T object_;
  int rc_;
};

using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                     posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

// Waits for the tool to end and returns its raw wait status. The tool is registered with the
// daemon's activity from its start, so that a stop cut short can kill it; it leaves the register
// after it has ended but before it is reaped, so that the pid killed is never one that the system
// may already have given to another process.
Result<int> reap(pid_t pid) {
  siginfo_t ended{};
  (void)helper_ipc::retry_eintr([&] { return waitid(P_PID, pid, &ended, WEXITED | WNOWAIT); });
  activity().tool_ending(pid);
  int status = 0;
  if (helper_ipc::retry_eintr([&] { return waitpid(pid, &status, 0); }) == -1) {
    return IoError::last_os_error();
  }
  return status;
}

// A started tool: its process and our ends of its pipes. `input` is set only when the tool reads
// its standard input from us. The process belongs to this object until it has been waited for or
// handed on: however the run is left, an exception included, a tool that is still running is
// killed and then reaped, so that none outlives its run or stays behind as a zombie.
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(Child&& other) noexcept
      : input(std::move(other.input)),
        out(std::move(other.out)),
        err(std::move(other.err)),
        pid_(std::exchange(other.pid_, -1)) {}
  Child& operator=(Child&&) = delete;
  Child(const Child&) = delete;
  ~Child() {
    if (pid_ <= 0) return;
    // Not waited for: the run was abandoned. The process cannot have been reaped, so the pid is
    // still this tool's, whether it runs or has ended.
    (void)::kill(pid_, SIGKILL);
    (void)reap(pid_);
  }

  // Waits for the tool to end and returns its raw wait status; the process is gone afterwards.
  Result<int> wait() { return reap(std::exchange(pid_, -1)); }
  // Ends the tool now; it is still to be waited for.
  void kill() {
    if (pid_ > 0) (void)::kill(pid_, SIGKILL);
  }
  // Hands the process over to whoever reaps it instead.
  pid_t release() { return std::exchange(pid_, -1); }

  UniqueFd input;
  UniqueFd out;
  UniqueFd err;

 private:
  pid_t pid_ = -1;
};

Status from_rc(int rc) {
  if (rc != 0) return IoError::from_errno(rc);
  return {};
}

// Starts `program` with its standard output and standard error on new pipes, and its standard
// input on a new pipe (`with_input`) or on "/dev/null". Every pipe is close-on-exec from its
// creation, so tools started by other threads at the same time inherit none of them; the child's
// ends are closed here once the tool has them.
Result<Child> start(const std::string& program, const std::vector<std::string>& args,
                    bool with_input) {
  // The vector that posix_spawn takes, over copies that we may hand out as `char*`.
  std::vector<std::string> strings;
  strings.reserve(args.size() + 1);
  strings.push_back(program);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (std::string& s : strings)
    argv.push_back(s.data());
  argv.push_back(nullptr);

  std::optional<std::pair<UniqueFd, UniqueFd>> in_pipe;
  if (with_input) {
    auto p = sys::open_pipe();
    if (!p) return std::move(p).error();
    in_pipe = std::move(p).value();
    // A tool that closes its input must not end a caller that does not ignore SIGPIPE.
    if (auto st = sys::set_pipe_nosigpipe(in_pipe->second.get()); !st) {
      return std::move(st).error();
    }
  }
  auto out_pipe = sys::open_pipe();
  if (!out_pipe) return std::move(out_pipe).error();
  auto err_pipe = sys::open_pipe();
  if (!err_pipe) return std::move(err_pipe).error();

  SpawnFileActions actions;
  if (auto st = from_rc(actions.init_error()); !st) return std::move(st).error();
  SpawnAttributes attr;
  if (auto st = from_rc(attr.init_error()); !st) return std::move(st).error();

  // Descriptors 0 to 2 of the daemon are always open, so no pipe end has one of the numbers that
  // these actions write to, and no action undoes an earlier one.
  int rc = in_pipe ? posix_spawn_file_actions_adddup2(actions.get(), in_pipe->first.get(), 0)
                   : posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions.get(), out_pipe->second.get(), 1);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions.get(), err_pipe->second.get(), 2);
  if (auto st = from_rc(rc); !st) return std::move(st).error();

  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (auto st = sys::spawn_close_other_descriptors(actions.get(), &flags); !st) {
    return std::move(st).error();
  }
  // An ignored signal survives exec (the daemon ignores SIGPIPE): the tool gets the default action
  // of every signal that the daemon does not leave at it, and starts with no signal blocked
  // whatever the calling thread blocks.
  sigset_t defaults, mask;
  sigemptyset(&defaults);
  for (const int signal : {SIGPIPE, SIGHUP, SIGINT, SIGTERM})
    sigaddset(&defaults, signal);
  sigemptyset(&mask);
  rc = posix_spawnattr_setsigdefault(attr.get(), &defaults);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attr.get(), &mask);
  if (rc == 0) rc = posix_spawnattr_setflags(attr.get(), flags);
  if (auto st = from_rc(rc); !st) return std::move(st).error();

  // Once a stop is cut short, no tool starts: one could outlive the daemon.
  if (!activity().tool_starting()) return IoError::from_errno(ECANCELED);
  pid_t pid = -1;
  rc = posix_spawn(&pid, program.c_str(), actions.get(), attr.get(), argv.data(), environ);
  activity().tool_started(rc == 0 ? pid : -1);
  if (auto st = from_rc(rc); !st) return std::move(st).error();
  Child child(pid);

  // The child's ends close as the pairs go out of scope; ours move into `child`.
  if (in_pipe) child.input = std::move(in_pipe->second);
  child.out = std::move(out_pipe->first);
  child.err = std::move(err_pipe->first);
  return child;
}

void* reaper_main(void* arg) noexcept {
  (void)reap(static_cast<pid_t>(reinterpret_cast<std::intptr_t>(arg)));
  return nullptr;
}

// Reaps the tool on a detached thread of its own, so that the reply need not wait for it; reaps
// here if no thread can be created.
void reap_in_background(pid_t pid) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) == 0) {
    pthread_t thread;
    const bool started =
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
        pthread_create(&thread, &attr, reaper_main,
                       reinterpret_cast<void*>(static_cast<std::intptr_t>(pid))) == 0;
    pthread_attr_destroy(&attr);
    if (started) return;
  }
  (void)reap(pid);
}

// Where a run broke off while its pipes were served.
struct PumpFailure {
  IoError error;
  bool writing;  // a write of the input failed (otherwise a read of the output, or poll)
};

// Serves the tool's pipes until its input is written whole and both outputs reached end of file:
// reads whatever output is ready into `captured` and writes whatever of `input` the input pipe
// takes. With `stop_after_input`, returns as soon as the input pipe is closed instead.
std::optional<PumpFailure> pump(Child& child, std::string_view& input, Captured& captured,
                                bool stop_after_input) {
  auto buffer = std::make_unique<char[]>(kReadChunk);
  while (child.input || (!stop_after_input && (child.out || child.err))) {
    std::array<pollfd, 3> fds{};
    nfds_t n = 0;
    auto watch = [&](const UniqueFd& fd, short events) {
      if (fd) fds[n++] = pollfd{fd.get(), events, 0};
    };
    watch(child.input, POLLOUT);
    watch(child.out, POLLIN);
    watch(child.err, POLLIN);
    if (::poll(fds.data(), n, -1) == -1) {
      if (errno == EINTR) continue;
      return PumpFailure{IoError::last_os_error(), false};
    }

    for (nfds_t k = 0; k < n; ++k) {
      if (fds[k].revents == 0) continue;
      const int fd = fds[k].fd;
      if (child.input && fd == child.input.get()) {
        // Ready for writing, or broken (POLLERR/POLLHUP): the write tells which.
        const ssize_t w = ::write(fd, input.data(), input.size());
        if (w == -1) {
          if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
          return PumpFailure{IoError::last_os_error(), true};
        }
        if (w == 0) return PumpFailure{IoError::write_zero("failed to write whole buffer"), true};
        input.remove_prefix(static_cast<std::size_t>(w));
        if (input.empty()) child.input.reset();  // the tool sees end of file
        continue;
      }
      UniqueFd& source = fd == child.out.get() ? child.out : child.err;
      std::string& sink = fd == child.out.get() ? captured.out : captured.err;
      const ssize_t r = ::read(fd, buffer.get(), kReadChunk);
      if (r == -1) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return PumpFailure{IoError::last_os_error(), false};
      }
      if (r == 0) {
        source.reset();
      } else {
        sink.append(buffer.get(), static_cast<std::size_t>(r));
      }
    }
  }
  return std::nullopt;
}

// Keeps SIGPIPE blocked on the calling thread while the input is written, so that a tool that
// closed its input makes the write fail with EPIPE instead of ending the process (the daemon
// ignores SIGPIPE, but a caller of the runner need not). That is enough where the system sends
// the signal to the writing thread (Linux); where it goes to the process (macOS), the input pipe
// raises none in the first place. Restores the thread's mask at the end.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
    pending_before_ = pending();
  }
  ~SigpipeBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  // After a write failed with EPIPE: takes the SIGPIPE that the write raised, if the system kept
  // it pending. One that was pending before we started is not ours and stays.
  void consume_raised() {
    if (pending_before_ || !pending()) return;
    int signal = 0;
    sigwait(&pipe_, &signal);
  }

 private:
  static bool pending() {
    sigset_t set;
    sigemptyset(&set);
    return sigpending(&set) == 0 && sigismember(&set, SIGPIPE) == 1;
  }

  sigset_t pipe_;
  sigset_t saved_;
  bool pending_before_ = false;
};

// Reads both outputs to their ends, appending to what `captured` holds already, then waits for the
// tool and classifies how it ended.
ToolOutcome finish(Child& child, Captured captured) {
  std::string_view no_input;
  std::optional<PumpFailure> failure = pump(child, no_input, captured, false);
  child.out.reset();  // after a read error the tool may write no more and end
  child.err.reset();
  auto status = child.wait();
  if (failure) return RunFailure{std::move(failure->error)};
  if (!status) return RunFailure{std::move(status).error()};
  if (*status == 0) return SuccessfulExit{std::move(captured)};
  return UnsuccessfulExit{std::move(captured), *status};
}

Status set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    return IoError::last_os_error();
  }
  return {};
}

// A NUL cannot pass through an argument vector: such an invocation starts nothing.
std::optional<RunFailure> check_invocation(const std::string& program,
                                           const std::vector<std::string>& args) {
  if (holds_nul(program) || std::any_of(args.begin(), args.end(), holds_nul)) {
    return RunFailure{IoError::invalid_input("nul byte found in provided data")};
  }
  return std::nullopt;
}

}  // namespace

ToolOutcome run_tool(const std::string& program, const std::vector<std::string>& args) {
  if (auto refused = check_invocation(program, args)) return std::move(*refused);
  auto child = start(program, args, false);
  if (!child) return RunFailure{std::move(child).error()};
  return finish(*child, {});
}

ToolOutcome run_tool_with_input(const std::string& program, const std::vector<std::string>& args,
                                std::string_view input) {
  if (auto refused = check_invocation(program, args)) return std::move(*refused);
  auto child = start(program, args, true);
  if (!child) return RunFailure{std::move(child).error()};

  // Output that arrives while the input is written is collected on the way.
  Captured captured;
  std::optional<PumpFailure> failure;
  if (input.empty()) {
    child->input.reset();  // nothing to write: the tool sees end of file at once
  } else if (auto st = set_nonblocking(child->input.get()); !st) {
    failure = PumpFailure{std::move(st).error(), true};
  } else {
    SigpipeBlock block;
    failure = pump(*child, input, captured, true);
    if (failure && failure->writing && failure->error.os_code() == EPIPE) block.consume_raised();
  }
  if (failure) {
    // A tool that closed its input has read what it wanted; it is reaped without delaying the
    // reply. Any other failure cuts the input short, and a tool that saw its end would take what
    // it got for the whole (a rule set loaded in part): it is killed before its input closes.
    const bool closed_by_tool = failure->writing && failure->error.os_code() == EPIPE;
    if (!closed_by_tool) child->kill();
    child->input.reset();
    child->out.reset();
    child->err.reset();
    if (closed_by_tool) {
      reap_in_background(child->release());
    } else {
      (void)child->wait();
    }
    return RunFailure{std::move(failure->error)};
  }
  return finish(*child, std::move(captured));
}

std::string tool_error_text(const Captured& captured) {
  return std::string(trim_white_space(decode_lossy(captured.err)));
}

helper_ipc::Response standard_reply(const ToolOutcome& outcome) {
  if (const auto* failure = std::get_if<RunFailure>(&outcome)) {
    return helper_ipc::Err{failure->error.text()};
  }
  if (const auto* bad = std::get_if<UnsuccessfulExit>(&outcome)) {
    return helper_ipc::Err{tool_error_text(bad->captured)};
  }
  return helper_ipc::Ok{};
}

}  // namespace pelmor
