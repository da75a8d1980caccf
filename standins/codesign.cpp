// Stand-in for codesign --verify: accepts only a bundle whose seal verifies against the trusted
// anchor key and covers every entry exactly, and whose main executable is a Mach-O image; with
// -R, only when the sealed identifier and team are those the requirement names.
#include <PelorinSeal/Seal.hpp>
#include <algorithm>
#include <iostream>
#include <optional>

#include "StandIn.hpp"

namespace {

constexpr int kRequirementUnmet = 3;

struct Requirement {
  std::string identifier, team;
};

// The one requirement shape the installer writes; anything else is a doubt.
std::optional<Requirement> parseRequirement(std::string_view text) {
  constexpr std::string_view head = "=anchor apple generic and identifier \"";
  constexpr std::string_view middle = "\" and certificate leaf[subject.OU] = \"";
  constexpr std::string_view tail =
      "\" and certificate 1[field.1.2.840.113635.100.6.2.6] exists "
      "and certificate leaf[field.1.2.840.113635.100.6.1.13] exists";
  if (!text.starts_with(head) || !text.ends_with(tail)) return std::nullopt;
  text = text.substr(head.size(), text.size() - head.size() - tail.size());
  auto split = text.find(middle);
  if (split == std::string_view::npos) return std::nullopt;
  Requirement requirement{std::string(text.substr(0, split)),
                          std::string(text.substr(split + middle.size()))};
  if (requirement.identifier.empty() || requirement.team.empty() ||
      requirement.identifier.find('"') != std::string::npos ||
      requirement.team.find('"') != std::string::npos) {
    return std::nullopt;
  }
  return requirement;
}

int codesign(const StandIn::Arguments& arguments) {
  const StandIn::Arguments deep = {"--verify", "--deep", "--strict", "--all-architectures"};
  const StandIn::Arguments withRequirement = {"--verify", "--strict", "--all-architectures", "-R"};
  if (arguments.size() == 5 && std::equal(deep.begin(), deep.end(), arguments.begin())) {
    PelorinSeal::verify(arguments[4], StandIn::anchorKey());
    StandIn::requireMachOMainExecutable(arguments[4]);
    return 0;
  }
  if (arguments.size() == 6 &&
      std::equal(withRequirement.begin(), withRequirement.end(), arguments.begin())) {
    auto requirement = parseRequirement(arguments[4]);
    if (!requirement) {
      std::cerr << "codesign: unsupported requirement\n";
      return StandIn::kUsage;
    }
    auto identity = PelorinSeal::verify(arguments[5], StandIn::anchorKey());
    StandIn::requireMachOMainExecutable(arguments[5]);
    if (identity.identifier != requirement->identifier || identity.team != requirement->team) {
      std::cerr << "codesign: the seal does not satisfy the requirement\n";
      return kRequirementUnmet;
    }
    return 0;
  }
  std::cerr << "usage: codesign --verify --deep --strict --all-architectures BUNDLE\n"
               "       codesign --verify --strict --all-architectures -R =REQUIREMENT BUNDLE\n";
  return StandIn::kUsage;
}

}  // namespace

int main(int argc, char** argv) { return StandIn::main("codesign", argc, argv, codesign); }
