// Requests and replies as frames: the message layer over frame.h. The daemon reads requests and
// writes replies (one of them with a descriptor); a client writes requests and reads replies.
// A body that does not decode fails with InvalidData carrying the decoder's text.
#pragma once

#include "helper_ipc/frame.h"
#include "helper_ipc/messages.h"
#include "helper_ipc/result.h"
#include "helper_ipc/stream.h"
#include "helper_ipc/unique_fd.h"

namespace helper_ipc {

// The daemon's side.
// Reads one frame and decodes its body as a Request.
Result<Request> read_frame(BufReader& reader);
// Encodes `response` and writes it as one frame through the writer, then flushes. A reply of up
// to 8,188 bytes leaves in a single write.
Status write_frame(BufWriter& writer, const Response& response);
// Encodes `response` and writes it directly on the connected socket with `fd` attached, as
// write_frame_body_with_fd does. The caller keeps `fd` and flushes its own writer before calling.
Status write_frame_with_fd(int socket, const Response& response, int fd);

// The client's side.
// Encodes `request` and writes it as one frame through the writer, then flushes.
Status write_request_frame(BufWriter& writer, const Request& request);
// Reads one frame and decodes its body as a Response.
Result<Response> read_response_frame(BufReader& reader);
// A reply read together with the descriptor that came with it, if any.
struct ResponseWithFd {
  Response response;
  UniqueFd fd;
};
// Reads one frame straight from the socket, as read_frame_body_with_fd does, and decodes it.
Result<ResponseWithFd> read_response_frame_with_fd(int socket, const Deadline& deadline = {});

}  // namespace helper_ipc
