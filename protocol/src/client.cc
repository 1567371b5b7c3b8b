#include "helper_ipc/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "helper_ipc/codec.h"
#include "helper_ipc/message_frames.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/retry_eintr.h"

namespace helper_ipc {

namespace {

using Kind = ClientError::Kind;

ClientError io_failure(const char* what, const IoError& e) {
  return {Kind::Io, std::string(what) + ": " + e.text()};
}

// The daemon hangs up on a peer it does not admit and after a request it cannot decode. The
// reply's read then ends early; or, when the daemon closed with our request still unread, the
// connection is reset (Linux), and a request sent after the close finds no reader (EPIPE).
bool is_hang_up(const IoError& e) {
  return e.kind() == IoErrorKind::UnexpectedEof || e.os_code() == ECONNRESET ||
         e.os_code() == EPIPE;
}

ClientError hang_up() {
  return {Kind::Closed,
          "the daemon closed the connection without a reply (this user is not admitted, or the "
          "request was not understood; the daemon's log says which)"};
}

ClientError receive_failure(const IoError& e) {
  if (is_hang_up(e)) return hang_up();
  return io_failure("receiving the reply failed", e);
}

// A reply that was read, or why not.
ClientError reply_failure(const IoError& e) {
  if (e.kind() == IoErrorKind::InvalidData) {
    return ClientError{Kind::BadReply, "the reply did not decode: " + e.text()};
  }
  return receive_failure(e);
}

// connect() interrupted by a signal goes on in the background; wait for its outcome.
int finish_interrupted_connect(int fd) {
  pollfd p{fd, POLLOUT, 0};
  if (retry_eintr([&] { return poll(&p, 1, -1); }) == -1) return errno;
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == -1) return errno;
  return error;
}

}  // namespace

Client::Client(UniqueFd fd) : fd_(std::move(fd)), reader_(fd_.get()), writer_(fd_.get()) {}

Client Client::adopt(UniqueFd connected) {
  Client client(std::move(connected));
  if (auto st = platform::set_nosigpipe(client.fd()); !st) client.unusable_ = std::move(st).error();
  return client;
}

Result<Client, ClientError> Client::connect(std::string_view path) {
  const std::string where = "connect " + std::string(path);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    return ClientError{Kind::Connect, where + ": the path is too long for a socket address"};
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  auto socket = platform::open_socket(AF_UNIX, SOCK_STREAM, 0);
  if (!socket) return ClientError{Kind::Connect, where + ": " + socket.error().text()};
  int error = 0;
  if (::connect(socket->get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == -1) {
    error = errno == EINTR ? finish_interrupted_connect(socket->get()) : errno;
  }
  if (error != 0) return ClientError{Kind::Connect, where + ": " + os_error_text(error)};
  return Client(std::move(socket).value());
}

Result<void, ClientError> Client::send(const Request& request) {
  if (unusable_) return io_failure("sending the request failed", *unusable_);
  if (auto st = write_request_frame(writer_, request); !st) {
    if (is_hang_up(st.error())) return hang_up();
    return io_failure("sending the request failed", st.error());
  }
  return {};
}

Result<Response, ClientError> Client::call(const Request& request) {
  if (std::holds_alternative<BindDhcp67>(request)) {
    return ClientError{Kind::Usage, "BindDhcp67 is answered with a descriptor: use bind_dhcp67()"};
  }
  if (auto sent = send(request); !sent) return std::move(sent).error();
  auto reply = read_response_frame(reader_);
  if (!reply) return reply_failure(reply.error());
  if (std::holds_alternative<FdFollows>(*reply)) {
    return ClientError{Kind::BadReply, "FdFollows came in answer to a request without descriptor"};
  }
  return std::move(reply).value();
}

Result<UniqueFd, ClientError> Client::bind_dhcp67() {
  if (auto sent = send(BindDhcp67{}); !sent) return std::move(sent).error();
  // The descriptor travels with the reply's body, so the reply is read with recvmsg, not through
  // the buffered reader (a plain read would drop the descriptor). Replies come in lockstep, so the
  // reader holds nothing of it.
  auto frame = read_response_frame_with_fd(fd_.get());
  if (!frame) return reply_failure(frame.error());
  const Response& reply = frame->response;
  if (const Err* err = std::get_if<Err>(&reply)) return ClientError{Kind::ErrReply, err->text};
  if (!std::holds_alternative<FdFollows>(reply)) {
    return ClientError{Kind::BadReply, "BindDhcp67 was answered with " + encode_response(reply)};
  }
  if (!frame->fd) return ClientError{Kind::BadReply, "FdFollows arrived without a descriptor"};
  return std::move(frame->fd);
}

}  // namespace helper_ipc
