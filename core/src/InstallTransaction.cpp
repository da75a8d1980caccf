#include "InstallerCore/InstallTransaction.hpp"

#include <system_error>

#include "InstallerCore/InstallerError.hpp"
#include "rename.hpp"

namespace InstallerCore::InstallTransaction {
namespace {

namespace fs = std::filesystem;

// The path without its last component; a trailing separator does not count as one.
fs::path withoutLastComponent(const fs::path& path) {
  auto text = path.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return fs::path(text).parent_path();
}

// Dot and dot-dot resolved textually; letter case and symbolic links left alone.
fs::path standardized(const fs::path& folder) {
  auto text = folder.lexically_normal().native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

void commit(const fs::path& staged, const fs::path& destination, bool replacing) {
  if (standardized(withoutLastComponent(withoutLastComponent(staged))) !=
      standardized(withoutLastComponent(destination))) {
    throw std::system_error(InstallerError::installConflict);
  }
  if (int error = renameAtomically(staged.c_str(), destination.c_str(), replacing)) {
    throw std::system_error(error, std::generic_category());
  }
}

}  // namespace InstallerCore::InstallTransaction
