#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace InstallerCore::MachO {

// Whether a thin 64-bit or universal Mach-O header holds code for `arch` ("arm64" or "x64").
bool supports(std::string_view arch, std::span<const std::uint8_t> header);

}  // namespace InstallerCore::MachO
