#include "sys.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/param.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "helper_ipc/platform.h"
#include "helper_ipc/retry_eintr.h"

namespace pelmor::sys {

using helper_ipc::IoError;
using helper_ipc::Result;
using helper_ipc::retry_eintr;
using helper_ipc::Status;
using helper_ipc::UniqueFd;

Result<UniqueFd> accept_connection(int listen_fd) {
#if defined(__APPLE__)
  UniqueFd fd(accept(listen_fd, nullptr, nullptr));
  if (!fd) return IoError::last_os_error();
  if (auto st = helper_ipc::platform::set_cloexec(fd.get()); !st) return std::move(st).error();
  if (auto st = helper_ipc::platform::set_nosigpipe(fd.get()); !st) return std::move(st).error();
  return fd;
#else
  UniqueFd fd(accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd) return IoError::last_os_error();
  return fd;
#endif
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

Result<std::pair<UniqueFd, UniqueFd>> open_pipe() {
  int fds[2];
#if defined(__APPLE__)
  if (pipe(fds) == -1) return IoError::last_os_error();
#else
  if (pipe2(fds, O_CLOEXEC) == -1) return IoError::last_os_error();
#endif
  UniqueFd read_end(fds[0]), write_end(fds[1]);
#if defined(__APPLE__)
  if (auto st = helper_ipc::platform::set_cloexec(fds[0]); !st) return std::move(st).error();
  if (auto st = helper_ipc::platform::set_cloexec(fds[1]); !st) return std::move(st).error();
#endif
  return std::pair{std::move(read_end), std::move(write_end)};
}

Status set_pipe_nosigpipe([[maybe_unused]] int fd) {
#if defined(__APPLE__)
  if (fcntl(fd, F_SETNOSIGPIPE, 1) == -1) return IoError::last_os_error();
#endif
  return {};
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

void raise_descriptor_limit(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
  const rlim_t allowed =
      limit.rlim_max == RLIM_INFINITY ? wanted : std::min(limit.rlim_max, wanted);
  if (allowed <= limit.rlim_cur) return;
  limit.rlim_cur = allowed;
  (void)setrlimit(RLIMIT_NOFILE, &limit);
}

std::optional<std::string> descriptor_path(int fd) {
  char path[MAXPATHLEN];
#if defined(__APPLE__)
  if (fcntl(fd, F_GETPATH, path) == -1) return std::nullopt;
  return std::string(path);
#else
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), path, sizeof path);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return std::nullopt;
  return std::string(path, static_cast<std::size_t>(n));
#endif
}

namespace {

// open() of `path` without following a link, close-on-exec; interrupted opens are repeated.
Result<UniqueFd> open_nofollow(const char* path, int flags, mode_t mode = 0) {
  UniqueFd fd(retry_eintr([&] { return open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode); }));
  if (!fd) return IoError::last_os_error();
  return fd;
}

}  // namespace

Result<UniqueFd> open_log_file(const char* path, const struct stat& like) {
  // Non-blocking, so that a FIFO put at the path cannot hold the open; it is refused below, and a
  // regular file ignores the flag.
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NONBLOCK;
  auto fd = open_nofollow(path, kFlags);
  if (!fd && fd.error().os_code() == ENOENT) {
    fd = open_nofollow(path, kFlags | O_CREAT | O_EXCL, like.st_mode & 07777);
    if (fd && (fchown(fd->get(), like.st_uid, like.st_gid) == -1 ||
               fchmod(fd->get(), like.st_mode & 07777) == -1)) {
      return IoError::last_os_error();
    }
  }
  if (!fd) return fd;
  struct stat st {};
  if (fstat(fd->get(), &st) == -1) return IoError::last_os_error();
  if (!S_ISREG(st.st_mode)) return IoError::from_errno(EINVAL);
  return fd;
}

Result<LockedFile> open_and_lock(const char* path) {
  auto fd = open_nofollow(path, O_RDWR | O_CREAT, 0644);
  if (!fd) return std::move(fd).error();
  if (retry_eintr([&] { return flock(fd->get(), LOCK_EX | LOCK_NB); }) == 0) {
    return LockedFile{std::move(fd).value(), false};
  }
  if (errno != EWOULDBLOCK) return IoError::last_os_error();
  return LockedFile{std::move(fd).value(), true};
}

}  // namespace pelmor::sys
