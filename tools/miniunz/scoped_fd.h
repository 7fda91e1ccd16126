// A file descriptor that is closed when its owner goes out of scope.
#pragma once

#include <unistd.h>

class ScopedFd {
public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(ScopedFd &&other) noexcept : fd_(other.release()) {}
  ScopedFd &operator=(ScopedFd &&other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedFd(const ScopedFd &) = delete;
  ScopedFd &operator=(const ScopedFd &) = delete;
  ~ScopedFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor (errors ignored: callers that care about
  // close errors call close themselves after release()).
  void reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }

private:
  int fd_ = -1;
};
