#pragma once

#include <filesystem>
#include <optional>

namespace PelorinInstaller {

// Where the program's own files lie, as the platform lays them out.
struct MainBundle {
  std::filesystem::path bundleURL;                   // the program's bundle, or its folder
  std::optional<std::filesystem::path> resourceURL;  // its resource folder, when there is one
};

MainBundle mainBundle();

// The resource folder of the bundle whose code contains this function, when there is one.
std::optional<std::filesystem::path> codeBundleResourceURL();

}  // namespace PelorinInstaller
