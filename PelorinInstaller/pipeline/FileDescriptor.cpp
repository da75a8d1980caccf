#include "pipeline/FileDescriptor.hpp"

#include <algorithm>
#include <cerrno>

namespace PelorinInstaller {

bool readUpTo(int fd, std::size_t limit, std::string& into) {
  char buffer[65536];
  while (into.size() < limit) {
    ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - into.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    into.append(buffer, static_cast<std::size_t>(got));
  }
  return true;
}

}  // namespace PelorinInstaller
