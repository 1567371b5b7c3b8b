// The socket calls whose form differs between macOS, where the product runs, and Linux, where it
// is developed and tested, and that both sides of the connection use: close-on-exec, no SIGPIPE
// from a vanished peer, and the flags of sending and of receiving a descriptor. The daemon's own
// system calls (accept, peer uid, pipes, spawn options) live in the daemon. This header is
// the library's own: it is not installed for client applications.
#pragma once

#include <utility>

#include "helper_ipc/result.h"
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

// A connected pair of UNIX-domain stream sockets, both close-on-exec with SO_NOSIGPIPE.
Result<std::pair<UniqueFd, UniqueFd>> stream_socketpair();

// Flags for recvmsg(): asks Linux to make received descriptors close-on-exec atomically.
// macOS has no such flag; the receiver calls set_cloexec on what arrives.
extern const int kRecvCloexecFlags;

}  // namespace helper_ipc::platform
