#include "pipeline/Attachment.hpp"

#include <PelorinBase/ToolContracts.hpp>

#include <system_error>

#include "pipeline/Command.hpp"

namespace PelorinInstaller {

Attachment::Attachment(const Host& host, const std::filesystem::path& image,
                       const std::filesystem::path& mountPoint)
    : host_(host), mountPoint_(mountPoint) {
  Command::run(host_.tools.hdiutil, PelorinBase::ToolContracts::attachArguments(mountPoint_, image),
               host_.commandLimits);
}

// A detach that could not even be started (no descriptor, no process to be had for a moment) is
// tried once more; one that ran and failed is not.
Attachment::~Attachment() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      Command::run(host_.tools.hdiutil, PelorinBase::ToolContracts::detachArguments(mountPoint_),
                   host_.commandLimits);
      return;
    } catch (const std::system_error&) {
    } catch (...) {
      return;
    }
  }
}

}  // namespace PelorinInstaller
