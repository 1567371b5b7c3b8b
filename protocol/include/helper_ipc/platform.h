// The system calls whose form differs between macOS, where the product runs, and Linux, where it
// is developed and tested. Everything else in this project is plain POSIX; the few lines that tell
// the two systems apart live in platform.cc and nowhere else. This header is the library's and the
// daemon's own: it is not installed for client applications.
#pragma once

#include <netinet/in.h>
#include <spawn.h>
#include <sys/types.h>

#include <cstdint>
#include <utility>

#include "helper_ipc/result.h"
#include "helper_ipc/retry_eintr.h"
#include "helper_ipc/unique_fd.h"

namespace helper_ipc::platform {

// Flags for send() and sendmsg(): on Linux MSG_NOSIGNAL, so that a vanished peer yields EPIPE
// and never SIGPIPE; on macOS 0, where every socket carries SO_NOSIGPIPE instead.
extern const int kSendFlags;

// Makes `fd` close-on-exec. The descriptor flags are read first and written only when the flag is
// not yet set.
Status set_cloexec(int fd);

// Sets SO_NOSIGPIPE on a socket (macOS). Linux has no such option; there the sends of this
// project use MSG_NOSIGNAL, and nothing needs to be set.
Status set_nosigpipe(int fd);

// A new socket that is close-on-exec and has SO_NOSIGPIPE. When either setting fails the new
// descriptor is closed and the setting's error returned.
Result<UniqueFd> open_socket(int domain, int type, int protocol);

// Accepts one connection; the new descriptor is close-on-exec (and has SO_NOSIGPIPE) before
// anything else is done with it. EINTR is returned to the caller, not retried.
Result<UniqueFd> accept_connection(int listen_fd);

// A connected pair of UNIX-domain stream sockets, both close-on-exec with SO_NOSIGPIPE.
Result<std::pair<UniqueFd, UniqueFd>> stream_socketpair();

// A pipe, both ends close-on-exec: {read end, write end}.
Result<std::pair<UniqueFd, UniqueFd>> open_pipe();

// Makes a write to the pipe end `fd` whose reader has gone fail with EPIPE without raising
// SIGPIPE (F_SETNOSIGPIPE on macOS). macOS raises that SIGPIPE for the whole process, so blocking
// it on the writing thread does not keep another thread from taking it. Linux sends it to the
// writing thread alone, and has no such flag: there this sets nothing, and the writer blocks
// SIGPIPE on its own thread instead.
Status set_pipe_nosigpipe(int fd);

// Flags for recvmsg(): asks Linux to make received descriptors close-on-exec atomically.
// macOS has no such flag; the receiver calls set_cloexec on what arrives.
extern const int kRecvCloexecFlags;

// The effective uid of the peer of a connected UNIX-domain socket (getpeereid on macOS,
// SO_PEERCRED on Linux).
Result<uid_t> peer_uid(int fd);

// Sets the mode of the file at `path` without following a symbolic link there: lchmod on macOS;
// fchmodat with AT_SYMLINK_NOFOLLOW on Linux, where the C library may not support it for every
// file type, and then, if the path is not a link, chmod. A link at `path` is an error (ELOOP) and
// keeps its target unchanged. Retried while interrupted.
Status chmod_nofollow(const char* path, mode_t mode);

// An IPv4 socket address (with the length byte that macOS's sockaddr_in has).
sockaddr_in ipv4_socket_address(std::uint32_t host_order_address, std::uint16_t port);

// Asks posix_spawn to close every descriptor that the file actions do not set up
// (POSIX_SPAWN_CLOEXEC_DEFAULT on macOS, a close-from action for 3 and up on Linux). The daemon
// opens everything close-on-exec already; this also covers descriptors that it inherited.
// Add it after every other file action. `flags` is the attribute's flag word, to which this may
// add.
Status spawn_close_other_descriptors(posix_spawn_file_actions_t* actions, short* flags);

}  // namespace helper_ipc::platform
