// Parsing must never crash; parsed versions must order consistently.
#include <InstallerCore/Version.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto split = text.find('|');
  auto a = InstallerCore::Version::parse(text.substr(0, split));
  if (split == std::string_view::npos) return 0;
  auto b = InstallerCore::Version::parse(text.substr(split + 1));
  if (!a || !b) return 0;
  if (*a < *a) std::abort();             // irreflexive
  if (*a < *b && *b < *a) std::abort();  // asymmetric
  if (*a == *b && (*a < *b || *b < *a)) std::abort();
  if (a->numbers().size() != 3) std::abort();
  return 0;
}
