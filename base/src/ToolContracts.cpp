#include "PelorinBase/ToolContracts.hpp"

namespace PelorinBase::ToolContracts {
namespace {

constexpr std::string_view kHead = "=anchor apple generic and identifier \"";
constexpr std::string_view kMiddle = "\" and certificate leaf[subject.OU] = \"";
constexpr std::string_view kTail =
    "\" and certificate 1[field.1.2.840.113635.100.6.2.6] exists "
    "and certificate leaf[field.1.2.840.113635.100.6.1.13] exists";

}  // namespace

std::string codeRequirement(std::string_view identifier, std::string_view team) {
  return std::string(kHead) + std::string(identifier) + std::string(kMiddle) + std::string(team) +
         std::string(kTail);
}

std::optional<RequirementNames> parseCodeRequirement(std::string_view text) {
  if (!text.starts_with(kHead) || !text.ends_with(kTail) ||
      text.size() < kHead.size() + kTail.size()) {
    return std::nullopt;
  }
  text = text.substr(kHead.size(), text.size() - kHead.size() - kTail.size());
  auto split = text.find(kMiddle);
  if (split == std::string_view::npos) return std::nullopt;
  RequirementNames names{std::string(text.substr(0, split)),
                         std::string(text.substr(split + kMiddle.size()))};
  if (names.identifier.empty() || names.team.empty() ||
      names.identifier.find('"') != std::string::npos ||
      names.team.find('"') != std::string::npos) {
    return std::nullopt;
  }
  return names;
}

std::vector<std::string> attachArguments(const std::filesystem::path& mountPoint,
                                         const std::filesystem::path& image) {
  std::vector<std::string> arguments(kAttachOptions.begin(), kAttachOptions.end());
  arguments.push_back(mountPoint.string());
  arguments.push_back(image.string());
  return arguments;
}

std::vector<std::string> detachArguments(const std::filesystem::path& mountPoint) {
  return {"detach", mountPoint.string()};
}

}  // namespace PelorinBase::ToolContracts
