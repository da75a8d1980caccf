#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The words the installer says to the system's tools, in one place for the installer, the
// stand-ins that answer it, the tests and the benchmarks.
namespace PelorinBase::ToolContracts {

// codesign's -R argument: "=" and a designated requirement for a Developer ID application of
// `identifier` signed by `team`.
std::string codeRequirement(std::string_view identifier, std::string_view team);

struct RequirementNames {
  std::string identifier, team;
};

// The identifier and team of an argument in exactly codeRequirement's shape; none for anything
// else, an empty name or one with a quotation mark.
std::optional<RequirementNames> parseCodeRequirement(std::string_view argument);

// How an image is attached: read-only, hidden, unopened and unchecked, at a given mount point.
inline constexpr std::array<std::string_view, 6> kAttachOptions = {
    "attach", "-readonly", "-nobrowse", "-noautoopen", "-noautofsck", "-mountpoint"};

// hdiutil's arguments to attach `image` at `mountPoint`, and to detach what is there.
std::vector<std::string> attachArguments(const std::filesystem::path& mountPoint,
                                         const std::filesystem::path& image);
std::vector<std::string> detachArguments(const std::filesystem::path& mountPoint);

}  // namespace PelorinBase::ToolContracts
