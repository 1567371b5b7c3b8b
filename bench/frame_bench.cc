// Reading a 1 MiB frame body from a socket: the body buffer that grows as the bytes arrive,
// against one buffer of the announced length allocated (and zero-filled) before the first byte
// is read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "benchmarks.h"
#include "helper_ipc/frame.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/stream.h"

namespace pelmor_bench {

namespace {

std::string make_frame(std::uint32_t n) {
  std::string frame{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                    static_cast<char>(n >> 8), static_cast<char>(n)};
  for (std::uint32_t i = 0; i < n; ++i)
    frame.push_back(static_cast<char>('a' + i % 26));
  return frame;
}

// The frame a peer sends over and over, from a thread of its own, until the reader hangs up.
class Sender {
 public:
  explicit Sender(helper_ipc::UniqueFd fd, const std::string& frame)
      : thread_([fd = std::move(fd), &frame] {
          while (helper_ipc::send_all(fd.get(), frame).ok()) {
          }
        }) {}
  ~Sender() { thread_.join(); }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

 private:
  std::thread thread_;
};

// Reads frames with `read` (which returns the body in something with a view(), or nothing on
// failure); checks the first against what was sent before timing, so that a reader that does not
// do the work cannot be measured.
template <class Read>
void run(benchmark::State& state, Read read) {
  static const std::string frame = make_frame(helper_ipc::kMaxFrameBody);
  auto pair = helper_ipc::platform::stream_socketpair();
  if (!pair) {
    state.SkipWithError("socketpair failed");
    return;
  }
  helper_ipc::UniqueFd ours = std::move(pair->first);
  {
    Sender sender(std::move(pair->second), frame);
    helper_ipc::BufReader reader(ours.get());
    const auto first = read(reader);
    if (!first || first->view() != std::string_view(frame).substr(4)) {
      state.SkipWithError("the body read is not the body sent");
    } else {
      for (auto _ : state) {
        auto body = read(reader);
        benchmark::DoNotOptimize(body);
      }
    }
    ours.reset();  // the sender's next send fails, and it ends
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (frame.size() - 4)));
}

std::optional<helper_ipc::BodyBuffer> read_growing(helper_ipc::BufReader& reader) {
  helper_ipc::BodyBuffer body;
  if (!helper_ipc::read_frame_body_into(reader, body).ok()) return std::nullopt;
  return body;
}

// The way a body was read before it grew with its bytes: the announced length at once.
struct OneBuffer {
  std::string body;
  std::string_view view() const { return body; }
};
std::optional<OneBuffer> read_into_one_buffer(helper_ipc::BufReader& reader) {
  char prefix[4];
  if (!reader.read_exact(prefix, 4).ok()) return std::nullopt;
  const auto* b = reinterpret_cast<const unsigned char*>(prefix);
  const std::uint32_t n = std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 |
                          std::uint32_t{b[2]} << 8 | std::uint32_t{b[3]};
  OneBuffer out{std::string(n, '\0')};
  if (!reader.read_exact(out.body.data(), n).ok()) return std::nullopt;
  return out;
}

}  // namespace

void register_frame_benchmarks() {
  benchmark::RegisterBenchmark("read_frame/body_1MiB/grown", [](benchmark::State& state) {
    run(state, read_growing);
  })->UseRealTime();
  benchmark::RegisterBenchmark("read_frame/body_1MiB/one_buffer", [](benchmark::State& state) {
    run(state, read_into_one_buffer);
  })->UseRealTime();
}

}  // namespace pelmor_bench
