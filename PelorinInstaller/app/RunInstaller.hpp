#pragma once

#include <filesystem>
#include <memory>

#include "pipeline/Cancellation.hpp"
#include "pipeline/Installer.hpp"

namespace PelorinInstaller {

// One installation by the install driver, as the window starts it.
std::filesystem::path runInstaller(std::shared_ptr<Cancellation> cancellation,
                                   ProgressReport report);

}  // namespace PelorinInstaller
