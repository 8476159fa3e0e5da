// UniqueFd: sole ownership of one open file descriptor, closed when the owner goes.
// Header-only, so that the archiver plug-ins, which link none of the program, own
// their descriptors the same way.
#pragma once

#include <unistd.h>

#include <utility>

namespace kolbrin::platform {

class UniqueFd {
 public:
  // Takes `fd`; a negative one means no descriptor.
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Closes the descriptor held, if any, and takes `fd`. A close that fails is not
  // reported: where that matters (a file written), close the Release()d one.
  void Reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Gives up ownership without closing.
  int Release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace kolbrin::platform
