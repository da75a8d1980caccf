#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "process.hpp"

namespace PelorinBase::Platform {

int makePipe(int ends[2]) {
  if (::pipe(ends) != 0) return errno;
  if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) != 0) {
    int error = errno;
    ::close(ends[0]);
    ::close(ends[1]);
    return error;
  }
  return 0;
}

// Only the descriptors that the file actions name survive the launch.
int closeFrom(posix_spawn_file_actions_t&, short& flags, int) {
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  return 0;
}

int inherit(posix_spawn_file_actions_t& actions, int fd) {
  return posix_spawn_file_actions_addinherit_np(&actions, fd);
}

// The system reports bytes.
long peakResidentKiB(const struct rusage& usage) { return usage.ru_maxrss / 1024; }

}  // namespace PelorinBase::Platform
