// The platform calls: the settings that every descriptor of the library carries, and the peer's
// uid. Here they take the forms of the system that runs the suite: on a Mac, the macOS forms.
#include "helper_ipc/platform.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "helper_ipc/client.h"

namespace helper_ipc {
namespace {

bool cloexec(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

// Whether a send to a vanished peer stays quiet without MSG_NOSIGNAL (SO_NOSIGPIPE, macOS only).
bool nosigpipe([[maybe_unused]] int fd) {
#if defined(__APPLE__)
  int value = 0;
  socklen_t len = sizeof value;
  return getsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &value, &len) == 0 && value != 0;
#else
  return true;  // Linux has no such option; every send passes MSG_NOSIGNAL instead
#endif
}

TEST(Platform, EverySocketOfTheLibraryIsCloseOnExecAndRaisesNoSigpipe) {
  char dir[] = "/tmp/pelmor-platform-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/s";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  auto listener = platform::open_socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_TRUE(listener.ok());
  ASSERT_EQ(bind(listener->get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener->get(), 1), 0);

  auto pair = platform::stream_socketpair();
  ASSERT_TRUE(pair.ok());
  auto client = Client::connect(path);
  ASSERT_TRUE(client.ok()) << client.error().text;
  auto accepted = platform::accept_connection(listener->get());
  ASSERT_TRUE(accepted.ok());
  auto udp = platform::open_socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_TRUE(udp.ok());
  int raw[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, raw), 0);
  UniqueFd handed_over(raw[0]), other(raw[1]);
  ASSERT_TRUE(platform::set_cloexec(handed_over.get()).ok());
  ASSERT_TRUE(platform::set_cloexec(other.get()).ok());
  const Client adopted = Client::adopt(std::move(handed_over));

  const struct {
    const char* what;
    int fd;
  } rows[] = {
      {"listener", listener->get()},
      {"socket pair, first", pair->first.get()},
      {"socket pair, second", pair->second.get()},
      {"connected client", client->fd()},
      {"accepted connection", accepted->get()},
      {"UDP socket", udp->get()},
      {"adopted socket", adopted.fd()},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_TRUE(cloexec(row.fd));
    EXPECT_TRUE(nosigpipe(row.fd));
  }
  std::filesystem::remove_all(dir);
}

TEST(Platform, PipeEndsAreCloseOnExecAndTheInputEndCanRaiseNoSigpipe) {
  auto pipe = platform::open_pipe();
  ASSERT_TRUE(pipe.ok());
  EXPECT_TRUE(cloexec(pipe->first.get()));
  EXPECT_TRUE(cloexec(pipe->second.get()));
  ASSERT_TRUE(platform::set_pipe_nosigpipe(pipe->second.get()).ok());
#if defined(__APPLE__)
  EXPECT_EQ(fcntl(pipe->second.get(), F_GETNOSIGPIPE), 1);
  EXPECT_EQ(fcntl(pipe->first.get(), F_GETNOSIGPIPE), 0);
#endif
}

TEST(Platform, ThePeerOfASocketPairIsOurselves) {
  auto pair = platform::stream_socketpair();
  ASSERT_TRUE(pair.ok());
  for (const UniqueFd* end : {&pair->first, &pair->second}) {
    auto uid = platform::peer_uid(end->get());
    ASSERT_TRUE(uid.ok()) << uid.error().text();
    EXPECT_EQ(*uid, geteuid());
  }
  // Not a socket: the error is the system's, not a uid.
  auto pipe = platform::open_pipe();
  ASSERT_TRUE(pipe.ok());
  auto none = platform::peer_uid(pipe->first.get());
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().os_code(), ENOTSOCK);
}

}  // namespace
}  // namespace helper_ipc
