// Frames over a real socket pair: limits, end of stream, large replies. A descriptor's passing is
// the C interface's table and the daemon's hand-off (c_interface_test.cc, e2e/daemon_test.cc).
#include "helper_ipc/frame.h"

#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/message_frames.h"
#include "helper_ipc/platform.h"

namespace helper_ipc {
namespace {

std::string prefix(std::uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pair = platform::stream_socketpair();
    ASSERT_TRUE(pair.ok());
    ours_ = std::move(pair->first);
    theirs_ = std::move(pair->second);
  }
  std::string peer_receives(std::size_t n) {
    std::string out(n, '\0');
    BufReader reader(theirs_.get());
    EXPECT_TRUE(reader.read_exact(out.data(), n).ok());
    return out;
  }

  UniqueFd ours_, theirs_;
};

// What the peer sends before it closes, and what read_frame makes of it, frame after frame: the
// request, or the kind and text of the failure. More than a socket buffer holds (8 KiB on macOS) is
// sent while we read.
TEST_F(FrameTest, ReadsEachFrameOrSaysWhyNot) {
  const std::string eof = "eof: failed to fill whole buffer";
  const std::string big = R"({"PfLoadAnchor":{"anchor":"a","rules":")" + std::string(20000, 'r');
  std::string padded = "\"Ping\"";  // a valid request padded with white space to the limit
  padded.resize(kMaxFrameBody, ' ');
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {prefix(6) + "\"Ping\"" + prefix(20042) + big + "\"}}" + prefix(22) +
           R"({"SetForwarding":true})",
       {"Ping", R"(PfLoadAnchor { anchor: "a", rules: ")" + std::string(20000, 'r') + "\" }",
        "SetForwarding(true)", eof}},
      {prefix(6).substr(0, 3), {eof}},
      {prefix(6) + "\"Pi", {eof}},
      {prefix(0) + prefix(6) + "\"ping\"",
       {"invalid: EOF while parsing a value at line 1 column 0",
        "invalid: unknown variant `ping`, expected one of `Ping`, `GetForwarding`, "
        "`SetForwarding`, "
        "`PfLoadAnchor`, `PfFlushAnchor`, `PfEnable`, `PfRelease`, `IfconfigRead`, `IfconfigSet`, "
        "`IfconfigDelete`, `BindDhcp67`, `IcmpEcho` at line 1 column 6"}},
      // The limit, exactly: what is refused is refused by its length.
      {prefix(kMaxFrameBody) + padded + prefix(kMaxFrameBody + 1) + "\"Ping\"",
       {"Ping", "invalid: frame too large"}},
  };
  for (const auto& [sent, want] : rows) {
    SetUp();
    std::thread writer([&, &sent = sent] {
      (void)send_all(theirs_.get(), sent);  // fails once we close, should a fault stop our reads
      theirs_.reset();
    });
    BufReader reader(ours_.get());
    std::vector<std::string> got;
    for (std::size_t i = 0; i < want.size(); ++i) {
      auto frame = read_frame(reader);
      const IoErrorKind kind = frame ? IoErrorKind::Os : frame.error().kind();
      got.push_back(frame                                ? render_for_log(*frame)
                    : kind == IoErrorKind::InvalidData   ? "invalid: " + frame.error().text()
                    : kind == IoErrorKind::UnexpectedEof ? "eof: " + frame.error().text()
                                                         : frame.error().text());
    }
    ours_.reset();
    writer.join();
    EXPECT_EQ(got, want);
  }
}

TEST_F(FrameTest, WritesRepliesLargerThanTheBufferAsOneFrame) {
  BufWriter writer(ours_.get());
  // The length counts UTF-8 bytes, not characters.
  ASSERT_TRUE(write_frame(writer, Err{"\u00e9"}).ok());
  EXPECT_EQ(peer_receives(4 + 12), prefix(12) + "{\"Err\":\"\u00e9\"}");

  const Response big = Err{std::string(100000, 'x')};
  const std::string body = encode_response(big);
  std::string received;
  std::thread reader([&] { received = peer_receives(4 + body.size() + 4 + 6); });
  ASSERT_TRUE(write_frame(writer, big).ok());
  ASSERT_TRUE(write_frame(writer, Pong{}).ok());
  reader.join();
  EXPECT_EQ(writer.buffered(), 0u);
  EXPECT_EQ(received,
            prefix(static_cast<std::uint32_t>(body.size())) + body + prefix(6) + "\"Pong\"");
}

// A peer that announces a body and sends only part of it: the reader holds memory for what
// arrived (one growth step ahead at most, or twice what arrived), never for what was announced.
TEST(FrameBodyMemory, FollowsTheBytesThatArrivedNotTheLengthAnnounced) {
  constexpr std::size_t KiB = 1024;
  struct Row {
    std::uint32_t announced;
    std::size_t sent;  // then the peer closes; all of it is a whole body
  };
  const Row rows[] = {
      {kMaxFrameBody, 0},
      {kMaxFrameBody, 64 * KiB},
      {kMaxFrameBody, 64 * KiB + 1},
      {kMaxFrameBody, 300 * KiB},
      {kMaxFrameBody, kMaxFrameBody},
      {200 * KiB, 200 * KiB},
      {10, 3},
      {0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.announced) + " announced, " + std::to_string(row.sent) +
                 " sent");
    auto pair = platform::stream_socketpair();
    ASSERT_TRUE(pair.ok());
    std::string body(row.sent, 'b');
    for (std::size_t i = 0; i < body.size(); i += 4093)
      body[i] = static_cast<char>('a' + i % 26);  // a misplaced copy shows
    // The peer writes from its own thread: a large body does not fit the socket buffer.
    std::thread peer([&, fd = std::move(pair->second)]() mutable {
      EXPECT_TRUE(write_all(fd.get(), prefix(row.announced) + body).ok());
      fd.reset();
    });
    BufReader reader(pair->first.get());
    BodyBuffer got;
    const Status status = read_frame_body_into(reader, got);
    peer.join();

    EXPECT_LE(got.capacity(),
              std::min<std::size_t>(row.announced, std::max(kBodyGrowthStep, 2 * row.sent)));
    if (row.sent == row.announced) {
      ASSERT_TRUE(status.ok()) << status.error().text();
      EXPECT_EQ(got.view().size(), body.size());
      EXPECT_TRUE(got.view() == body);
    } else {
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error().kind(), IoErrorKind::UnexpectedEof);
      EXPECT_LE(got.view().size(), row.sent);
    }
  }
}

}  // namespace
}  // namespace helper_ipc
