// Stand-in for spctl --assess: accepts only a bundle whose seal verifies and carries the
// assessment stamp, and whose main executable is a Mach-O image.
#include <PelorinSeal/Seal.hpp>
#include <iostream>

#include "StandIn.hpp"

namespace {

int spctl(const StandIn::Arguments& arguments) {
  if (arguments.size() != 4 || arguments[0] != "--assess" || arguments[1] != "--type" ||
      arguments[2] != "execute") {
    std::cerr << "usage: spctl --assess --type execute BUNDLE\n";
    return StandIn::kUsage;
  }
  if (!PelorinSeal::verify(arguments[3], StandIn::anchorKey()).assessed) {
    std::cerr << "spctl: rejected: the seal carries no assessment stamp\n";
    return StandIn::kRefused;
  }
  StandIn::requireMachOMainExecutable(arguments[3]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return StandIn::main("spctl", argc, argv, spctl); }
