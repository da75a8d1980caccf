#pragma once

#include <filesystem>

namespace InstallerCore::InstallTransaction {

// Puts `staged` at `destination` in one atomic rename: an exchange when replacing, otherwise a
// rename that never overwrites. Throws InstallerError::installConflict when the staging folder
// is not directly inside the destination's folder, std::system_error (generic category) when the
// rename fails.
void commit(const std::filesystem::path& staged, const std::filesystem::path& destination,
            bool replacing);

}  // namespace InstallerCore::InstallTransaction
