// The platform call that sets a file's mode without following a link, on each kind of entry the
// daemon's socket path may hold.
#include "helper_ipc/platform.h"

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

namespace helper_ipc {
namespace {

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
    const Status st = platform::chmod_nofollow(r.path.c_str(), 0666);
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
}  // namespace helper_ipc
