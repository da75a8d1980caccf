#pragma once

#include <InstallerCore/Version.hpp>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/Host.hpp"
#include "pipeline/TransferSettings.hpp"

// The publisher's check of a live distribution host, by the installer's own rules.
namespace PelorinRelease {

struct HostCheckOptions {
  PelorinInstaller::TransferSettings transfer;  // trust store, connect-to and time limits
  InstallerCore::SystemVersion system;          // the running system
  bool full = false;  // also download each image whole and compare its digest and size
  // With `full`, also attach each image read-only and verify its application as the installer
  // does, with these tools trusting `anchor`.
  std::optional<PelorinInstaller::Host::Tools> tools = std::nullopt;
  // The key the stand-in codesign and spctl trust; none: the one beside them, as the installer's.
  std::optional<std::filesystem::path> anchor = std::nullopt;
  // Fractions of a whole-image download, by architecture.
  std::function<void(const std::string& arch, double fraction)> progress = nullptr;
};

// One check: what was checked, whether it passed, and what the host did; for a failure, the
// message key the installer's window would show comes first.
struct CheckLine {
  std::string name;
  bool passed;
  std::string detail;
};

// Runs the checks in order, handing each line to `report` as soon as it is known. Only GET
// requests; whole images go to a temporary folder that is removed. A line that makes the rest
// meaningless (no trusted connection, no usable manifest) is the last one.
std::vector<CheckLine> checkHost(const HostCheckOptions& options,
                                 const std::function<void(const CheckLine&)>& report = {});

// The connect-to entry that sends the distribution host's port 443 to "HOST" or "HOST:PORT".
std::string connectToHost(std::string_view host);

}  // namespace PelorinRelease
