#pragma once

#include <string>

#include "pipeline/TransferSettings.hpp"

namespace PelorinInstaller {

// The proxy the system's settings choose for `url`, through Qt Network: libproxy on Linux (the
// environment, GNOME and KDE settings, PAC with its plugin), CFNetwork on macOS (the network
// settings, their exceptions and PAC). May block while a PAC file is fetched and run; safe on
// any thread.
Proxy systemProxy(const std::string& url);

}  // namespace PelorinInstaller
