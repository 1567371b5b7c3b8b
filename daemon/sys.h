// The daemon's own system calls, in the forms of the system that runs it: accepting a connection,
// the peer's uid, a file's mode set without following a link, pipes to the tools and the spawn
// options they start with, IPv4 socket addresses, the descriptor limit, the pid file, and the path
// of the log file and its reopening. The client library
// carries none of these. Beside helper_ipc's platform.cc, this is the one place of the daemon
// that tells macOS from Linux.
#pragma once

#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "helper_ipc/result.h"
#include "helper_ipc/unique_fd.h"

namespace pelmor::sys {

// Accepts one connection; the new descriptor is close-on-exec (and has SO_NOSIGPIPE) before
// anything else is done with it. EINTR is returned to the caller, not retried.
helper_ipc::Result<helper_ipc::UniqueFd> accept_connection(int listen_fd);

// The effective uid of the peer of a connected UNIX-domain socket (getpeereid on macOS,
// SO_PEERCRED on Linux).
helper_ipc::Result<uid_t> peer_uid(int fd);

// Sets the mode of the file at `path` without following a symbolic link there: lchmod on macOS;
// fchmodat with AT_SYMLINK_NOFOLLOW on Linux, where the C library may not support it for every
// file type, and then, if the path is not a link, chmod. A link at `path` is an error (ELOOP) and
// keeps its target unchanged. Retried while interrupted.
helper_ipc::Status chmod_nofollow(const char* path, mode_t mode);

// A pipe, both ends close-on-exec: {read end, write end}.
helper_ipc::Result<std::pair<helper_ipc::UniqueFd, helper_ipc::UniqueFd>> open_pipe();

// Makes a write to the pipe end `fd` whose reader has gone fail with EPIPE without raising
// SIGPIPE (F_SETNOSIGPIPE on macOS). macOS raises that SIGPIPE for the whole process, so blocking
// it on the writing thread does not keep another thread from taking it. Linux sends it to the
// writing thread alone, and has no such flag: there this sets nothing, and the writer blocks
// SIGPIPE on its own thread instead.
helper_ipc::Status set_pipe_nosigpipe(int fd);

// Asks posix_spawn to close every descriptor that the file actions do not set up
// (POSIX_SPAWN_CLOEXEC_DEFAULT on macOS, a close-from action for 3 and up on Linux). The daemon
// opens everything close-on-exec already; this also covers descriptors that it inherited.
// Add it after every other file action. `flags` is the attribute's flag word, to which this may
// add.
helper_ipc::Status spawn_close_other_descriptors(posix_spawn_file_actions_t* actions, short* flags);

// An IPv4 socket address (with the length byte that macOS's sockaddr_in has).
sockaddr_in ipv4_socket_address(std::uint32_t host_order_address, std::uint16_t port);

// Raises the soft limit on open descriptors to `wanted`, as far as the hard limit allows; never
// lowers it. A limit that cannot be raised is left as it is.
void raise_descriptor_limit(rlim_t wanted);

// The path of the file open on `fd` (F_GETPATH on macOS, /proc/self/fd on Linux), or nothing.
std::optional<std::string> descriptor_path(int fd);

// Opens the regular file at `path` for appending, without following a link there, close-on-exec.
// A missing file is created with the mode, owner and group of `like`.
helper_ipc::Result<helper_ipc::UniqueFd> open_log_file(const char* path, const struct stat& like);

// The file at `path`, opened for reading and writing without following a link there (created with
// mode 0644 when missing, never truncated), close-on-exec, with an exclusive flock taken without
// waiting: a flock, unlike an fcntl lock, stays with the descriptor however the process's other
// descriptors of the file are closed, and goes with the process. `held_elsewhere` when another
// process holds the lock; the file is open all the same, to read what it holds.
struct LockedFile {
  helper_ipc::UniqueFd fd;
  bool held_elsewhere = false;
};
helper_ipc::Result<LockedFile> open_and_lock(const char* path);

}  // namespace pelmor::sys
