// The system calls in the forms of the system that runs the suite (on a Mac, the macOS forms):
// the settings that every socket of the library and every accepted connection carries, pipe ends,
// the peer's uid, and setting a file's mode without following a link.
#include "sys.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "helper_ipc/client.h"
#include "helper_ipc/platform.h"

namespace pelmor {
namespace {

using namespace helper_ipc;

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

TEST(Sys, EverySocketIsCloseOnExecAndRaisesNoSigpipe) {
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
  auto accepted = sys::accept_connection(listener->get());
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

TEST(Sys, PipeEndsAreCloseOnExecAndTheInputEndCanRaiseNoSigpipe) {
  auto pipe = sys::open_pipe();
  ASSERT_TRUE(pipe.ok());
  EXPECT_TRUE(cloexec(pipe->first.get()));
  EXPECT_TRUE(cloexec(pipe->second.get()));
  ASSERT_TRUE(sys::set_pipe_nosigpipe(pipe->second.get()).ok());
#if defined(__APPLE__)
  EXPECT_EQ(fcntl(pipe->second.get(), F_GETNOSIGPIPE), 1);
  EXPECT_EQ(fcntl(pipe->first.get(), F_GETNOSIGPIPE), 0);
#endif
}

TEST(Sys, ThePeerOfASocketPairIsOurselves) {
  auto pair = platform::stream_socketpair();
  ASSERT_TRUE(pair.ok());
  for (const UniqueFd* end : {&pair->first, &pair->second}) {
    auto uid = sys::peer_uid(end->get());
    ASSERT_TRUE(uid.ok()) << uid.error().text();
    EXPECT_EQ(*uid, geteuid());
  }
  // Not a socket: the error is the system's, not a uid.
  auto pipe = sys::open_pipe();
  ASSERT_TRUE(pipe.ok());
  auto none = sys::peer_uid(pipe->first.get());
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().os_code(), ENOTSOCK);
}

namespace fs = std::filesystem;

class ChmodNoFollow : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = (fs::temp_directory_path() / "chmod-nofollow.XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string make_file(const std::string& name) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path) << "x";
    chmod(path.c_str(), 0600);
    return path;
  }
  std::string make_socket(const std::string& name) {
    const std::string path = (dir_ / name).string();
    auto s = platform::open_socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(s->get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    chmod(path.c_str(), 0600);
    return path;
  }
  static mode_t mode_of(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  fs::path dir_;
};

TEST_F(ChmodNoFollow, EachKindOfEntry) {
  const std::string file = make_file("file");
  const std::string socket = make_socket("socket");
  const std::string target = make_file("target");
  const std::string link = (dir_ / "link").string();
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const std::string dangling = (dir_ / "dangling").string();
  ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), dangling.c_str()), 0);

  struct Row {
    std::string path;
    int error;              // 0: the mode is set
    std::string unchanged;  // a file whose mode must stay 0600
  };
  const Row rows[] = {
      {file, 0, ""},         {socket, 0, ""},
      {link, ELOOP, target},  // the link's target is never changed
      {dangling, ELOOP, ""}, {(dir_ / "absent").string(), ENOENT, ""},
  };
  for (const Row& r : rows) {
    const Status st = sys::chmod_nofollow(r.path.c_str(), 0666);
    if (r.error == 0) {
      EXPECT_TRUE(st.ok()) << r.path << ": " << st.error().text();
      EXPECT_EQ(mode_of(r.path), 0666u) << r.path;
    } else {
      ASSERT_FALSE(st.ok()) << r.path;
      EXPECT_EQ(st.error().os_code(), r.error) << r.path << ": " << st.error().text();
    }
    if (!r.unchanged.empty()) {
      EXPECT_EQ(mode_of(r.unchanged), 0600u) << r.unchanged;
    }
  }
}

}  // namespace
}  // namespace pelmor
