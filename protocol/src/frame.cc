#include "helper_ipc/frame.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "helper_ipc/platform.h"
#include "helper_ipc/retry_eintr.h"

namespace helper_ipc {

namespace {

using Prefix = char[4];

void encode_prefix(std::uint32_t n, Prefix out) {
  out[0] = static_cast<char>(n >> 24);
  out[1] = static_cast<char>(n >> 16);
  out[2] = static_cast<char>(n >> 8);
  out[3] = static_cast<char>(n);
}

// The prefix for a body of `size` bytes, if the prefix can express it.
bool prefix_for(std::size_t size, Prefix out) {
  if (size > std::numeric_limits<std::uint32_t>::max()) return false;
  encode_prefix(static_cast<std::uint32_t>(size), out);
  return true;
}

std::uint32_t decode_prefix(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
         std::uint32_t{b[3]};
}

// Reads exactly out.size() bytes with recvmsg, keeping every descriptor that comes along.
Status receive_exact(int socket, std::string& out, std::vector<UniqueFd>& fds,
                     const Deadline& deadline) {
  constexpr std::size_t kMaxFds = 4;
  const int flags = platform::kRecvCloexecFlags | (deadline.bounded() ? MSG_DONTWAIT : 0);
  std::size_t from = 0;
  while (from < out.size()) {
    iovec iov{out.data() + from, out.size() - from};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    auto received =
        when_ready(socket, POLLIN, deadline, deadline.bounded(), [&]() -> Result<std::size_t> {
          const ssize_t n = retry_eintr([&] { return recvmsg(socket, &msg, flags); });
          if (n < 0) return IoError::last_os_error();
          return static_cast<std::size_t>(n);
        });
    if (!received) return std::move(received).error();
    const std::size_t n = *received;
    // Own whatever arrived before looking at anything else.
    if (msg.msg_controllen > 0) {
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
          int fd;
          std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
          fds.emplace_back(fd);
        }
      }
    }
    if ((msg.msg_flags & MSG_CTRUNC) != 0) {
      return IoError::invalid_data("descriptors were cut off (MSG_CTRUNC)");
    }
    if (n == 0) return IoError::unexpected_eof();
    from += n;
  }
  return {};
}

}  // namespace

Result<FrameWithFd> read_frame_body_with_fd(int socket, const Deadline& deadline) {
  std::vector<UniqueFd> fds;
  std::string prefix(4, '\0');
  if (auto st = receive_exact(socket, prefix, fds, deadline); !st) return std::move(st).error();
  const std::uint32_t n = decode_prefix(prefix.data());
  if (n > kMaxFrameBody) return IoError::invalid_data("frame too large");
  std::string body(n, '\0');
  if (auto st = receive_exact(socket, body, fds, deadline); !st) return std::move(st).error();
  if (fds.size() > 1) return IoError::invalid_data("more than one descriptor came with the frame");
  FrameWithFd frame{std::move(body), {}};
  if (!fds.empty()) {
    if (auto st = platform::set_cloexec(fds.front().get()); !st) return std::move(st).error();
    frame.fd = std::move(fds.front());
  }
  return frame;
}

Status read_frame_body_into(BufReader& reader, BodyBuffer& body) {
  body = BodyBuffer();
  char prefix[4];
  if (auto st = reader.read_exact(prefix, 4); !st) return st;
  const std::uint32_t n = decode_prefix(prefix);
  if (n > kMaxFrameBody) return IoError::invalid_data("frame too large");
  while (body.size_ < n) {
    if (body.size_ == body.capacity_) {
      // Full: take one step more, or double what has arrived, whichever is more, but never more
      // than the body announced. realloc can often grow in place (large blocks are remapped).
      const std::size_t want =
          std::min<std::size_t>(n, std::max(body.capacity_ + kBodyGrowthStep, 2 * body.capacity_));
      char* grown = static_cast<char*>(std::realloc(body.data_.get(), want));
      if (grown == nullptr) throw std::bad_alloc();
      (void)body.data_.release();
      body.data_.reset(grown);
      body.capacity_ = want;
    }
    // Only the bytes of the current capacity are waited for: memory is touched as they arrive.
    const std::size_t step = body.capacity_ - body.size_;
    if (auto st = reader.read_exact(body.data_.get() + body.size_, step); !st) return st;
    body.size_ += step;
  }
  return {};
}

Result<std::string> read_frame_body(BufReader& reader) {
  BodyBuffer body;
  if (auto st = read_frame_body_into(reader, body); !st) return std::move(st).error();
  return std::string(body.view());
}

Status write_frame_body(BufWriter& writer, std::string_view body) {
  Prefix prefix;
  if (!prefix_for(body.size(), prefix)) return IoError::invalid_data("frame too large");
  if (auto st = writer.write_all(std::string_view(prefix, 4)); !st) return st;
  if (auto st = writer.write_all(body); !st) return st;
  return writer.flush();
}

Status write_frame_body_with_fd(int socket, std::string_view body, int fd) {
  Prefix prefix;
  if (!prefix_for(body.size(), prefix)) return IoError::invalid_data("frame too large");
  if (auto st = send_all(socket, std::string_view(prefix, 4)); !st) return st;

  iovec iov{const_cast<char*>(body.data()), body.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  std::memset(control, 0, sizeof control);
  msghdr msg{};
  msg.msg_name = nullptr;
  msg.msg_namelen = 0;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  msg.msg_flags = 0;
  cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
  cmsg->cmsg_level = SOL_SOCKET;
  cmsg->cmsg_type = SCM_RIGHTS;
  cmsg->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(cmsg), &fd, sizeof(int));

  // Sent once: an interrupted or failed send has passed no descriptor, and the caller ends the
  // connection.
  const ssize_t sent = ::sendmsg(socket, &msg, platform::kSendFlags);
  if (sent < 0) return IoError::last_os_error();
  // The descriptor went with the first bytes; the rest of the body follows as plain data.
  return send_all(socket, body.substr(static_cast<std::size_t>(sent)));
}

}  // namespace helper_ipc
