// Blocking byte streams over a descriptor: the buffered reader and writer of a connection, and
// the unbuffered helpers beneath them. Reads and writes interrupted by a signal are repeated and
// never reported. None of these own the descriptor they use.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "helper_ipc/result.h"

namespace helper_ipc {

// The capacity of a connection's reader and writer.
inline constexpr std::size_t kStreamBufferSize = 8192;

// One read(); 0 means end of stream.
Result<std::size_t> read_some(int fd, char* out, std::size_t n);
// One write(); may write fewer bytes than given.
Result<std::size_t> write_some(int fd, std::string_view data);
// One send() on a socket: a peer that has gone away gives EPIPE, never SIGPIPE.
Result<std::size_t> send_some(int fd, std::string_view data);
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

  int fd() const noexcept { return fd_; }
  std::size_t buffered() const noexcept { return filled_ - pos_; }

 private:
  int fd_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buf_;
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
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

  int fd() const noexcept { return fd_; }
  std::size_t buffered() const noexcept { return len_; }

 private:
  int fd_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buf_;
  std::size_t len_ = 0;
};

}  // namespace helper_ipc
