// The tool runner against small shell scripts in a temporary directory: outcomes, large outputs,
// input delivery, a tool that stops reading, and what the tool inherits (reported by fd_probe).
#include "tool_runner.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "../protocol/failing_allocator.h"
#include "gtest/gtest.h"
#include "helper_ipc/stream.h"
#include "helper_ipc/unique_fd.h"

namespace pelmor {
namespace {

using helper_ipc::IoErrorKind;
using helper_ipc::UniqueFd;

constexpr std::size_t kMiB = 1024 * 1024;

// The pid that a tool wrote to `path`.
pid_t pid_in(const std::string& path) {
  pid_t pid = -1;
  std::ifstream(path) >> pid;
  return pid;
}

std::string failure_text(const ToolOutcome& outcome) {
  const auto* failure = std::get_if<RunFailure>(&outcome);
  return failure != nullptr ? failure->error.text() : "(no run failure)";
}

// `n` bytes counting from 0 to 250 over and over: NUL bytes and no final line break.
std::string pattern(std::size_t n) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<char>(i % 251);
  return out;
}

class ToolRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/pelmor-tools-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes an executable /bin/sh script and returns its absolute path.
  std::string script(const std::string& body) {
    const std::string path = dir_ + "/tool";
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
    EXPECT_TRUE(fd.valid());
    EXPECT_TRUE(helper_ipc::write_all(fd.get(), "#!/bin/sh\n" + body + "\n").ok());
    return path;
  }

  std::string dir_;
};

// How the tool ended and what it printed, each stream whole (NUL bytes included). The reply made
// of an outcome is operations_test.cc's.
TEST_F(ToolRunnerTest, ClassifiesTheExitAndCapturesBothStreams) {
  const struct {
    std::string body;
    int exit_code;  // or -signal
    std::string out, err;
  } rows[] = {
      {"printf 'a\\000b'; printf 'e\\000' >&2", 0, std::string("a\0b", 3), std::string("e\0", 2)},
      {"echo out; printf ' err\\n' >&2; exit 3", 3, "out\n", " err\n"},
      {"kill -9 $$", -9, "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.body);
    const ToolOutcome outcome = run_tool(script(row.body), {});
    const auto* ok = std::get_if<SuccessfulExit>(&outcome);
    const auto* bad = std::get_if<UnsuccessfulExit>(&outcome);
    ASSERT_TRUE(ok != nullptr || bad != nullptr) << failure_text(outcome);
    EXPECT_EQ(ok != nullptr ? ok->captured.out : bad->captured.out, row.out);
    EXPECT_EQ(ok != nullptr ? ok->captured.err : bad->captured.err, row.err);
    const int st = bad != nullptr ? bad->wait_status : 0;
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st), row.exit_code);
  }
}

TEST_F(ToolRunnerTest, ReportsProgramsThatCannotStartAndRefusesNulBytes) {
  const std::string marker = dir_ + "/started";
  const std::string tool = script("touch " + marker);
  const std::string not_executable = dir_ + "/plain";
  std::ofstream(not_executable) << "data";
  const std::string nul = "nul byte found in provided data";
  const struct {
    std::string program;
    std::vector<std::string> args;
    std::string text;  // of an OS error, or of invalid input
  } rows[] = {
      {dir_ + "/absent", {}, "No such file or directory (os error 2)"},
      {not_executable, {}, "Permission denied (os error 13)"},
      {tool, {"ok", std::string("a\0b", 3)}, nul},
  };
  for (const auto& row : rows) {
    for (const bool with_input : {false, true}) {
      SCOPED_TRACE(row.text + (with_input ? " (with input)" : ""));
      const ToolOutcome outcome = with_input ? run_tool_with_input(row.program, row.args, "in")
                                             : run_tool(row.program, row.args);
      const auto* failure = std::get_if<RunFailure>(&outcome);
      ASSERT_NE(failure, nullptr);
      EXPECT_EQ(failure->error.kind(),
                row.text == nul ? IoErrorKind::InvalidInput : IoErrorKind::Os);
      EXPECT_EQ(failure->error.text(), row.text);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(marker)) << "a tool was started";
}

// More than a pipe holds on each stream before the tool reads its input (four MiB of standard error
// before anything on standard output, then both interleaved), and the input echoed after that.
TEST_F(ToolRunnerTest, CapturesLargeOutputsWholeWhileDeliveringTheInput) {
  const std::string tool = script(
      "head -c 4194304 /dev/zero | tr '\\000' e >&2\n"
      "head -c 3000000 /dev/zero | tr '\\000' o\n"
      "i=0; while [ $i -lt 1000 ]; do\n"
      "  printf %02000d $i; printf %03000d $i >&2; i=$((i+1))\n"
      "done; cat");
  std::string out(3000000, 'o'), err(4 * kMiB, 'e');
  char number[3001];
  for (int i = 0; i < 1000; ++i) {
    std::snprintf(number, sizeof number, "%02000d", i);
    out += number;
    std::snprintf(number, sizeof number, "%03000d", i);
    err += number;
  }
  const std::optional<std::string> inputs[] = {std::nullopt, "", pattern(1000),
                                               pattern(4 * kMiB + 7)};
  for (const auto& input : inputs) {
    SCOPED_TRACE(input ? std::to_string(input->size()) + " bytes of input" : "no input");
    const ToolOutcome outcome = input ? run_tool_with_input(tool, {}, *input) : run_tool(tool, {});
    ASSERT_TRUE(std::holds_alternative<SuccessfulExit>(outcome)) << failure_text(outcome);
    const Captured& captured = std::get<SuccessfulExit>(outcome).captured;
    EXPECT_TRUE(captured.out == out + input.value_or("")) << captured.out.size() << " bytes out";
    EXPECT_TRUE(captured.err == err) << captured.err.size() << " bytes of standard error";
  }
}

bool sigpipe_in(int (*query)(sigset_t*)) {
  sigset_t set;
  sigemptyset(&set);
  return query(&set) == 0 && sigismember(&set, SIGPIPE) == 1;
}
int blocked_signals(sigset_t* set) {
  return pthread_sigmask(SIG_BLOCK, nullptr, set);
}

TEST_F(ToolRunnerTest, ToolThatStopsReadingGivesBrokenPipeAndIsReaped) {
  // SIGPIPE keeps its default action here: a write that raised it undelivered would end the test.
  // So would one raised for the whole process (as macOS does for pipes) and taken by another
  // thread that does not block it, like this one.
  std::promise<void> done;
  std::thread bystander([finished = done.get_future()] { finished.wait(); });
  const std::string pid_file = dir_ + "/pid";
  const std::string tool = script("echo $$ > " + pid_file + "; echo bye >&2; exit 3");
  const ToolOutcome outcome = run_tool_with_input(tool, {}, pattern(8 * kMiB));
  done.set_value();
  bystander.join();
  EXPECT_EQ(failure_text(outcome), "Broken pipe (os error 32)");
  EXPECT_FALSE(sigpipe_in(sigpending));
  EXPECT_FALSE(sigpipe_in(blocked_signals));

  // The tool is reaped in the background. A zombie still answers kill(pid, 0); a reaped process
  // is gone (ESRCH).
  const pid_t pid = pid_in(pid_file);
  auto gone = [pid] { return kill(pid, 0) == -1 && errno == ESRCH; };
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!gone() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(gone()) << "the tool was not reaped";
}

// A run left through an exception (here: memory runs out while the output is captured) still
// ends its tool: a tool that is running is killed, and none is left unreaped.
TEST_F(ToolRunnerTest, ToolOfARunAbandonedThroughAnExceptionIsKilledAndReaped) {
  if (!failing_allocator::kInPlace) {
    GTEST_SKIP() << "ThreadSanitizer owns operator new here, so no allocation can be made to fail; "
                    "the other builds run this test";
  }
  const std::string pid_file = dir_ + "/pid";
  const std::string finished = dir_ + "/finished";
  // 1 MiB of output, then a sleep that only a kill cuts short.
  const std::string tool =
      script("echo $$ > " + pid_file + "; head -c 1048576 /dev/zero; sleep 5; : > " + finished);
  // No input, an input written whole, and one that the tool never reads: the failure comes while
  // it is still being written.
  const std::optional<std::string> inputs[] = {std::nullopt, "x\n", pattern(kMiB)};
  for (const auto& input : inputs) {
    SCOPED_TRACE(input ? std::to_string(input->size()) + " bytes of input" : "no input");
    std::filesystem::remove(pid_file);
    failing_allocator::largest = 256 * 1024;
    EXPECT_THROW((void)(input ? run_tool_with_input(tool, {}, *input) : run_tool(tool, {})),
                 std::bad_alloc);
    failing_allocator::largest = 0;
    EXPECT_FALSE(sigpipe_in(blocked_signals));

    const pid_t pid = pid_in(pid_file);
    int status = 0;
    const pid_t waited = waitpid(pid, &status, WNOHANG);
    EXPECT_EQ(waited, -1) << "the tool is still a child of ours: running or a zombie";
    EXPECT_EQ(errno, ECHILD);
    if (waited == 0) {  // left running: end it here, so that it does not outlive the test
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    EXPECT_FALSE(std::filesystem::exists(finished)) << "the tool was waited for, not killed";
  }
}

TEST_F(ToolRunnerTest, ToolInheritsOnlyItsStandardStreamsAndDefaultSignals) {
  // A descriptor that is not close-on-exec, and the signals that the daemon ignores or blocks
  // ignored and blocked: none of it may reach the tool. On macOS the spawn's close-by-default flag
  // keeps the descriptor out, on Linux a close-from action.
  UniqueFd leak(open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(leak.valid());
  sigset_t signals, saved_mask;
  sigemptyset(&signals);
  struct sigaction ignore {
  }, saved[4];
  ignore.sa_handler = SIG_IGN;
  const int kinds[] = {SIGPIPE, SIGHUP, SIGINT, SIGTERM};
  for (int i = 0; i < 4; ++i) {
    sigaddset(&signals, kinds[i]);
    sigaction(kinds[i], &ignore, &saved[i]);
  }
  pthread_sigmask(SIG_BLOCK, &signals, &saved_mask);

  for (const bool with_input : {false, true}) {
    SCOPED_TRACE(with_input ? "with input" : "without input");
    // The probe does not read its input: an empty one (a pipe closed at once) cannot race with its
    // exit into EPIPE.
    const ToolOutcome outcome =
        with_input ? run_tool_with_input(PELMOR_FD_PROBE, {}, "") : run_tool(PELMOR_FD_PROBE, {});
    const auto* ok = std::get_if<SuccessfulExit>(&outcome);
    ASSERT_NE(ok, nullptr) << failure_text(outcome);
    EXPECT_EQ(ok->captured.out,
              "fds: 0 1 2\nSIGPIPE: default, unblocked\nSIGHUP: default, unblocked\n"
              "SIGINT: default, unblocked\nSIGTERM: default, unblocked\n");
  }
  pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  for (int i = 0; i < 4; ++i)
    sigaction(kinds[i], &saved[i], nullptr);
}

}  // namespace
}  // namespace pelmor
