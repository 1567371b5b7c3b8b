// The daemon's log: one line per event on standard output, "[pelmor-helper] " and the message.
#pragma once

#include <string_view>

namespace pelmor {

// Thrown on a thread whose log line could not be written, after the diagnostic
// "failed printing to stdout: {}" went to standard error. It stops that thread only: the connection
// thread's entry catches it and ends the connection; on the main thread the process exits with
// status 101. It never crosses a thread boundary.
struct ThreadStop {};

// Writes "[pelmor-helper] {message}\n" as one write under the process-wide log lock, so that lines
// of different threads never mix. A closed standard output drops the line silently.
void log_line(std::string_view message);

}  // namespace pelmor
