#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "pipeline/Host.hpp"

namespace PelorinInstaller {

// SHA-256 of a file as 64 lower-case hexadecimal digits.
std::string hash(const std::filesystem::path& file);

// Returns only for this product's bundle in exactly `version`, intact, signed, assessed,
// runnable on the host's system and carrying an arm64 slice.
void verify(const Host& host, const std::filesystem::path& app, std::string_view version);

// Hears each of verify()'s checks as it ends, by name ("identifier", "version", "minimum
// system", "code signature", "requirement", "assessment", "arm64 slice"): its failure, or null.
using CheckReport = std::function<void(std::string_view check, std::exception_ptr failure)>;

// verify() for an image of architecture `arch` ("arm64", "x64"), telling `report` of each check
// in their order. The checks of the seal, the assessment and the code run side by side; the
// failure thrown is the one that comes first in that order, and once it is known `stop` (made
// here when none) ends whatever still runs. A cancel through `stop` is thrown as cancelled.
void verify(const Host& host, const std::filesystem::path& app, std::string_view version,
            std::string_view arch, const CheckReport& report,
            std::shared_ptr<Command::StopSwitch> stop = nullptr);

// The bundle path to install to; its folder exists on return.
std::filesystem::path destination(const Host& host);

// Returns when installing `version` at `app` is allowed (nothing there, or this product in a
// version not newer).
void checkExisting(const std::filesystem::path& app, std::string_view version);

}  // namespace PelorinInstaller
