#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "helper_ipc/io_error.h"
#include "helper_ipc/stream.h"

namespace pelmor {

namespace {

std::mutex& log_lock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

bool log_line(std::string_view message) {
  std::string line;
  line.reserve(16 + message.size() + 1);
  line += "[pelmor-helper] ";
  line += message;
  line += '\n';
  helper_ipc::Status written;
  {
    std::lock_guard guard(log_lock());
    written = helper_ipc::write_all(STDOUT_FILENO, line);
  }
  if (written.ok()) return true;
  // A closed standard output takes every line silently.
  if (written.error().os_code() == EBADF) return true;
  const std::string diagnostic = "failed printing to stdout: " + written.error().text() + "\n";
  (void)helper_ipc::write_all(STDERR_FILENO, diagnostic);
  return false;
}

}  // namespace pelmor
