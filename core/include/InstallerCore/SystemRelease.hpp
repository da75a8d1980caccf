#pragma once

#include <string_view>

#include "InstallerCore/Version.hpp"

// The running system's version from the texts the system reports.
namespace InstallerCore::SystemRelease {

// The first three numbers of a version text such as "6.1.0-13-amd64" or "14.2"; missing ones 0.
SystemVersion numbers(std::string_view text);

// macOS's version from the Darwin release (kern.osrelease, "25.1.0") and the product version
// (kern.osproductversion). A program built with an SDK older than the running system may read a
// compatibility number as the product version (16.x on macOS 26); the Darwin release cannot be
// read so, and decides the major version then.
SystemVersion macOS(std::string_view darwinRelease, std::string_view productVersion);

}  // namespace InstallerCore::SystemRelease
