// The tool runner: run_tool of a program that exits at once, against the least that running it
// takes (posix_spawn with the same argument vector and "/dev/null" as standard input, then
// waitpid).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <string>
#include <vector>

#include "benchmarks.h"
#include "helper_ipc/retry_eintr.h"
#include "helper_ipc/unique_fd.h"
#include "operations.h"
#include "tool_runner.h"

extern "C" {
extern char** environ;
}

namespace pelmor_bench {

namespace {

constexpr const char* kProgram = "/bin/true";

// run_tool of the program, which must report a successful exit.
std::string run_tool_once() {
  static const std::string program = kProgram;
  static const std::vector<std::string> args;
  const pelmor::ToolOutcome outcome = pelmor::run_tool(program, args);
  if (!std::holds_alternative<pelmor::SuccessfulExit>(outcome)) {
    return "run_tool did not report a successful exit of /bin/true";
  }
  return {};
}

// Returns the wait status, or -1 with the spawn's error in `error`.
int spawn_and_wait(const char* program, std::string& error) {
  posix_spawn_file_actions_t actions;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) {
    error = std::strerror(rc);
    return -1;
  }
  int rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  char* argv[] = {const_cast<char*>(program), nullptr};
  pid_t pid = -1;
  if (rc == 0) rc = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error = std::strerror(rc);
    return -1;
  }
  int status = 0;
  if (helper_ipc::retry_eintr([&] { return waitpid(pid, &status, 0); }) == -1) {
    error = std::strerror(errno);
    return -1;
  }
  return status;
}

// The bare spawn of the program, which must exit with status 0.
std::string spawn_once() {
  std::string error;
  if (spawn_and_wait(kProgram, error) != 0) {
    return "posix_spawn /bin/true: " + (error.empty() ? "it did not exit with 0" : error);
  }
  return {};
}

}  // namespace

void register_tool_benchmarks() {
  benchmark::RegisterBenchmark("tool_run/true/posix_spawn", [](benchmark::State& state) {
    run_operation(state, spawn_once);
  })->UseRealTime();
  benchmark::RegisterBenchmark("tool_run/true/run_tool", [](benchmark::State& state) {
    run_operation(state, run_tool_once);
  })->UseRealTime();
  benchmark::RegisterBenchmark(
      "paired/tool_run/run_tool_vs_posix_spawn",
      [](benchmark::State& state) { run_paired(state, run_tool_once, spawn_once); })
      ->UseRealTime();
}

}  // namespace pelmor_bench
