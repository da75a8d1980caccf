#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "InstallerCore/Url.hpp"
#include "InstallerCore/Version.hpp"

namespace InstallerCore {

// The validated "latest.json".
struct ReleaseManifest {
  struct Artifact {
    Url url;
    std::string sha256;
    std::int64_t bytes;
    friend bool operator==(const Artifact&, const Artifact&) = default;
  };

  std::int64_t schemaVersion;
  std::string version, bundleID, minimumSystemVersion;
  std::map<std::string, Artifact> artifacts;

  // Throws InstallerError (invalidManifest, unsupportedSystem) or nlohmann::json's exceptions.
  static ReleaseManifest decode(std::string_view bytes, SystemVersion system);
};

}  // namespace InstallerCore
