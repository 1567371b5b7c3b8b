// Frames on the connection: a 4-byte big-endian body length (not counting itself), then the body.
// This layer moves bodies and knows no message type; message_frames.h reads and writes the
// requests and replies on top of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "helper_ipc/result.h"
#include "helper_ipc/stream.h"
#include "helper_ipc/unique_fd.h"

namespace helper_ipc {

// The largest body that a reader accepts. Writers check only that the length fits the prefix.
inline constexpr std::uint32_t kMaxFrameBody = 1024 * 1024;

// How far ahead of the bytes that arrived a body being read may hold memory: a reader allocates
// at most this much before the first body byte arrives, and never more than twice what arrived
// beyond that.
inline constexpr std::size_t kBodyGrowthStep = 64 * 1024;

// The body of a frame being read. It grows as the bytes arrive, so a peer that announces a large
// body and sends little of it makes the reader hold little; growth doubles the capacity (at most
// up to the announced length), so reading a large body copies it a bounded number of times.
// Memory not yet written is not touched.
class BodyBuffer {
 public:
  BodyBuffer() = default;
  BodyBuffer(BodyBuffer&& other) noexcept
      : data_(std::move(other.data_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  BodyBuffer& operator=(BodyBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }

  // The body read so far: the whole body after a successful read.
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  // What the buffer holds allocated now.
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  friend Status read_frame_body_into(BufReader& reader, BodyBuffer& body);

  struct Free {
    void operator()(char* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<char, Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Reads one frame into `body`, releasing whatever it held first. A length above kMaxFrameBody fails
// with InvalidData "frame too large" before any body byte is read and before anything is allocated.
// The body buffer is grown step by step as its bytes arrive (see BodyBuffer).
Status read_frame_body_into(BufReader& reader, BodyBuffer& body);

// Reads one frame and returns its body, as read_frame_body_into.
Result<std::string> read_frame_body(BufReader& reader);

// Writes one frame holding `body` through the writer and flushes it. A body of up to 8,188 bytes
// leaves in a single write.
Status write_frame_body(BufWriter& writer, std::string_view body);

// Writes one frame holding `body` directly on the connected socket `socket`, with `fd` attached to
// the body as one SCM_RIGHTS message. The prefix goes first, on its own; the descriptor travels
// with the first body bytes. The sendmsg that carries it is not repeated when interrupted. The
// caller keeps ownership of `fd` and flushes its own writer before calling.
Status write_frame_body_with_fd(int socket, std::string_view body, int fd);

// A frame read together with the descriptor that came with it, if any.
struct FrameWithFd {
  std::string body;
  UniqueFd fd;
};

// The receiving side of write_frame_body_with_fd: reads one whole frame straight from the socket
// with recvmsg (never more than the frame, so nothing after it is consumed) and keeps the
// descriptor that arrives with it, made close-on-exec. More than one descriptor, or descriptors cut
// off (MSG_CTRUNC), fail with InvalidData; every descriptor received is closed then. A bounded
// `deadline` bounds the whole frame, as a reader's deadline does.
Result<FrameWithFd> read_frame_body_with_fd(int socket, const Deadline& deadline = {});

}  // namespace helper_ipc
