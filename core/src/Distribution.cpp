#include "InstallerCore/Distribution.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace InstallerCore::Distribution {

std::string_view host() { return PELORIN_DISTRIBUTION_HOST; }

const Url& manifestURL() {
  static const Url url = [] {
    auto text = "https://" + std::string(host()) + "/desktop-releases/installer/stable/latest.json";
    auto parsed = Url::parse(text);
    if (!parsed) {
      // A host that cannot form a URL is a build fault, not a run-time condition.
      std::fprintf(stderr, "invalid distribution host: %s\n", text.c_str());
      std::abort();
    }
    return *parsed;
  }();
  return url;
}

bool accepts(const Url& url) {
  return url.scheme() == "https" && url.host() == host() && (!url.port() || url.port() == 443) &&
         !url.user() && !url.password() && !url.fragment();
}

}  // namespace InstallerCore::Distribution
