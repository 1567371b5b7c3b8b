// Runs a system tool by absolute path with an argument vector (never through a shell), captures
// its standard output and standard error, waits for it, and classifies how it ended.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "helper_ipc/io_error.h"
#include "helper_ipc/messages.h"

namespace pelmor {

// What the tool printed, each stream kept whole.
struct Captured {
  std::string out;
  std::string err;
};

// Starting the tool, feeding it its input or waiting for it failed; nothing it printed is looked
// at. `error.text()` is the OS error text ("{} (os error {})", or "nul byte found in provided
// data", or "failed to write whole buffer").
struct RunFailure {
  helper_ipc::IoError error;
};
// The tool exited with a non-zero code or was ended by a signal.
struct UnsuccessfulExit {
  Captured captured;
  int wait_status = 0;
};
// The tool exited with code 0: its raw wait status is 0.
struct SuccessfulExit {
  Captured captured;
};

using ToolOutcome = std::variant<RunFailure, UnsuccessfulExit, SuccessfulExit>;

// Runs `program` (an absolute path, also its zeroth argument) with `args`, each passed unchanged
// as one argument. Standard input is "/dev/null"; standard output and standard error are read
// together to their ends. The tool starts with SIGPIPE, SIGHUP, SIGINT and SIGTERM at their
// default actions, no signal blocked, and no descriptor of ours but its three standard streams.
// From its start until it is reaped it is registered with the daemon's activity(), which kills it
// when a stop is cut short. An argument holding a NUL starts
// nothing. The caller's descriptors 0 to 2 must be open (the daemon reopens closed ones on
// "/dev/null" at start), so that no pipe takes one of their numbers. However the run is left, an
// exception included, the tool has ended and been reaped by then: one still running is killed.
ToolOutcome run_tool(const std::string& program, const std::vector<std::string>& args);

// As run_tool, with `input` written to the tool's standard input (a pipe), which is then closed.
// The output is read while the input is written, so a tool that answers early cannot stall the
// run. If the input cannot be written whole, the outcome is a RunFailure with the write's error.
// A tool that closed its input (EPIPE) is reaped without delaying the reply; for any other reason
// the tool is killed before its input pipe closes, so that it never sees the end of an input cut
// short, and then reaped.
// Writing to a tool that closed its input raises no SIGPIPE that could end the process, so the
// caller need not ignore it, nor block it on its other threads: on macOS the input pipe does not
// raise it at all, and on Linux, which sends it to the writing thread, it is blocked there while
// the input is written and taken back afterwards.
ToolOutcome run_tool_with_input(const std::string& program, const std::vector<std::string>& args,
                                std::string_view input);

// The tool's standard error, lossily decoded and trimmed of white space. May be empty.
std::string tool_error_text(const Captured& captured);

// The standard reply: run failure -> Err(OS error text), unsuccessful exit -> Err(tool error
// text), successful exit -> Ok.
helper_ipc::Response standard_reply(const ToolOutcome& outcome);

}  // namespace pelmor
