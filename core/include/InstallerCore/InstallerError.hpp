#pragma once

#include <string_view>
#include <system_error>

namespace InstallerCore {

// Values start at 1: a std::error_code of value 0 means "no error".
enum class InstallerError {
  invalidManifest = 1,
  invalidURL,
  unsupportedSystem,
  invalidResponse,
  damagedDownload,
  wrongApplication,
  downgrade,
  appRunning,
  installConflict,
  noSpace,
  busy,
  cancelled,
};

// The case's name, e.g. "noSpace"; part of the interface (message key "error." + name).
std::string_view name(InstallerError);
const std::error_category& installerCategory();
std::error_code make_error_code(InstallerError);

}  // namespace InstallerCore

template <>
struct std::is_error_code_enum<InstallerCore::InstallerError> : std::true_type {};
