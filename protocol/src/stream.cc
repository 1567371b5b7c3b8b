#include "helper_ipc/stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "helper_ipc/platform.h"
#include "helper_ipc/retry_eintr.h"

namespace helper_ipc {

namespace {

Result<std::size_t> transferred(ssize_t r) {
  if (r < 0) return IoError::last_os_error();
  return static_cast<std::size_t>(r);
}

template <class Some>
Status all(std::string_view data, Some some) {
  while (!data.empty()) {
    auto n = some(data);
    if (!n) return std::move(n).error();
    if (*n == 0) return IoError::write_zero("failed to write whole buffer");
    data.remove_prefix(*n);
  }
  return {};
}

}  // namespace

int Deadline::poll_timeout() const {
  if (!bounded()) return -1;
  const auto left = at_ - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

Status wait_ready(int fd, short events, const Deadline& deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    if (deadline.passed()) return IoError::timed_out();
    const int n = poll(&p, 1, deadline.poll_timeout());
    if (n > 0) return {};
    if (n < 0 && errno != EINTR) return IoError::last_os_error();
  }
}

Result<std::size_t> read_some(int fd, char* out, std::size_t n) {
  return transferred(retry_eintr([&] { return ::read(fd, out, n); }));
}

Result<std::size_t> write_some(int fd, std::string_view data) {
  return transferred(retry_eintr([&] { return ::write(fd, data.data(), data.size()); }));
}

Result<std::size_t> send_some(int fd, std::string_view data, int flags) {
  return transferred(retry_eintr(
      [&] { return ::send(fd, data.data(), data.size(), platform::kSendFlags | flags); }));
}

Status write_all(int fd, std::string_view data) {
  return all(data, [fd](std::string_view rest) { return write_some(fd, rest); });
}
Status send_all(int fd, std::string_view data) {
  return all(data, [fd](std::string_view rest) { return send_some(fd, rest); });
}

BufReader::BufReader(int fd, std::size_t capacity)
    : fd_(fd), capacity_(capacity), buf_(new char[capacity]) {}

Result<std::size_t> BufReader::read_some(char* out, std::size_t n) {
  return when_ready(fd_, POLLIN, deadline_, deadline_.bounded(),
                    [&] { return helper_ipc::read_some(fd_, out, n); });
}

void BufReader::fill() {
  if (pos_ != filled_ || failed_) return;
  auto got = read_some(buf_.get(), capacity_);
  if (!got || *got == 0) {
    failed_ = got ? IoError::unexpected_eof() : std::move(got).error();
    return;
  }
  pos_ = 0;
  filled_ = *got;
}

Status BufReader::read_exact(char* out, std::size_t n) {
  while (n > 0) {
    if (pos_ == filled_) {
      if (failed_) return *std::exchange(failed_, std::nullopt);
      // Nothing buffered: a request as large as the buffer bypasses it.
      const bool direct = n >= capacity_;
      auto got = direct ? read_some(out, n) : read_some(buf_.get(), capacity_);
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

Result<std::size_t> BufWriter::send_some(std::string_view data) {
  const int flags = deadline_.bounded() ? MSG_DONTWAIT : 0;
  return when_ready(fd_, POLLOUT, deadline_, false,
                    [&] { return helper_ipc::send_some(fd_, data, flags); });
}

Status BufWriter::send_all(std::string_view data) {
  return all(data, [this](std::string_view rest) { return send_some(rest); });
}

Status BufWriter::write_all(std::string_view data) {
  if (len_ + data.size() > capacity_) {
    if (auto st = flush(); !st) return st;
  }
  if (data.size() >= capacity_) return send_all(data);
  std::memcpy(buf_.get() + len_, data.data(), data.size());
  len_ += data.size();
  return {};
}

Status BufWriter::flush() {
  std::size_t written = 0;
  Status status;
  while (written < len_) {
    auto n = send_some(std::string_view(buf_.get() + written, len_ - written));
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
