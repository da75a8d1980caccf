#pragma once

#include <string_view>

#include "InstallerCore/Url.hpp"

namespace InstallerCore::Distribution {

// Fixed at build time (PELORIN_DISTRIBUTION_HOST).
std::string_view host();
// "https://" + host() + "/desktop-releases/installer/stable/latest.json", parsed once.
const Url& manifestURL();

inline constexpr std::string_view bundleID = "com.pelorin-ai.code", teamID = "K4QW7ZP1MX",
                                  appName = "Pelorin Code.app";

// True when the URL may be fetched from the distribution host.
bool accepts(const Url&);

}  // namespace InstallerCore::Distribution
