// A tool for the tool runner's tests: reports what it inherited, run directly so that no shell in
// between can change it. Prints one line with the descriptors open in this process (leaving out
// the one it reads the listing through) and one with the state of each signal that the daemon
// ignores or blocks, for example
//   fds: 0 1 2
//   SIGPIPE: default, unblocked
#include <dirent.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <utility>

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

  sigset_t blocked;
  sigemptyset(&blocked);
  if (sigprocmask(SIG_BLOCK, nullptr, &blocked) == -1) return 1;
  for (const auto& [signal, name] :
       {std::pair{SIGPIPE, "PIPE"}, {SIGHUP, "HUP"}, {SIGINT, "INT"}, {SIGTERM, "TERM"}}) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) == -1) return 1;
    std::printf("\nSIG%s: %s, %s", name,
                action.sa_handler == SIG_DFL   ? "default"
                : action.sa_handler == SIG_IGN ? "ignored"
                                               : "caught",
                sigismember(&blocked, signal) == 1 ? "blocked" : "unblocked");
  }
  std::printf("\n");
  return std::fflush(stdout) == 0 ? 0 : 1;
}
