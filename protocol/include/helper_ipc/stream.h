// Byte streams over a descriptor: the buffered reader and writer of a connection, and the
// unbuffered helpers beneath them. They block, unless a deadline bounds them: then every wait for
// the descriptor is a poll() on the time left, and running out fails with TimedOut. Reads and
// writes interrupted by a signal are repeated and never reported. None of these own the descriptor
// they use.
#pragma once

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "helper_ipc/result.h"

namespace helper_ipc {

// The capacity of a connection's reader and writer.
inline constexpr std::size_t kStreamBufferSize = 8192;

// The moment by which an operation must be done, on the monotonic clock; or none.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // No deadline: waits last as long as they must.
  Deadline() = default;
  // `limit` from now; none when `limit` is zero or less.
  static Deadline after(std::chrono::milliseconds limit) {
    Deadline d;
    if (limit.count() > 0) {
      d.limit_ = limit;
      d.at_ = Clock::now() + limit;
    }
    return d;
  }

  bool bounded() const noexcept { return limit_.count() > 0; }
  // The limit it was made with, for messages; zero when there is none.
  std::chrono::milliseconds limit() const noexcept { return limit_; }
  Clock::time_point at() const noexcept { return at_; }
  // What poll() is to wait: -1 without a deadline, else the milliseconds left rounded up (0 once
  // the deadline has passed).
  int poll_timeout() const;
  bool passed() const { return bounded() && Clock::now() >= at_; }

 private:
  std::chrono::milliseconds limit_{0};
  Clock::time_point at_{};
};

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or has ended or failed, which the next
// system call on it then reports. Fails with TimedOut once the deadline has passed; an interrupted
// wait goes on with the time left.
Status wait_ready(int fd, short events, const Deadline& deadline);

// Runs `attempt`, one system call on `fd` that gives a Result<std::size_t>, until it does not fail
// with EAGAIN, waiting for `events` on `fd` before each new try; and before the first one too when
// `wait_first` is true (a blocking call that must not block past the deadline).
template <class Attempt>
auto when_ready(int fd, short events, const Deadline& deadline, bool wait_first, Attempt&& attempt)
    -> decltype(attempt()) {
  for (bool wait = wait_first;; wait = true) {
    if (wait) {
      if (auto st = wait_ready(fd, events, deadline); !st) return std::move(st).error();
    }
    auto got = attempt();
    if (got || (got.error().os_code() != EAGAIN && got.error().os_code() != EWOULDBLOCK)) {
      return got;
    }
  }
}

// One read(); 0 means end of stream.
Result<std::size_t> read_some(int fd, char* out, std::size_t n);
// One write(); may write fewer bytes than given.
Result<std::size_t> write_some(int fd, std::string_view data);
// One send() on a socket: a peer that has gone away gives EPIPE, never SIGPIPE. `flags` are added
// to the library's own (MSG_DONTWAIT, for one).
Result<std::size_t> send_some(int fd, std::string_view data, int flags = 0);
// All of `data`, with write() or send(), repeating partial writes; a write that takes no byte
// fails with WriteZero "failed to write whole buffer".
Status write_all(int fd, std::string_view data);
Status send_all(int fd, std::string_view data);

class BufReader {
 public:
  explicit BufReader(int fd, std::size_t capacity = kStreamBufferSize);

  // Reads exactly `n` bytes. The end of the stream before that fails with UnexpectedEof
  // "failed to fill whole buffer". Bytes read ahead stay buffered for the next call.
  Status read_exact(char* out, std::size_t n);
  // When nothing is buffered, waits for the next bytes and buffers them: one read, so that the
  // caller knows that a frame has begun without a poll() first. A failure, the end of the stream
  // too, is reported by the next read_exact.
  void fill();

  // The deadline of the reads from now on (none at first): each read waits with poll() first.
  void set_deadline(const Deadline& deadline) noexcept { deadline_ = deadline; }

  int fd() const noexcept { return fd_; }
  std::size_t buffered() const noexcept { return filled_ - pos_; }

 private:
  Result<std::size_t> read_some(char* out, std::size_t n);

  int fd_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buf_;
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
  std::optional<IoError> failed_;  // by fill(), for the next read
  Deadline deadline_;
};

// A buffered writer over a connected socket (it sends, so a vanished peer is EPIPE).
class BufWriter {
 public:
  explicit BufWriter(int fd, std::size_t capacity = kStreamBufferSize);

  // Buffers `data`. What is already buffered is written out first when `data` does not fit; data
  // at least as large as the buffer goes to the descriptor directly.
  Status write_all(std::string_view data);
  // Writes out everything buffered. A write that takes no byte fails with WriteZero "failed to
  // write the buffered data"; after any failure the bytes not yet written stay buffered.
  Status flush();

  // The deadline of the writes from now on (none at first): they do not block, and wait for room
  // with poll() when the socket has none.
  void set_deadline(const Deadline& deadline) noexcept { deadline_ = deadline; }

  int fd() const noexcept { return fd_; }
  std::size_t buffered() const noexcept { return len_; }

 private:
  Result<std::size_t> send_some(std::string_view data);
  Status send_all(std::string_view data);

  int fd_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buf_;
  std::size_t len_ = 0;
  Deadline deadline_;
};

}  // namespace helper_ipc
