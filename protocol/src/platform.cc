#include "helper_ipc/platform.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// Finishes a descriptor that the system just returned: close-on-exec (where the call could not
// do it atomically) and SO_NOSIGPIPE (for sockets).
Result<UniqueFd> finish(int raw, bool is_socket) {
  if (raw == -1) return IoError::last_os_error();
  UniqueFd fd(raw);
#if defined(__APPLE__)
  if (auto st = set_cloexec(fd.get()); !st) return std::move(st).error();
#endif
  if (is_socket) {
    if (auto st = set_nosigpipe(fd.get()); !st) return std::move(st).error();
  }
  return fd;
}

#if defined(__APPLE__)
constexpr int kCloexecType = 0;
#else
constexpr int kCloexecType = SOCK_CLOEXEC;
#endif

}  // namespace

Result<UniqueFd> open_socket(int domain, int type, int protocol) {
  return finish(socket(domain, type | kCloexecType, protocol), true);
}

Result<UniqueFd> accept_connection(int listen_fd) {
#if defined(__APPLE__)
  return finish(accept(listen_fd, nullptr, nullptr), true);
#else
  return finish(accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC), true);
#endif
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

Result<std::pair<UniqueFd, UniqueFd>> open_pipe() {
  int fds[2];
#if defined(__APPLE__)
  if (pipe(fds) == -1) return IoError::last_os_error();
#else
  if (pipe2(fds, O_CLOEXEC) == -1) return IoError::last_os_error();
#endif
  UniqueFd read_end(fds[0]), write_end(fds[1]);
#if defined(__APPLE__)
  if (auto st = set_cloexec(fds[0]); !st) return std::move(st).error();
  if (auto st = set_cloexec(fds[1]); !st) return std::move(st).error();
#endif
  return std::pair{std::move(read_end), std::move(write_end)};
}

Status set_pipe_nosigpipe([[maybe_unused]] int fd) {
#if defined(__APPLE__)
  if (fcntl(fd, F_SETNOSIGPIPE, 1) == -1) return IoError::last_os_error();
#endif
  return {};
}

Result<uid_t> peer_uid(int fd) {
#if defined(__APPLE__)
  uid_t euid;
  gid_t egid;
  if (getpeereid(fd, &euid, &egid) == -1) return IoError::last_os_error();
  return euid;
#else
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == -1) return IoError::last_os_error();
  if (len != sizeof cred) return IoError::from_errno(EINVAL);
  return cred.uid;
#endif
}

Status chmod_nofollow(const char* path, mode_t mode) {
#if defined(__APPLE__)
  if (retry_eintr([&] { return lchmod(path, mode); }) == -1) return IoError::last_os_error();
#else
  if (retry_eintr([&] { return fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW); }) == 0) {
    return {};
  }
  if (errno != ENOTSUP && errno != EOPNOTSUPP) return IoError::last_os_error();
  // The C library refuses links, and on older versions everything, with ENOTSUP: tell the two
  // apart, and never change a link's target.
  struct stat st;
  if (lstat(path, &st) == -1) return IoError::last_os_error();
  if (S_ISLNK(st.st_mode)) return IoError::from_errno(ELOOP);
  if (retry_eintr([&] { return chmod(path, mode); }) == -1) return IoError::last_os_error();
#endif
  return {};
}

sockaddr_in ipv4_socket_address(std::uint32_t host_order_address, std::uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
#if defined(__APPLE__)
  sa.sin_len = sizeof sa;
#endif
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(host_order_address);
  return sa;
}

Status spawn_close_other_descriptors(posix_spawn_file_actions_t* actions, short* flags) {
#if defined(__APPLE__)
  (void)actions;
  *flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
  (void)flags;
  if (int rc = posix_spawn_file_actions_addclosefrom_np(actions, 3); rc != 0) {
    return IoError::from_errno(rc);
  }
#endif
  return {};
}

}  // namespace helper_ipc::platform
