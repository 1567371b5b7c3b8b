// The life of the process around the accept loop: the signals it takes on a thread of its own, the
// pid file that keeps it the only instance, and the stop that finishes the requests already read.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace pelmor::lifecycle {

// How long a stop waits for the requests already read before it cuts them short. The launchd
// definition's ExitTimeOut, after which launchd kills the daemon outright, is well above it.
inline constexpr std::chrono::seconds kDrainDeadline{10};
inline constexpr const char* kPidPath = "/var/run/pelmor-helper.pid";
// The exit status of a stop cut short (a second signal, or the drain deadline).
inline constexpr int kExitCutShort = 2;

// Blocks SIGHUP, SIGINT and SIGTERM on the calling thread; every thread started later inherits
// that. Called before any thread exists, so that only the signal thread ever takes them.
void block_signals();

// Starts the thread that takes those signals: SIGHUP reopens the log, SIGTERM or SIGINT asks for a
// stop, and a second one cuts the stop short. Returns the descriptor that becomes readable once a
// stop is asked for; the accept loop polls it. A thread that cannot be started ends the daemon
// (status 101), as a connection thread does.
int start_signal_thread();

// What took the pid file: nothing to say, another daemon (its pid, when the file holds one), or
// the warning to write once the daemon listens (the daemon serves without a pid file then).
struct PidFile {
  bool held_elsewhere = false;
  std::optional<long> other_pid;
  std::optional<std::string> warning;
};
// Opens and locks the pid file, and writes this process's pid into it, unless another process
// holds it: then the file is not changed. The lock is held until the process ends.
PidFile take_pid_file();
// Empties the pid file, so that nothing signals a pid that another process may get.
void release_pid_file();

// The stop: no request begins any more, idle connections are shut down, busy ones finish and are
// answered within kDrainDeadline; then one line, the pid file emptied, and exit status 0. Past
// the deadline the stop is cut short.
[[noreturn]] void stop();

}  // namespace pelmor::lifecycle
