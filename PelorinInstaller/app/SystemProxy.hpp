#pragma once

#include <string>

#include "pipeline/TransferSettings.hpp"

namespace PelorinInstaller {

// The proxy the system's settings choose for `url`: libproxy on Linux (the environment, GNOME and
// KDE settings, PAC with its plugin), CFNetwork through Qt Network on macOS (the network settings,
// their exceptions and PAC). A proxy of a kind no transfer can use comes back `unusable`. May
// block while a PAC file is fetched and run; safe on any thread; throws when the system gives no
// answer.
Proxy systemProxy(const std::string& url);

}  // namespace PelorinInstaller
