#pragma once

#include <filesystem>

namespace PelorinInstaller::Desktop {

// Opens an installed application the way the desktop opens it; false when it cannot.
bool openApplication(const std::filesystem::path& application);

// Shows an item in the desktop's file viewer, as far as the desktop allows.
void revealInFileViewer(const std::filesystem::path& item);

}  // namespace PelorinInstaller::Desktop
