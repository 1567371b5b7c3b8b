// The one owner of a file descriptor: move-only, closes in its destructor.
#pragma once

#include <utility>

namespace helper_ipc {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the owned descriptor (if any) and takes `fd`. A close is never retried: after an
  // interrupted close the descriptor's state is unspecified and its number may be reused.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

}  // namespace helper_ipc
