#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include "TestPlatform.hpp"
#include "TestSupport.hpp"

namespace PelorinTesting {

std::vector<fs::path> mountsUnder(const fs::path& folder) {
  std::vector<fs::path> found;
  auto prefix = folder.string() + "/";
  struct statfs* table = nullptr;
  const int count = ::getmntinfo(&table, MNT_NOWAIT);
  for (int i = 0; i < count; ++i) {
    std::string point = table[i].f_mntonname;
    if (point == folder.string() || point.starts_with(prefix)) found.emplace_back(point);
  }
  return found;
}

namespace Platform {

timespec modified(const struct stat& info) { return info.st_mtimespec; }

// No flags at creation here: set just after, which a child started in between may inherit.
int nonBlockingSocket() {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket >= 0 &&
      (::fcntl(socket, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(socket, F_SETFL, O_NONBLOCK) != 0)) {
    ::close(socket);
    return -1;
  }
  return socket;
}

int acceptClosingOnExec(int listening) {
  const int connection = ::accept(listening, nullptr, nullptr);
  if (connection >= 0) ::fcntl(connection, F_SETFD, FD_CLOEXEC);
  return connection;
}

}  // namespace Platform
}  // namespace PelorinTesting
