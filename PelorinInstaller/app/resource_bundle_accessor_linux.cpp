#include <system_error>

#include "app/resource_bundle_accessor.hpp"

namespace PelorinInstaller {

// The program's folder is its bundle; an installed program keeps its resources in
// <prefix>/share/PelorinInstaller beside <prefix>/bin.
MainBundle mainBundle() {
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  MainBundle main{program.parent_path(), std::nullopt};
  const auto resources = main.bundleURL.parent_path() / "share" / "PelorinInstaller";
  if (!error && std::filesystem::is_directory(resources, error)) main.resourceURL = resources;
  return main;
}

// The code is linked into the program itself.
std::optional<std::filesystem::path> codeBundleResourceURL() { return mainBundle().resourceURL; }

}  // namespace PelorinInstaller
