#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace PelorinInstaller {

// What every transfer gets: a fresh configuration with no cache, cookies or credentials.
struct TransferSettings {
  std::string caFile;                  // trust store file; empty: the system's
  std::vector<std::string> connectTo;  // libcurl CURLOPT_CONNECT_TO entries
  std::chrono::milliseconds requestTimeout = std::chrono::seconds(60);     // of inactivity
  std::chrono::milliseconds transferTimeout = std::chrono::seconds(3600);  // whole transfer
};

}  // namespace PelorinInstaller
