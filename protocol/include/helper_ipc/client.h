// The client's side of the protocol: connect to the daemon's socket, send a request, read its
// reply; and receive the DHCP server socket as a descriptor.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "helper_ipc/io_error.h"
#include "helper_ipc/messages.h"
#include "helper_ipc/result.h"
#include "helper_ipc/socket_path.h"
#include "helper_ipc/stream.h"
#include "helper_ipc/unique_fd.h"
#include "helper_ipc/version.h"

namespace helper_ipc {

// The daemon's socket, where a client connects unless told otherwise.
inline constexpr const char* kDefaultSocketPath = kSocketPath;

// The version of this library, "MAJOR.MINOR.PATCH" (HELPER_IPC_VERSION_* hold its numbers).
inline constexpr std::string_view kVersion = HELPER_IPC_VERSION_STRING;

// Why a call failed. The kinds are the C interface's statuses (helper_ipc.h), Connect and Io both
// HELPER_IPC_CONNECTION_FAILED.
struct ClientError {
  enum class Kind {
    ErrReply,       // bind_dhcp67 only: the daemon answered Err; `text` is its text
    Refused,        // the daemon closed the connection without a reply after the request: this
                    // user is not admitted or holds too many connections, the request was not
                    // understood, or the daemon is stopping
    Connect,        // the socket could not be reached: absent, permission denied, nobody listening
    Io,             // sending or receiving failed, or the connection had ended for good
    BadArgument,    // the request cannot be sent (too large for a frame; BindDhcp67 through
                    // call()); nothing was sent, and the connection is as it was
    ProtocolError,  // a reply that does not decode or does not answer the request: this library
                    // and the daemon do not match
    TimedOut,       // the time limit ran out
  };
  Kind kind;
  std::string text;
};

// A connection to the daemon. Requests are answered in order, one reply each; the daemon closes
// the connection after a refused peer, a request it cannot decode, and the DHCP socket hand-off.
//
// Time limit. A client has a time limit, none unless set: each call must be done within it, from
// connecting to the last byte of the reply (and its descriptor), one deadline for the whole call.
// Running out is TimedOut.
//
// The connection. A failure that leaves the stream in an unknown state (Refused, Io,
// ProtocolError, TimedOut) drops the connection, so that a late reply is never taken for the next
// request's. A client made by connect() connects again, once, when a call finds its connection
// dropped, ended by the DHCP hand-off, or closed by the daemon while it was idle (the daemon closes
// idle connections when it stops or the console changes hands): nothing has been sent on it then.
// A client made by adopt() cannot connect again; its calls then fail with Io.
//
// Threads. A Client is used by one thread at a time; share one only behind a lock of your own (the
// C interface's handles are such a lock: they may be used from any thread).
class Client {
 public:
  // Connects to the socket at `path`; `timeout` (zero: none) bounds this connect and every call.
  static Result<Client, ClientError> connect(std::string_view path = kDefaultSocketPath,
                                             std::chrono::milliseconds timeout = {});
  // Connects within `deadline`, without a time limit of its own for the calls after it.
  static Result<Client, ClientError> connect(std::string_view path, const Deadline& deadline);
  // Talks over a socket that is already connected to the daemon (or to a test's stand-in). The
  // socket gets SO_NOSIGPIPE on macOS, as every socket this library opens has, so that a daemon
  // that went away makes a call fail instead of ending the process; when that cannot be set (the
  // descriptor is no socket), every call fails with that error and sends nothing.
  static Client adopt(UniqueFd connected);

  // The time limit of each call from the next one on; zero: none.
  void set_timeout(std::chrono::milliseconds timeout) noexcept { timeout_ = timeout; }
  std::chrono::milliseconds timeout() const noexcept { return timeout_; }

  // Sends `request` and returns its reply (an Err reply is a reply like any other). BindDhcp67
  // goes through bind_dhcp67(). A request whose body exceeds kMaxFrameBody, which the daemon
  // would not read, is BadArgument.
  Result<Response, ClientError> call(const Request& request) {
    return call(request, Deadline::after(timeout_));
  }
  // The same within `deadline` instead of the client's time limit.
  Result<Response, ClientError> call(const Request& request, const Deadline& deadline);

  // Asks for a UDP socket bound to 0.0.0.0:67 and returns it (close-on-exec). The daemon ends the
  // connection afterwards, whatever the outcome.
  Result<UniqueFd, ClientError> bind_dhcp67() { return bind_dhcp67(Deadline::after(timeout_)); }
  Result<UniqueFd, ClientError> bind_dhcp67(const Deadline& deadline);

  // Closes the connection. A client made by connect() connects again at its next call; an adopted
  // one cannot be used any more.
  void close() noexcept { connection_.reset(); }

  // The connection's descriptor; -1 while there is none.
  int fd() const noexcept { return connection_ ? connection_->fd.get() : -1; }

 private:
  struct Connection {
    explicit Connection(UniqueFd socket)
        : fd(std::move(socket)), reader(fd.get()), writer(fd.get()) {}
    UniqueFd fd;
    BufReader reader;
    BufWriter writer;
  };

  Client() = default;
  Result<void, ClientError> open(const Deadline& deadline);
  Result<void, ClientError> ready(const Deadline& deadline);
  Result<void, ClientError> send(std::string_view body, const Deadline& deadline);
  ClientError drop(ClientError error);

  std::string path_;  // where connect() connected; empty for an adopted descriptor
  std::chrono::milliseconds timeout_{0};
  std::optional<IoError> unusable_;  // why an adopted descriptor cannot be used
  std::optional<Connection> connection_;
};

}  // namespace helper_ipc
