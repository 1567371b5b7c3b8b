#include "helper_ipc/client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "helper_ipc/codec.h"
#include "helper_ipc/message_frames.h"
#include "helper_ipc/overloaded.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/retry_eintr.h"
#include "helper_ipc/schema.h"

namespace helper_ipc {

namespace {

using Kind = ClientError::Kind;

ClientError io_failure(const char* what, const IoError& e) {
  return {Kind::Io, std::string(what) + ": " + e.text()};
}

// The daemon hangs up on a peer it does not admit, on a peer with too many connections, after a
// request it cannot decode, and when it stops. The reply's read then ends early; or, when the
// daemon closed with our request still unread, the connection is reset (Linux), and a request sent
// after the close finds no reader (EPIPE).
bool is_hang_up(const IoError& e) {
  return e.kind() == IoErrorKind::UnexpectedEof || e.os_code() == ECONNRESET ||
         e.os_code() == EPIPE;
}

ClientError hang_up() {
  return {Kind::Refused,
          "the daemon closed the connection without a reply: this user is not admitted or holds "
          "too many connections, the request was not understood, or the daemon is stopping (the "
          "daemon's log says which)"};
}

std::string limit_of(const Deadline& deadline) {
  return "the time limit of " + std::to_string(deadline.limit().count()) + " ms";
}

// A reply that was not read whole, or why not.
ClientError reply_failure(const IoError& e, const Deadline& deadline) {
  if (e.kind() == IoErrorKind::TimedOut) {
    return {Kind::TimedOut, "no reply within " + limit_of(deadline) +
                                ": the request was sent, and whether the daemon carried it out "
                                "is unknown"};
  }
  if (e.kind() == IoErrorKind::InvalidData) {
    return {Kind::ProtocolError,
            "the reply did not decode (this library and the daemon do not "
            "match): " +
                e.text()};
  }
  if (is_hang_up(e)) return hang_up();
  return io_failure("receiving the reply failed", e);
}

template <class Want>
bool holds(const Response& reply) {
  return std::holds_alternative<Want>(reply);
}

// Whether `reply` is one that `request` can get: its own, or Err.
bool answers(const Request& request, const Response& reply) {
  return holds<Err>(reply) ||
         std::visit(Overloaded{
                        [&](const Ping&) { return holds<Pong>(reply); },
                        [&](const GetForwarding&) { return holds<Forwarding>(reply); },
                        [&](const PfEnable&) { return holds<PfToken>(reply); },
                        [&](const IfconfigRead&) { return holds<Ifconfig>(reply); },
                        [&](const IcmpEcho&) { return holds<IcmpResult>(reply); },
                        [&](const BindDhcp67&) { return holds<FdFollows>(reply); },
                        [&](const auto&) { return holds<Ok>(reply); },  // the changes
                    },
                    request);
}

ClientError not_an_answer(const Request& request, const Response& reply) {
  return {Kind::ProtocolError, "the daemon answered " + std::string(variant_name(request)) +
                                   " with " + std::string(kVariantNames<Response>[reply.index()]) +
                                   " (this library and the daemon do not match)"};
}

Result<void, int> set_nonblocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == -1) {
    return errno;
  }
  return {};
}

// Connects a new socket to `path` within `deadline`. The connect does not block: when it cannot
// finish at once it is waited for with poll(); a listener whose backlog is full (Linux answers
// EAGAIN then) is tried again every few milliseconds.
Result<UniqueFd, ClientError> connect_socket(const std::string& path, const Deadline& deadline) {
  const std::string where = "connect " + path;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    return ClientError{Kind::Connect, where + ": the path is too long for a socket address"};
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  auto socket = platform::open_socket(AF_UNIX, SOCK_STREAM, 0);
  if (!socket) return ClientError{Kind::Connect, where + ": " + socket.error().text()};
  const int fd = socket->get();
  const ClientError timed_out{Kind::TimedOut,
                              where + ": no connection within " + limit_of(deadline)};
  if (auto st = set_nonblocking(fd, true); !st) {
    return ClientError{Kind::Connect, where + ": " + os_error_text(st.error())};
  }
  int error = 0;
  while (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == -1) {
    error = errno;
    if (error == EAGAIN) {
      if (deadline.passed()) return timed_out;
      const int wait = deadline.bounded() ? std::min(deadline.poll_timeout(), 10) : 10;
      (void)poll(nullptr, 0, wait);
      continue;
    }
    if (error == EINPROGRESS || error == EINTR) {
      // The connect goes on in the background; its outcome is the socket's error.
      if (auto ready = wait_ready(fd, POLLOUT, deadline); !ready) {
        if (ready.error().kind() == IoErrorKind::TimedOut) return timed_out;
        error = ready.error().os_code();
      } else {
        socklen_t len = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == -1) error = errno;
      }
    }
    break;
  }
  if (error != 0) return ClientError{Kind::Connect, where + ": " + os_error_text(error)};
  if (auto st = set_nonblocking(fd, false); !st) {
    return ClientError{Kind::Connect, where + ": " + os_error_text(st.error())};
  }
  return std::move(socket).value();
}

// Whether an idle connection has anything to read: the daemon closed or reset it, or sent bytes
// nobody asked for. Either way it cannot carry a request.
bool ended_while_idle(int fd) {
  pollfd p{fd, POLLIN, 0};
  return retry_eintr([&] { return poll(&p, 1, 0); }) != 0;
}

}  // namespace

Client Client::adopt(UniqueFd connected) {
  Client client;
  if (auto st = platform::set_nosigpipe(connected.get()); !st) {
    client.unusable_ = std::move(st).error();
  }
  client.connection_.emplace(std::move(connected));
  return client;
}

Result<Client, ClientError> Client::connect(std::string_view path,
                                            std::chrono::milliseconds timeout) {
  auto client = connect(path, Deadline::after(timeout));
  if (client) client->set_timeout(timeout);
  return client;
}

Result<Client, ClientError> Client::connect(std::string_view path, const Deadline& deadline) {
  Client client;
  client.path_ = path;
  if (auto opened = client.open(deadline); !opened) return std::move(opened).error();
  return client;
}

Result<void, ClientError> Client::open(const Deadline& deadline) {
  connection_.reset();
  auto socket = connect_socket(path_, deadline);
  if (!socket) return std::move(socket).error();
  connection_.emplace(std::move(socket).value());
  return {};
}

ClientError Client::drop(ClientError error) {
  connection_.reset();
  return error;
}

// A connection that can carry a request: the one there is, or a new one when it has ended and the
// path is known. Nothing has been sent on a connection that ended while idle.
Result<void, ClientError> Client::ready(const Deadline& deadline) {
  if (unusable_) return io_failure("sending the request failed", *unusable_);
  const bool closed = connection_ && ended_while_idle(connection_->fd.get());
  if (closed) connection_.reset();
  if (connection_) return {};
  if (!path_.empty()) return open(deadline);
  return ClientError{
      Kind::Io, std::string(closed ? "the daemon had closed the connection before the request "
                                     "(as it does when it stops or the console changes hands); "
                                     "nothing was sent"
                                   : "the connection has ended (after a failure, a time-out or "
                                     "the DHCP socket hand-off)") +
                    ", and a connection handed over by its descriptor cannot be made again"};
}

Result<void, ClientError> Client::send(std::string_view body, const Deadline& deadline) {
  if (body.size() > kMaxFrameBody) {
    return ClientError{Kind::BadArgument,
                       "the request is " + std::to_string(body.size()) +
                           " bytes long once encoded, more than the daemon reads in a frame (" +
                           std::to_string(kMaxFrameBody) + "); nothing was sent"};
  }
  if (auto st = ready(deadline); !st) return st;
  connection_->writer.set_deadline(deadline);
  if (auto st = write_frame_body(connection_->writer, body); !st) {
    if (st.error().kind() == IoErrorKind::TimedOut) {
      return drop({Kind::TimedOut, limit_of(deadline) +
                                       " ran out while sending the request: the daemon got part "
                                       "of it at most, which it does not carry out"});
    }
    if (is_hang_up(st.error())) return drop(hang_up());
    return drop(io_failure("sending the request failed", st.error()));
  }
  return {};
}

Result<Response, ClientError> Client::call(const Request& request, const Deadline& deadline) {
  if (std::holds_alternative<BindDhcp67>(request)) {
    return ClientError{Kind::BadArgument,
                       "BindDhcp67 is answered with a descriptor: use bind_dhcp67()"};
  }
  if (auto sent = send(encode_request(request), deadline); !sent) return std::move(sent).error();
  connection_->reader.set_deadline(deadline);
  auto reply = read_response_frame(connection_->reader);
  if (!reply) return drop(reply_failure(reply.error(), deadline));
  if (!answers(request, *reply)) return drop(not_an_answer(request, *reply));
  return std::move(reply).value();
}

Result<UniqueFd, ClientError> Client::bind_dhcp67(const Deadline& deadline) {
  if (auto sent = send(encode_request(BindDhcp67{}), deadline); !sent) {
    return std::move(sent).error();
  }
  // The descriptor travels with the reply's body, so the reply is read with recvmsg, not through
  // the buffered reader (a plain read would drop the descriptor). Replies come in lockstep, so the
  // reader holds nothing of it. The daemon ends the connection afterwards.
  auto frame = read_response_frame_with_fd(connection_->fd.get(), deadline);
  connection_.reset();
  if (!frame) return reply_failure(frame.error(), deadline);
  const Response& reply = frame->response;
  if (const Err* err = std::get_if<Err>(&reply)) return ClientError{Kind::ErrReply, err->text};
  if (!holds<FdFollows>(reply)) return not_an_answer(BindDhcp67{}, reply);
  if (!frame->fd) {
    return ClientError{Kind::ProtocolError, "FdFollows arrived without a descriptor"};
  }
  return std::move(frame->fd);
}

}  // namespace helper_ipc
