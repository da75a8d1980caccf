#include "PelorinBase/ScopedFolder.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "PelorinBase/Errors.hpp"

namespace PelorinBase {

namespace fs = std::filesystem;

ScopedFolder ScopedFolder::makeUnique(const fs::path& parent, std::string_view prefix,
                                      Removal removal) {
  std::string pattern = (parent / (std::string(prefix) + "XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throwFileError("cannot make a folder in", parent);
  return ScopedFolder(std::move(pattern), removal);
}

ScopedFolder::ScopedFolder(fs::path path, Removal removal)
    : path_(std::move(path)), removal_(removal) {}

ScopedFolder::ScopedFolder(ScopedFolder&& other) noexcept
    : path_(std::exchange(other.path_, {})), removal_(other.removal_) {}

ScopedFolder::~ScopedFolder() {
  if (path_.empty()) return;
  if (removal_ == Removal::ifEmpty) {
    ::rmdir(path_.c_str());
    return;
  }
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

fs::path ScopedFolder::release() { return std::exchange(path_, {}); }

}  // namespace PelorinBase
