#include "InstallerCore/MachO.hpp"

#include <optional>

#include "InstallerCore/MachOFormat.hpp"

namespace InstallerCore::MachO {
namespace {

constexpr std::uint32_t kMaxFatEntries = 32;

enum class Order { big, little };

// The 32-bit number at `offset`, or nothing when the header is too short.
std::optional<std::uint32_t> read32(std::span<const std::uint8_t> header, std::size_t offset,
                                    Order order) {
  if (header.size() < 4 || offset > header.size() - 4) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    auto byte = header[offset + (order == Order::big ? i : 3 - i)];
    value = (value << 8) | byte;
  }
  return value;
}

}  // namespace

bool supports(std::string_view arch, std::span<const std::uint8_t> header) {
  if (header.size() < 8) return false;
  std::uint32_t wanted;
  if (arch == "arm64") {
    wanted = kCpuArm64;
  } else if (arch == "x64") {
    wanted = kCpuX86_64;
  } else {
    return false;
  }

  auto magic = *read32(header, 0, Order::big);
  if (magic == kMagic64 || magic == kCigam64) {
    return read32(header, 4, magic == kMagic64 ? Order::big : Order::little) == wanted;
  }
  if (magic != kFatMagic && magic != kFatMagic64 && magic != kFatCigam && magic != kFatCigam64) {
    return false;
  }
  auto order = (magic == kFatCigam || magic == kFatCigam64) ? Order::little : Order::big;
  std::size_t entrySize = (magic == kFatMagic64 || magic == kFatCigam64) ? 32 : 20;
  auto count = *read32(header, 4, order);
  if (count == 0 || count > kMaxFatEntries) return false;
  // Entries cut off by the end of the header are skipped, not fatal.
  for (std::size_t i = 0; i < count; ++i) {
    if (read32(header, 8 + i * entrySize, order) == wanted) return true;
  }
  return false;
}

}  // namespace InstallerCore::MachO
