#pragma once

#include <cstdint>

// The numbers of Mach-O headers that the reader checks and the release tool writes.
namespace InstallerCore::MachO {

inline constexpr std::uint32_t kCpuArm64 = 0x0100000C, kCpuX86_64 = 0x01000007;
inline constexpr std::uint32_t kSubtypeArm64All = 0, kSubtypeX86_64All = 3;
inline constexpr std::uint32_t kMagic64 = 0xFEEDFACF, kCigam64 = 0xCFFAEDFE;
inline constexpr std::uint32_t kFatMagic = 0xCAFEBABE, kFatMagic64 = 0xCAFEBABF;
inline constexpr std::uint32_t kFatCigam = 0xBEBAFECA, kFatCigam64 = 0xBFBAFECA;
inline constexpr std::uint32_t kFileTypeExecute = 2;

}  // namespace InstallerCore::MachO
