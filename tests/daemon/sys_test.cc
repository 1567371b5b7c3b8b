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
#include "helper_ipc/platform.h"

namespace pelmor {
namespace {

using namespace helper_ipc;
namespace fs = std::filesystem;

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

// A fresh folder, gone with the test.
struct TempDir {
  fs::path path;
  TempDir() {
    std::string dir = (fs::temp_directory_path() / "pelmor-sys.XXXXXX").string();
    EXPECT_NE(mkdtemp(dir.data()), nullptr);
    path = dir;
  }
  ~TempDir() { fs::remove_all(path); }
};

// A UNIX-domain socket of the library's bound to `path`.
UniqueFd bound_socket(const std::string& path) {
  auto s = platform::open_socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  EXPECT_EQ(bind(s->get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  return std::move(s).value();
}

// The library's sockets (all made by open_socket or stream_socketpair) and the daemon's accepted
// connections.
TEST(Sys, EverySocketIsCloseOnExecAndRaisesNoSigpipe) {
  const TempDir dir;
  const std::string path = (dir.path / "s").string();
  const UniqueFd listener = bound_socket(path);
  ASSERT_EQ(listen(listener.get(), 1), 0);
  auto pair = platform::stream_socketpair();
  ASSERT_TRUE(pair.ok());
  const UniqueFd client = bound_socket((dir.path / "c").string());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(connect(client.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  auto accepted = sys::accept_connection(listener.get());
  ASSERT_TRUE(accepted.ok());
  for (const int fd : {listener.get(), pair->first.get(), pair->second.get(), accepted->get()}) {
    EXPECT_TRUE(cloexec(fd)) << fd;
    EXPECT_TRUE(nosigpipe(fd)) << fd;
  }
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
  auto uid = sys::peer_uid(pair->second.get());
  ASSERT_TRUE(uid.ok()) << uid.error().text();
  EXPECT_EQ(*uid, geteuid());
  // Not a socket: the error is the system's, not a uid.
  auto pipe = sys::open_pipe();
  ASSERT_TRUE(pipe.ok());
  auto none = sys::peer_uid(pipe->first.get());
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().os_code(), ENOTSOCK);
}

TEST(Sys, ChmodNoFollowSetsTheModeOfEachKindOfEntryButALink) {
  const TempDir dir;
  const auto at = [&](const char* name) { return (dir.path / name).string(); };
  for (const char* file : {"file", "target"})
    std::ofstream(at(file)) << "x";
  const UniqueFd socket = bound_socket(at("socket"));
  ASSERT_EQ(symlink(at("target").c_str(), at("link").c_str()), 0);
  ASSERT_EQ(symlink(at("nowhere").c_str(), at("dangling").c_str()), 0);
  const auto mode_of = [&](const char* name) {
    struct stat st {};
    return lstat(at(name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  };
  for (const char* entry : {"file", "socket", "target"})
    ASSERT_EQ(chmod(at(entry).c_str(), 0600), 0);
  const std::pair<const char*, int> rows[] = {
      {"file", 0}, {"socket", 0}, {"link", ELOOP}, {"dangling", ELOOP}, {"absent", ENOENT}};
  for (const auto& [entry, error] : rows) {
    const Status st = sys::chmod_nofollow(at(entry).c_str(), 0666);
    EXPECT_EQ(st.ok() ? 0 : st.error().os_code(), error) << entry;
    if (error == 0) {
      EXPECT_EQ(mode_of(entry), 0666u) << entry;
    }
  }
  EXPECT_EQ(mode_of("target"), 0600u) << "the link's target is never changed";
}

}  // namespace
}  // namespace pelmor
