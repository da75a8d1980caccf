// Parsing never crashes; an accepted URL is exactly https on the distribution host.
#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/Url.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace InstallerCore;
  auto url = Url::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!url) return 0;
  url->pathExtension();
  if (Distribution::accepts(*url)) {
    if (url->scheme() != "https" || url->host() != Distribution::host() || url->user() ||
        url->password() || url->fragment() || (url->port() && url->port() != 443)) {
      std::abort();
    }
    // The same parser must read the accepted text the same way again.
    auto again = Url::parse(url->text());
    if (!again || again->host() != url->host()) std::abort();
  }
  return 0;
}
