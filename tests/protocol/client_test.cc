// The C++ client's own: calls on an adopted descriptor that fail while the request is sent. How the
// client answers each reply, silence and hang-up is in c_interface_test.cc, through the C interface
// over it; its bodies are the encoder's and decoder's.
#include "helper_ipc/client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "gtest/gtest.h"
#include "helper_ipc/platform.h"

namespace helper_ipc {
namespace {

// A descriptor made outside the library: no SO_NOSIGPIPE until adopt sets it (macOS).
std::pair<UniqueFd, UniqueFd> plain_socketpair() {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd a(fds[0]), b(fds[1]);
  EXPECT_TRUE(platform::set_cloexec(a.get()).ok());
  EXPECT_TRUE(platform::set_cloexec(b.get()).ok());
  return {std::move(a), std::move(b)};
}

// Calls on descriptors made outside the library, adopted. SIGPIPE keeps its default action: a send
// that raised it would end the test. A peer that goes while a large request is being sent is the
// daemon's hang-up; a descriptor that is no socket fails to send. Each time the client drops the
// connection, so that a late reply cannot be taken for another's. (A peer gone before anything is
// sent, and one that never answers, are c_interface_test.cc's.)
TEST(ClientAdopt, ACallThatGetsNoReplyFailsAndRaisesNoSigpipe) {
  auto [leaving_end, theirs] = plain_socketpair();
  std::thread leaving([peer = std::move(theirs)] {  // closes its end after the prefix
    char prefix[4];
    EXPECT_EQ(read(peer.get(), prefix, 4), 4);
  });
  int ends[2] = {-1, -1};
  ASSERT_EQ(pipe(ends), 0);
  UniqueFd pipe_read(ends[0]), pipe_write(ends[1]);
  const Request large = PfLoadAnchor{"a", std::string(900 << 10, 'r')};
  struct Row {
    UniqueFd fd;
    Request request;
    ClientError::Kind kind;
    std::string text;
  } rows[] = {
      {std::move(leaving_end), large, ClientError::Kind::Refused,
       "the daemon closed the connection without a reply: this user is not admitted or holds too "
       "many connections, the request was not understood, or the daemon is stopping (the "
       "daemon's log says which)"},
      {std::move(pipe_write), large, ClientError::Kind::Io,
       "sending the request failed: " + os_error_text(ENOTSOCK)},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.text);
    Client client = Client::adopt(std::move(row.fd));
    auto got = client.call(row.request);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind, row.kind);
    EXPECT_EQ(got.error().text, row.text);
    EXPECT_EQ(client.fd(), -1);
  }
  leaving.join();
}

}  // namespace
}  // namespace helper_ipc
