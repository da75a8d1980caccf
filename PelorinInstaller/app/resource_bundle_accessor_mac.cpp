#include <mach-o/dyld.h>

#include <system_error>
#include <vector>

#include "app/resource_bundle_accessor.hpp"

namespace PelorinInstaller {

// An application bundle keeps its program in Contents/MacOS and its resources in
// Contents/Resources; a bare program is its own folder's bundle.
MainBundle mainBundle() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buffer(size + 1, '\0');
  _NSGetExecutablePath(buffer.data(), &size);
  std::error_code error;
  const auto program = std::filesystem::weakly_canonical(buffer.data(), error);
  const auto macos = program.parent_path();
  const auto contents = macos.parent_path();
  if (macos.filename() == "MacOS" && contents.filename() == "Contents") {
    return {contents.parent_path(), contents / "Resources"};
  }
  return {macos, macos};
}

// The code is linked into the program itself.
std::optional<std::filesystem::path> codeBundleResourceURL() { return mainBundle().resourceURL; }

}  // namespace PelorinInstaller
