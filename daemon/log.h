// The daemon's log: one line per event on standard output, "[pelmor-helper] " and the message.
// When standard output is a regular file (under launchd, the log file), the log can be opened again
// at its path after the file was renamed, which is how the log is rotated.
#pragma once

#include <string_view>

namespace pelmor {

// Writes "[pelmor-helper] {message}\n" as one write under the process-wide log lock, so that lines
// of different threads never mix. A closed standard output drops the line silently. False when
// the line could not be written, after the diagnostic "failed printing to stdout: {}" went to
// standard error: each caller decides what that costs (a connection's thread ends its connection,
// the accept loop closes the connection the line was about, the main thread ends the daemon).
[[nodiscard]] bool log_line(std::string_view message);

// Remembers the path of standard output when it is a regular file, and whether standard error is
// the same file. Called once at start, before any other thread exists. The path is asked for now:
// by the time the log is rotated, the descriptor's path is the renamed file's.
void remember_log_file();

// Opens the remembered path again, for appending and without following a link (created, when it
// is missing, with the mode and owner of the file written until now), and puts it on standard
// output, and on standard error when that was the same file, under the log lock: every line goes
// whole to the one file or the other. A reopen that fails keeps the old file and writes one line
// there. Nothing happens when standard output was not a regular file at start.
void reopen_log();

}  // namespace pelmor
