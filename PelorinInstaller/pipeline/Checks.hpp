#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "pipeline/Host.hpp"

namespace PelorinInstaller {

// SHA-256 of a file as 64 lower-case hexadecimal digits.
std::string hash(const std::filesystem::path& file);

// Returns only for this product's bundle in exactly `version`, intact, signed, assessed,
// runnable on the host's system and carrying an arm64 slice.
void verify(const Host& host, const std::filesystem::path& app, std::string_view version);

// The bundle path to install to; its folder exists on return.
std::filesystem::path destination(const Host& host);

// Returns when installing `version` at `app` is allowed (nothing there, or this product in a
// version not newer).
void checkExisting(const std::filesystem::path& app, std::string_view version);

}  // namespace PelorinInstaller
