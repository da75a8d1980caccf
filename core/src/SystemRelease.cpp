#include "InstallerCore/SystemRelease.hpp"

#include <cstdint>
#include <limits>

namespace InstallerCore::SystemRelease {

SystemVersion numbers(std::string_view text) {
  std::int64_t found[3] = {0, 0, 0};
  std::size_t position = 0;
  for (auto& number : found) {
    std::size_t start = position;
    std::int64_t value = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9' &&
           value < std::numeric_limits<std::int64_t>::max() / 10 - 9) {
      value = value * 10 + (text[position] - '0');
      ++position;
    }
    if (position == start) break;
    number = value;
    if (position >= text.size() || text[position] != '.') break;
    ++position;
  }
  return {found[0], found[1], found[2]};
}

SystemVersion macOS(std::string_view darwinRelease, std::string_view productVersion) {
  auto product = numbers(productVersion);
  // Darwin 20 to 24 are macOS 11 to 15; from Darwin 25, macOS 26, the two are one apart.
  auto darwin = numbers(darwinRelease).major;
  std::int64_t major = darwin >= 25 ? darwin + 1 : darwin >= 20 ? darwin - 9 : 0;
  // A compatibility number is always lower than the real one.
  if (product.major >= major) return product;
  // From macOS 26 it is the major version less ten, the rest unchanged (16.1 for 26.1).
  if (major >= 26 && product.major == major - 10) return {major, product.minor, product.patch};
  return {major, 0, 0};
}

}  // namespace InstallerCore::SystemRelease
