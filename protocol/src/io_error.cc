#include "helper_ipc/io_error.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace helper_ipc {

namespace {

// strerror_r comes in two shapes: the XSI one returns an int and fills the buffer, the GNU one
// returns the text (which may or may not be the buffer). Overloading on the return type takes
// whichever this C library has.
[[maybe_unused]] const char* pick_text(int rc, const char* buf) {
  return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* pick_text(const char* text, const char*) {
  return text;
}

}  // namespace

std::string os_error_text(int code) {
  char buf[256] = {};
  const char* text = pick_text(strerror_r(code, buf, sizeof buf), buf);
  std::string out =
      text != nullptr && *text != '\0' ? text : "Unknown error " + std::to_string(code);
  out += " (os error ";
  out += std::to_string(code);
  out += ')';
  return out;
}

IoError IoError::from_errno(int code) {
  return IoError(IoErrorKind::Os, code, {});
}
IoError IoError::last_os_error() {
  return from_errno(errno);
}
IoError IoError::invalid_data(std::string message) {
  return IoError(IoErrorKind::InvalidData, 0, std::move(message));
}
IoError IoError::invalid_input(std::string message) {
  return IoError(IoErrorKind::InvalidInput, 0, std::move(message));
}
IoError IoError::unexpected_eof() {
  return IoError(IoErrorKind::UnexpectedEof, 0, "failed to fill whole buffer");
}
IoError IoError::write_zero(std::string message) {
  return IoError(IoErrorKind::WriteZero, 0, std::move(message));
}

IoError IoError::timed_out() {
  return IoError(IoErrorKind::TimedOut, 0, "timed out");
}

std::string IoError::text() const {
  return kind_ == IoErrorKind::Os ? os_error_text(code_) : message_;
}

}  // namespace helper_ipc
