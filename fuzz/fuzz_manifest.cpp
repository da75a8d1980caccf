// Any document either decodes into a manifest that obeys the rules or fails with an
// InstallerError or the JSON library's exception; nothing else escapes.
#include <InstallerCore/InstallerCore.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace InstallerCore;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    auto manifest = ReleaseManifest::decode(bytes, {14, 2, 1});
    const auto& arm = manifest.artifacts.at("arm64");
    if (!Distribution::accepts(arm.url) || arm.bytes < 1 || arm.sha256.size() != 64) std::abort();
  } catch (const std::system_error& error) {
    if (error.code().category() != installerCategory()) std::abort();
  } catch (const nlohmann::json::exception&) {
  }
  return 0;
}
