#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace PelorinInstaller {

// Where the system sends a connection: straight to the host, or through a proxy that tunnels it
// (an HTTP proxy's CONNECT, or SOCKS 5 with the host's name resolved by the proxy).
struct Proxy {
  enum class Kind { direct, http, socks5 };
  Kind kind = Kind::direct;
  std::string host{};
  int port = 0;
  std::string user{}, password{};  // from the system's setting; none when empty
};

// The system's choice of proxy for a URL. It may block (a PAC file fetched and run).
using ProxyLookup = std::function<Proxy(const std::string& url)>;

// What every transfer gets: a fresh configuration with no cache, cookies or credentials.
struct TransferSettings {
  std::string caFile;                  // trust store file; empty: the system's
  std::vector<std::string> connectTo;  // libcurl CURLOPT_CONNECT_TO entries
  std::chrono::milliseconds requestTimeout = std::chrono::seconds(60);     // of inactivity
  std::chrono::milliseconds transferTimeout = std::chrono::seconds(3600);  // whole transfer
  ProxyLookup proxy{};                                                     // none: always direct
};

}  // namespace PelorinInstaller
