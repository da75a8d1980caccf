#include "pipeline/Attachment.hpp"

#include <PelorinBase/ToolContracts.hpp>

#include "pipeline/Command.hpp"

namespace PelorinInstaller {

Attachment::Attachment(const Host& host, const std::filesystem::path& image,
                       const std::filesystem::path& mountPoint)
    : host_(host), mountPoint_(mountPoint) {
  Command::run(host_.tools.hdiutil, PelorinBase::ToolContracts::attachArguments(mountPoint_, image),
               host_.commandLimits);
}

Attachment::~Attachment() {
  try {
    Command::run(host_.tools.hdiutil, PelorinBase::ToolContracts::detachArguments(mountPoint_),
                 host_.commandLimits);
  } catch (...) {
  }
}

}  // namespace PelorinInstaller
