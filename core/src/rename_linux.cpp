#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include <cerrno>

#include "rename.hpp"

namespace InstallerCore {

int renameAtomically(const char* from, const char* to, bool exchange) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE) == 0) {
    return 0;
  }
  int error = errno;
  return error > 0 && strerrordesc_np(error) != nullptr ? error : EIO;
}

}  // namespace InstallerCore
