// A tool for the tool runner's tests: reports what it inherited, run directly so that no shell in
// between can change it. Prints one line with the descriptors open in this process (leaving out
// the one it reads the listing through) and one with the state of SIGPIPE, for example
//   fds: 0 1 2
//   SIGPIPE: default, unblocked
#include <dirent.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

int main() {
  // /dev/fd lists this process's descriptors on macOS and, through /proc, on Linux.
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/dev/fd"), closedir);
  if (!dir) {
    std::perror("/dev/fd");
    return 1;
  }
  std::set<long> fds;
  while (const dirent* entry = readdir(dir.get())) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && fd != dirfd(dir.get())) fds.insert(fd);
  }
  std::printf("fds:");
  for (long fd : fds)
    std::printf(" %ld", fd);

  struct sigaction action {};
  sigset_t blocked;
  sigemptyset(&blocked);
  if (sigaction(SIGPIPE, nullptr, &action) == -1 ||
      sigprocmask(SIG_BLOCK, nullptr, &blocked) == -1) {
    std::perror("SIGPIPE");
    return 1;
  }
  std::printf("\nSIGPIPE: %s, %s\n",
              action.sa_handler == SIG_DFL   ? "default"
              : action.sa_handler == SIG_IGN ? "ignored"
                                             : "caught",
              sigismember(&blocked, SIGPIPE) == 1 ? "blocked" : "unblocked");
  return std::fflush(stdout) == 0 ? 0 : 1;
}
