// Frames on the connection: a 4-byte big-endian body length (not counting itself), then the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "helper_ipc/messages.h"
#include "helper_ipc/result.h"
#include "helper_ipc/stream.h"
#include "helper_ipc/unique_fd.h"

namespace helper_ipc {

// The largest body that a reader accepts. Writers check only that the length fits the prefix.
inline constexpr std::uint32_t kMaxFrameBody = 1024 * 1024;

// Reads one frame and returns its body. A length above kMaxFrameBody fails with InvalidData
// "frame too large" before any body byte is read (and before anything is allocated for it).
Result<std::string> read_frame_body(BufReader& reader);

// Reads one frame and decodes its body as a Request; a body that does not decode fails with
// InvalidData carrying the decoder's text.
Result<Request> read_frame(BufReader& reader);

// Writes one frame holding `body` through the writer and flushes it.
Status write_frame_body(BufWriter& writer, std::string_view body);

// Encodes `response` and writes it as one frame through the writer, then flushes. A body of up to
// 8,188 bytes leaves in a single write.
Status write_frame(BufWriter& writer, const Response& response);

// Writes `response` as one frame directly on the connected socket `socket`, with `fd` attached to
// the body as one SCM_RIGHTS message. The prefix goes first, on its own; the descriptor travels
// with the first body bytes. The sendmsg that carries it is not repeated when interrupted. The
// caller keeps ownership of `fd` and flushes its own writer before calling.
Status write_frame_with_fd(int socket, const Response& response, int fd);

// A frame read together with the descriptor that came with it, if any.
struct FrameWithFd {
  std::string body;
  UniqueFd fd;
};

// The receiving side of write_frame_with_fd: reads one whole frame straight from the socket with
// recvmsg (never more than the frame, so nothing after it is consumed) and keeps the descriptor
// that arrives with it, made close-on-exec. More than one descriptor, or descriptors cut off
// (MSG_CTRUNC), fail with InvalidData; every descriptor received is closed then.
Result<FrameWithFd> read_frame_with_fd(int socket);

}  // namespace helper_ipc
