#include <fcntl.h>
#include <sys/param.h>

#include <cerrno>

#include <PelorinBase/Errors.hpp>

#include "pipeline/Folders.hpp"

namespace PelorinInstaller::Folders {

// No path names a descriptor here: the folder's present path, which the caller checks against
// the descriptor.
std::filesystem::path pathThrough(int fd) {
  char path[MAXPATHLEN];
  if (::fcntl(fd, F_GETPATH, path) != 0) {
    throw PelorinBase::systemError(errno, "cannot find the opened folder");
  }
  return path;
}

}  // namespace PelorinInstaller::Folders
