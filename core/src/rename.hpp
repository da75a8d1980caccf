#pragma once

namespace InstallerCore {

// One atomic rename: an exchange of two existing entries, or a rename that never overwrites.
// Returns 0 or a POSIX error number (EIO for one the platform does not know).
int renameAtomically(const char* from, const char* to, bool exchange);

}  // namespace InstallerCore
