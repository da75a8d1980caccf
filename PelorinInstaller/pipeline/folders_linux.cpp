#include <unistd.h>

#include <string>

#include "pipeline/Folders.hpp"

namespace PelorinInstaller::Folders {

// The process's entry for the descriptor leads to the opened folder itself. By process id rather
// than "self", so that a tool this process starts reaches it too.
std::filesystem::path pathThrough(int fd) {
  return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);
}

}  // namespace PelorinInstaller::Folders
