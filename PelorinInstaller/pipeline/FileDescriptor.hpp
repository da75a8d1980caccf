#pragma once

#include <unistd.h>

#include <cstddef>
#include <string>
#include <utility>

namespace PelorinInstaller {

// An open file descriptor, closed on every way out unless closed before.
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

// Appends what `fd` holds, up to its end or until `into` holds `limit` bytes. False, with errno
// set, when a read fails; what came before the failure stays in `into`.
bool readUpTo(int fd, std::size_t limit, std::string& into);

}  // namespace PelorinInstaller
