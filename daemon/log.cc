#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>
#include <string>

#include "helper_ipc/io_error.h"
#include "helper_ipc/retry_eintr.h"
#include "helper_ipc/stream.h"
#include "sys.h"

namespace pelmor {

using helper_ipc::retry_eintr;

namespace {

struct LogFile {
  std::mutex lock;
  std::optional<std::string> path;  // of standard output at start, when a regular file
  bool with_stderr = false;         // standard error was the same file
};

// Never destroyed: the signal thread may reopen the log while the process exits.
LogFile& log_file() {
  static LogFile* const file = new LogFile;
  return *file;
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
    std::lock_guard guard(log_file().lock);
    written = helper_ipc::write_all(STDOUT_FILENO, line);
  }
  if (written.ok()) return true;
  // A closed standard output takes every line silently.
  if (written.error().os_code() == EBADF) return true;
  const std::string diagnostic = "failed printing to stdout: " + written.error().text() + "\n";
  (void)helper_ipc::write_all(STDERR_FILENO, diagnostic);
  return false;
}

void remember_log_file() {
  struct stat out {};
  struct stat err {};
  if (fstat(STDOUT_FILENO, &out) != 0 || !S_ISREG(out.st_mode)) return;
  LogFile& file = log_file();
  file.path = sys::descriptor_path(STDOUT_FILENO);
  file.with_stderr =
      fstat(STDERR_FILENO, &err) == 0 && err.st_dev == out.st_dev && err.st_ino == out.st_ino;
}

void reopen_log() {
  LogFile& file = log_file();
  if (!file.path) return;
  std::lock_guard guard(file.lock);
  helper_ipc::Status reopened = [&]() -> helper_ipc::Status {
    struct stat old {};
    if (fstat(STDOUT_FILENO, &old) != 0) return helper_ipc::IoError::last_os_error();
    auto fd = sys::open_log_file(file.path->c_str(), old);
    if (!fd) return std::move(fd).error();
    auto onto = [&](int target) { return retry_eintr([&] { return dup2(fd->get(), target); }); };
    if (onto(STDOUT_FILENO) == -1) return helper_ipc::IoError::last_os_error();
    if (file.with_stderr) (void)onto(STDERR_FILENO);  // both are open: no reason to fail here
    return {};
  }();
  if (reopened) return;
  (void)helper_ipc::write_all(
      STDOUT_FILENO, "[pelmor-helper] WARN: reopening the log " + *file.path + " failed: " +
                         reopened.error().text() + "; writing on to the file as it was\n");
}

}  // namespace pelmor
