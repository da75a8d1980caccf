#pragma once

#include <InstallerCore/Version.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/Command.hpp"
#include "pipeline/TransferSettings.hpp"

namespace PelorinInstaller {

// Everything the pipeline learns from the operating system, in one value. The live host is
// built once per run; tests build one over temporary folders.
struct Host {
  std::filesystem::path supportFolder;       // .../com.pelorin-ai.code.installer
  std::filesystem::path systemApplications;  // "/Applications"
  std::filesystem::path userApplications;    // $HOME/Applications
  InstallerCore::SystemVersion system;

  // Available capacity of the volume that holds a folder; none when the system reports none.
  std::function<std::optional<std::int64_t>(const std::filesystem::path&)> availableCapacity;
  // Whether an application with this bundle identifier is running.
  std::function<bool(std::string_view bundleID)> isRunning;

  struct Tools {
    std::string hdiutil, ditto, codesign, spctl;
  } tools;
  Command::Limits commandLimits;
  TransferSettings transfer;

  static Host live();
  // The files that the live host's tools need: the tools, and on Linux the key the stand-ins
  // trust. A build without one of them cannot verify any release.
  static std::vector<std::filesystem::path> liveToolFiles();
  // Why a file of liveToolFiles() that can be read cannot serve all the same (on Linux: a key
  // the stand-ins cannot trust); none when it can.
  static std::optional<std::string> liveToolFileFault(const std::filesystem::path& file);
};

}  // namespace PelorinInstaller
