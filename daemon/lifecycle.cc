#include "lifecycle.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <utility>

#include "activity.h"
#include "helper_ipc/io_error.h"
#include "helper_ipc/retry_eintr.h"
#include "helper_ipc/stream.h"
#include "helper_ipc/unique_fd.h"
#include "log.h"
#include "sys.h"

namespace pelmor::lifecycle {

using helper_ipc::IoError;
using helper_ipc::retry_eintr;
using helper_ipc::Status;
using helper_ipc::UniqueFd;

namespace {

constexpr int kExitThread = 101;

// What the signal thread, the accept loop and the stop share. Never destroyed: the process ends by
// _exit while other threads may still run.
struct Shared {
  UniqueFd wake_read;
  UniqueFd wake_write;
  std::atomic<bool> stop_asked{false};
  std::atomic<bool> ending{false};
  UniqueFd pid_file_owner;        // the locked pid file, when this process holds it; main's alone
  std::atomic<int> pid_file{-1};  // its descriptor, for every thread
};

Shared& shared() {
  static Shared* const the = new Shared;
  return *the;
}

sigset_t taken_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGHUP, SIGINT, SIGTERM})
    sigaddset(&set, signal);
  return set;
}

// Ends the process with `line` and `status`. Whichever thread comes first ends it; another one
// that comes while the line is written waits for the end.
[[noreturn]] void end_process(const std::string& line, int status) {
  if (shared().ending.exchange(true)) {
    for (;;)
      pause();
  }
  release_pid_file();
  (void)log_line(line);  // the process ends either way
  _exit(status);
}

// Kills the tools still running, before the end of the process closes their pipes, and ends it.
[[noreturn]] void cut_short(const char* why) {
  end_process(stop_line(activity().cut_short(), why), kExitCutShort);
}

void* take_signals(void*) {
  const sigset_t signals = taken_signals();
  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGHUP) {
      reopen_log();
    } else if (!shared().stop_asked.exchange(true)) {
      (void)helper_ipc::write_all(shared().wake_write.get(), "x");
    } else {
      cut_short("a second signal");
    }
  }
}

}  // namespace

void block_signals() {
  const sigset_t signals = taken_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int start_signal_thread() {
  auto wake = sys::open_pipe();
  if (!wake) {
    (void)helper_ipc::write_all(STDERR_FILENO,
                                "failed to spawn thread: " + wake.error().text() + "\n");
    _exit(kExitThread);
  }
  shared().wake_read = std::move(wake->first);
  shared().wake_write = std::move(wake->second);
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  pthread_t thread;
  if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (rc == 0) rc = pthread_create(&thread, &attr, take_signals, nullptr);
  if (rc != 0) {
    (void)helper_ipc::write_all(STDERR_FILENO,
                                "failed to spawn thread: " + IoError::from_errno(rc).text() + "\n");
    _exit(kExitThread);
  }
  pthread_attr_destroy(&attr);
  return shared().wake_read.get();
}

PidFile take_pid_file() {
  PidFile out;
  auto locked = sys::open_and_lock(kPidPath);
  const auto warn = [&](const IoError& error) {
    out.warning = std::string("WARN: pid file ") + kPidPath + ": " + error.text() +
                  "; the log rotation cannot signal this daemon";
    return out;
  };
  if (!locked) return warn(locked.error());
  const int fd = locked->fd.get();
  if (locked->held_elsewhere) {
    char text[24] = {};
    const ssize_t n = retry_eintr([&] { return pread(fd, text, sizeof text - 1, 0); });
    char* end = nullptr;
    const long pid = n > 0 ? std::strtol(text, &end, 10) : 0;
    if (pid > 0 && end != text && (*end == '\n' || *end == '\0')) out.other_pid = pid;
    out.held_elsewhere = true;
    return out;
  }
  // The mode is set too: the umask launchd gives the daemon would leave it closed to others.
  const std::string pid = std::to_string(getpid()) + "\n";
  if (retry_eintr([&] { return ftruncate(fd, 0); }) == -1 ||
      retry_eintr([&] { return pwrite(fd, pid.data(), pid.size(), 0); }) !=
          static_cast<ssize_t>(pid.size()) ||
      fchmod(fd, 0644) == -1) {
    return warn(IoError::last_os_error());
  }
  // Held, and locked, until the process ends.
  shared().pid_file_owner = std::move(locked->fd);
  shared().pid_file = fd;
  return out;
}

void release_pid_file() {
  if (const int fd = shared().pid_file.load(); fd != -1) {
    (void)retry_eintr([&] { return ftruncate(fd, 0); });
  }
}

void stop() {
  activity().begin_stop();
  if (!activity().wait_closed(std::chrono::steady_clock::now() + kDrainDeadline)) {
    cut_short("the drain deadline");
  }
  end_process(stop_line(activity().report()), 0);
}

}  // namespace pelmor::lifecycle
