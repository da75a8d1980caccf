#include <errno.h>
#include <fcntl.h>
#include <stdio.h>

#include "rename.hpp"

namespace InstallerCore {

int renameAtomically(const char* from, const char* to, bool exchange) {
  if (renameatx_np(AT_FDCWD, from, AT_FDCWD, to, exchange ? RENAME_SWAP : RENAME_EXCL) == 0) {
    return 0;
  }
  int error = errno;
  return error > 0 && error <= ELAST ? error : EIO;
}

}  // namespace InstallerCore
