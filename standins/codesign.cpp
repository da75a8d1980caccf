// Stand-in for codesign --verify: accepts only a bundle whose seal verifies against the trusted
// anchor key and covers every entry exactly, and whose main executable is a Mach-O image; with
// -R, only when the sealed identifier and team are those the requirement names.
#include <PelorinBase/ToolContracts.hpp>
#include <PelorinSeal/Seal.hpp>
#include <algorithm>
#include <iostream>

#include "StandIn.hpp"

namespace {

constexpr int kRequirementUnmet = 3;

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
    auto requirement = PelorinBase::ToolContracts::parseCodeRequirement(arguments[4]);
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
