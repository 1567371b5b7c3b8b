#include "helper_ipc/stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "helper_ipc/platform.h"
#include "helper_ipc/retry_eintr.h"

namespace helper_ipc {

namespace {

Result<std::size_t> transferred(ssize_t r) {
  if (r < 0) return IoError::last_os_error();
  return static_cast<std::size_t>(r);
}

template <class Some>
Status all(int fd, std::string_view data, Some some) {
  while (!data.empty()) {
    auto n = some(fd, data);
    if (!n) return std::move(n).error();
    if (*n == 0) return IoError::write_zero("failed to write whole buffer");
    data.remove_prefix(*n);
  }
  return {};
}

}  // namespace

Result<std::size_t> read_some(int fd, char* out, std::size_t n) {
  return transferred(retry_eintr([&] { return ::read(fd, out, n); }));
}

Result<std::size_t> write_some(int fd, std::string_view data) {
  return transferred(retry_eintr([&] { return ::write(fd, data.data(), data.size()); }));
}

Result<std::size_t> send_some(int fd, std::string_view data) {
  return transferred(
      retry_eintr([&] { return ::send(fd, data.data(), data.size(), platform::kSendFlags); }));
}

Status write_all(int fd, std::string_view data) {
  return all(fd, data, write_some);
}
Status send_all(int fd, std::string_view data) {
  return all(fd, data, send_some);
}

BufReader::BufReader(int fd, std::size_t capacity)
    : fd_(fd), capacity_(capacity), buf_(new char[capacity]) {}

Status BufReader::read_exact(char* out, std::size_t n) {
  while (n > 0) {
    if (pos_ == filled_) {
      // Nothing buffered: a request as large as the buffer bypasses it.
      const bool direct = n >= capacity_;
      auto got = direct ? read_some(fd_, out, n) : read_some(fd_, buf_.get(), capacity_);
      if (!got) return std::move(got).error();
      if (*got == 0) return IoError::unexpected_eof();
      if (direct) {
        out += *got;
        n -= *got;
        continue;
      }
      pos_ = 0;
      filled_ = *got;
    }
    const std::size_t take = std::min(n, filled_ - pos_);
    std::memcpy(out, buf_.get() + pos_, take);
    pos_ += take;
    out += take;
    n -= take;
  }
  return {};
}

BufWriter::BufWriter(int fd, std::size_t capacity)
    : fd_(fd), capacity_(capacity), buf_(new char[capacity]) {}

Status BufWriter::write_all(std::string_view data) {
  if (len_ + data.size() > capacity_) {
    if (auto st = flush(); !st) return st;
  }
  if (data.size() >= capacity_) return send_all(fd_, data);
  std::memcpy(buf_.get() + len_, data.data(), data.size());
  len_ += data.size();
  return {};
}

Status BufWriter::flush() {
  std::size_t written = 0;
  Status status;
  while (written < len_) {
    auto n = send_some(fd_, std::string_view(buf_.get() + written, len_ - written));
    if (!n) {
      status = std::move(n).error();
      break;
    }
    if (*n == 0) {
      status = IoError::write_zero("failed to write the buffered data");
      break;
    }
    written += *n;
  }
  // Keep what was not written.
  std::memmove(buf_.get(), buf_.get() + written, len_ - written);
  len_ -= written;
  return status;
}

}  // namespace helper_ipc
