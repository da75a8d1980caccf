#include <InstallerCore/MachOFormat.hpp>
#include <PelorinBase/Files.hpp>

#include "PelorinRelease/Release.hpp"

namespace PelorinRelease {
namespace {

using namespace InstallerCore::MachO;
constexpr std::size_t kSliceBytes = 4096;

void putLittle(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(std::uint8_t(value >> shift));
}

void putBig(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(std::uint8_t(value >> shift));
}

// A mach_header_64 written little-endian with no load commands, padded to one page.
std::vector<std::uint8_t> thinSlice(std::uint32_t cpu, std::uint32_t subtype) {
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t field : {kMagic64, cpu, subtype, kFileTypeExecute, 0u, 0u, 0u, 0u}) {
    putLittle(bytes, field);
  }
  bytes.resize(kSliceBytes, 0);
  return bytes;
}

void writeFile(const fs::path& file, std::string_view bytes, fs::perms mode) {
  PelorinBase::writeFile(file, bytes, static_cast<mode_t>(mode));
}

}  // namespace

std::optional<Architecture> architectureNamed(std::string_view name) {
  if (name == "arm64") return Architecture::arm64;
  if (name == "x64") return Architecture::x64;
  if (name == "universal") return Architecture::universal;
  return std::nullopt;
}

std::vector<std::uint8_t> machOExecutable(Architecture architecture) {
  if (architecture == Architecture::arm64) return thinSlice(kCpuArm64, kSubtypeArm64All);
  if (architecture == Architecture::x64) return thinSlice(kCpuX86_64, kSubtypeX86_64All);
  // fat_header and two fat_arch entries, all big-endian; slices page-aligned.
  std::vector<std::uint8_t> bytes;
  putBig(bytes, kFatMagic);
  putBig(bytes, 2);
  const std::uint32_t slices[2][2] = {{kCpuX86_64, kSubtypeX86_64All},
                                      {kCpuArm64, kSubtypeArm64All}};
  for (std::uint32_t i = 0; i < 2; ++i) {
    for (std::uint32_t field : {slices[i][0], slices[i][1], std::uint32_t(kSliceBytes * (i + 1)),
                                std::uint32_t(kSliceBytes), 12u}) {
      putBig(bytes, field);
    }
  }
  bytes.resize(kSliceBytes, 0);
  for (const auto& slice : slices) {
    auto thin = thinSlice(slice[0], slice[1]);
    bytes.insert(bytes.end(), thin.begin(), thin.end());
  }
  return bytes;
}

void makeSampleApp(const fs::path& bundle, Architecture architecture,
                   std::string_view executableName) {
  if (fs::exists(fs::symlink_status(bundle))) {
    throw ReleaseError(bundle.string() + " already exists");
  }
  const auto contents = bundle / "Contents";
  fs::create_directories(contents / "MacOS");
  fs::create_directories(contents / "Resources");
  const auto owner = fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read;
  const auto executable = owner | fs::perms::group_exec | fs::perms::others_exec;
  auto code = machOExecutable(architecture);
  writeFile(contents / "MacOS" / executableName,
            std::string_view(reinterpret_cast<const char*>(code.data()), code.size()), executable);
  writeFile(contents / "PkgInfo", "APPL????", owner & ~fs::perms::owner_exec);
  writeFile(contents / "Resources" / "greeting.txt", "Hello from Pelorin Code.\n",
            owner & ~fs::perms::owner_exec);
  fs::create_symlink("greeting.txt", contents / "Resources" / "welcome.txt");
  setInfoKeys(bundle, {{"CFBundleExecutable", std::string(executableName)},
                       {"CFBundleIdentifier", std::string(InstallerCore::Distribution::bundleID)},
                       {"CFBundleName", "Pelorin Code"},
                       {"CFBundlePackageType", "APPL"},
                       {"CFBundleShortVersionString", "1.0.0"}});
}

}  // namespace PelorinRelease
