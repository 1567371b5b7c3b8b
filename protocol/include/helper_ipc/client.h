// The client's side of the protocol: connect to the daemon's socket, send a request, read its
// reply; and receive the DHCP server socket as a descriptor.
#pragma once

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

struct ClientError {
  enum class Kind {
    Connect,   // the socket could not be reached: absent, permission denied, nobody listening
    Io,        // sending or receiving on the connection failed
    Closed,    // the daemon closed the connection without a reply
    BadReply,  // a reply that does not decode, or is not an answer to the request
    ErrReply,  // bind_dhcp67 only: the daemon answered Err; `text` is its text
    Usage,     // the request cannot be sent this way
  };
  Kind kind;
  std::string text;
};

// One connection to the daemon. Requests are answered in order, one reply each; the daemon closes
// the connection after a refused peer, a request it cannot decode, and the DHCP socket hand-off.
class Client {
 public:
  static Result<Client, ClientError> connect(std::string_view path = kDefaultSocketPath);
  // Talks over a socket that is already connected to the daemon (or to a test's stand-in). The
  // socket gets SO_NOSIGPIPE on macOS, as every socket this library opens has, so that a daemon
  // that went away makes a call fail instead of ending the process; when that cannot be set (the
  // descriptor is no socket), every call fails with that error and sends nothing.
  static Client adopt(UniqueFd connected);

  // Sends `request` and returns its reply (an Err reply is a reply like any other).
  // BindDhcp67 goes through bind_dhcp67().
  Result<Response, ClientError> call(const Request& request);

  // Asks for a UDP socket bound to 0.0.0.0:67 and returns it (close-on-exec). The daemon ends the
  // connection afterwards; this client cannot be used for further requests.
  Result<UniqueFd, ClientError> bind_dhcp67();

  int fd() const noexcept { return fd_.get(); }

 private:
  explicit Client(UniqueFd fd);
  Result<void, ClientError> send(const Request& request);

  UniqueFd fd_;
  std::optional<IoError> unusable_;  // why an adopted descriptor cannot be used
  BufReader reader_;
  BufWriter writer_;
};

}  // namespace helper_ipc
