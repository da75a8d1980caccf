#pragma once

#include <PelorinBase/PlistGuard.hpp>

namespace PelorinInstaller {
using PelorinBase::plistIsBounded;
}  // namespace PelorinInstaller
