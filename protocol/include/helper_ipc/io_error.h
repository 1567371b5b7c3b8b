// The failure value of frame and socket operations: a kind and a display text.
#pragma once

#include <string>
#include <string_view>

namespace helper_ipc {

enum class IoErrorKind {
  Os,             // a system call failed; carries the error number
  InvalidData,    // oversized frame, undecodable body
  InvalidInput,   // an argument the system cannot take (a NUL byte in a path or argument)
  UnexpectedEof,  // the stream ended inside a frame
  WriteZero,      // the descriptor accepted no bytes
  TimedOut,       // the deadline passed before the descriptor was ready
};

class IoError {
 public:
  // An error of the operating system, from its error number.
  static IoError from_errno(int code);
  // The error of the last failed system call on this thread.
  static IoError last_os_error();
  static IoError invalid_data(std::string message);
  static IoError invalid_input(std::string message);
  // "failed to fill whole buffer"
  static IoError unexpected_eof();
  static IoError write_zero(std::string message);
  // "timed out"
  static IoError timed_out();

  IoErrorKind kind() const noexcept { return kind_; }
  // The error number of an Os error, 0 for every other kind.
  int os_code() const noexcept { return code_; }
  // The display text: "{description} (os error {number})" for Os errors, the message otherwise.
  std::string text() const;

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoError(IoErrorKind kind, int code, std::string message)
      : kind_(kind), code_(code), message_(std::move(message)) {}

  IoErrorKind kind_;
  int code_;
  std::string message_;
};

// "{description} (os error {number})", with the system's description of the number.
std::string os_error_text(int code);

}  // namespace helper_ipc
