#include "InstallerCore/InstallerError.hpp"

#include <array>
#include <string>

namespace InstallerCore {
namespace {

constexpr std::array<std::string_view, 12> kNames = {
    "invalidManifest",
    "invalidURL",
    "unsupportedSystem",
    "invalidResponse",
    "damagedDownload",
    "wrongApplication",
    "downgrade",
    "appRunning",
    "installConflict",
    "noSpace",
    "busy",
    "cancelled",
};

class InstallerCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "InstallerError"; }
  std::string message(int value) const override {
    return std::string(InstallerCore::name(static_cast<InstallerError>(value)));
  }
};

}  // namespace

std::string_view name(InstallerError error) {
  auto index = static_cast<int>(error) - 1;
  if (index < 0 || index >= static_cast<int>(kNames.size())) return "unknown";
  return kNames[static_cast<std::size_t>(index)];
}

const std::error_category& installerCategory() {
  static const InstallerCategory category;
  return category;
}

std::error_code make_error_code(InstallerError error) {
  return {static_cast<int>(error), installerCategory()};
}

}  // namespace InstallerCore
