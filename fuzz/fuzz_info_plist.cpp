// The Info.plist reader takes bytes from a downloaded image before any signature check: the guard
// and libplist behind it must neither crash nor exhaust the stack or memory.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pipeline/InfoPlist.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (auto plist = PelorinInstaller::InfoPlist::parse(bytes)) {
    plist->string("CFBundleIdentifier");
    plist->string("CFBundleShortVersionString");
  }
  return 0;
}
