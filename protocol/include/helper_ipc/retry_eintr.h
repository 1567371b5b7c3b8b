// System calls interrupted by a signal before they did anything are simply made again.
#pragma once

#include <cerrno>

namespace helper_ipc {

// Repeats a system call while it fails with EINTR; returns its first other result.
template <class F>
auto retry_eintr(F&& call) {
  for (;;) {
    auto rc = call();
    if (!(rc == -1 && errno == EINTR)) return rc;
  }
}

}  // namespace helper_ipc
