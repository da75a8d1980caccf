#pragma once

#include <InstallerCore/Version.hpp>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "pipeline/TransferSettings.hpp"

// The pieces of the live hosts that do not depend on the operating system.
namespace PelorinInstaller::HostParts {

// Bytes available to the user on the volume holding `folder`; none when the volume keeps no
// block counts. Throws the file-system error of the query.
std::optional<std::int64_t> availableCapacity(const std::filesystem::path& folder);

// Whether `executable` lies inside an application bundle whose Info.plist carries `bundleID`.
bool insideBundle(const std::filesystem::path& executable, std::string_view bundleID);

// The first three numbers of a version text such as "6.1.0-13-amd64" or "14.2"; missing ones 0.
InstallerCore::SystemVersion leadingNumbers(std::string_view text);

// The home folder: $HOME when absolute, else the password database. Throws when there is none.
std::filesystem::path homeFolder();

// The trust store and connect-to mappings compiled in (PELORIN_CA_FILE, PELORIN_CONNECT_TO), and
// no proxy lookup: direct. The pipeline has no framework to ask the system's proxy settings; the
// window hands in Qt Network's lookup.
TransferSettings compiledTransferSettings();

}  // namespace PelorinInstaller::HostParts
