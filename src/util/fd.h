#pragma once

#include <unistd.h>

#include <utility>

namespace larkspire {

// Move-only owner of one file descriptor; closes it on destruction. Any value >= 0 is a
// valid descriptor (0 included). Other code borrows the plain int through get().
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives up ownership without closing.
  int Release() { return std::exchange(fd_, -1); }

  // Closes the current descriptor (if any) and takes `fd`.
  void Reset(int fd = -1) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }

  // Closes now and reports close()'s result (0 when there was nothing to close).
  int Close() {
    if (fd_ < 0) {
      return 0;
    }
    return ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

}  // namespace larkspire
