// The header check reads only what it is given and never fails.
#include <InstallerCore/MachO.hpp>
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size heap copy lets AddressSanitizer see any read past the end.
  std::vector<std::uint8_t> header(data, data + size);
  InstallerCore::MachO::supports("arm64", header);
  InstallerCore::MachO::supports("x64", header);
  return 0;
}
