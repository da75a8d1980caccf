#include <mntent.h>
#include <sys/socket.h>

#include "TestPlatform.hpp"
#include "TestSupport.hpp"

namespace PelorinTesting {

std::vector<fs::path> mountsUnder(const fs::path& folder) {
  std::vector<fs::path> found;
  auto prefix = folder.string() + "/";
  FILE* table = setmntent("/proc/self/mounts", "r");  // getmntent undoes the octal escapes
  for (mntent* entry; table && (entry = getmntent(table));) {
    std::string point = entry->mnt_dir;
    if (point == folder.string() || point.starts_with(prefix)) found.emplace_back(point);
  }
  if (table) endmntent(table);
  return found;
}

namespace Platform {

timespec modified(const struct stat& info) { return info.st_mtim; }

int nonBlockingSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

int acceptClosingOnExec(int listening) {
  return ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
}

}  // namespace Platform
}  // namespace PelorinTesting
