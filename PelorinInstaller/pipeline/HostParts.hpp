#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "pipeline/TransferSettings.hpp"

// The pieces of the live hosts that do not depend on the operating system.
namespace PelorinInstaller::HostParts {

// Bytes available to the user on a volume of `blocks` blocks, `available` of them free to the
// user, each of `unit` bytes: none when the volume keeps no block counts; past the largest
// signed 64-bit number, that number.
std::optional<std::int64_t> capacity(std::uint64_t blocks, std::uint64_t available,
                                     std::uint64_t unit);

// Whether `executable` lies inside an application bundle named `bundleName` whose Info.plist
// carries `bundleID`. The name is compared in any letter case, as the Mac's volumes compare
// names. Bundles of other names are not read: on macOS reading a file in another app's bundle
// in Downloads, Desktop, Documents or on an external volume makes the system ask the user.
bool insideBundle(const std::filesystem::path& executable, std::string_view bundleName,
                  std::string_view bundleID);

// The home folder: $HOME when absolute, else the password database. Throws when there is none.
std::filesystem::path homeFolder();

// The trust store and connect-to mappings compiled in (PELORIN_CA_FILE, PELORIN_CONNECT_TO), and
// no proxy lookup: direct. The pipeline has no framework to ask the system's proxy settings; the
// window hands in Qt Network's lookup.
TransferSettings compiledTransferSettings();

}  // namespace PelorinInstaller::HostParts
