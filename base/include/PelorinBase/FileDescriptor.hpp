#pragma once

#include <unistd.h>

#include <utility>

namespace PelorinBase {

// An open file descriptor (or -1), closed on every way out unless closed before; an error of that
// last close is ignored.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  // Closes now; false (with errno) when closing reported an error.
  bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

}  // namespace PelorinBase
