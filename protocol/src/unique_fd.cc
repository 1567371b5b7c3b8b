#include "helper_ipc/unique_fd.h"

#include <unistd.h>

namespace helper_ipc {

void UniqueFd::reset(int fd) noexcept {
  int old = std::exchange(fd_, fd);
  if (old >= 0) ::close(old);
}

}  // namespace helper_ipc
