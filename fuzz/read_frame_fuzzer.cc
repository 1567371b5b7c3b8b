// Any bytes as what a peer sends on a connection: fed through a pipe and read with read_frame
// until it fails. Each result must be what the bytes say: a frame whose body decodes gives that
// request, and the first failure is the stream's end inside a frame, an oversized length ("frame
// too large", exactly when the length exceeds the limit) or the decoder's failure, never a system
// error. Malloc hooks count what each read_frame allocates: nothing for a frame that is too
// large, and no single allocation above twice the body's length (the body itself, and texts
// decoded from it as a string may grow them), which at the limit keeps within libFuzzer's
// -malloc_limit_mb=2.
#include <fcntl.h>
#include <sanitizer/allocator_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "checks.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/frame.h"
#include "helper_ipc/message_frames.h"
#include "helper_ipc/stream.h"

using namespace helper_ipc;
using namespace pelmor::fuzz;

namespace {

// ---- Allocations of the reading thread, while counting. -----------------------------------

thread_local bool t_counting = false;
thread_local std::size_t t_total = 0;  // bytes allocated so far
thread_local std::size_t t_total_allowed = 0;
thread_local std::size_t t_single_allowed = 0;
thread_local std::uint32_t t_length = 0;  // of the frame being read

// Stops at the allocation that goes over what is allowed, with its stack.
void on_malloc(const volatile void*, std::size_t size) {
  if (!t_counting) return;
  t_total += size;
  if (size <= t_single_allowed && t_total <= t_total_allowed) return;
  t_counting = false;
  std::fprintf(stderr, "\nread_frame allocates %zu bytes (%zu in all) for a length of %u:\n", size,
               t_total, static_cast<unsigned>(t_length));
  __sanitizer_print_stack_trace();
  fail(t_length > kMaxFrameBody ? "read_frame allocated for a frame that is too large"
                                : "read_frame made an allocation larger than twice the body");
}

void on_free(const volatile void*) {}

// Runs f, allowing `total` bytes in all and no single allocation above `single`.
template <class F>
void with_allocations_limited(std::uint32_t length, std::size_t total, std::size_t single, F&& f) {
  t_length = length;
  t_total = 0;
  t_total_allowed = total;
  t_single_allowed = single;
  t_counting = true;
  f();
  t_counting = false;
}

// ---- The peer: writes the bytes into the pipe, then closes it. ----------------------------

// Writes what fits at once; the rest (beyond the pipe's capacity) from a thread of its own,
// which ends when all is written or the reading end is closed.
class Peer {
 public:
  Peer(UniqueFd write_end, std::string_view bytes) {
    const int fd = write_end.get();
    const int flags = fcntl(fd, F_GETFL);
    expect(flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1, "fcntl on the pipe");
    while (!bytes.empty()) {
      const ssize_t n = write(fd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (bytes.empty()) return;  // closes the write end
    expect(errno == EAGAIN || errno == EWOULDBLOCK, "write to the pipe failed");
    expect(fcntl(fd, F_SETFL, flags) != -1, "fcntl on the pipe");
    thread_ = std::thread([fd = std::move(write_end), bytes] {
      std::string_view rest = bytes;
      while (!rest.empty()) {
        const ssize_t n = write(fd.get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // EPIPE: the reader is gone
        rest.remove_prefix(static_cast<std::size_t>(n));
      }
    });
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

std::uint32_t big_endian(std::string_view four) {
  const auto* b = reinterpret_cast<const unsigned char*>(four.data());
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
         std::uint32_t{b[3]};
}

void expect_failure(const Result<Request>& got, IoErrorKind kind, std::string_view text,
                    std::string_view what) {
  expect(!got.ok(), what, "read_frame succeeded");
  expect(got.error().kind() == kind && got.error().text() == text, what, got.error().text());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signal(SIGPIPE, SIG_IGN);  // the peer learns of a closed reader by EPIPE
  __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view stream(reinterpret_cast<const char*>(data), size);
  int ends[2];
  expect(pipe2(ends, O_CLOEXEC) == 0, "pipe2");
  UniqueFd read_end(ends[0]), write_end(ends[1]);
  // The daemon's buffer, or small ones that make read_exact refill and read past the buffer.
  constexpr std::size_t kCapacities[] = {kStreamBufferSize, kStreamBufferSize, 1, 7};
  BufReader reader(read_end.get(), kCapacities[size % 4]);
  Peer peer(std::move(write_end), stream);

  for (std::size_t pos = 0;;) {
    // What the bytes say: the stream ends inside the length, or the length.
    const std::string_view rest = stream.substr(pos);
    const std::optional<std::uint32_t> length =
        rest.size() < 4 ? std::nullopt : std::optional(big_endian(rest.substr(0, 4)));

    // Little for a missing or oversized length; else no block above twice the body (itself,
    // and a text decoded from it, which a string may grow to twice its length).
    std::optional<Result<Request>> got;
    const bool body_allowed = length && *length <= kMaxFrameBody;
    with_allocations_limited(length.value_or(0), body_allowed ? SIZE_MAX : 1024,
                             body_allowed ? 2 * (std::size_t{*length} + 1) + 4096 : 1024,
                             [&] { got.emplace(read_frame(reader)); });
    if (!got->ok()) {
      const IoErrorKind kind = got->error().kind();
      expect(kind == IoErrorKind::UnexpectedEof || kind == IoErrorKind::InvalidData,
             "read_frame failed with neither UnexpectedEof nor InvalidData", got->error().text());
    }

    if (!length) {
      expect_failure(*got, IoErrorKind::UnexpectedEof, "failed to fill whole buffer",
                     "a stream ending inside a length must fail with UnexpectedEof");
      break;
    }
    if (*length > kMaxFrameBody) {
      expect_failure(*got, IoErrorKind::InvalidData, "frame too large",
                     "a length above the limit must fail with \"frame too large\"");
      break;
    }
    if (rest.size() - 4 < *length) {
      expect_failure(*got, IoErrorKind::UnexpectedEof, "failed to fill whole buffer",
                     "a stream ending inside a body must fail with UnexpectedEof");
      break;
    }
    const std::string_view body = rest.substr(4, *length);
    auto want = decode_request(body);
    if (!want) {
      expect_failure(*got, IoErrorKind::InvalidData, want.error().text,
                     "a body that does not decode must fail with the decoder's text");
      break;
    }
    expect(got->ok(), "a frame whose body decodes failed", got->ok() ? "" : got->error().text());
    expect(**got == *want, "read_frame gave another request than its body holds", body);
    pos += 4 + *length;
  }
  read_end.reset();  // a peer still writing gets EPIPE and ends
  return 0;
}
