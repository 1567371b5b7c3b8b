#include "helper_ipc/platform.h"

#include <fcntl.h>
#include <sys/socket.h>

namespace helper_ipc::platform {

#if defined(__APPLE__)
const int kSendFlags = 0;
const int kRecvCloexecFlags = 0;
#else
const int kSendFlags = MSG_NOSIGNAL;
const int kRecvCloexecFlags = MSG_CMSG_CLOEXEC;
#endif

Status set_cloexec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags == -1) return IoError::last_os_error();
  if ((flags & FD_CLOEXEC) == 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) {
    return IoError::last_os_error();
  }
  return {};
}

Status set_nosigpipe([[maybe_unused]] int fd) {
#if defined(__APPLE__)
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) == -1) {
    return IoError::last_os_error();
  }
#endif
  return {};
}

namespace {

// Finishes a socket that the system just returned: close-on-exec (where the call could not do it
// atomically) and SO_NOSIGPIPE.
Result<UniqueFd> finish(int raw) {
  if (raw == -1) return IoError::last_os_error();
  UniqueFd fd(raw);
#if defined(__APPLE__)
  if (auto st = set_cloexec(fd.get()); !st) return std::move(st).error();
#endif
  if (auto st = set_nosigpipe(fd.get()); !st) return std::move(st).error();
  return fd;
}

#if defined(__APPLE__)
constexpr int kCloexecType = 0;
#else
constexpr int kCloexecType = SOCK_CLOEXEC;
#endif

}  // namespace

Result<UniqueFd> open_socket(int domain, int type, int protocol) {
  return finish(socket(domain, type | kCloexecType, protocol));
}

Result<std::pair<UniqueFd, UniqueFd>> stream_socketpair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | kCloexecType, 0, fds) == -1) {
    return IoError::last_os_error();
  }
  UniqueFd a(fds[0]), b(fds[1]);
#if defined(__APPLE__)
  for (int fd : fds) {
    if (auto st = set_cloexec(fd); !st) return std::move(st).error();
    if (auto st = set_nosigpipe(fd); !st) return std::move(st).error();
  }
#endif
  return std::pair{std::move(a), std::move(b)};
}

}  // namespace helper_ipc::platform
