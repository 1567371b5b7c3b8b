// The daemon's log: one line per event on standard output, "[pelmor-helper] " and the message.
#pragma once

#include <string_view>

namespace pelmor {

// Writes "[pelmor-helper] {message}\n" as one write under the process-wide log lock, so that lines
// of different threads never mix. A closed standard output drops the line silently. False when
// the line could not be written, after the diagnostic "failed printing to stdout: {}" went to
// standard error: each caller decides what that costs (a connection's thread ends its connection,
// the accept loop closes the connection the line was about, the main thread ends the daemon).
[[nodiscard]] bool log_line(std::string_view message);

}  // namespace pelmor
